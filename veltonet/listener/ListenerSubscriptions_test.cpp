#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "veltonet/listener/ListenerTestSupport.h"

namespace veltonet {
namespace {

using test::Frame;
using test::RecordingObserver;
using test::SubscriptionRequest;

class SubscriptionTableTest : public test::ListenerTest {
  protected:
    void SetUp() override {
        test::ListenerTest::SetUp();
        listenerObject = std::make_unique<Listener>("server", 10, 6, 0, true, 0, 0, false);
    }
    void TearDown() override {
        listenerObject.reset();
        test::ListenerTest::TearDown();
    }

    // identifierCount 10, namedIdentifierCount 6; no socket.
    std::unique_ptr<Listener> listenerObject;
    Listener& listener() { return *listenerObject; }
};

TEST_F(SubscriptionTableTest, IdentifiersBeyondTheTableAreRefusedAndMakeNothing) {
    auto* client = new Client(&listener(), 0, 0, false);

    EXPECT_FALSE(listener().Subscribe(client, 10, nullptr));
    EXPECT_EQ(listener().FindSubscription(10, nullptr), nullptr);
    EXPECT_FALSE(listener().Subscribe(client, 6, "A"));
    EXPECT_EQ(listener().FindSubscription(6, "A"), nullptr);
    EXPECT_FALSE(listener().Unsubscribe(client, 10, nullptr));

    EXPECT_TRUE(listener().Subscribe(client, 9, nullptr));
    EXPECT_FALSE(listener().Subscribe(client, 9, nullptr));
    EXPECT_TRUE(listener().SubscriptionExists(9, nullptr));
    EXPECT_TRUE(listener().Unsubscribe(client, 9, nullptr));
    EXPECT_FALSE(listener().Unsubscribe(client, 9, nullptr));
    EXPECT_FALSE(listener().SubscriptionExists(9, nullptr));
    ASSERT_NE(listener().FindSubscription(9, nullptr), nullptr);
    EXPECT_EQ(listener().FindSubscription(9, nullptr)->GetCount(), 0u);
    delete client;
}

TEST_F(SubscriptionTableTest, NamedAndUnnamedSubscriptionsAreIndependent) {
    auto* client = new Client(&listener(), 0, 0, false);
    auto* other = new Client(&listener(), 0, 0, false);

    EXPECT_TRUE(listener().Subscribe(client, 5, "A"));
    EXPECT_TRUE(listener().Subscribe(other, 5, nullptr));
    EXPECT_TRUE(listener().Subscribe(other, 5, ""));

    EXPECT_EQ(listener().FindSubscription(5, "A")->GetClients(), ClientSet::Members{client});
    EXPECT_EQ(listener().FindSubscription(5, nullptr)->GetClients(), ClientSet::Members{other});
    EXPECT_EQ(listener().FindSubscription(5, "")->GetClients(), ClientSet::Members{other});
    EXPECT_EQ(listener().FindSubscription(5, "B"), nullptr);
    EXPECT_FALSE(listener().Unsubscribe(client, 5, nullptr));
    // Direct subscriptions are recorded on the client too.
    EXPECT_EQ(client->GetNamedIdentifiers().at("A"), Client::IdentifierSet{5});
    EXPECT_EQ(other->GetIdentifiers(), Client::IdentifierSet{5});
    delete client;
    delete other;
}

TEST_F(SubscriptionTableTest, RefusesANullClientAndAClientOfAnotherListener) {
    Listener another("another", 10, 6, 0, true, 0, 0, false);
    auto* stranger = new Client(&another, 0, 0, false);

    EXPECT_FALSE(listener().Subscribe(nullptr, 1, nullptr));
    EXPECT_FALSE(listener().Subscribe(stranger, 1, nullptr));
    EXPECT_EQ(listener().FindSubscription(1, nullptr), nullptr);
    delete stranger;
}

TEST_F(SubscriptionTableTest, DestroyingASubscribedClientLeavesItsSetsExistingAndEmpty) {
    auto* client = new Client(&listener(), 0, 0, false);
    ASSERT_TRUE(listener().Subscribe(client, 5, nullptr));
    ASSERT_TRUE(listener().Subscribe(client, 5, "X"));

    delete client;

    ASSERT_NE(listener().FindSubscription(5, nullptr), nullptr);
    ASSERT_NE(listener().FindSubscription(5, "X"), nullptr);
    EXPECT_EQ(listener().FindSubscription(5, nullptr)->GetCount(), 0u);
    EXPECT_EQ(listener().FindSubscription(5, "X")->GetCount(), 0u);
    EXPECT_FALSE(listener().SubscriptionExists(5, "X"));
}

TEST_F(SubscriptionTableTest, SendSubscriptionNeedsASocketAndAMadeSubscription) {
    auto* client = new Client(&listener(), 0, 0, false);
    ASSERT_TRUE(listener().Subscribe(client, 1, nullptr));
    EXPECT_FALSE(listener().SendSubscription(1, nullptr, "abcd", 4));  // no socket yet
    delete client;

    Listener* listening = StartListener(true, 0, 10, 6);
    EXPECT_FALSE(listening->SendSubscription(2, nullptr, "abcd", 4));  // never made
    EXPECT_FALSE(listening->SendSubscription(12, nullptr, "abcd", 4));
    auto* member = new Client(listening, 0, 0, false);
    ASSERT_TRUE(listening->Subscribe(member, 2, nullptr));
    ASSERT_TRUE(listening->Unsubscribe(member, 2, nullptr));
    EXPECT_TRUE(listening->SendSubscription(2, nullptr, "abcd", 4));  // made, now empty
    delete member;
    delete listening;
}

class FanOutTest : public test::ListenerTest {};

TEST_F(FanOutTest, SendSubscriptionReachesExactlyTheMembers) {
    Listener* listener = StartListener(true, 0, 10, 6);
    int peers_[3];
    Client* clients[3];
    for (int i = 0; i < 3; ++i) {
        clients[i] = AcceptPeer(listener, &peers_[i]);
        ASSERT_EQ(ReadBytes(peers_[i], 4), kAccepted);
    }
    ASSERT_TRUE(listener->Subscribe(clients[0], 4, nullptr));
    ASSERT_TRUE(listener->Subscribe(clients[2], 4, nullptr));
    ASSERT_TRUE(listener->Subscribe(clients[1], 4, "N"));
    const std::string four = Frame(804, "four");
    const std::string named = Frame(805, "named");
    const std::string all = Frame(806, "all");

    EXPECT_TRUE(listener->SendSubscription(4, nullptr, four.data(), int(four.size())));
    EXPECT_TRUE(listener->SendSubscription(4, "N", named.data(), int(named.size())));
    EXPECT_FALSE(listener->isSending());
    EXPECT_EQ(clients[0]->GetDataLength(), four.size());
    EXPECT_EQ(clients[1]->GetDataLength(), named.size());
    EXPECT_TRUE(listener->SendBuffer(all.data(), int(all.size())));
    listener->ForceSendBufferToClients();

    EXPECT_EQ(ReadBytes(peers_[0], four.size() + all.size()), four + all);
    EXPECT_EQ(ReadBytes(peers_[1], named.size() + all.size()), named + all);
    EXPECT_EQ(ReadBytes(peers_[2], four.size() + all.size()), four + all);
    delete listener;
}

// A peer that resets while the listener fans out: its client fails in the middle of the walk,
// is only marked, and is reaped by the next flush; every other client gets every byte.
TEST_F(FanOutTest, AClientWhosePeerResetsIsMarkedThenReapedWhileTheOthersGetEverything) {
    Listener* listener = StartListener(true, 8192);
    RecordingObserver observer;
    listener->Add(&observer);
    int peerFds[3];
    Client* clients[3];
    for (int i = 0; i < 3; ++i) {
        clients[i] = AcceptPeer(listener, &peerFds[i]);
        ASSERT_EQ(ReadBytes(peerFds[i], 4), kAccepted);
    }
    const std::string first = Frame(811, std::string(996, '1'));
    const std::string second = Frame(812, std::string(996, '2'));
    const std::string third = Frame(813, std::string(996, '3'));
    ASSERT_TRUE(listener->SendBuffer(first.data(), 1000));
    ASSERT_TRUE(listener->SendBuffer(second.data(), 1000));

    ResetPeer(peerFds[1]);
    ASSERT_TRUE(WaitForReset(clients[1]));
    logs->records.clear();
    // The third does not fit: every client flushes inside the walk, and one flush fails.
    EXPECT_TRUE(listener->SendBuffer(third.data(), 1000));

    EXPECT_EQ(listener->GetClientCount(), 3u);
    EXPECT_TRUE(clients[1]->toDestroy());
    EXPECT_FALSE(clients[0]->toDestroy());
    EXPECT_FALSE(clients[2]->toDestroy());
    EXPECT_EQ(observer.Count(kMsgDisconnected), 0u);
    EXPECT_EQ(logs->Count("Client::DisconnectAndNotify() m_listener->m_sending"), 1u);

    listener->ForceSendBufferToClients();

    EXPECT_EQ(listener->GetClientCount(), 2u);
    ASSERT_EQ(observer.Count(kMsgDisconnected), 1u);
    EXPECT_EQ(observer.records.back().source, static_cast<Observable*>(clients[1]));
    EXPECT_EQ(ReadBytes(peerFds[0], 3000), first + second + third);
    EXPECT_EQ(ReadBytes(peerFds[2], 3000), first + second + third);
    delete listener;
}

// Library receivers on the other end: each subscribes with the request bytes a remote
// receiver sends, and receives exactly the data of its subscriptions.
TEST_F(FanOutTest, RemoteReceiversGetExactlyWhatTheySubscribedTo) {
    Listener* listener = StartListener(true, 0, 10, 6);
    RecordingObserver requests;
    listener->Add(&requests);

    struct Remote {
        std::unique_ptr<TCPReceiver> receiver;
        RecordingObserver observer;
        std::vector<uint16_t> DataTypes() const {
            std::vector<uint16_t> types;
            for (uint16_t type : observer.Types()) {
                if (type < 60000)
                    types.push_back(type);
            }
            return types;
        }
    };
    Remote remotes[3];
    for (Remote& remote : remotes) {
        remote.receiver =
            std::make_unique<TCPReceiver>("remote", "127.0.0.1", listener->GetLocalPort(), 0);
        remote.receiver->Add(&remote.observer);
        remote.receiver->InvalidateSocket(true);
        ASSERT_TRUE(remote.receiver->CreateSocket());
    }
    ASSERT_TRUE(PumpUntil([&] {
        for (Remote& remote : remotes) {
            if (!remote.receiver->isAccepted())
                return false;
        }
        return true;
    }));
    for (Remote& remote : remotes) {
        EXPECT_EQ(remote.observer.Types(),
                  (std::vector<uint16_t>{kMsgConnecting, kMsgConnected, kMsgAccepted}));
    }

    const auto send = [](Remote& remote, const std::string& bytes) {
        ASSERT_TRUE(remote.receiver->SendBuffer(bytes.data(), int(bytes.size())));
    };
    send(remotes[0], SubscriptionRequest(kMsgSubscribe, 1, nullptr));
    send(remotes[1], SubscriptionRequest(kMsgSubscribe, 2, nullptr));
    send(remotes[2], SubscriptionRequest(kMsgSubscribe, 1, nullptr) +
                         SubscriptionRequest(kMsgSubscribe, 2, "N"));
    ASSERT_TRUE(PumpUntil([&] { return requests.Count(kMsgSubscribe) == 4; }));
    EXPECT_EQ(listener->FindSubscription(1, nullptr)->GetCount(), 2u);
    EXPECT_EQ(listener->FindSubscription(2, nullptr)->GetCount(), 1u);
    EXPECT_EQ(listener->FindSubscription(2, "N")->GetCount(), 1u);

    const std::string one = Frame(901, "one");
    const std::string two = Frame(902, "two");
    const std::string named = Frame(903, "named");
    const std::string last = Frame(904, "to all");
    ASSERT_TRUE(listener->SendSubscription(1, nullptr, one.data(), int(one.size())));
    ASSERT_TRUE(listener->SendSubscription(2, nullptr, two.data(), int(two.size())));
    ASSERT_TRUE(listener->SendSubscription(2, "N", named.data(), int(named.size())));
    ASSERT_TRUE(listener->SendBuffer(last.data(), int(last.size())));
    listener->ForceSendBufferToClients();
    ASSERT_TRUE(PumpUntil([&] {
        for (Remote& remote : remotes) {
            if (remote.observer.Count(904) == 0)
                return false;
        }
        return true;
    }));

    EXPECT_EQ(remotes[0].DataTypes(), (std::vector<uint16_t>{901, 904}));
    EXPECT_EQ(remotes[1].DataTypes(), (std::vector<uint16_t>{902, 904}));
    EXPECT_EQ(remotes[2].DataTypes(), (std::vector<uint16_t>{901, 903, 904}));
    EXPECT_EQ(remotes[2].observer.records[3].bytes, one);
    EXPECT_EQ(remotes[2].observer.records[4].bytes, named);

    // A remote that unsubscribes gets nothing more of that identifier.
    send(remotes[0], SubscriptionRequest(kMsgUnsubscribe, 1, nullptr));
    ASSERT_TRUE(PumpUntil([&] { return requests.Count(kMsgUnsubscribe) == 1; }));
    ASSERT_TRUE(listener->SendSubscription(1, nullptr, one.data(), int(one.size())));
    ASSERT_TRUE(listener->SendBuffer(last.data(), int(last.size())));
    listener->ForceSendBufferToClients();
    ASSERT_TRUE(PumpUntil([&] {
        return remotes[0].observer.Count(904) == 2 && remotes[2].observer.Count(904) == 2;
    }));
    EXPECT_EQ(remotes[0].DataTypes(), (std::vector<uint16_t>{901, 904, 904}));
    EXPECT_EQ(remotes[2].DataTypes(), (std::vector<uint16_t>{901, 903, 904, 901, 904}));

    // A remote that goes away leaves its subscriptions.
    remotes[2].receiver.reset();
    ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 2; }));
    EXPECT_FALSE(listener->SubscriptionExists(1, nullptr));
    EXPECT_FALSE(listener->SubscriptionExists(2, "N"));
    EXPECT_TRUE(listener->SubscriptionExists(2, nullptr));
    delete listener;
}

}  // namespace
}  // namespace veltonet
