#pragma once

// What every subcommand needs around the library: the log folder, the library initialised
// on this thread, one loop that waits for the library's work together with Ctrl-C (and
// SIGTERM) and (optionally) standard input, and observers written as C++ callables.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "Console.h"
#include "Wire.h"

namespace velto {

using Clock = std::chrono::steady_clock;

inline double SecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}
inline Clock::time_point After(Clock::time_point from, double seconds) {
    return from +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}
// Milliseconds from now until `when`, at least 0 and at most `cap`: a poll time-out.
int MillisecondsUntil(Clock::time_point when, int cap);

struct CommonOptions {
    std::string logDir;    // sets $VELTONET_LOG_DIR for the library
    bool verbose = false;  // library log records on stderr as well
};

// One per run. Owns the library's lifetime: Start initialises it, the destructor terminates
// it (which deletes every receiver still registered). Watchers must be gone before that.
class Session {
  public:
    explicit Session(std::string command) : m_command(std::move(command)) {}
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Prints why on stderr and answers false when the loop cannot be set up.
    bool Start(const CommonOptions& options);

    // One round: waits up to waitMs for library work, a signal or an input line, then runs
    // what is ready. A signal only sets Interrupted(); the caller decides how to end.
    void Pump(int waitMs);
    bool Interrupted() const { return m_interrupted; }

    // Complete lines of standard input go to onLine; end of input stops watching it.
    void WatchInput(std::function<void(const std::string&)> onLine);

    // "velto <command>: text" on stderr.
    void Error(const std::string& text) const;
    const std::string& Command() const { return m_command; }

  private:
    void ReadInput();

    std::string m_command;
    bool m_started = false;
    bool m_interrupted = false;
    Console m_console;
    bool m_inputOpen = false;
    std::string m_input;
    std::function<void(const std::string&)> m_onLine;
};

// An observer of receivers, feed measures or the measure observable, calling a C++
// callable with the publishing handle and the message (valid only during the call).
// Destroying it detaches it from everything it watches.
class Watcher {
  public:
    using Handler = std::function<void(void* source, const MessageView& message)>;

    explicit Watcher(Handler handler);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    bool Watch(void* observable);
    bool Unwatch(void* observable);
    bool isValid() const { return m_observer != nullptr; }

  private:
    static void Trampoline(void* context, void* observable, const void* message);

    Handler m_handler;
    void* m_observer = nullptr;
};

// "127.0.0.1:5000" of a receiver handle (its first address and its port).
std::string AddressOf(void* receiver);

}  // namespace velto
