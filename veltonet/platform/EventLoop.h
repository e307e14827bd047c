#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

#include "veltonet/platform/Clock.h"

namespace veltonet {

class AsyncSocket;

using TimerId = uintptr_t;
// The library-wide timer (measurement period, logout time-out).
constexpr TimerId kLibraryWideTimer = ~TimerId(0);

// The longest timer period, as on Windows (about 24.8 days); longer ones are cut to it.
constexpr uint32_t kMaxTimerPeriodMs = 0x7FFFFFFF;
// A period given in seconds, computed without overflow and cut to the longest period.
constexpr uint32_t TimerPeriodFromSeconds(uint32_t seconds) {
    const uint64_t ms = uint64_t{seconds} * 1000u;
    return ms > kMaxTimerPeriodMs ? kMaxTimerPeriodMs : static_cast<uint32_t>(ms);
}

// Unique per socket for the life of the process, never a descriptor: an event that waits in
// a batch for a socket closed by an earlier handler finds no live entry and is dropped, even
// when the kernel has already handed the same descriptor to a new socket.
using SocketId = uint64_t;

// One thread's loop: epoll for sockets, one timerfd for all timers. The epoll descriptor is
// readable exactly when ProcessEvents has work. Not thread-safe: everything runs on the
// thread that pumps it. Sockets should be closed before their loop goes; a socket that
// outlives it keeps its descriptor and is no longer watched.
class EventLoop {
  public:
    using TimerHandler = std::function<void(TimerId)>;

    // clock: null for the steady clock; otherwise not owned and must outlive the loop.
    explicit EventLoop(Clock* clock = nullptr);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    bool isValid() const { return m_epollFd >= 0; }
    int EventFd() const { return m_epollFd; }
    Clock& GetClock() const { return *m_clock; }

    // One round: waits up to timeoutMs (-1 forever, 0 not at all) for work, runs the timers
    // that are due and the ready socket events, one at a time. Returns how many it ran.
    int ProcessEvents(int timeoutMs);
    // Rounds until Stop (which may be called from a handler). A Stop requested before Run
    // ends it at once; Run clears the request when it returns.
    void Run();
    void Stop() { m_stopRequested = true; }
    // True while a round runs its timers and socket events (a handler is on the stack).
    bool isDispatching() const { return m_roundDepth > 0; }

    // Periodic timers. SetTimer starts one or replaces the one with that identifier (the
    // period restarts now); a timer that fell behind fires once, not once per missed period.
    // Periods below 10 ms are raised to 10 ms and those above kMaxTimerPeriodMs cut to it, as
    // on Windows. Due timers run in order of
    // their due time; one killed or replaced by an earlier handler of the round does not run.
    void SetTimer(TimerId id, uint32_t periodMs);
    void KillTimer(TimerId id);
    bool HasTimer(TimerId id) const { return m_timers.count(id) != 0; }
    uint32_t GetTimerPeriod(TimerId id) const;
    size_t GetTimerCount() const { return m_timers.size(); }
    void SetTimerHandler(TimerHandler handler) { m_timerHandler = std::move(handler); }

    // Socket registry, for AsyncSocket only. Attach answers 0 when the descriptor cannot be
    // watched. Events 0 keeps the socket live but out of the epoll set (hang-up and error
    // would be reported even without interest).
    SocketId Attach(int fd, AsyncSocket* socket, uint32_t epollEvents);
    void Modify(SocketId id, int fd, uint32_t epollEvents);
    // Forgets a live socket. Detached inside a round, its identifier stays in the dead map
    // until that round ends.
    void Detach(SocketId id, int fd);
    AsyncSocket* LookupLive(SocketId id) const;
    bool isDead(SocketId id) const { return m_deadSockets.count(id) != 0; }
    size_t GetLiveSocketCount() const { return m_liveSockets.size(); }

  private:
    struct Timer {
        uint32_t periodMs;
        uint64_t dueMs;
    };

    int RunDueTimers();
    void ArmTimerFd();
    int WaitTimeout(int timeoutMs) const;

    Clock* m_clock;
    std::unique_ptr<Clock> m_ownedClock;
    int m_epollFd = -1;
    int m_timerFd = -1;
    bool m_stopRequested = false;
    int m_roundDepth = 0;
    // Deadline the timerfd is armed for; 0 when disarmed.
    uint64_t m_armedDueMs = 0;
    std::map<TimerId, Timer> m_timers;
    TimerHandler m_timerHandler;
    SocketId m_nextSocketId = 1;
    std::unordered_map<SocketId, AsyncSocket*> m_liveSockets;
    std::set<SocketId> m_deadSockets;
};

}  // namespace veltonet
