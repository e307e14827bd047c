#include "Host.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "veltonet/receiver.h"

namespace velto {

namespace {

void PrintLogRecord(void* /*context*/, const char* logName, const char* source, const char* text,
                    const char* address) {
    std::fprintf(stderr, "log %s: %s: %s%s%s\n", logName != nullptr ? logName : "",
                 source != nullptr ? source : "", text != nullptr ? text : "",
                 address != nullptr && *address != '\0' ? " @ " : "",
                 address != nullptr ? address : "");
}

}  // namespace

int MillisecondsUntil(Clock::time_point when, int cap) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    if (left <= 0) {
        return 0;
    }
    return left > cap ? cap : static_cast<int>(left);
}

Session::~Session() {
    if (m_started) {
        R_ReceiverTerminate();
        RX_SetLogCallback(nullptr, nullptr);
    }
    if (m_signalFd >= 0) {
        close(m_signalFd);
    }
}

bool Session::Start(const CommonOptions& options) {
    if (!options.logDir.empty() && setenv("VELTONET_LOG_DIR", options.logDir.c_str(), 1) != 0) {
        Error("cannot set the log folder: " + std::string(std::strerror(errno)));
        return false;
    }
    // Signals arrive as a readable descriptor, so the loop sees them between rounds and never
    // in the middle of a library call.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
        Error("cannot block SIGINT: " + std::string(std::strerror(errno)));
        return false;
    }
    m_signalFd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_signalFd < 0) {
        Error("cannot watch SIGINT: " + std::string(std::strerror(errno)));
        return false;
    }
    if (options.verbose) {
        RX_SetLogCallback(PrintLogRecord, nullptr);
    }
    R_ReceiverInitialize();
    m_started = true;
    m_eventFd = RX_GetEventFd();
    if (m_eventFd < 0) {
        Error("the library did not start (no event loop)");
        return false;
    }
    return true;
}

void Session::Pump(int waitMs) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = pollfd{m_eventFd, POLLIN, 0};
    fds[count++] = pollfd{m_signalFd, POLLIN, 0};
    if (m_inputOpen) {
        fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
    }
    if (poll(fds, count, waitMs) < 0) {
        return;  // EINTR: the caller's next round waits again
    }
    if (fds[1].revents != 0) {
        signalfd_siginfo info;
        while (read(m_signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
            m_interrupted = true;
        }
    }
    if (fds[0].revents != 0) {
        RX_ProcessEvents(0);
    }
    if (m_inputOpen && fds[2].revents != 0) {
        ReadInput();
    }
}

void Session::WatchInput(std::function<void(const std::string&)> onLine) {
    m_onLine = std::move(onLine);
    m_inputOpen = true;
}

void Session::ReadInput() {
    char chunk[1024];
    const ssize_t n = read(STDIN_FILENO, chunk, sizeof(chunk));
    if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            m_inputOpen = false;  // end of input: nothing more to read, never poll it again
        }
        return;
    }
    m_input.append(chunk, static_cast<size_t>(n));
    size_t newline;
    while ((newline = m_input.find('\n')) != std::string::npos) {
        const std::string line = m_input.substr(0, newline);
        m_input.erase(0, newline + 1);
        m_onLine(line);
    }
}

void Session::Error(const std::string& text) const {
    std::fflush(stdout);
    std::fprintf(stderr, "velto %s: %s\n", m_command.c_str(), text.c_str());
}

Watcher::Watcher(Handler handler)
    : m_handler(std::move(handler)), m_observer(RX_CreateObserver(&Watcher::Trampoline, this)) {}

Watcher::~Watcher() {
    if (m_observer != nullptr) {
        RX_DestroyObserver(m_observer);
    }
}

bool Watcher::Watch(void* observable) {
    return m_observer != nullptr && RX_AddObserver(observable, m_observer) != 0;
}

bool Watcher::Unwatch(void* observable) {
    return m_observer != nullptr && RX_RemoveObserver(observable, m_observer) != 0;
}

void Watcher::Trampoline(void* context, void* observable, const void* message) {
    static_cast<Watcher*>(context)->m_handler(observable, MessageView::Of(message));
}

std::string AddressOf(void* receiver) {
    return std::string(R_GetReceiverIp(receiver)) + ":" +
           std::to_string(R_GetReceiverPort(receiver));
}

uint16_t PickFreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool PortBusy(uint16_t port, bool stream) {
    const int fd = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    const int on = 1;
    if (stream) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool busy = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 &&
                      errno == EADDRINUSE;
    close(fd);
    return busy;
}

}  // namespace velto
