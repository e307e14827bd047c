#include "veltonet/platform/EventLoop.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

#include "veltonet/platform/AsyncSocket.h"

namespace veltonet {

namespace {

// The timerfd's epoll entry; socket identifiers start at 1.
constexpr uint64_t kTimerEntry = 0;
constexpr int kMaxBatch = 64;
// Shortest period, as on Windows: a zero period must not make the loop spin.
constexpr uint32_t kMinimumPeriodMs = 10;

}  // namespace

EventLoop::EventLoop(Clock* clock) : m_clock(clock) {
    if (m_clock == nullptr) {
        m_ownedClock = std::make_unique<SteadyClock>();
        m_clock = m_ownedClock.get();
    }
    m_epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (m_epollFd < 0) {
        return;
    }
    m_timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_timerFd >= 0) {
        epoll_event entry{};
        entry.events = EPOLLIN;
        entry.data.u64 = kTimerEntry;
        if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_timerFd, &entry) != 0) {
            close(m_timerFd);
            m_timerFd = -1;
        }
    }
    if (m_timerFd < 0) {
        close(m_epollFd);
        m_epollFd = -1;
    }
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
    if (m_timerFd >= 0) {
        close(m_timerFd);
    }
    if (m_epollFd >= 0) {
        close(m_epollFd);
    }
}

int EventLoop::ProcessEvents(int timeoutMs) {
    if (m_epollFd < 0) {
        return 0;
    }
    epoll_event batch[kMaxBatch];
    int ready = epoll_wait(m_epollFd, batch, kMaxBatch, WaitTimeout(timeoutMs));
    if (ready < 0) {
        ready = 0;  // EINTR: a round with nothing to run
    }
    ++m_roundDepth;
    int ran = 0;
    for (int i = 0; i < ready; ++i) {
        if (batch[i].data.u64 == kTimerEntry) {
            uint64_t expirations = 0;
            while (read(m_timerFd, &expirations, sizeof(expirations)) < 0 && errno == EINTR) {
            }
            m_armedDueMs = 0;  // an expired one-shot setting is disarmed
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
    ArmTimerFd();
    if (--m_roundDepth == 0) {
        m_deadSockets.clear();
    }
    return ran;
}

void EventLoop::Run() {
    while (!m_stopRequested && isValid()) {
        ProcessEvents(-1);
    }
    m_stopRequested = false;
}

void EventLoop::SetTimer(TimerId id, uint32_t periodMs) {
    uint32_t period = std::clamp(periodMs, kMinimumPeriodMs, kMaxTimerPeriodMs);
    m_timers[id] = Timer{period, m_clock->NowMs() + period};
    ArmTimerFd();
}

void EventLoop::KillTimer(TimerId id) {
    if (m_timers.erase(id) != 0) {
        ArmTimerFd();
    }
}

uint32_t EventLoop::GetTimerPeriod(TimerId id) const {
    auto found = m_timers.find(id);
    return found == m_timers.end() ? 0 : found->second.periodMs;
}

int EventLoop::RunDueTimers() {
    uint64_t now = m_clock->NowMs();
    std::vector<std::pair<uint64_t, TimerId>> due;
    for (const auto& [id, timer] : m_timers) {
        if (timer.dueMs <= now) {
            due.emplace_back(timer.dueMs, id);
        }
    }
    std::sort(due.begin(), due.end());
    int ran = 0;
    for (const auto& [dueMs, id] : due) {
        // A handler that ran before may have killed or replaced this timer.
        auto found = m_timers.find(id);
        if (found == m_timers.end() || found->second.dueMs > now) {
            continue;
        }
        Timer& timer = found->second;
        timer.dueMs += timer.periodMs;
        if (timer.dueMs <= now) {
            timer.dueMs = now + timer.periodMs;  // fell behind: once, not once per period
        }
        ++ran;
        if (m_timerHandler) {
            TimerHandler handler = m_timerHandler;  // the handler may replace itself
            handler(id);
        }
    }
    return ran;
}

void EventLoop::ArmTimerFd() {
    if (m_timerFd < 0) {
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
    if (wanted == m_armedDueMs) {
        return;
    }
    itimerspec setting{};
    if (wanted != 0) {
        setting.it_value.tv_sec = static_cast<time_t>(wanted / 1000);
        setting.it_value.tv_nsec = static_cast<long>(wanted % 1000) * 1000000L;
    }
    // Re-arming also clears an expiry that was not read yet.
    timerfd_settime(m_timerFd, wanted != 0 ? TFD_TIMER_ABSTIME : 0, &setting, nullptr);
    m_armedDueMs = wanted;
}

int EventLoop::WaitTimeout(int timeoutMs) const {
    if (m_timers.empty()) {
        return timeoutMs;
    }
    uint64_t next = UINT64_MAX;
    for (const auto& [id, timer] : m_timers) {
        next = std::min(next, timer.dueMs);
    }
    uint64_t now = m_clock->NowMs();
    if (next <= now) {
        return 0;
    }
    // A manual clock does not move while we wait.
    if (m_clock->isManual()) {
        return timeoutMs;
    }
    uint64_t untilDue = std::min<uint64_t>(next - now, INT_MAX);
    if (timeoutMs < 0 || static_cast<uint64_t>(timeoutMs) > untilDue) {
        return static_cast<int>(untilDue);
    }
    return timeoutMs;
}

SocketId EventLoop::Attach(int fd, AsyncSocket* socket, uint32_t epollEvents) {
    if (m_epollFd < 0 || fd < 0 || socket == nullptr) {
        return 0;
    }
    SocketId id = m_nextSocketId++;
    if (epollEvents != 0) {
        epoll_event entry{};
        entry.events = epollEvents;
        entry.data.u64 = id;
        if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &entry) != 0) {
            return 0;
        }
    }
    m_liveSockets[id] = socket;
    return id;
}

void EventLoop::Modify(SocketId id, int fd, uint32_t epollEvents) {
    if (m_epollFd < 0 || m_liveSockets.count(id) == 0) {
        return;
    }
    if (epollEvents == 0) {
        // Out of the epoll set entirely: hang-up and error are reported even without interest.
        epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    epoll_event entry{};
    entry.events = epollEvents;
    entry.data.u64 = id;
    if (epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &entry) != 0 && errno == ENOENT) {
        epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &entry);
    }
}

void EventLoop::Detach(SocketId id, int fd) {
    if (m_liveSockets.erase(id) == 0) {
        return;
    }
    if (m_roundDepth > 0) {
        m_deadSockets.insert(id);
    }
    if (m_epollFd >= 0 && fd >= 0) {
        epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
    }
}

AsyncSocket* EventLoop::LookupLive(SocketId id) const {
    auto found = m_liveSockets.find(id);
    return found == m_liveSockets.end() ? nullptr : found->second;
}

}  // namespace veltonet
