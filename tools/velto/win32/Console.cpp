#include "Console.h"

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "veltonet/receiver.h"

namespace velto {

namespace {

// Set by the console's control handler, which the system runs on a thread of its own; the
// loop only looks at it. Manual reset: once interrupted, always interrupted.
HANDLE g_interrupt = nullptr;

BOOL WINAPI OnControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        SetEvent(g_interrupt);
        return TRUE;
    }
    return FALSE;
}

// Standard input as read by a thread of its own: neither a pipe nor a console handle can be
// waited on for "a line is there", and the loop must never block in a read. Shared with that
// thread, which may outlive the console while it sits in a read that never returns.
struct InputQueue {
    std::mutex lock;
    std::string bytes;
    bool ended = false;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // bytes or the end wait

    ~InputQueue() {
        if (ready != nullptr) {
            CloseHandle(ready);
        }
    }
};

void ReadInputForever(std::shared_ptr<InputQueue> queue) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char chunk[1024];
    for (;;) {
        DWORD got = 0;
        const bool read = input != nullptr && input != INVALID_HANDLE_VALUE &&
                          ReadFile(input, chunk, sizeof(chunk), &got, nullptr) && got > 0;
        std::lock_guard<std::mutex> hold(queue->lock);
        if (read) {
            queue->bytes.append(chunk, got);
        } else {
            queue->ended = true;
        }
        SetEvent(queue->ready);
        if (!read) {
            return;
        }
    }
}

}  // namespace

struct Console::Native {
    std::shared_ptr<InputQueue> input;
};

Console::Console() : m_native(std::make_unique<Native>()) {}

Console::~Console() {
    if (g_interrupt != nullptr) {
        SetConsoleCtrlHandler(OnControl, FALSE);
    }
}

bool Console::WatchInterrupts(std::string* why) {
    if (g_interrupt == nullptr) {
        g_interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    if (g_interrupt == nullptr || !SetConsoleCtrlHandler(OnControl, TRUE)) {
        *why = "cannot watch Ctrl-C (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}

bool Console::AttachLibrary() {
    // The library's work arrives as messages for this thread; no descriptor to wait on.
    return RX_ProcessEvents(0) >= 0;
}

Console::Ready Console::Wait(int waitMs, bool watchInput) {
    Native& native = *m_native;
    if (watchInput && native.input == nullptr) {
        native.input = std::make_shared<InputQueue>();
        std::thread(ReadInputForever, native.input).detach();
    }
    HANDLE handles[2];
    DWORD count = 0;
    handles[count++] = g_interrupt;
    if (watchInput) {
        handles[count++] = native.input->ready;
    }
    // Any message already in the queue ends the wait at once, not only one that came since
    // the last look.
    MsgWaitForMultipleObjectsEx(count, handles, waitMs < 0 ? INFINITE : static_cast<DWORD>(waitMs),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    Ready ready;
    ready.interrupted = WaitForSingleObject(g_interrupt, 0) == WAIT_OBJECT_0;
    ready.work = true;  // whatever the window's queue holds; a round over nothing is cheap
    ready.input = watchInput && WaitForSingleObject(native.input->ready, 0) == WAIT_OBJECT_0;
    return ready;
}

long Console::ReadInput(std::string* into) {
    if (m_native->input == nullptr) {
        return -1;
    }
    InputQueue& queue = *m_native->input;
    std::lock_guard<std::mutex> hold(queue.lock);
    const long count = static_cast<long>(queue.bytes.size());
    into->append(queue.bytes);
    queue.bytes.clear();
    if (!queue.ended) {
        ResetEvent(queue.ready);
    }
    if (count > 0) {
        return count;
    }
    return queue.ended ? 0 : -1;
}

void Console::LineBufferOutput() {
    // The C runtime here buffers "line by line" as it does fully; unbuffered is the nearest.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool Console::OutputIsTerminal() {
    if (_isatty(_fileno(stdout)) == 0) {
        return false;
    }
    // The status line is rewritten in place with escape sequences, which a console takes only
    // once asked to.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(output, &mode) &&
           SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool Console::SetEnvironment(const char* name, const std::string& value, std::string* why) {
    // The C runtime's copy is what the library's getenv reads; the process's block is what
    // child processes and GetEnvironmentVariable see.
    if (_putenv_s(name, value.c_str()) != 0 || !SetEnvironmentVariableA(name, value.c_str())) {
        *why = "error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

}  // namespace velto
