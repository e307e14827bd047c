#pragma once

// The console around the tool's loop: interrupts (Ctrl-C; SIGTERM too on Linux), standard
// input and whether standard output is a terminal. One implementation per system, in posix/
// and win32/.

#include <memory>
#include <string>

namespace velto {

class Console {
  public:
    // What a wait found ready.
    struct Ready {
        bool interrupted = false;  // an interrupt came (or had come before)
        bool work = false;         // the library has work for RX_ProcessEvents(0)
        bool input = false;        // standard input has bytes or its end
    };

    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Before the library starts: interrupts from here on only mark the console, so the loop
    // sees them between rounds and never in the middle of a library call. False with the
    // reason on failure.
    bool WatchInterrupts(std::string* why);
    // After R_ReceiverInitialize on this thread: false when the library has no loop to wait on.
    bool AttachLibrary();

    // Waits up to waitMs (-1 forever) for library work, an interrupt or, when watchInput,
    // standard input.
    Ready Wait(int waitMs, bool watchInput);
    // Appends what standard input holds to `into`: the count of bytes, 0 at the end of input,
    // -1 when nothing is there now.
    long ReadInput(std::string* into);

    // Each line of standard output leaves at its end, for a reader on a pipe or a file.
    static void LineBufferOutput();
    // Standard output is a terminal that takes the line-rewriting escape sequences.
    static bool OutputIsTerminal();
    // Sets a variable of the process's environment (for the library to read); false on failure
    // with the reason.
    static bool SetEnvironment(const char* name, const std::string& value, std::string* why);

  private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

}  // namespace velto
