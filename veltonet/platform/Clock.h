#pragma once

#include <cstdint>

namespace veltonet {

// Millisecond time source of the event loop's timers. Tests swap in ManualClock so that a
// five-second reconnect period costs no wall time.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint64_t NowMs() const = 0;
    // A manual clock never arms the kernel timer: its timers fire only when advanced.
    virtual bool isManual() const { return false; }
};

// CLOCK_MONOTONIC in milliseconds.
class SteadyClock : public Clock {
  public:
    uint64_t NowMs() const override;
};

class ManualClock : public Clock {
  public:
    uint64_t NowMs() const override { return m_now; }
    bool isManual() const override { return true; }
    void Advance(uint64_t ms) { m_now += ms; }

  private:
    uint64_t m_now = 1000;
};

}  // namespace veltonet
