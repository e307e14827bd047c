#pragma once

// Shared helpers for tests that run receivers on loopback: a manager on a manual clock, an
// observer that records what it is told, the error-log records, and a raw POSIX peer.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "veltonet/companion/Message.h"
#include "veltonet/companion/Observer.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/platform/Clock.h"

namespace veltonet::test {

// For the few checks of what the system itself does differently (descriptor numbers, buffer
// sizes it keeps).
#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

struct Record {
    uint16_t type;
    uint16_t size;
    std::string bytes;  // the whole message, header included
    Observable* source;
    uint32_t Value() const { return Message::At(bytes.data())->ReadU32(4); }
};

class RecordingObserver : public Observer {
  public:
    void OnMessage(const Message* message, Observable* source) override;
    std::vector<uint16_t> Types() const;
    size_t Count(uint16_t type) const;
    std::vector<Record> records;
    std::function<void(const Message*, Observable*)> onMessage;  // runs after recording
};

struct LogRecord {
    std::string log, source, text, address;
};

// Collects every error-log record while alive.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    bool Contains(const std::string& text) const;
    size_t Count(const std::string& text) const;
    std::vector<std::string> Texts() const;
    std::vector<LogRecord> records;
};

// A manager on a manual clock, a private log folder and log capture.
class ManagerTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    ReceiverManager& Manager() { return *ReceiverManager::Instance(); }
    EventLoop& Loop() { return Manager().GetLoop(); }
    // Pumps the loop until done() holds; false after maxRounds rounds of up to 10 ms each.
    bool PumpUntil(const std::function<bool()>& done, int maxRounds = 1000);
    void PumpRounds(int rounds);
    // Advances the manual clock and runs what fell due.
    void Tick(uint64_t ms);

    ManualClock clock;
    std::string logFolder;
    LogCapture* logs = nullptr;
};

// Framed message bytes.
std::string Frame(uint16_t type, const std::string& body);

// A raw blocking-capable peer on 127.0.0.1, on the system's own sockets (socket handles on
// Windows fit in an int, as descriptors do).
namespace raw {
// A blocking connection to 127.0.0.1:port; -1 on failure.
int Connect(uint16_t port);
uint16_t LocalPort(int fd);
uint16_t PeerPort(int fd);
// Data (or the end of the stream) waits within timeoutMs.
bool Readable(int fd, int timeoutMs);
// The peer's reset or close has reached fd within timeoutMs.
bool HungUp(int fd, int timeoutMs);
// One receive within timeoutMs: bytes read, 0 at the end of the stream, -1 on nothing or on
// an error (*failed then tells which).
long Receive(int fd, char* buffer, size_t size, int timeoutMs, bool* failed = nullptr);
// Options in Windows numbering (platform/SocketOptions.h), as the library speaks them.
int IntOption(int fd, int level, int option);  // -1 when it cannot be read
bool SetIntOption(int fd, int level, int option, int value);
// "onoff/seconds" of the socket's linger setting.
std::string Linger(int fd);
int Listen(uint16_t* port);  // listening socket on a kernel-picked port
// A socket bound to address:port (port 0: kernel-picked, written back) and listening unless
// told otherwise (then connects to it are refused); -1 on failure.
int ListenOn(const char* address, uint16_t* port, bool listening = true);
int AcceptWithin(int listenFd, int timeoutMs);  // -1 on time-out
bool SendAll(int fd, const std::string& bytes);
bool SendUrgent(int fd, char byte);  // one out-of-band byte
// Reads what is available within timeoutMs (non-blocking afterwards); "" on nothing.
std::string ReadAvailable(int fd, int timeoutMs);
void Reset(int fd);  // close with SO_LINGER {1,0}: the peer sees a reset
void Close(int fd);
uint16_t FreePort();  // a port that was free a moment ago (nothing listens on it)
}  // namespace raw

// Running under Wine, whose sockets differ from Windows' in a few reports (see its uses).
bool UnderWine();

// A new empty folder under the system's temporary folder; "" on failure.
std::string MakeTempFolder();
// value null: removes the variable.
void SetEnvironment(const char* name, const char* value);

}  // namespace veltonet::test
