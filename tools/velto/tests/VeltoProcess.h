#pragma once

// Runs the built velto binary as a child process with its standard streams on pipes, so a
// test can wait for a line, talk to its standard input, interrupt it and read its exit code,
// each within a deadline. The process itself is the system's: posix/ or win32/.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace velto::test {

// For the few cases that the systems run differently.
#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// Where every velto under test writes its error logs (a folder made once per test program).
const std::string& LogDir();

class VeltoProcess {
  public:
    // velto with `arguments` and --log-dir; exits on its own or is killed by the destructor.
    explicit VeltoProcess(const std::vector<std::string>& arguments, bool withLogDir = true);
    ~VeltoProcess();
    VeltoProcess(const VeltoProcess&) = delete;
    VeltoProcess& operator=(const VeltoProcess&) = delete;

    // The first line of standard output matching `pattern`, with its groups; none when the
    // process ends or the deadline passes first.
    std::optional<std::smatch> WaitForLine(const std::string& pattern, double seconds = 10);
    // The exit code; -1 when it does not end within the deadline (it is then killed).
    int Wait(double seconds = 20);
    void Interrupt();  // Ctrl-C: SIGINT; on Windows Ctrl-Break, what a program can send another
    // Whether Interrupt reaches the child here: under Wine no console control event passes
    // from one program to another.
    static bool CanInterrupt();
    void Write(const std::string& text);
    // Ends it at once, without a chance to clean up, and takes what it wrote before.
    void Kill();

    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }
    std::vector<std::string> OutLines() const;

  private:
    struct Native;

    // Reads whatever is ready within the time given; false once both streams have ended.
    bool Read(int milliseconds);
    // Cuts what standard output holds into complete lines.
    void CutLines();

    std::unique_ptr<Native> m_native;
    std::string m_out;
    std::string m_err;
    std::vector<std::string> m_lines;  // complete lines of standard output
    size_t m_scanned = 0;              // bytes of m_out already cut into lines
    std::optional<int> m_status;
};

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

// The Windows programs run under Wine, whose console and sockets differ from Windows' in a few
// ways (see the uses).
bool UnderWine();

// First statement of a test that ends a velto by Ctrl-C.
#define VELTO_NEEDS_INTERRUPT()                                                                \
    do {                                                                                       \
        if (!::velto::test::VeltoProcess::CanInterrupt())                                      \
            GTEST_SKIP() << "Wine passes no Ctrl-C or Ctrl-Break from one program to another " \
                            "(GenerateConsoleCtrlEvent), and this case ends a velto by one";   \
    } while (0)

// Ends a velto that runs until Ctrl-C, which must then exit with 0. Where Ctrl-C cannot reach it
// (Wine), it is killed: the case checks only what it did before, and the cases that need
// Ctrl-C check the ending.
void EndWithCtrlC(VeltoProcess& process);

// Runs velto to its end.
Result RunVelto(const std::vector<std::string>& arguments, double seconds = 20);

// A port that was free a moment ago (bound to 0 and released).
uint16_t FreePort(bool stream);

using Clock = std::chrono::steady_clock;
Clock::time_point Deadline(double seconds);
int MillisecondsLeft(Clock::time_point deadline);

// Lines of text matching a pattern.
std::vector<std::string> Matching(const std::string& text, const std::string& pattern);

}  // namespace velto::test
