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

TEST_F(ListenerAcceptTest, ClientsStayPendingUntilAdmittedOnceAndOnlyActiveOnesGetWhatItHandsOn) {
    Listener* listener = StartListener(false);
    EXPECT_TRUE(listener->SendBuffer("abcd", 4, false));  // no client at all
    listener->IncrementNotifyDataReceived();
    auto [pending, pendingPeer] = AcceptPeer(listener);
    auto [active, activePeer] = AcceptPeer(listener);
    EXPECT_EQ(listener->GetPendingClientCount(), 2u);
    EXPECT_TRUE(active->isSniffer());
    EXPECT_EQ(active->GetClientBuffer(), nullptr);
    EXPECT_TRUE(active->AddToListener());
    EXPECT_FALSE(active->AddToListener());
    EXPECT_EQ(listener->GetPendingClientCount(), 1u);
    EXPECT_EQ(listener->GetClientCount(), 1u);
    EXPECT_FALSE(active->isPending());
    EXPECT_FALSE(active->isSniffer());
    EXPECT_NE(active->GetClientBuffer(), nullptr);

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
}

TEST_F(ListenerAcceptTest, DisconnectDropsEveryClientWhileStillListeningAndRecreatingDoesToo) {
    Listener* listener = StartListener(false);
    RecordingObserver observer;
    std::vector<bool> listeningAtNotification;
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == kMsgDisconnected) {
            listeningAtNotification.push_back(listener->isValid());
        }
    };
    listener->Add(&observer);
    auto [pending, pendingPeer] = AcceptPeer(listener);
    auto [active, activePeer] = AcceptPeer(listener);
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

    // What R_ConnectReceiver does: it listens again, and once more deletes the clients.
    listener->InvalidateSocket(true);
    ASSERT_TRUE(listener->CreateSocket());
    auto [admitted, peer] = AcceptPeer(listener);
    ASSERT_TRUE(admitted->AddToListener());
    logs->records.clear();
    listener->InvalidateSocket(true);
    ASSERT_TRUE(listener->CreateSocket());
    ASSERT_EQ(logs->Texts(), Texts{"Listener::Disconnect"});
    EXPECT_EQ(logs->records[0].source, "server");
    EXPECT_EQ(listener->GetClientCount(), 0u);
    EXPECT_TRUE(PumpUntilClosed(peer));
    EXPECT_NE(AcceptPeer(listener).first, nullptr);  // still listening, on the new socket
    delete listener;
    EXPECT_EQ(observer.records.size(), 4u);  // one per client, none twice
}

TEST_F(ListenerAcceptTest, ClientsGetTheObserversOfTheirAcceptAndThoseAddedWhileActive) {
    Listener* listener = StartListener(false);
    RecordingObserver beforeAccept, whilePending, whileActive;
    listener->Add(&beforeAccept);
    auto [client, peer] = AcceptPeer(listener);
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

    // The peer's close deletes the client at once.
    test::raw::Close(peer);
    std::erase(peers, peer);
    ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 0; }));
    EXPECT_EQ(beforeAccept.Types(), (Types{700, 700, kMsgDisconnected}));
    EXPECT_FALSE(logs->Contains("Client::DisconnectAndNotify Client destruction delayed"));
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
    auto [client, peer] = AcceptPeer(listener);
    ASSERT_NE(client, nullptr);

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
    EXPECT_NE(AcceptPeer(listener).first, nullptr);
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
}

}  // namespace
}  // namespace veltonet
