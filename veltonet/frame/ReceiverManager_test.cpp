#include "veltonet/frame/ReceiverManager.h"

#include "support/TestSupport.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {
namespace {

using test::RecordingObserver;
using Types = std::vector<uint16_t>;

// Receivers are registered: the manager deletes what a test leaves.
using ReceiverManagerTest = test::ManagerTest;

// A receiver that must exchange a logout with its server before it may go.
class SlowLogoutReceiver : public TCPReceiver {
  public:
    explicit SlowLogoutReceiver(const char* name) : TCPReceiver(name, "127.0.0.1", 9, 0) {}
    bool Logout() override { return false; }
};

TEST_F(ReceiverManagerTest, RegistrationIsIdempotentAndRemovalTakesTheReceiversOwnEntry) {
    auto* first = new TCPReceiver("feed", "", 0, 0);
    auto* second = new TCPReceiver("feed", "", 0, 0);
    Manager().AddReceiver(first);  // its constructor registered it already
    EXPECT_EQ(Manager().GetNameIndex().size(), 2u);
    EXPECT_EQ(Manager().FindReceiver("feed"), first);
    delete first;
    EXPECT_EQ(Manager().FindReceiver("feed"), second);
    Manager().RemoveReceiver(second);
    Manager().RemoveReceiver(second);
    EXPECT_TRUE(Manager().GetNameIndex().empty());
    delete second;
}

TEST_F(ReceiverManagerTest, LogoutWithNothingToWaitForReturnsAtOnce) {
    (new TCPReceiver("feed", "", 0, 5))->Reconnect();
    Manager().SetMeasureTimeSpan(2);
    RecordingObserver observer;
    Manager().Add(&observer);

    EXPECT_TRUE(Manager().Logout(1000));
    EXPECT_TRUE(Manager().isExiting());
    EXPECT_TRUE(TCPReceiver::isExiting());
    EXPECT_EQ(Loop().GetTimerCount(), 0u);  // reconnect and measurement timers stopped
    ASSERT_EQ(logs->records.size(), 1u);
    EXPECT_EQ(logs->records[0].source, "Logout called");
    EXPECT_EQ(logs->records[0].address, "");
    EXPECT_EQ(logs->records[0].text, "0");
    Tick(5000);
    EXPECT_TRUE(observer.records.empty());
}

TEST_F(ReceiverManagerTest, PendingLogoutEndsOnceEveryReceiverAnsweredOrAtItsTimeOut) {
    auto* a = new SlowLogoutReceiver("a");
    auto* b = new SlowLogoutReceiver("b");
    RecordingObserver observer;
    Manager().Add(&observer);
    EXPECT_FALSE(Manager().Logout(1000));
    EXPECT_EQ(Manager().GetPendingLogoutCount(), 2u);
    EXPECT_FALSE(Manager().Logout(1000));  // a second logout starts nothing
    a->LogoutReceived();
    EXPECT_TRUE(observer.records.empty());
    b->LogoutReceived();
    EXPECT_EQ(observer.Types(), Types{kMsgLogoutOver});
    Tick(1000);  // the time-out was killed: no second 60008
    EXPECT_EQ(observer.records.size(), 1u);
    EXPECT_TRUE(Manager().Logout(1000));

    // Afresh, with a receiver that never answers.
    ReceiverManager::Destroy();
    ReceiverManager::Create(&clock);
    new SlowLogoutReceiver("c");
    Manager().Add(&observer);
    EXPECT_FALSE(Manager().Logout(250));
    Tick(249);
    EXPECT_EQ(observer.records.size(), 1u);
    Tick(1);
    EXPECT_EQ(observer.Types(), (Types{kMsgLogoutOver, kMsgLogoutOver}));
    Tick(250);
    EXPECT_EQ(observer.records.size(), 2u);
}

TEST_F(ReceiverManagerTest, TimerForADeletedReceiverDoesNothing) {
    auto* receiver = new TCPReceiver("feed", "127.0.0.1", 9, 5);
    receiver->Reconnect();
    auto id = reinterpret_cast<TimerId>(receiver);
    delete receiver;
    Manager().OnTimer(id);  // looked up, not dereferenced
    EXPECT_EQ(Loop().GetTimerCount(), 0u);
}

TEST_F(ReceiverManagerTest, PeriodsOfManyDaysAreCutToTheLongestTimerNotWrapped) {
    constexpr uint32_t kSeconds = 4294968;  // seconds x 1000 just above 2^32
    auto* receiver = new TCPReceiver("feed", "127.0.0.1", 9, kSeconds);
    receiver->Reconnect();
    Manager().SetMeasureTimeSpan(kSeconds);
    EXPECT_EQ(Loop().GetTimerPeriod(reinterpret_cast<TimerId>(receiver)), kMaxTimerPeriodMs);
    EXPECT_EQ(Loop().GetTimerPeriod(kLibraryWideTimer), kMaxTimerPeriodMs);
}

TEST_F(ReceiverManagerTest, DisconnectAllEntersTheExitingPhase) {
    auto* receiver = new TCPReceiver("feed", "", 0, 5);
    RecordingObserver observer;
    receiver->Add(&observer);
    Manager().DisconnectAll();
    EXPECT_TRUE(Manager().isExiting());
    EXPECT_EQ(observer.Types(), Types{kMsgDisconnected});
    EXPECT_EQ(receiver->GetCurrentReconnectSeconds(), 0u);
}

}  // namespace
}  // namespace veltonet
