#include "Console.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "veltonet/receiver.h"

namespace velto {

struct Console::Native {
    int signalFd = -1;
    int eventFd = -1;
    bool interrupted = false;
};

Console::Console() : m_native(std::make_unique<Native>()) {}

Console::~Console() {
    if (m_native->signalFd >= 0) {
        close(m_native->signalFd);
    }
}

bool Console::WatchInterrupts(std::string* why) {
    // Signals arrive as a readable descriptor that the loop polls beside the library's.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
        *why = "cannot block SIGINT: " + std::string(std::strerror(errno));
        return false;
    }
    m_native->signalFd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_native->signalFd < 0) {
        *why = "cannot watch SIGINT: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

bool Console::AttachLibrary() {
    m_native->eventFd = RX_GetEventFd();
    return m_native->eventFd >= 0;
}

Console::Ready Console::Wait(int waitMs, bool watchInput) {
    Native& native = *m_native;
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = pollfd{native.eventFd, POLLIN, 0};
    fds[count++] = pollfd{native.signalFd, POLLIN, 0};
    if (watchInput) {
        fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
    }
    Ready ready;
    if (poll(fds, count, waitMs) < 0) {
        ready.interrupted = native.interrupted;
        return ready;  // EINTR: the caller's next round waits again
    }
    if (fds[1].revents != 0) {
        signalfd_siginfo info;
        while (read(native.signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
            native.interrupted = true;
        }
    }
    ready.interrupted = native.interrupted;
    ready.work = fds[0].revents != 0;
    ready.input = watchInput && fds[2].revents != 0;
    return ready;
}

long Console::ReadInput(std::string* into) {
    char chunk[1024];
    const ssize_t n = read(STDIN_FILENO, chunk, sizeof(chunk));
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN ? -1 : 0;
    }
    into->append(chunk, static_cast<size_t>(n));
    return static_cast<long>(n);
}

void Console::LineBufferOutput() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

bool Console::OutputIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

bool Console::SetEnvironment(const char* name, const std::string& value, std::string* why) {
    if (setenv(name, value.c_str(), 1) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace velto
