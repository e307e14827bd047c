#include "veltonet/platform/EventLoop.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/TestSupport.h"
#include "veltonet/platform/Clock.h"

namespace veltonet {
namespace {

using Ids = std::vector<TimerId>;

using test::raw::Readable;

class ManualTimers : public ::testing::Test {
  protected:
    ManualTimers() {
        loop.SetTimerHandler([this](TimerId id) { fired.push_back(id); });
    }
    // Advances the clock and runs one round; returns how many handlers ran.
    int After(uint64_t ms) {
        clock.Advance(ms);
        return loop.ProcessEvents(0);
    }

    ManualClock clock;
    EventLoop loop{&clock};
    Ids fired;
};

TEST_F(ManualTimers, FiresOncePerPeriodOnceWhenItFellBehindAndLeavesTheEventFdQuiet) {
    loop.SetTimer(kLibraryWideTimer, 100);
    EXPECT_EQ(After(99), 0);
    EXPECT_EQ(After(1), 1);
    EXPECT_EQ(After(0), 0);
    EXPECT_EQ(After(100), 1);
    EXPECT_EQ(After(350), 1);  // fell behind: once, then a period from now
    EXPECT_EQ(After(0), 0);
    EXPECT_EQ(After(99), 0);
    EXPECT_EQ(After(1), 1);
    EXPECT_EQ(fired, Ids(4, kLibraryWideTimer));

    loop.SetTimer(3, 0);  // raised to 10 ms: a zero period must not spin
    EXPECT_EQ(loop.GetTimerPeriod(3), 10u);
    EXPECT_EQ(After(9), 0);
    clock.Advance(1);
    EXPECT_FALSE(Readable(loop.EventFd(), 30));  // due on the manual clock only
    EXPECT_EQ(loop.ProcessEvents(0), 1);
}

TEST_F(ManualTimers, SetTimerReplacesAndRestartsKillTimerStopsAndDueTimersRunInDueOrder) {
    loop.SetTimer(7, 100);
    loop.SetTimer(8, 100);
    clock.Advance(60);
    loop.SetTimer(7, 200);
    EXPECT_EQ(loop.GetTimerPeriod(7), 200u);
    loop.KillTimer(8);
    loop.KillTimer(99);  // unknown: nothing
    EXPECT_EQ(loop.GetTimerCount(), 1u);
    EXPECT_EQ(After(40), 0);  // the first setting of 7 and timer 8 would be due now
    EXPECT_EQ(After(159), 0);
    EXPECT_EQ(After(1), 1);
    EXPECT_EQ(fired, Ids{7});

    fired.clear();
    loop.SetTimer(5, 300);
    loop.SetTimer(9, 100);
    loop.SetTimer(1, 200);
    loop.KillTimer(7);
    EXPECT_EQ(After(300), 3);
    EXPECT_EQ(fired, (Ids{9, 1, 5}));
}

TEST_F(ManualTimers, TimerKilledReplacedOrSetByAnEarlierHandlerDoesNotRunInThatRound) {
    for (TimerId id : {1, 2, 3})
        loop.SetTimer(id, 100);
    loop.SetTimerHandler([this](TimerId id) {
        fired.push_back(id);
        if (id == 1) {
            loop.KillTimer(2);
            loop.SetTimer(3, 300);
            loop.SetTimer(4, 10);
        }
    });
    EXPECT_EQ(After(100), 1);
    loop.KillTimer(1);
    EXPECT_EQ(After(10), 1);
    loop.KillTimer(4);
    EXPECT_EQ(After(289), 0);
    EXPECT_EQ(After(1), 1);
    EXPECT_EQ(fired, (Ids{1, 4, 3}));
}

TEST(SteadyTimers, EventFdIsReadableExactlyWhenATimerIsDue) {
    if (test::kWindows) {
        GTEST_SKIP() << "no event descriptor on Windows: due timers arrive as window messages";
    }
    EventLoop loop;
    ASSERT_TRUE(loop.isValid());
    int runs = 0;
    loop.SetTimerHandler([&](TimerId) { ++runs; });
    EXPECT_FALSE(Readable(loop.EventFd(), 0));
    // A long period, so that a slow run (valgrind, a loaded machine) cannot reach the next
    // expiry before the "not yet readable" checks.
    loop.SetTimer(1, 300);
    EXPECT_FALSE(Readable(loop.EventFd(), 0));
    ASSERT_TRUE(Readable(loop.EventFd(), 5000));
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(Readable(loop.EventFd(), 0));  // re-armed for the next period

    ASSERT_TRUE(Readable(loop.EventFd(), 5000));
    loop.KillTimer(1);  // due but killed before the round: quiet again
    EXPECT_FALSE(Readable(loop.EventFd(), 0));
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    EXPECT_FALSE(Readable(loop.EventFd(), 60));
}

TEST(SteadyTimers, WaitEndsAtTheNextTimerDespiteALongerTimeout) {
    SteadyClock clock;
    EventLoop loop;
    // Read the clock before arming: the timer counts from SetTimer, so a start read after it
    // could see a wait shorter than the period on a slow run.
    const uint64_t start = clock.NowMs();
    loop.SetTimer(1, 20);
    EXPECT_EQ(loop.ProcessEvents(10000), 1);
    const uint64_t elapsed = clock.NowMs() - start;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(SteadyTimers, RunRoundsUntilAHandlerStopsIt) {
    EventLoop loop;
    int runs = 0;
    loop.SetTimerHandler([&](TimerId) {
        if (++runs == 3)
            loop.Stop();
    });
    loop.SetTimer(1, 10);
    loop.Run();
    EXPECT_EQ(runs, 3);
    // A stop asked for before Run ends it at once, and Run clears it.
    loop.KillTimer(1);
    loop.Stop();
    loop.Run();
}

}  // namespace
}  // namespace veltonet
