#include "veltonet/measure/FeedMeasure.h"

#include <array>

#include "support/TestSupport.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {
namespace {

using test::RecordingObserver;

// Counts bytes without a socket, so that each period's totals are known exactly. Registered,
// so the manager deletes what a test leaves.
class CountingReceiver : public TCPReceiver {
  public:
    explicit CountingReceiver(const char* name = "feed") : TCPReceiver(name, "127.0.0.1", 1, 0) {}
    using TCPReceiver::IncrementSizeReceived;
    using TCPReceiver::IncrementSizeSent;
};

TimerId IdOf(FeedMeasure* feed) {
    return reinterpret_cast<TimerId>(feed);
}

// Sent, received, previous sent, previous received: of a feed or of a receiver.
using Counts = std::array<unsigned, 4>;
template <class Counter>
Counts CountsOf(const Counter* c) {
    return {c->GetSizeSent(), c->GetSizeReceived(), c->GetPrevSizeSent(), c->GetPrevSizeReceived()};
}

using FeedMeasureTest = test::ManagerTest;

TEST_F(FeedMeasureTest,
       TwoFeedsCountTheSameBytesPublishOnTheirOwnPeriodsAndObserversMayDeleteThem) {
    auto* receiver = new CountingReceiver;
    FeedMeasure* fast = receiver->AddFeedMeasure(100);
    FeedMeasure* slow = receiver->AddFeedMeasure(1000);
    RecordingObserver fastObserver, slowObserver;
    fast->Add(&fastObserver);
    slow->Add(&slowObserver);

    receiver->IncrementSizeSent(7);
    receiver->IncrementSizeReceived(5);
    Tick(99);
    EXPECT_TRUE(fastObserver.records.empty());
    Tick(1);
    ASSERT_EQ(fastObserver.records.size(), 1u);
    EXPECT_EQ(fastObserver.records[0].bytes, test::Frame(kMsgMeasurePeriodEnded, ""));
    EXPECT_EQ(fastObserver.records[0].source, static_cast<Observable*>(fast));
    EXPECT_EQ(CountsOf(fast), (Counts{0, 0, 7, 5}));
    EXPECT_EQ(CountsOf(slow), (Counts{7, 5, 0, 0}));

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
    EXPECT_EQ(CountsOf(receiver), (Counts{16, 5, 0, 0}));

    // An observer may delete the feed from its own notification.
    fastObserver.onMessage = [](const Message*, Observable* source) {
        delete static_cast<FeedMeasure*>(source);
    };
    Tick(100);
    EXPECT_EQ(fastObserver.records.size(), 11u);
    EXPECT_EQ(receiver->GetFeedMeasureSet(), TCPReceiver::FeedMeasureSet{slow});
    EXPECT_EQ(Manager().GetFeeds(), ReceiverManager::FeedSet{slow});
    Tick(100);
    EXPECT_EQ(fastObserver.records.size(), 11u);
}

TEST_F(FeedMeasureTest, ZeroStopsTheTimerANewPeriodRestartsFromZeroTheSamePeriodChangesNothing) {
    auto* receiver = new CountingReceiver;
    FeedMeasure* feed = receiver->AddFeedMeasure(200);
    RecordingObserver observer;
    feed->Add(&observer);
    receiver->IncrementSizeSent(3);
    Tick(100);
    feed->SetMilliseconds(200);  // neither the counts nor the running timer restart
    Tick(100);
    ASSERT_EQ(observer.records.size(), 1u);
    receiver->IncrementSizeSent(4);

    feed->SetMilliseconds(0);
    EXPECT_FALSE(Loop().HasTimer(IdOf(feed)));
    for (int i = 0; i < 5; ++i) {
        receiver->IncrementSizeSent(10);
        receiver->IncrementSizeReceived(1);
        Tick(1000);
    }
    EXPECT_EQ(observer.records.size(), 1u);
    EXPECT_EQ(CountsOf(feed), (Counts{54, 5, 3, 0}));

    feed->SetMilliseconds(500);
    EXPECT_EQ(CountsOf(feed), (Counts{0, 0, 0, 0}));
    receiver->IncrementSizeReceived(8);
    Tick(499);
    EXPECT_EQ(observer.records.size(), 1u);
    Tick(1);
    EXPECT_EQ(observer.records.size(), 2u);
    EXPECT_EQ(CountsOf(feed), (Counts{0, 0, 0, 8}));
}

TEST_F(FeedMeasureTest, FeedsLeaveTheirOwnerWhenDetachedAndTheirTimerWhenDeletedClearedOrOrphaned) {
    auto* owner = new CountingReceiver("owner");
    auto* other = new CountingReceiver("other");
    FeedMeasure* bystander = other->AddFeedMeasure(100);
    FeedMeasure* feed = owner->AddFeedMeasure(100);
    EXPECT_EQ(other->RemoveFeedMeasure(feed), nullptr);
    EXPECT_EQ(other->RemoveFeedMeasure(nullptr), nullptr);
    other->IncrementSizeSent(50);
    EXPECT_EQ(owner->RemoveFeedMeasure(feed), feed);  // detached, not deleted
    EXPECT_TRUE(owner->GetFeedMeasureSet().empty());
    owner->IncrementSizeSent(2);  // the cached walk no longer reaches the feed
    EXPECT_EQ(feed->GetSizeSent(), 0u);
    EXPECT_TRUE(Loop().HasTimer(IdOf(feed)));
    delete feed;
    EXPECT_FALSE(Loop().HasTimer(IdOf(feed)));

    FeedMeasure* kept = owner->AddFeedMeasure(100);
    FeedMeasure* gone = owner->AddFeedMeasure(100);
    std::vector<TimerId> ids{IdOf(gone), IdOf(kept)};
    delete gone;
    EXPECT_EQ(owner->GetFeedMeasureSet(), TCPReceiver::FeedMeasureSet{kept});
    EXPECT_EQ(Manager().GetFeeds(), (ReceiverManager::FeedSet{bystander, kept}));
    EXPECT_FALSE(Loop().HasTimer(ids[0]));
    owner->IncrementSizeSent(6);
    EXPECT_EQ(kept->GetSizeSent(), 6u);

    for (unsigned ms : {250u, 0u})
        ids.push_back(IdOf(owner->AddFeedMeasure(ms)));
    owner->ClearFeedMeasures();
    EXPECT_TRUE(owner->GetFeedMeasureSet().empty());
    EXPECT_EQ(Manager().GetFeeds(), ReceiverManager::FeedSet{bystander});
    for (TimerId id : ids)
        EXPECT_FALSE(Loop().HasTimer(id));
    owner->IncrementSizeSent(1);  // the cached walk is empty again

    FeedMeasure* watched = owner->AddFeedMeasure(100);
    RecordingObserver observer;
    watched->Add(&observer);
    owner->IncrementSizeSent(2);
    EXPECT_EQ(watched->GetSizeSent(), 2u);
    delete owner;  // takes its feeds with it
    EXPECT_EQ(Manager().GetFeeds(), ReceiverManager::FeedSet{bystander});
    EXPECT_FALSE(Loop().HasTimer(IdOf(watched)));
    Tick(1000);
    EXPECT_TRUE(observer.records.empty());
}

TEST_F(FeedMeasureTest, LibraryWidePeriodEndClosesEveryReceiversPeriodANewSpanDoesSoSilently) {
    Manager().SetMeasureTimeSpan(2);
    auto* receiver = new CountingReceiver;
    FeedMeasure* feed = receiver->AddFeedMeasure(0);
    RecordingObserver observer;
    std::vector<Counts> seen;  // the receiver's counts as each period ends
    observer.onMessage = [&](const Message*, Observable*) { seen.push_back(CountsOf(receiver)); };
    Manager().Add(&observer);

    receiver->IncrementSizeSent(300);
    receiver->IncrementSizeReceived(1000);
    Tick(1999);
    EXPECT_TRUE(seen.empty());
    Tick(1);
    ASSERT_EQ(observer.Types(), std::vector<uint16_t>{kMsgMeasurePeriodEnded});
    EXPECT_EQ(observer.records[0].source, static_cast<Observable*>(&Manager()));
    EXPECT_EQ(seen, (std::vector<Counts>{{0, 0, 300, 1000}}));
    EXPECT_EQ(CountsOf(feed), (Counts{300, 1000, 0, 0}));  // the feed keeps its own period

    receiver->IncrementSizeReceived(40);
    receiver->IncrementSizeSent(0xFFFFFFFFu);  // counters wrap at 32 bits
    receiver->IncrementSizeSent(3);
    Manager().SetMeasureTimeSpan(2);  // unchanged: nothing happens
    Manager().SetMeasureTimeSpan(5);
    EXPECT_EQ(CountsOf(receiver), (Counts{0, 0, 2, 40}));
    Tick(2000);
    EXPECT_EQ(seen.size(), 1u);
    Tick(3000);
    EXPECT_EQ(seen, (std::vector<Counts>{{0, 0, 300, 1000}, {0, 0, 0, 0}}));
}

}  // namespace
}  // namespace veltonet
