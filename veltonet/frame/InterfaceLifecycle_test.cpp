// The frame of the C interface: start-up and shut-down, the registry, creation and the
// answers for null handles.

#include "veltonet/frame/FrameTestSupport.h"
#include "veltonet/tcp/TCPReceiver.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"

namespace veltonet {
namespace {

using namespace test;
using Answers = std::vector<long long>;
using Handles = std::vector<void*>;

void* MakeReceiver(const char* name) {
    return R_CreateTCPReceiver(name, "127.0.0.1", 9, 0, 0, 0, 0, 0, false);
}

using InterfaceLifecycle = ManagerTest;

TEST_F(InterfaceLifecycle, InitializeTwiceKeepsOneManagerAndTerminateTwiceIsHarmless) {
    R_ReceiverTerminate();  // the fixture's manager
    R_ReceiverInitialize();
    void* observable = R_GetMeasureObservable();
    EXPECT_EQ(observable, static_cast<Observable*>(ReceiverManager::Instance()));
    void* receiver = MakeReceiver("kept");
    ASSERT_NE(receiver, nullptr);

    R_ReceiverInitialize();
    EXPECT_EQ(R_GetMeasureObservable(), observable);
    EXPECT_EQ(R_FindReceiver("kept"), receiver);

    R_ReceiverTerminate();  // deletes the receiver with the manager
    EXPECT_EQ(RX_ProcessEvents(0), -1);
    R_ReceiverTerminate();
    R_ReceiverInitialize();
    EXPECT_NE(R_GetMeasureObservable(), nullptr);
    EXPECT_EQ(R_GetReceiverCount(), 0u);
}

TEST_F(InterfaceLifecycle, EveryCallThatIsSafeWithoutAManagerAnswersItsFixedValue) {
    R_ReceiverTerminate();
    R_DestroyAllReceivers();
    R_DisconnectAll();
    R_SetMeasureTimeSpan(5);
    // Logout, exiting, receivers, condemned sockets, time span.
    EXPECT_EQ((Answers{R_Logout(100), R_IsExiting(), R_GetReceiverCount(),
                       R_GetCondemnedSocketCount(), R_GetMeasureTimeSpan()}),
              (Answers{1, 0, 0, 0, 0}));
    // A registered receiver needs the manager: refused rather than made unregistered.
    EXPECT_EQ((Handles{R_GetMeasureObservable(), R_FindReceiver("any"), R_CreateReceiverIterator(),
                       MakeReceiver("orphan"),
                       R_CreateMulticastReceiver("m", "239.1.1.1", 5000, false, 0, 0),
                       R_CreateListener("l", 1, 1, 0, true, 0, 0, false)}),
              Handles(6, nullptr));
}

// The host's observer ends the library while the receiver that called it is mid-block.
using HostCallback = ConnectedReceiverTest;

TEST_F(HostCallback, TerminateFromACallbackTakesEffectWhenTheLoopCallReturns) {
    int seen = 0;
    auto onMessage = [](void* context, void*, const void* message) {
        if (Message::At(message)->GetType() == 1000) {
            ++*static_cast<int*>(context);
            R_ReceiverTerminate();
        }
    };
    void* observer = RX_CreateObserver(onMessage, &seen);
    RX_AddObserver(h, observer);
    ASSERT_TRUE(raw::SendAll(peer, Frame(1000, "one") + Frame(1000, "two")));
    for (int round = 0; round < 500 && R_GetMeasureObservable() != nullptr; ++round)
        RX_ProcessEvents(10);
    EXPECT_EQ(R_GetMeasureObservable(), nullptr);
    EXPECT_GE(seen, 1);
    EXPECT_EQ(RX_ProcessEvents(0), -1);
    RX_DestroyObserver(observer);
}

TEST_F(InterfaceLifecycle, CreatesEachReceiverClassWithItsArgumentsAndDisplayType) {
    void* h = R_CreateTCPReceiver("orders", "10.1.2.3", 4001, 7, 1000, 2000, 99, 4002, true);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(R_GetReceiverName(h), "orders");
    EXPECT_STREQ(R_GetReceiverIp(h), "10.1.2.3");
    // Port, reconnect period, persistent, buffer sizes, local port to bind to.
    EXPECT_EQ((Answers{R_GetReceiverPort(h), R_GetReconnectSeconds(h), R_IsPersistent(h),
                       R_GetReceiveBufferSize(h), R_GetSendBufferSize(h),
                       R_GetReceiverLocalPortToBindTo(h)}),
              (Answers{4001, 7, 1, 1000, 2000, 4002}));

    void* multicast = R_CreateMulticastReceiver("mc", "239.1.2.3", 5000, false, 0, 0);
    void* sequenced = R_CreateMulticastReceiver("seq", "239.1.2.4", 5001, true, 0, 0);
    void* listener = R_CreateListener("server", 4, 4, 0, true, 0, 0, false);
    EXPECT_EQ((std::vector<std::string>{R_GetReceiverType(h), R_GetReceiverType(multicast),
                                        R_GetReceiverType(sequenced), R_GetReceiverType(listener)}),
              (std::vector<std::string>{"TCP", "MCT", "MCT", "TCP"}));
    // Only the sequenced one recovers losses; every class answers the query.
    EXPECT_EQ((std::vector<bool>{R_CanRecoverLostMessages(h), R_CanRecoverLostMessages(multicast),
                                 R_CanRecoverLostMessages(sequenced),
                                 R_CanRecoverLostMessages(listener)}),
              (std::vector<bool>{false, false, true, false}));

    // The handle is taken back as the sequenced receiver it is.
    auto* sequence = static_cast<MulticastSequenceReceiver*>(static_cast<TCPReceiver*>(sequenced));
    R_SetMulticastRepair(sequenced, h);
    EXPECT_EQ(sequence->GetRepairReceiver(), static_cast<TCPReceiver*>(h));
    EXPECT_EQ(static_cast<TCPReceiver*>(h)->GetSequenceReceiver(), sequence);
}

TEST_F(InterfaceLifecycle, FindReceiverIsExactAndDestroyAllSparesUnregisteredReceivers) {
    void* first = MakeReceiver("Feed");
    void* second = MakeReceiver("Feed");
    void* other = MakeReceiver("feed");
    R_CreateListener("server", 1, 1, 0, true, 0, 0, false);
    TCPReceiver unregistered("Feed", "127.0.0.1", 9, 0, true);
    EXPECT_EQ((Handles{R_FindReceiver("Feed"), R_FindReceiver("feed"), R_FindReceiver("FEED"),
                       R_FindReceiver("Fee")}),
              (Handles{first, other, nullptr, nullptr}));  // the first registered of a name
    R_DeleteReceiver(first);
    EXPECT_EQ(R_FindReceiver("Feed"), second);
    EXPECT_EQ(R_GetReceiverCount(), 3u);

    R_DestroyAllReceivers();
    EXPECT_EQ(R_GetReceiverCount(), 0u);
    EXPECT_EQ(R_FindReceiver("Feed"), nullptr);
    EXPECT_STREQ(R_GetReceiverName(&unregistered), "Feed");
}

TEST_F(InterfaceLifecycle, NullHandlesGetTheirFixedAnswersAndLiveOnesAreForwarded) {
    const char* request = "\x04\x00\x01\x00";
    // Reconnect period, initialized, connected, connecting, receiving, accepted, TIF support,
    // send request, send buffer, send buffer empty, subscribe, unsubscribe, the four counts.
    EXPECT_EQ(
        (Answers{R_GetCurrentReconnectSeconds(nullptr), R_IsReceiverInitialized(nullptr),
                 R_IsReceiverConnected(nullptr), R_IsReceiverConnecting(nullptr),
                 R_IsReceiverReceiving(nullptr), R_IsReceiverAccepted(nullptr),
                 R_IsTifSupported(nullptr, "STOP", 0),
                 R_SendRequest(nullptr, request, nullptr, false),
                 R_SendBuffer(nullptr, request, 4, false), R_IsReceiverSendBufferEmpty(nullptr),
                 R_ClientSubscribe(nullptr, 1, "x"), R_ClientUnsubscribe(nullptr, 1, "x"),
                 R_GetReceiverSizeSent(nullptr), R_GetReceiverSizeReceived(nullptr),
                 R_GetReceiverPrevSizeSent(nullptr), R_GetReceiverPrevSizeReceived(nullptr)}),
        (Answers{0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ((Handles{R_AddFeed(nullptr, 1000), R_GetFeedOwner(nullptr)}), Handles(2, nullptr));
    R_AddDataReceivedNotifier(nullptr);
    R_RemoveDataReceivedNotifier(nullptr);
    R_RemoveFeed(nullptr);
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
