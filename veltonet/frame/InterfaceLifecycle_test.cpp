// The frame of the C interface: start-up and shut-down, the registry, creation and the
// answers for null handles.

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"

namespace veltonet {
namespace {

using test::ManagerTest;

void* MakeReceiver(const char* name) {
    return R_CreateTCPReceiver(name, "127.0.0.1", 9, 0, 0, 0, 0, 0, false);
}

// The fixture's log folder and capture, but no manager.
class WithoutManager : public ManagerTest {
  protected:
    void SetUp() override {
        ManagerTest::SetUp();
        R_ReceiverTerminate();
    }
};

TEST_F(WithoutManager, InitializeTwiceKeepsOneManagerAndTerminateTwiceIsHarmless) {
    R_ReceiverInitialize();
    void* observable = R_GetMeasureObservable();
    EXPECT_EQ(observable, static_cast<Observable*>(ReceiverManager::Instance()));
    void* receiver = MakeReceiver("kept");
    ASSERT_NE(receiver, nullptr);

    R_ReceiverInitialize();
    EXPECT_EQ(R_GetMeasureObservable(), observable);
    EXPECT_EQ(R_GetReceiverCount(), 1u);
    EXPECT_EQ(R_FindReceiver("kept"), receiver);

    R_ReceiverTerminate();  // deletes the receiver with the manager
    EXPECT_EQ(R_GetMeasureObservable(), nullptr);
    EXPECT_EQ(RX_ProcessEvents(0), -1);
    R_ReceiverTerminate();

    R_ReceiverInitialize();
    EXPECT_NE(R_GetMeasureObservable(), nullptr);
    EXPECT_EQ(R_GetReceiverCount(), 0u);
}

// The host's observer ends the library while the receiver that called it is mid-block.
TEST_F(WithoutManager, TerminateFromACallbackTakesEffectWhenTheLoopCallReturns) {
    R_ReceiverInitialize();
    uint16_t port = 0;
    const int listenFd = test::raw::Listen(&port);
    void* receiver = R_CreateTCPReceiver("host", "127.0.0.1", port, 0, 0, 0, 0, 0, false);
    ASSERT_NE(receiver, nullptr);
    struct Seen {
        int data = 0;
    } seen;
    auto onMessage = [](void* context, void*, const void* message) {
        if (Message::At(message)->GetType() == 1000) {
            ++static_cast<Seen*>(context)->data;
            R_ReceiverTerminate();
        }
    };
    void* observer = RX_CreateObserver(onMessage, &seen);
    RX_AddObserver(receiver, observer);
    ASSERT_TRUE(R_ConnectReceiver(receiver));
    const int peer = test::raw::AcceptWithin(listenFd, 5000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(test::raw::SendAll(peer, test::Frame(1000, "one") + test::Frame(1000, "two")));

    for (int round = 0; round < 500 && R_GetMeasureObservable() != nullptr; ++round) {
        RX_ProcessEvents(10);
    }
    EXPECT_EQ(R_GetMeasureObservable(), nullptr);
    EXPECT_GE(seen.data, 1);
    EXPECT_EQ(RX_ProcessEvents(0), -1);
    RX_DestroyObserver(observer);
    test::raw::Close(peer);
    test::raw::Close(listenFd);
}

TEST_F(WithoutManager, EveryCallThatIsSafeWithoutAManagerAnswersItsFixedValue) {
    R_DestroyAllReceivers();
    R_DisconnectAll();
    R_SetMeasureTimeSpan(5);
    EXPECT_EQ(R_Logout(100), 1);
    EXPECT_EQ(R_IsExiting(), 0);
    EXPECT_EQ(R_GetReceiverCount(), 0u);
    EXPECT_EQ(R_GetCondemnedSocketCount(), 0u);
    EXPECT_EQ(R_GetMeasureObservable(), nullptr);
    EXPECT_EQ(R_GetMeasureTimeSpan(), 0u);
    EXPECT_EQ(R_FindReceiver("any"), nullptr);
    EXPECT_EQ(R_CreateReceiverIterator(), nullptr);
    // A registered receiver needs the manager: refused rather than made unregistered.
    EXPECT_EQ(MakeReceiver("orphan"), nullptr);
    EXPECT_EQ(R_CreateMulticastReceiver("m", "239.1.1.1", 5000, false, 0, 0), nullptr);
    EXPECT_EQ(R_CreateListener("l", 1, 1, 0, true, 0, 0, false), nullptr);
}

class InterfaceLifecycle : public ManagerTest {};

TEST_F(InterfaceLifecycle, CreateTCPReceiverPassesItsArgumentsToTheReceiver) {
    void* h = R_CreateTCPReceiver("orders", "10.1.2.3", 4001, 7, 1000, 2000, 99, 4002, true);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(R_GetReceiverName(h), "orders");
    EXPECT_STREQ(R_GetReceiverIp(h), "10.1.2.3");
    EXPECT_EQ(R_GetReceiverPort(h), 4001);
    EXPECT_EQ(R_GetReconnectSeconds(h), 7u);
    EXPECT_EQ(R_IsPersistent(h), 1);
    EXPECT_EQ(R_GetReceiveBufferSize(h), 1000u);
    EXPECT_EQ(R_GetSendBufferSize(h), 2000u);
    EXPECT_EQ(R_GetReceiverLocalPortToBindTo(h), 4002);
    EXPECT_STREQ(R_GetReceiverType(h), "TCP");
    EXPECT_EQ(R_GetReceiverCount(), 1u);
    R_DeleteReceiver(h);
    EXPECT_EQ(R_GetReceiverCount(), 0u);
}

TEST_F(InterfaceLifecycle, CreatesEachReceiverClassWithItsDisplayType) {
    void* multicast = R_CreateMulticastReceiver("mc", "239.1.2.3", 5000, false, 0, 0);
    void* sequenced = R_CreateMulticastReceiver("seq", "239.1.2.4", 5001, true, 0, 0);
    void* listener = R_CreateListener("server", 4, 4, 0, true, 0, 0, false);
    EXPECT_STREQ(R_GetReceiverType(multicast), "MCT");
    EXPECT_STREQ(R_GetReceiverType(sequenced), "MCT");
    EXPECT_STREQ(R_GetReceiverType(listener), "TCP");
    // Only the sequenced one recovers losses; every class answers the query.
    EXPECT_FALSE(R_CanRecoverLostMessages(multicast));
    EXPECT_TRUE(R_CanRecoverLostMessages(sequenced));
    EXPECT_FALSE(R_CanRecoverLostMessages(listener));
    EXPECT_EQ(R_GetReceiverCount(), 3u);

    // The handle is taken back as the sequenced receiver it is.
    void* repair = MakeReceiver("repair");
    auto* sequence = static_cast<MulticastSequenceReceiver*>(static_cast<TCPReceiver*>(sequenced));
    R_SetMulticastRepair(sequenced, repair);
    EXPECT_EQ(sequence->GetRepairReceiver(), static_cast<TCPReceiver*>(repair));
    EXPECT_EQ(static_cast<TCPReceiver*>(repair)->GetSequenceReceiver(), sequence);
}

TEST_F(InterfaceLifecycle, FindReceiverIsExactAndDestroyAllSparesUnregisteredReceivers) {
    void* first = MakeReceiver("Feed");
    void* second = MakeReceiver("Feed");
    void* other = MakeReceiver("feed");
    R_CreateListener("server", 1, 1, 0, true, 0, 0, false);
    TCPReceiver unregistered("Feed", "127.0.0.1", 9, 0, true);
    EXPECT_EQ(R_FindReceiver("Feed"), first);  // the first registered of a name
    EXPECT_EQ(R_FindReceiver("feed"), other);
    EXPECT_EQ(R_FindReceiver("FEED"), nullptr);
    EXPECT_EQ(R_FindReceiver("Fee"), nullptr);
    R_DeleteReceiver(first);
    EXPECT_EQ(R_FindReceiver("Feed"), second);
    EXPECT_EQ(R_GetReceiverCount(), 3u);

    R_DestroyAllReceivers();
    EXPECT_EQ(R_GetReceiverCount(), 0u);
    EXPECT_EQ(R_FindReceiver("Feed"), nullptr);
    EXPECT_STREQ(R_GetReceiverName(&unregistered), "Feed");
}

TEST_F(InterfaceLifecycle, NullHandlesGetTheirFixedAnswers) {
    EXPECT_EQ(R_GetCurrentReconnectSeconds(nullptr), 0u);
    EXPECT_EQ(R_IsReceiverInitialized(nullptr), 0);
    EXPECT_EQ(R_IsReceiverConnected(nullptr), 0);
    EXPECT_EQ(R_IsReceiverConnecting(nullptr), 0);
    EXPECT_EQ(R_IsReceiverReceiving(nullptr), 0);
    EXPECT_EQ(R_IsReceiverAccepted(nullptr), 0);
    EXPECT_EQ(R_IsTifSupported(nullptr, "STOP", 0), 1);
    EXPECT_EQ(R_SendRequest(nullptr, "\x04\x00\x01\x00", nullptr, false), 0);
    EXPECT_EQ(R_SendBuffer(nullptr, "\x04\x00\x01\x00", 4, false), 0);
    EXPECT_EQ(R_IsReceiverSendBufferEmpty(nullptr), 0);
    EXPECT_FALSE(R_ClientSubscribe(nullptr, 1, "x"));
    EXPECT_FALSE(R_ClientUnsubscribe(nullptr, 1, "x"));
    R_AddDataReceivedNotifier(nullptr);
    R_RemoveDataReceivedNotifier(nullptr);
    EXPECT_EQ(R_GetReceiverSizeSent(nullptr), 0u);
    EXPECT_EQ(R_GetReceiverSizeReceived(nullptr), 0u);
    EXPECT_EQ(R_GetReceiverPrevSizeSent(nullptr), 0u);
    EXPECT_EQ(R_GetReceiverPrevSizeReceived(nullptr), 0u);
    EXPECT_EQ(R_AddFeed(nullptr, 1000), nullptr);
    R_RemoveFeed(nullptr);
    EXPECT_EQ(R_GetFeedOwner(nullptr), nullptr);
    R_DeleteReceiver(nullptr);
    R_DestroyIterator(nullptr);
    void* listener = R_CreateListener("server", 1, 1, 0, true, 0, 0, false);
    R_DestroyListenerClientIterator(listener, nullptr);

    // The same questions of a live receiver are really forwarded.
    void* h = MakeReceiver("live");
    EXPECT_EQ(R_IsTifSupported(h, "STOP", 0), 0);
    EXPECT_EQ(R_IsReceiverSendBufferEmpty(h), 1);
    R_AddDataReceivedNotifier(h);
    R_AddDataReceivedNotifier(h);
    R_RemoveDataReceivedNotifier(h);
    EXPECT_EQ(R_GetDataReceivedNotifierCount(h), 1u);
}

}  // namespace
}  // namespace veltonet
