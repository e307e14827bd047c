// The timer bookkeeping and the socket registry that every platform's loop shares.
#include "veltonet/platform/EventLoop.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

namespace veltonet {

namespace {

// Shortest period, as on Windows: a zero period must not make the loop spin.
constexpr uint32_t kMinimumPeriodMs = 10;

}  // namespace

void EventLoop::Run() {
    while (!m_stopRequested && isValid()) {
        ProcessEvents(-1);
    }
    m_stopRequested = false;
}

void EventLoop::SetTimer(TimerId id, uint32_t periodMs) {
    uint32_t period = std::clamp(periodMs, kMinimumPeriodMs, kMaxTimerPeriodMs);
    m_timers[id] = Timer{period, m_clock->NowMs() + period};
    TimerChanged(id);
}

void EventLoop::KillTimer(TimerId id) {
    if (m_timers.erase(id) != 0) {
        TimerChanged(id);
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
        if (RunTimer(id, now)) {
            ++ran;
        }
    }
    return ran;
}

bool EventLoop::RunTimer(TimerId id, uint64_t now) {
    auto found = m_timers.find(id);
    if (found == m_timers.end()) {
        return false;
    }
    Timer& timer = found->second;
    timer.dueMs += timer.periodMs;
    if (timer.dueMs <= now) {
        timer.dueMs = now + timer.periodMs;  // fell behind: once, not once per period
    }
    if (m_timerHandler) {
        TimerHandler handler = m_timerHandler;  // the handler may replace itself
        handler(id);
    }
    return true;
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

AsyncSocket* EventLoop::LookupLive(SocketId id) const {
    auto found = m_liveSockets.find(id);
    return found == m_liveSockets.end() ? nullptr : found->second;
}

}  // namespace veltonet
