#include "veltonet/listener/Listener.h"

#include <gtest/gtest.h>

#include "veltonet/listener/AcceptErrors.h"
#include "veltonet/listener/ListenerTestSupport.h"

namespace veltonet {
namespace {

using test::Frame;
using test::RecordingObserver;
using Types = std::vector<uint16_t>;
using Texts = std::vector<std::string>;

class ListenerAcceptTest : public test::ListenerTest {};

TEST_F(ListenerAcceptTest, HoldsAClientPendingUntilAdmittedOnce) {
    Listener* listener = StartListener(false);
    int peer = -1;
    Client* client = AcceptPeer(listener, &peer);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(listener->GetPendingClientCount(), 1u);
    EXPECT_EQ(listener->GetClientCount(), 0u);
    EXPECT_TRUE(client->isSniffer());
    EXPECT_EQ(client->GetClientBuffer(), nullptr);
    EXPECT_EQ(ReadBytes(peer, 4), kAccepted);

    EXPECT_TRUE(client->AddToListener());
    EXPECT_FALSE(client->AddToListener());
    EXPECT_EQ(listener->GetPendingClientCount(), 0u);
    EXPECT_EQ(listener->GetClientCount(), 1u);
    EXPECT_FALSE(client->isPending());
    EXPECT_FALSE(client->isSniffer());
    EXPECT_NE(client->GetClientBuffer(), nullptr);
    delete listener;
}

TEST_F(ListenerAcceptTest, AutoAcceptAdmitsAtOnceAndTheAcceptanceIsNotHeldInTheBuffer) {
    Listener* listener = StartListener(true);
    int peer = -1;
    Client* client = AcceptPeer(listener, &peer);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(listener->GetPendingClientCount(), 0u);
    EXPECT_EQ(listener->GetClientCount(), 1u);
    EXPECT_EQ(client->GetBufferLength(), 65535u);
    EXPECT_EQ(client->GetDataLength(), 0u);
    // No flush was asked for: the acceptance went to the socket by itself.
    EXPECT_EQ(ReadBytes(peer, 4), kAccepted);
    delete listener;
}

TEST_F(ListenerAcceptTest, ListenerWideSendReachesActiveClientsOnlyAndAlwaysSucceeds) {
    Listener* listener = StartListener(false);
    EXPECT_TRUE(listener->SendBuffer("abcd", 4, false));  // no client at all

    int pendingPeer = -1;
    int activePeer = -1;
    Client* pending = AcceptPeer(listener, &pendingPeer);
    Client* active = AcceptPeer(listener, &activePeer);
    ASSERT_TRUE(active->AddToListener());
    const std::string data = Frame(500, "to all");

    EXPECT_TRUE(listener->SendBuffer(data.data(), int(data.size()), false));
    EXPECT_EQ(active->GetDataLength(), data.size());
    listener->ForceSendBufferToClients();
    EXPECT_EQ(active->GetDataLength(), 0u);
    // A pending client sends straight to its socket: a marker shows that nothing came before.
    const std::string marker = Frame(501, "");
    ASSERT_TRUE(pending->SendBuffer(marker.data(), int(marker.size())));
    EXPECT_EQ(pending->GetDataLength(), 0u);

    EXPECT_EQ(ReadBytes(activePeer, 4 + data.size()), kAccepted + data);
    EXPECT_EQ(ReadBytes(pendingPeer, 8), kAccepted + marker);
    delete listener;
}

TEST_F(ListenerAcceptTest, RecreatingTheSocketDeletesEveryClientAndLogs) {
    Listener* listener = StartListener(false);
    int pendingPeer = -1;
    int activePeer = -1;
    AcceptPeer(listener, &pendingPeer);
    ASSERT_TRUE(AcceptPeer(listener, &activePeer)->AddToListener());
    logs->records.clear();

    // What R_ConnectReceiver does on a listening listener.
    listener->InvalidateSocket(true);
    ASSERT_TRUE(listener->CreateSocket());

    ASSERT_EQ(logs->Texts(), Texts{"Listener::Disconnect"});
    EXPECT_EQ(logs->records[0].source, "server");
    EXPECT_EQ(listener->GetPendingClientCount() + listener->GetClientCount(), 0u);
    EXPECT_EQ(ReadBytes(pendingPeer, 4), kAccepted);
    EXPECT_TRUE(PumpUntilClosed(pendingPeer));
    EXPECT_EQ(ReadBytes(activePeer, 4), kAccepted);
    EXPECT_TRUE(PumpUntilClosed(activePeer));

    int peer = -1;  // still listening, on the new socket
    EXPECT_NE(AcceptPeer(listener, &peer), nullptr);
    delete listener;
}

TEST_F(ListenerAcceptTest, DisconnectPublishesOneDisconnectedPerClientWhileStillListening) {
    Listener* listener = StartListener(false);
    RecordingObserver observer;
    std::vector<bool> listeningAtNotification;
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == kMsgDisconnected) {
            listeningAtNotification.push_back(listener->isValid());
        }
    };
    listener->Add(&observer);
    int pendingPeer = -1;
    int activePeer = -1;
    Client* pending = AcceptPeer(listener, &pendingPeer);
    Client* active = AcceptPeer(listener, &activePeer);
    ASSERT_TRUE(active->AddToListener());

    EXPECT_TRUE(listener->Disconnect());

    ASSERT_EQ(observer.Types(), (Types{kMsgDisconnected, kMsgDisconnected}));
    EXPECT_EQ(observer.records[0].source, static_cast<Observable*>(pending));
    EXPECT_EQ(observer.records[1].source, static_cast<Observable*>(active));
    EXPECT_EQ(listeningAtNotification, (std::vector<bool>{true, true}));
    EXPECT_FALSE(listener->isConnected());
    EXPECT_EQ(listener->GetLocalPort(), 0);
    EXPECT_TRUE(PumpUntilClosed(pendingPeer));
    EXPECT_TRUE(PumpUntilClosed(activePeer));
    delete listener;
    EXPECT_EQ(observer.records.size(), 2u);  // nothing left to publish
}

TEST_F(ListenerAcceptTest, ClientsGetTheObserversOfTheirAcceptAndThoseAddedWhileActive) {
    Listener* listener = StartListener(false);
    RecordingObserver beforeAccept, whilePending, whileActive;
    listener->Add(&beforeAccept);
    int peer = -1;
    Client* client = AcceptPeer(listener, &peer);
    listener->Add(&whilePending);
    ASSERT_TRUE(client->AddToListener());
    listener->Add(&whileActive);

    const std::string message = Frame(700, "hello");
    ASSERT_TRUE(test::raw::SendAll(peer, message));
    ASSERT_TRUE(PumpUntil([&] { return beforeAccept.Count(700) == 1; }));
    EXPECT_EQ(beforeAccept.records[0].bytes, message);
    EXPECT_EQ(beforeAccept.records[0].source, static_cast<Observable*>(client));
    EXPECT_EQ(whilePending.Count(700), 0u);
    EXPECT_EQ(whileActive.Count(700), 1u);

    listener->Remove(&whileActive);
    ASSERT_TRUE(test::raw::SendAll(peer, message));
    ASSERT_TRUE(PumpUntil([&] { return beforeAccept.Count(700) == 2; }));
    EXPECT_EQ(whileActive.Count(700), 1u);
    delete listener;
}

TEST_F(ListenerAcceptTest, PeerCloseDeletesTheClientAtOnce) {
    Listener* listener = StartListener(true);
    RecordingObserver observer;
    listener->Add(&observer);
    int peer = -1;
    ASSERT_NE(AcceptPeer(listener, &peer), nullptr);
    logs->records.clear();

    test::raw::Close(peer);
    std::erase(peers, peer);
    ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 0; }));

    EXPECT_EQ(observer.Types(), Types{kMsgDisconnected});
    EXPECT_FALSE(logs->Contains("Client::DisconnectAndNotify Client destruction delayed"));
    delete listener;
}

TEST_F(ListenerAcceptTest, DeletingTheListenerFromAClientsNotificationIsSafe) {
    Listener* listener = StartListener(true);
    RecordingObserver observer;
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == 700) {
            delete listener;
            listener = nullptr;
        }
    };
    listener->Add(&observer);
    int peer = -1;
    ASSERT_NE(AcceptPeer(listener, &peer), nullptr);

    // The second message must not be processed: its receiver is on its way out.
    ASSERT_TRUE(test::raw::SendAll(peer, Frame(700, "") + Frame(701, "")));
    ASSERT_TRUE(PumpUntil([&] { return listener == nullptr; }));

    EXPECT_EQ(observer.Types(), (Types{700, kMsgDisconnected}));
    EXPECT_TRUE(PumpUntilClosed(peer));
}

TEST_F(ListenerAcceptTest, AcceptErrorsAreLoggedAndTheListenerKeepsListening) {
    Listener* listener = StartListener(true);
    RecordingObserver observer;
    listener->Add(&observer);

    listener->OnAccept(10050);
    listener->OnAccept(0);  // nothing is waiting: the half-made client is dropped

    ASSERT_EQ(logs->Texts(), (Texts{"OnAccept Error on Entry: 10050",
                                    "The socket is marked as nonblocking, and no connections are "
                                    "present to be accepted"}));
    EXPECT_EQ(logs->records[0].source, "OnAccept");
    EXPECT_EQ(logs->records[0].address, "");
    EXPECT_EQ(logs->records[1].source, "OnAccept");
    EXPECT_EQ(listener->GetPendingClientCount() + listener->GetClientCount(), 0u);
    EXPECT_TRUE(observer.records.empty());  // the half-made client had no observers yet
    int peer = -1;
    EXPECT_NE(AcceptPeer(listener, &peer), nullptr);
    delete listener;
}

TEST(AcceptErrorTextTest, ReadsLikeItsTableByteForByte) {
    // The dash is the single byte 0x97.
    const std::string tooSmall = AcceptErrorText(10014);
    EXPECT_EQ(tooSmall, std::string("The lpSockAddrLen argument is too small") + '\x97' +
                            "less than the size of a SOCKADDR structure");
    EXPECT_STREQ(AcceptErrorText(10022), "Listen was not invoked prior to accept");
    EXPECT_STREQ(AcceptErrorText(10048), "Address in use");
    EXPECT_STREQ(AcceptErrorText(10093),
                 "A successful AfxSocketInit must occur before using this API");
    EXPECT_STREQ(AcceptErrorText(10054), "Unknown");
    EXPECT_STREQ(AcceptErrorText(0), "Unknown");
}

TEST_F(ListenerAcceptTest, HandsItsCountsFlagsAndFeedsToActiveClients) {
    Listener* listener = StartListener(false);
    listener->IncrementNotifyDataReceived();
    int pendingPeer = -1;
    int activePeer = -1;
    Client* pending = AcceptPeer(listener, &pendingPeer);
    Client* active = AcceptPeer(listener, &activePeer);
    ASSERT_TRUE(active->AddToListener());
    listener->IncrementNotifyDataReceived();
    EXPECT_EQ(pending->GetNotifyDataReceivedCount(), 1u);  // the listener's count at accept
    EXPECT_EQ(active->GetNotifyDataReceivedCount(), 2u);
    listener->DecrementNotifyDataReceived();
    listener->DecrementNotifyDataReceived();
    active->SetNotifyDataReceivedCount(2);
    listener->DecrementNotifyDataReceived();  // at 0 already: stays, and still forwards
    EXPECT_EQ(listener->GetNotifyDataReceivedCount(), 0u);
    EXPECT_EQ(active->GetNotifyDataReceivedCount(), 1u);

    active->SetSupportOutOfBand(true);
    listener->SetSupportOutOfBand(false);  // unchanged: the clients are not touched
    EXPECT_TRUE(active->isSupportOutOfBand());
    listener->SetSupportOutOfBand(true);
    listener->SetSupportOutOfBand(false);
    EXPECT_FALSE(active->isSupportOutOfBand());

    EXPECT_EQ(listener->AddFeedMeasure(0), nullptr);
    EXPECT_EQ(active->GetFeedMeasureSet().size(), 1u);
    EXPECT_EQ(pending->GetFeedMeasureSet().size(), 0u);
    listener->ClearFeedMeasures();
    EXPECT_EQ(active->GetFeedMeasureSet().size(), 0u);
    delete listener;
}

}  // namespace
}  // namespace veltonet
