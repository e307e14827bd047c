#include <gtest/gtest.h>

#include "veltonet/listener/ListenerTestSupport.h"

namespace veltonet {
namespace {

using test::Frame;
using test::RecordingObserver;
using test::SubscriptionRequest;
using Members = ClientSet::Members;

class SubscriptionTableTest : public test::ListenerTest {
  protected:
    void SetUp() override {
        test::ListenerTest::SetUp();
        table = new Listener("server", 10, 6, 0, true, 0, 0, false);
    }
    // identifierCount 10, namedIdentifierCount 6; no socket. Registered: the manager deletes it.
    Listener* table = nullptr;
};

TEST_F(SubscriptionTableTest, RefusesWhatWouldNotBeAMembershipOfItsOwn) {
    Client client(table, 0, 0, false);
    Listener another("another", 10, 6, 0, true, 0, 0, false);
    Client stranger(&another, 0, 0, false);

    EXPECT_FALSE(table->Subscribe(&client, 10, nullptr));  // beyond the tables
    EXPECT_FALSE(table->Subscribe(&client, 6, "A"));
    EXPECT_FALSE(table->Unsubscribe(&client, 10, nullptr));
    EXPECT_FALSE(table->Subscribe(nullptr, 1, nullptr));
    EXPECT_FALSE(table->Subscribe(&stranger, 1, nullptr));  // would outlive its membership
    EXPECT_EQ(table->FindSubscription(10, nullptr), nullptr);
    EXPECT_EQ(table->FindSubscription(6, "A"), nullptr);
    EXPECT_EQ(table->FindSubscription(1, nullptr), nullptr);

    EXPECT_TRUE(table->Subscribe(&client, 9, nullptr));
    EXPECT_FALSE(table->Subscribe(&client, 9, nullptr));
    EXPECT_TRUE(table->Unsubscribe(&client, 9, nullptr));
    EXPECT_FALSE(table->Unsubscribe(&client, 9, nullptr));
    EXPECT_FALSE(table->SubscriptionExists(9, nullptr));
    // A subscription set lives on, empty, until the listener goes.
    ASSERT_NE(table->FindSubscription(9, nullptr), nullptr);
    EXPECT_EQ(table->FindSubscription(9, nullptr)->GetCount(), 0u);
}

TEST_F(SubscriptionTableTest, NamedAndUnnamedSetsAreIndependentAndOutliveTheirMembers) {
    auto* client = new Client(table, 0, 0, false);
    Client other(table, 0, 0, false);
    EXPECT_TRUE(table->Subscribe(client, 5, "A"));
    EXPECT_TRUE(table->Subscribe(&other, 5, nullptr));
    EXPECT_TRUE(table->Subscribe(&other, 5, ""));

    EXPECT_EQ(table->FindSubscription(5, "A")->GetClients(), Members{client});
    EXPECT_EQ(table->FindSubscription(5, nullptr)->GetClients(), Members{&other});
    EXPECT_EQ(table->FindSubscription(5, "")->GetClients(), Members{&other});
    EXPECT_EQ(table->FindSubscription(5, "B"), nullptr);
    EXPECT_FALSE(table->Unsubscribe(client, 5, nullptr));
    // Direct subscriptions are recorded on the client too.
    EXPECT_EQ(client->GetNamedIdentifiers().at("A"), Client::IdentifierSet{5});
    EXPECT_EQ(other.GetIdentifiers(), Client::IdentifierSet{5});
    EXPECT_FALSE(table->SendSubscription(5, nullptr, "abcd", 4));  // no socket yet

    // A destroyed member leaves its sets, which live on, empty.
    ASSERT_TRUE(table->Subscribe(client, 5, nullptr));
    delete client;
    EXPECT_EQ(table->FindSubscription(5, nullptr)->GetClients(), Members{&other});
    ASSERT_NE(table->FindSubscription(5, "A"), nullptr);
    EXPECT_FALSE(table->SubscriptionExists(5, "A"));
}

class FanOutTest : public test::ListenerTest {};

// Raw peers subscribe with the request bytes a remote receiver sends, and get exactly the
// data of their subscriptions and of the listener-wide sends, in order.
TEST_F(FanOutTest, PeersGetExactlyWhatTheySubscribedTo) {
    Listener* listener = StartListener(true, 0, 10, 6);
    RecordingObserver requests;
    listener->Add(&requests);
    EXPECT_FALSE(listener->SendSubscription(1, nullptr, "abcd", 4));  // never made
    int fds[3];
    for (int& fd : fds) {
        fd = AcceptPeer(listener).second;
        ASSERT_EQ(ReadBytes(fd, 4), kAccepted);
    }
    ASSERT_TRUE(test::raw::SendAll(fds[0], SubscriptionRequest(kMsgSubscribe, 1, nullptr)));
    ASSERT_TRUE(test::raw::SendAll(fds[1], SubscriptionRequest(kMsgSubscribe, 2, nullptr)));
    ASSERT_TRUE(test::raw::SendAll(fds[2], SubscriptionRequest(kMsgSubscribe, 1, nullptr) +
                                               SubscriptionRequest(kMsgSubscribe, 2, "N")));
    ASSERT_TRUE(PumpUntil([&] { return requests.Count(kMsgSubscribe) == 4; }));

    const std::string one = Frame(901, "one");
    const std::string two = Frame(902, "two");
    const std::string named = Frame(903, "named");
    const std::string all = Frame(904, "to all");
    const auto sendAll = [&] {
        ASSERT_TRUE(listener->SendSubscription(1, nullptr, one.data(), int(one.size())));
        ASSERT_TRUE(listener->SendSubscription(2, nullptr, two.data(), int(two.size())));
        ASSERT_TRUE(listener->SendSubscription(2, "N", named.data(), int(named.size())));
        ASSERT_TRUE(listener->SendBuffer(all.data(), int(all.size())));
        EXPECT_FALSE(listener->isSending());
        listener->ForceSendBufferToClients();
    };
    sendAll();
    EXPECT_EQ(ReadBytes(fds[0], (one + all).size()), one + all);
    EXPECT_EQ(ReadBytes(fds[1], (two + all).size()), two + all);
    EXPECT_EQ(ReadBytes(fds[2], (one + named + all).size()), one + named + all);

    // An unsubscribed peer gets nothing more of that identifier; a peer that goes away leaves
    // its subscriptions, and the sets live on.
    ASSERT_TRUE(test::raw::SendAll(fds[0], SubscriptionRequest(kMsgUnsubscribe, 1, nullptr)));
    ASSERT_TRUE(PumpUntil([&] { return requests.Count(kMsgUnsubscribe) == 1; }));
    ResetPeer(fds[2]);
    ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 2; }));
    EXPECT_FALSE(listener->SubscriptionExists(1, nullptr));
    EXPECT_FALSE(listener->SubscriptionExists(2, "N"));
    EXPECT_TRUE(listener->SubscriptionExists(2, nullptr));
    sendAll();
    EXPECT_EQ(ReadBytes(fds[0], all.size()), all);
    EXPECT_EQ(ReadBytes(fds[1], (two + all).size()), two + all);
}

}  // namespace
}  // namespace veltonet
