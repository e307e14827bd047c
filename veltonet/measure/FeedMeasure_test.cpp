#include "veltonet/measure/FeedMeasure.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {
namespace {

using test::RecordingObserver;

// Counts bytes without a socket, so that each period's totals are known exactly.
class CountingReceiver : public TCPReceiver {
  public:
    explicit CountingReceiver(const char* name) : TCPReceiver(name, "127.0.0.1", 1, 0) {}
    using TCPReceiver::IncrementSizeReceived;
    using TCPReceiver::IncrementSizeSent;
};

TimerId IdOf(FeedMeasure* feed) {
    return reinterpret_cast<TimerId>(feed);
}

struct Counts {
    unsigned sent, received, prevSent, prevReceived;
    bool operator==(const Counts&) const = default;
};

Counts CountsOf(const FeedMeasure* feed) {
    return {feed->GetSizeSent(), feed->GetSizeReceived(), feed->GetPrevSizeSent(),
            feed->GetPrevSizeReceived()};
}

void PrintTo(const Counts& c, std::ostream* os) {
    *os << "{sent " << c.sent << ", received " << c.received << ", prev sent " << c.prevSent
        << ", prev received " << c.prevReceived << "}";
}

class FeedMeasureTest : public test::ManagerTest {
  protected:
    // Registered, so the manager deletes what a test leaves.
    CountingReceiver* MakeReceiver(const char* name = "feed") { return new CountingReceiver(name); }
};

TEST_F(FeedMeasureTest, TwoFeedsCountTheSameBytesAndPublishOnTheirOwnPeriods) {
    CountingReceiver* receiver = MakeReceiver();
    FeedMeasure* fast = receiver->AddFeedMeasure(100);
    FeedMeasure* slow = receiver->AddFeedMeasure(1000);
    EXPECT_EQ(fast->GetOwner(), receiver);
    EXPECT_EQ(Loop().GetTimerPeriod(IdOf(fast)), 100u);
    EXPECT_EQ(Loop().GetTimerPeriod(IdOf(slow)), 1000u);
    RecordingObserver fastObserver, slowObserver;
    fast->Add(&fastObserver);
    slow->Add(&slowObserver);

    receiver->IncrementSizeSent(7);
    receiver->IncrementSizeReceived(5);
    EXPECT_EQ(CountsOf(fast), (Counts{7, 5, 0, 0}));
    EXPECT_EQ(CountsOf(slow), (Counts{7, 5, 0, 0}));

    Tick(99);
    EXPECT_TRUE(fastObserver.records.empty());
    Tick(1);
    ASSERT_EQ(fastObserver.records.size(), 1u);
    EXPECT_EQ(fastObserver.records[0].type, kMsgMeasurePeriodEnded);
    EXPECT_EQ(fastObserver.records[0].size, 4u);
    EXPECT_EQ(fastObserver.records[0].source, static_cast<Observable*>(fast));
    EXPECT_EQ(CountsOf(fast), (Counts{0, 0, 7, 5}));
    EXPECT_EQ(CountsOf(slow), (Counts{7, 5, 0, 0}));
    EXPECT_TRUE(slowObserver.records.empty());

    for (int i = 0; i < 9; ++i) {
        receiver->IncrementSizeSent(1);
        Tick(100);
    }
    EXPECT_EQ(fastObserver.records.size(), 10u);
    ASSERT_EQ(slowObserver.records.size(), 1u);
    EXPECT_EQ(slowObserver.records[0].source, static_cast<Observable*>(slow));
    EXPECT_EQ(CountsOf(fast), (Counts{0, 0, 1, 0}));
    EXPECT_EQ(CountsOf(slow), (Counts{0, 0, 16, 5}));
    // The receiver's own counters follow the library-wide period only.
    EXPECT_EQ(receiver->GetSizeSent(), 16u);
    EXPECT_EQ(receiver->GetSizeReceived(), 5u);
    EXPECT_EQ(receiver->GetPrevSizeSent(), 0u);
}

TEST_F(FeedMeasureTest, PeriodZeroAccumulatesUntilANewPeriodRestartsFromZero) {
    CountingReceiver* receiver = MakeReceiver();
    FeedMeasure* feed = receiver->AddFeedMeasure(200);
    RecordingObserver observer;
    feed->Add(&observer);
    receiver->IncrementSizeSent(3);
    Tick(200);
    ASSERT_EQ(observer.records.size(), 1u);
    receiver->IncrementSizeSent(4);

    feed->SetMilliseconds(0);
    EXPECT_FALSE(Loop().HasTimer(IdOf(feed)));
    EXPECT_EQ(CountsOf(feed), (Counts{4, 0, 3, 0}));  // stopping keeps the counts
    for (int i = 0; i < 5; ++i) {
        receiver->IncrementSizeSent(10);
        receiver->IncrementSizeReceived(1);
        Tick(1000);
    }
    EXPECT_EQ(observer.records.size(), 1u);
    EXPECT_EQ(CountsOf(feed), (Counts{54, 5, 3, 0}));

    feed->SetMilliseconds(500);
    EXPECT_EQ(feed->GetMilliseconds(), 500u);
    EXPECT_EQ(CountsOf(feed), (Counts{0, 0, 0, 0}));
    EXPECT_EQ(Loop().GetTimerPeriod(IdOf(feed)), 500u);
    receiver->IncrementSizeReceived(8);
    Tick(499);
    EXPECT_EQ(observer.records.size(), 1u);
    Tick(1);
    EXPECT_EQ(observer.records.size(), 2u);
    EXPECT_EQ(CountsOf(feed), (Counts{0, 0, 0, 8}));
}

TEST_F(FeedMeasureTest, SettingTheSamePeriodChangesNothing) {
    CountingReceiver* receiver = MakeReceiver();
    FeedMeasure* feed = receiver->AddFeedMeasure(300);
    receiver->IncrementSizeSent(9);
    Tick(200);
    feed->SetMilliseconds(300);
    EXPECT_EQ(CountsOf(feed), (Counts{9, 0, 0, 0}));
    RecordingObserver observer;
    feed->Add(&observer);
    Tick(100);  // the running timer was not restarted
    EXPECT_EQ(observer.records.size(), 1u);
}

TEST_F(FeedMeasureTest, RemovingAnotherReceiversFeedReturnsNullAndChangesNothing) {
    CountingReceiver* owner = MakeReceiver("owner");
    CountingReceiver* other = MakeReceiver("other");
    FeedMeasure* feed = owner->AddFeedMeasure(100);

    EXPECT_EQ(other->RemoveFeedMeasure(feed), nullptr);
    EXPECT_EQ(other->RemoveFeedMeasure(nullptr), nullptr);
    EXPECT_EQ(owner->GetFeedMeasureSet().count(feed), 1u);
    owner->IncrementSizeSent(2);
    other->IncrementSizeSent(50);
    EXPECT_EQ(feed->GetSizeSent(), 2u);

    // Removing from the right owner detaches without deleting: the feed stops counting.
    EXPECT_EQ(owner->RemoveFeedMeasure(feed), feed);
    EXPECT_TRUE(owner->GetFeedMeasureSet().empty());
    owner->IncrementSizeSent(5);
    EXPECT_EQ(feed->GetSizeSent(), 2u);
    EXPECT_EQ(Manager().GetFeeds().count(feed), 1u);

    delete feed;
    EXPECT_TRUE(Manager().GetFeeds().empty());
    EXPECT_FALSE(Loop().HasTimer(IdOf(feed)));
}

TEST_F(FeedMeasureTest, DeletingAFeedDetachesItFromItsOwnerAndItsTimer) {
    CountingReceiver* receiver = MakeReceiver();
    FeedMeasure* kept = receiver->AddFeedMeasure(100);
    FeedMeasure* gone = receiver->AddFeedMeasure(100);
    const TimerId goneId = IdOf(gone);
    delete gone;
    EXPECT_EQ(receiver->GetFeedMeasureSet(), TCPReceiver::FeedMeasureSet{kept});
    EXPECT_EQ(Manager().GetFeeds(), ReceiverManager::FeedSet{kept});
    EXPECT_FALSE(Loop().HasTimer(goneId));
    receiver->IncrementSizeSent(6);  // walks only the remaining feed
    EXPECT_EQ(kept->GetSizeSent(), 6u);
}

TEST_F(FeedMeasureTest, DeletingTheReceiverDeletesItsFeedsAndStopsTheirTimers) {
    CountingReceiver* receiver = MakeReceiver();
    CountingReceiver* bystander = MakeReceiver("bystander");
    FeedMeasure* other = bystander->AddFeedMeasure(100);
    FeedMeasure* watched = receiver->AddFeedMeasure(100);
    std::vector<TimerId> ids = {IdOf(watched), IdOf(receiver->AddFeedMeasure(250)),
                                IdOf(receiver->AddFeedMeasure(0))};
    RecordingObserver observer;
    watched->Add(&observer);
    ASSERT_EQ(Manager().GetFeeds().size(), 4u);

    delete receiver;
    EXPECT_EQ(Manager().GetFeeds(), ReceiverManager::FeedSet{other});
    for (TimerId id : ids) {
        EXPECT_FALSE(Loop().HasTimer(id));
    }
    Tick(1000);
    EXPECT_TRUE(observer.records.empty());
}

TEST_F(FeedMeasureTest, ClearFeedMeasuresDeletesEveryFeed) {
    CountingReceiver* receiver = MakeReceiver();
    for (unsigned ms : {100u, 200u, 0u}) {
        receiver->AddFeedMeasure(ms);
    }
    const size_t timersBefore = Loop().GetTimerCount();
    receiver->ClearFeedMeasures();
    EXPECT_TRUE(receiver->GetFeedMeasureSet().empty());
    EXPECT_TRUE(Manager().GetFeeds().empty());
    EXPECT_EQ(Loop().GetTimerCount(), timersBefore - 2);
    receiver->IncrementSizeSent(1);  // the cached walk is empty again
    EXPECT_EQ(receiver->GetSizeSent(), 1u);

    FeedMeasure* feed = receiver->AddFeedMeasure(100);
    receiver->IncrementSizeSent(2);
    EXPECT_EQ(feed->GetSizeSent(), 2u);
}

TEST_F(FeedMeasureTest, ObserverMayDeleteTheFeedFromItsOwnNotification) {
    CountingReceiver* receiver = MakeReceiver();
    FeedMeasure* feed = receiver->AddFeedMeasure(100);
    RecordingObserver observer;
    observer.onMessage = [&](const Message*, Observable* source) {
        delete static_cast<FeedMeasure*>(source);
    };
    feed->Add(&observer);
    Tick(100);
    EXPECT_EQ(observer.records.size(), 1u);
    EXPECT_TRUE(receiver->GetFeedMeasureSet().empty());
    EXPECT_TRUE(Manager().GetFeeds().empty());
    Tick(100);
    EXPECT_EQ(observer.records.size(), 1u);
}

TEST_F(FeedMeasureTest, CountersWrapAt32Bits) {
    CountingReceiver* receiver = MakeReceiver();
    FeedMeasure* feed = receiver->AddFeedMeasure(0);
    receiver->IncrementSizeSent(0xFFFFFFFFu);
    receiver->IncrementSizeSent(3);
    EXPECT_EQ(receiver->GetSizeSent(), 2u);
    EXPECT_EQ(feed->GetSizeSent(), 2u);
}

TEST_F(FeedMeasureTest, ResetMeasureClosesTheReceiversPeriod) {
    CountingReceiver* receiver = MakeReceiver();
    FeedMeasure* feed = receiver->AddFeedMeasure(0);
    receiver->IncrementSizeSent(11);
    receiver->IncrementSizeReceived(22);
    receiver->ResetMeasure();
    EXPECT_EQ(receiver->GetPrevSizeSent(), 11u);
    EXPECT_EQ(receiver->GetPrevSizeReceived(), 22u);
    EXPECT_EQ(receiver->GetSizeSent(), 0u);
    EXPECT_EQ(receiver->GetSizeReceived(), 0u);
    EXPECT_EQ(CountsOf(feed), (Counts{11, 22, 0, 0}));  // feeds keep their own periods
}

// The library-wide period over real traffic on loopback.
class LibraryWidePeriodTest : public test::ManagerTest {
  protected:
    void SetUp() override {
        ManagerTest::SetUp();
        listenFd = test::raw::Listen(&port);
        ASSERT_GE(listenFd, 0);
        receiver = new TCPReceiver("measured", "127.0.0.1", port, 0);
        receiver->InvalidateSocket(true);
        ASSERT_TRUE(receiver->CreateSocket());
        ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
        peerFd = test::raw::AcceptWithin(listenFd, 2000);
        ASSERT_GE(peerFd, 0);
        Manager().Add(&measureObserver);
    }

    void TearDown() override {
        test::raw::Close(peerFd);
        test::raw::Close(listenFd);
        ManagerTest::TearDown();
    }

    // The peer sends `bytes` as framed messages; pumps until the receiver read them all.
    void ReceiveFromPeer(unsigned bytes) {
        const unsigned before = receiver->GetSizeReceived();
        std::string frames;
        while (frames.size() < bytes) {
            size_t body = std::min<size_t>(bytes - frames.size() - 4, 496);
            frames += test::Frame(100, std::string(body, 'm'));
        }
        ASSERT_EQ(frames.size(), bytes);
        ASSERT_TRUE(test::raw::SendAll(peerFd, frames));
        ASSERT_TRUE(PumpUntil([&] { return receiver->GetSizeReceived() == before + bytes; }));
    }

    uint16_t port = 0;
    int listenFd = -1;
    int peerFd = -1;
    TCPReceiver* receiver = nullptr;
    RecordingObserver measureObserver;
};

TEST_F(LibraryWidePeriodTest, PeriodEndPublishesWithTheFinishedPeriodsCounts) {
    Manager().SetMeasureTimeSpan(2);
    FeedMeasure* feed = receiver->AddFeedMeasure(0);
    struct Seen {
        unsigned prevSent, prevReceived, sent, received;
    };
    std::vector<Seen> seen;
    measureObserver.onMessage = [&](const Message*, Observable*) {
        seen.push_back({receiver->GetPrevSizeSent(), receiver->GetPrevSizeReceived(),
                        receiver->GetSizeSent(), receiver->GetSizeReceived()});
    };

    ReceiveFromPeer(1000);
    ASSERT_TRUE(receiver->SendBuffer(std::string(300, 's').data(), 300));
    Tick(1999);
    EXPECT_TRUE(measureObserver.records.empty());
    Tick(1);
    ASSERT_EQ(measureObserver.Types(), std::vector<uint16_t>{kMsgMeasurePeriodEnded});
    EXPECT_EQ(measureObserver.records[0].source, static_cast<Observable*>(&Manager()));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].prevSent, 300u);
    EXPECT_EQ(seen[0].prevReceived, 1000u);
    EXPECT_EQ(seen[0].sent, 0u);
    EXPECT_EQ(seen[0].received, 0u);
    // The feed has a period of its own and keeps counting.
    EXPECT_EQ(CountsOf(feed), (Counts{300, 1000, 0, 0}));

    ReceiveFromPeer(40);
    Tick(2000);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].prevSent, 0u);
    EXPECT_EQ(seen[1].prevReceived, 40u);
}

TEST_F(LibraryWidePeriodTest, NewSpanClosesThePeriodWithoutNotification) {
    Manager().SetMeasureTimeSpan(2);
    ReceiveFromPeer(600);

    Manager().SetMeasureTimeSpan(2);  // unchanged: nothing happens
    EXPECT_EQ(receiver->GetSizeReceived(), 600u);
    EXPECT_EQ(receiver->GetPrevSizeReceived(), 0u);

    Manager().SetMeasureTimeSpan(5);
    EXPECT_EQ(receiver->GetPrevSizeReceived(), 600u);
    EXPECT_EQ(receiver->GetSizeReceived(), 0u);
    EXPECT_TRUE(measureObserver.records.empty());
    EXPECT_EQ(Loop().GetTimerPeriod(kLibraryWideTimer), 5000u);

    Tick(2000);
    EXPECT_TRUE(measureObserver.records.empty());
    Tick(3000);
    EXPECT_EQ(measureObserver.records.size(), 1u);
    EXPECT_EQ(receiver->GetPrevSizeReceived(), 0u);
}

}  // namespace
}  // namespace veltonet
