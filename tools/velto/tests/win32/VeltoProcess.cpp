#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "tests/VeltoProcess.h"

namespace velto::test {

namespace {

// velto.exe sits beside the test program in the build.
std::string VeltoPath() {
    char path[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string self(path, length);
    return self.substr(0, self.find_last_of("\\/") + 1) + "velto.exe";
}

// One argument as the C runtime splits a command line: quoted, with backslashes before a quote
// doubled.
std::string Quoted(const std::string& argument) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            quoted.append(2 * backslashes + 1, '\\');
            backslashes = 0;
        } else {
            quoted.append(backslashes, '\\');
            backslashes = 0;
        }
        if (c != '\\') {
            quoted.push_back(c);
        }
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// The folder goes when the test program ends.
struct LogFolder {
    LogFolder() {
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof(temp), temp);
        path = std::string(temp) + "velto_tests_" + std::to_string(GetCurrentProcessId());
        if (!CreateDirectoryA(path.c_str(), nullptr)) {
            path = temp;
            made = false;
        }
    }
    ~LogFolder() {
        std::error_code ignored;
        if (made) {
            std::filesystem::remove_all(path, ignored);
        }
    }
    std::string path;
    bool made = true;
};

// What the reading threads hand over: a pipe cannot be waited on for "bytes are there", so each
// stream has a thread that blocks in its reads.
struct Streams {
    std::mutex lock;
    std::condition_variable changed;
    std::string out, err;
    int open = 2;
};

void ReadStream(HANDLE pipe, Streams* streams, std::string Streams::*into) {
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> hold(streams->lock);
        (streams->*into).append(chunk, got);
        streams->changed.notify_all();
    }
    std::lock_guard<std::mutex> hold(streams->lock);
    --streams->open;
    streams->changed.notify_all();
}

// What a child wrote in text mode, with its line ends as the tests expect them ("\r\n" as
// "\n"); a "\r" that ends one read may meet its "\n" in the next.
void AppendText(std::string* text, const std::string& bytes) {
    const size_t from = text->empty() ? 0 : text->size() - 1;
    text->append(bytes);
    size_t at = from;
    while ((at = text->find("\r\n", at)) != std::string::npos) {
        text->erase(at, 1);
    }
}

}  // namespace

struct VeltoProcess::Native {
    PROCESS_INFORMATION process{};
    HANDLE in = nullptr;
    HANDLE out = nullptr;
    HANDLE err = nullptr;
    Streams streams;
    std::thread outReader, errReader;
    bool ended = false;  // both streams have ended and what they held was taken
};

const std::string& LogDir() {
    static LogFolder folder;
    return folder.path;
}

VeltoProcess::VeltoProcess(const std::vector<std::string>& arguments, bool withLogDir)
    : m_native(std::make_unique<Native>()) {
    std::string command = Quoted(VeltoPath());
    for (const std::string& argument : arguments) {
        command += " " + Quoted(argument);
    }
    if (withLogDir) {
        command += " --log-dir " + Quoted(LogDir());
    }
    // The child's ends are inherited; ours are not, so a later child cannot hold them open.
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr, childErr = nullptr;
    Native& native = *m_native;
    if (!CreatePipe(&childIn, &native.in, &inherited, 0) ||
        !CreatePipe(&native.out, &childOut, &inherited, 0) ||
        !CreatePipe(&native.err, &childErr, &inherited, 0)) {
        return;
    }
    for (HANDLE ours : {native.in, native.out, native.err}) {
        SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = childErr;
    // A group of its own: Ctrl-Break then reaches the child alone.
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                        nullptr, nullptr, &startup, &native.process)) {
        native.process = PROCESS_INFORMATION{};
    }
    CloseHandle(childIn);
    CloseHandle(childOut);
    CloseHandle(childErr);
    native.outReader = std::thread(ReadStream, native.out, &native.streams, &Streams::out);
    native.errReader = std::thread(ReadStream, native.err, &native.streams, &Streams::err);
}

VeltoProcess::~VeltoProcess() {
    Native& native = *m_native;
    if (native.process.hProcess != nullptr) {
        if (!m_status) {
            TerminateProcess(native.process.hProcess, 137);
            WaitForSingleObject(native.process.hProcess, INFINITE);
        }
        CloseHandle(native.process.hProcess);
        CloseHandle(native.process.hThread);
    }
    if (native.in != nullptr) {
        CloseHandle(native.in);
    }
    // The child is gone, so its pipes end and the readers return.
    for (std::thread* reader : {&native.outReader, &native.errReader}) {
        if (reader->joinable()) {
            reader->join();
        }
    }
    for (HANDLE pipe : {native.out, native.err}) {
        if (pipe != nullptr) {
            CloseHandle(pipe);
        }
    }
}

bool VeltoProcess::Read(int milliseconds) {
    Native& native = *m_native;
    if (native.ended) {
        return false;
    }
    std::unique_lock<std::mutex> hold(native.streams.lock);
    native.streams.changed.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] {
        return !native.streams.out.empty() || !native.streams.err.empty() ||
               native.streams.open == 0;
    });
    AppendText(&m_out, native.streams.out);
    AppendText(&m_err, native.streams.err);
    native.streams.out.clear();
    native.streams.err.clear();
    native.ended = native.streams.open == 0;
    hold.unlock();
    CutLines();
    return true;
}

int VeltoProcess::Wait(double seconds) {
    Native& native = *m_native;
    if (native.process.hProcess == nullptr) {
        return -1;
    }
    const Clock::time_point deadline = Deadline(seconds);
    while (!m_status) {
        if (WaitForSingleObject(native.process.hProcess, 0) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(native.process.hProcess, &code);
            m_status = static_cast<int>(code);
            break;
        }
        if (MillisecondsLeft(deadline) == 0) {
            return -1;
        }
        Read(std::min(MillisecondsLeft(deadline), 20));
    }
    // What the child wrote before it ended, up to the end of both streams.
    const Clock::time_point drained = Deadline(5);
    while (Read(MillisecondsLeft(drained)) && MillisecondsLeft(drained) > 0) {
    }
    return *m_status;
}

void VeltoProcess::Interrupt() {
    if (m_native->process.hProcess != nullptr && !m_status) {
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, m_native->process.dwProcessId);
    }
}

void VeltoProcess::Kill() {
    if (m_native->process.hProcess != nullptr && !m_status) {
        TerminateProcess(m_native->process.hProcess, 137);
        Wait();
    }
}

bool VeltoProcess::CanInterrupt() {
    return !UnderWine();
}

bool UnderWine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

void VeltoProcess::Write(const std::string& text) {
    DWORD written = 0;
    if (m_native->in != nullptr) {
        WriteFile(m_native->in, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

uint16_t FreePort(bool stream) {
    const SOCKET s = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    uint16_t port = 0;
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    closesocket(s);
    return port;
}

}  // namespace velto::test
