#include "veltonet/platform/EventLoop.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <vector>

#include "veltonet/platform/Clock.h"

namespace veltonet {
namespace {

class ManualTimers : public ::testing::Test {
  protected:
    ManualTimers() {
        loop.SetTimerHandler([this](TimerId id) { fired.push_back(id); });
    }

    ManualClock clock;
    EventLoop loop{&clock};
    std::vector<TimerId> fired;
};

TEST_F(ManualTimers, FiresOncePerPeriodAndKeepsRunning) {
    loop.SetTimer(7, 100);
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    clock.Advance(99);
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    clock.Advance(1);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    clock.Advance(100);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(fired, (std::vector<TimerId>{7, 7}));
    EXPECT_TRUE(loop.HasTimer(7));
}

TEST_F(ManualTimers, TimerThatFellBehindFiresOnceThenAPeriodFromNow) {
    loop.SetTimer(7, 100);
    clock.Advance(350);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    clock.Advance(99);
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    clock.Advance(1);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(ManualTimers, SetTimerReplacesPeriodAndRestartsIt) {
    loop.SetTimer(7, 100);
    clock.Advance(60);
    loop.SetTimer(7, 200);
    EXPECT_EQ(loop.GetTimerCount(), 1u);
    EXPECT_EQ(loop.GetTimerPeriod(7), 200u);
    clock.Advance(40);  // the first setting would be due now
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    clock.Advance(159);
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    clock.Advance(1);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(fired, (std::vector<TimerId>{7}));
}

TEST_F(ManualTimers, KillTimerStopsIt) {
    loop.SetTimer(7, 100);
    loop.SetTimer(8, 100);
    loop.KillTimer(7);
    loop.KillTimer(99);  // unknown: nothing
    EXPECT_FALSE(loop.HasTimer(7));
    EXPECT_EQ(loop.GetTimerPeriod(7), 0u);
    clock.Advance(1000);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(fired, (std::vector<TimerId>{8}));
}

TEST_F(ManualTimers, HandlerThatKillsAnotherDueTimerPreventsItsRun) {
    loop.SetTimer(1, 100);
    loop.SetTimer(2, 100);
    loop.SetTimerHandler([this](TimerId id) {
        fired.push_back(id);
        loop.KillTimer(id == 1 ? 2 : 1);
    });
    clock.Advance(100);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(loop.GetTimerCount(), 1u);
    EXPECT_TRUE(loop.HasTimer(fired[0]));
}

TEST_F(ManualTimers, HandlerThatReplacesAnotherDueTimerPostponesIt) {
    loop.SetTimer(1, 100);
    clock.Advance(50);
    loop.SetTimer(2, 50);
    loop.SetTimerHandler([this](TimerId id) {
        fired.push_back(id);
        loop.SetTimer(id == 1 ? 2 : 1, 300);
    });
    clock.Advance(50);  // both due
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    ASSERT_EQ(fired, (std::vector<TimerId>{1}));
    EXPECT_EQ(loop.GetTimerPeriod(2), 300u);
    loop.KillTimer(1);
    clock.Advance(299);
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    clock.Advance(1);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(fired, (std::vector<TimerId>{1, 2}));
}

TEST_F(ManualTimers, DueTimersRunInDueOrder) {
    loop.SetTimer(5, 300);
    loop.SetTimer(9, 100);
    loop.SetTimer(1, 200);
    clock.Advance(300);
    EXPECT_EQ(loop.ProcessEvents(0), 3);
    EXPECT_EQ(fired, (std::vector<TimerId>{9, 1, 5}));
}

TEST_F(ManualTimers, TimerSetByAHandlerDoesNotRunInTheSameRound) {
    loop.SetTimer(1, 100);
    loop.SetTimerHandler([this](TimerId id) {
        fired.push_back(id);
        if (id == 1) {
            loop.SetTimer(2, 10);
        }
    });
    clock.Advance(100);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    clock.Advance(10);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(fired, (std::vector<TimerId>{1, 2}));
}

TEST_F(ManualTimers, ZeroPeriodIsRaisedToTenMilliseconds) {
    loop.SetTimer(3, 0);
    EXPECT_EQ(loop.GetTimerPeriod(3), 10u);
    EXPECT_EQ(loop.ProcessEvents(0), 0);
    clock.Advance(10);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
}

TEST_F(ManualTimers, LibraryWideIdentifierIsAnOrdinaryTimer) {
    loop.SetTimer(kLibraryWideTimer, 1000);
    clock.Advance(1000);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(fired, (std::vector<TimerId>{kLibraryWideTimer}));
}

TEST_F(ManualTimers, ManualClockNeverMakesTheEventFdReadable) {
    loop.SetTimer(1, 10);
    clock.Advance(10);
    pollfd entry{loop.EventFd(), POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 30), 0);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
}

bool Readable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) == 1 && (entry.revents & POLLIN) != 0;
}

TEST(SteadyTimers, EventFdIsReadableExactlyWhenATimerIsDue) {
    EventLoop loop;
    ASSERT_TRUE(loop.isValid());
    int runs = 0;
    loop.SetTimerHandler([&](TimerId) { ++runs; });
    EXPECT_FALSE(Readable(loop.EventFd(), 0));

    loop.SetTimer(1, 20);
    EXPECT_FALSE(Readable(loop.EventFd(), 0));
    ASSERT_TRUE(Readable(loop.EventFd(), 2000));
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(runs, 1);
    // Handled and re-armed for the next period: quiet again.
    EXPECT_FALSE(Readable(loop.EventFd(), 0));

    loop.KillTimer(1);
    EXPECT_FALSE(Readable(loop.EventFd(), 60));
}

TEST(SteadyTimers, KillingADueTimerBeforeTheRoundClearsTheEventFd) {
    EventLoop loop;
    loop.SetTimer(1, 10);
    ASSERT_TRUE(Readable(loop.EventFd(), 2000));
    loop.KillTimer(1);
    EXPECT_FALSE(Readable(loop.EventFd(), 0));
    EXPECT_EQ(loop.ProcessEvents(0), 0);
}

TEST(SteadyTimers, WaitEndsAtTheNextTimerDespiteALongerTimeout) {
    SteadyClock clock;
    EventLoop loop;
    loop.SetTimer(1, 20);
    uint64_t start = clock.NowMs();
    EXPECT_EQ(loop.ProcessEvents(10000), 1);
    uint64_t elapsed = clock.NowMs() - start;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(SteadyTimers, RunRoundsUntilAHandlerStopsIt) {
    EventLoop loop;
    int runs = 0;
    loop.SetTimerHandler([&](TimerId) {
        if (++runs == 3) {
            loop.Stop();
        }
    });
    loop.SetTimer(1, 10);
    loop.Run();
    EXPECT_EQ(runs, 3);
    // A stop asked for before Run ends it at once, and Run clears it.
    loop.KillTimer(1);
    loop.Stop();
    loop.Run();
}

TEST(Clocks, SteadyClockNeverGoesBackAndManualClockMovesOnlyWhenAdvanced) {
    SteadyClock steady;
    uint64_t first = steady.NowMs();
    EXPECT_GE(steady.NowMs(), first);
    EXPECT_FALSE(steady.isManual());

    ManualClock manual;
    uint64_t start = manual.NowMs();
    EXPECT_EQ(manual.NowMs(), start);
    manual.Advance(250);
    EXPECT_EQ(manual.NowMs(), start + 250);
    EXPECT_TRUE(manual.isManual());
}

}  // namespace
}  // namespace veltonet
