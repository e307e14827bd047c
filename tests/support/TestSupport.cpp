#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "veltonet/companion/Log.h"

namespace veltonet::test {

void RecordingObserver::OnMessage(const Message* message, Observable* source) {
    records.push_back(
        {message->GetType(), message->GetSize(),
         std::string(reinterpret_cast<const char*>(message->Bytes()), message->GetSize()), source});
    if (onMessage) {
        onMessage(message, source);
    }
}

std::vector<uint16_t> RecordingObserver::Types() const {
    std::vector<uint16_t> types;
    for (const Record& r : records)
        types.push_back(r.type);
    return types;
}

size_t RecordingObserver::Count(uint16_t type) const {
    size_t n = 0;
    for (const Record& r : records)
        n += r.type == type;
    return n;
}

namespace {
void CaptureLog(void* context, const char* logName, const char* source, const char* text,
                const char* address) {
    static_cast<LogCapture*>(context)->records.push_back(
        {logName ? logName : "", source ? source : "", text ? text : "", address ? address : ""});
}
}  // namespace

LogCapture::LogCapture() {
    SetLogCallback(&CaptureLog, this);
}
LogCapture::~LogCapture() {
    SetLogCallback(nullptr, nullptr);
}

bool LogCapture::Contains(const std::string& text) const {
    return Count(text) != 0;
}

size_t LogCapture::Count(const std::string& text) const {
    size_t n = 0;
    for (const LogRecord& r : records)
        n += r.text == text;
    return n;
}

std::vector<std::string> LogCapture::Texts() const {
    std::vector<std::string> texts;
    for (const LogRecord& r : records)
        texts.push_back(r.text);
    return texts;
}

void ManagerTest::SetUp() {
    char pattern[] = "/tmp/veltonet-test-XXXXXX";
    logFolder = mkdtemp(pattern);
    setenv("VELTONET_LOG_DIR", logFolder.c_str(), 1);
    logs = new LogCapture;
    ReceiverManager::Create(&clock);
}

void ManagerTest::TearDown() {
    ReceiverManager::Destroy();
    delete logs;
    logs = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(logFolder, ignored);
}

bool ManagerTest::PumpUntil(const std::function<bool()>& done, int maxRounds) {
    for (int i = 0; i < maxRounds; ++i) {
        if (done())
            return true;
        Loop().ProcessEvents(10);
    }
    return done();
}

void ManagerTest::PumpRounds(int rounds) {
    for (int i = 0; i < rounds; ++i)
        Loop().ProcessEvents(0);
}

void ManagerTest::Tick(uint64_t ms) {
    clock.Advance(ms);
    Loop().ProcessEvents(0);
}

std::string Frame(uint16_t type, const std::string& body) {
    std::string bytes(4, '\0');
    Message::WriteHeader(bytes.data(), static_cast<uint16_t>(body.size() + 4), type);
    return bytes + body;
}

namespace raw {

int Listen(uint16_t* port) {
    *port = 0;
    return ListenOn("127.0.0.1", port);
}

int ListenOn(const char* address, uint16_t* port, bool listening) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(*port);
    if (fd < 0 || inet_pton(AF_INET, address, &where.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
        (listening && listen(fd, 64) != 0)) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    socklen_t length = sizeof(where);
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    *port = ntohs(where.sin_port);
    return fd;
}

int AcceptWithin(int listenFd, int timeoutMs) {
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return -1;
    return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

std::string ReadAvailable(int fd, int timeoutMs) {
    std::string out;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return out;
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n <= 0)
            break;
        out.append(buffer, size_t(n));
    }
    return out;
}

void Reset(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

void Close(int fd) {
    if (fd >= 0)
        close(fd);
}

uint16_t FreePort() {
    uint16_t port = 0;
    int fd = Listen(&port);
    close(fd);
    return port;
}

}  // namespace raw
}  // namespace veltonet::test
