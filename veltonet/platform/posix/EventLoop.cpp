#include "veltonet/platform/EventLoop.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "veltonet/platform/AsyncSocket.h"

namespace veltonet {

namespace {

// The timerfd's epoll entry; socket identifiers start at 1.
constexpr uint64_t kTimerEntry = 0;
constexpr int kMaxBatch = 64;

}  // namespace

struct EventLoop::Native {
    int epollFd = -1;
    int timerFd = -1;
    // Deadline the timerfd is armed for; 0 when disarmed.
    uint64_t armedDueMs = 0;
};

EventLoop::EventLoop(Clock* clock) : m_clock(clock) {
    if (m_clock == nullptr) {
        m_ownedClock = std::make_unique<SteadyClock>();
        m_clock = m_ownedClock.get();
    }
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        return;
    }
    int timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd >= 0) {
        epoll_event entry{};
        entry.events = EPOLLIN;
        entry.data.u64 = kTimerEntry;
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, timerFd, &entry) != 0) {
            close(timerFd);
            timerFd = -1;
        }
    }
    if (timerFd < 0) {
        close(epollFd);
        return;
    }
    m_native = std::make_unique<Native>();
    m_native->epollFd = epollFd;
    m_native->timerFd = timerFd;
}

EventLoop::~EventLoop() {
    // Sockets that outlive their loop keep their descriptor but must not call back into it.
    std::vector<AsyncSocket*> orphans;
    orphans.reserve(m_liveSockets.size());
    for (auto& [id, socket] : m_liveSockets) {
        orphans.push_back(socket);
    }
    m_liveSockets.clear();
    for (AsyncSocket* socket : orphans) {
        socket->LoopDestroyed();
    }
    if (m_native != nullptr) {
        close(m_native->timerFd);
        close(m_native->epollFd);
    }
}

int EventLoop::EventFd() const {
    return m_native != nullptr ? m_native->epollFd : -1;
}

int EventLoop::ProcessEvents(int timeoutMs) {
    if (m_native == nullptr) {
        return 0;
    }
    epoll_event batch[kMaxBatch];
    int ready = epoll_wait(m_native->epollFd, batch, kMaxBatch, WaitTimeout(timeoutMs));
    if (ready < 0) {
        ready = 0;  // EINTR: a round with nothing to run
    }
    ++m_roundDepth;
    int ran = 0;
    for (int i = 0; i < ready; ++i) {
        if (batch[i].data.u64 == kTimerEntry) {
            uint64_t expirations = 0;
            while (read(m_native->timerFd, &expirations, sizeof(expirations)) < 0 &&
                   errno == EINTR) {
            }
            m_native->armedDueMs = 0;  // an expired one-shot setting is disarmed
        }
    }
    ran += RunDueTimers();
    for (int i = 0; i < ready; ++i) {
        SocketId id = batch[i].data.u64;
        if (id == kTimerEntry) {
            continue;
        }
        // An earlier handler of this batch may have closed or deleted the socket.
        AsyncSocket* socket = LookupLive(id);
        if (socket == nullptr) {
            continue;
        }
        socket->HandleEvents(batch[i].events);
        ++ran;
    }
    TimerChanged(kLibraryWideTimer);  // due times moved on: re-arm for the earliest
    if (--m_roundDepth == 0) {
        m_deadSockets.clear();
    }
    return ran;
}

// One timerfd serves every timer: it is armed for the earliest due time, whichever changed.
void EventLoop::TimerChanged(TimerId /*id*/) {
    if (m_native == nullptr) {
        return;
    }
    uint64_t wanted = 0;
    if (!m_clock->isManual()) {
        for (const auto& [id, timer] : m_timers) {
            if (wanted == 0 || timer.dueMs < wanted) {
                wanted = timer.dueMs;
            }
        }
    }
    if (wanted == m_native->armedDueMs) {
        return;
    }
    itimerspec setting{};
    if (wanted != 0) {
        setting.it_value.tv_sec = static_cast<time_t>(wanted / 1000);
        setting.it_value.tv_nsec = static_cast<long>(wanted % 1000) * 1000000L;
    }
    // Re-arming also clears an expiry that was not read yet.
    timerfd_settime(m_native->timerFd, wanted != 0 ? TFD_TIMER_ABSTIME : 0, &setting, nullptr);
    m_native->armedDueMs = wanted;
}

SocketId EventLoop::Attach(int fd, AsyncSocket* socket, uint32_t epollEvents) {
    if (m_native == nullptr || fd < 0 || socket == nullptr) {
        return 0;
    }
    SocketId id = m_nextSocketId++;
    if (epollEvents != 0) {
        epoll_event entry{};
        entry.events = epollEvents;
        entry.data.u64 = id;
        if (epoll_ctl(m_native->epollFd, EPOLL_CTL_ADD, fd, &entry) != 0) {
            return 0;
        }
    }
    m_liveSockets[id] = socket;
    return id;
}

void EventLoop::Modify(SocketId id, int fd, uint32_t epollEvents) {
    if (m_native == nullptr || m_liveSockets.count(id) == 0) {
        return;
    }
    const int epollFd = m_native->epollFd;
    if (epollEvents == 0) {
        // Out of the epoll set entirely: hang-up and error are reported even without interest.
        epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    epoll_event entry{};
    entry.events = epollEvents;
    entry.data.u64 = id;
    if (epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &entry) != 0 && errno == ENOENT) {
        epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &entry);
    }
}

void EventLoop::Detach(SocketId id, int fd) {
    if (m_liveSockets.erase(id) == 0) {
        return;
    }
    if (m_roundDepth > 0) {
        m_deadSockets.insert(id);
    }
    if (m_native != nullptr && fd >= 0) {
        epoll_ctl(m_native->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    }
}

}  // namespace veltonet
