#include "veltonet/listener/Client.h"

#include <gtest/gtest.h>

#include "veltonet/listener/ListenerTestSupport.h"

namespace veltonet {
namespace {

using test::Frame;
using test::RecordingObserver;
using test::SubscriptionRequest;

class ClientTest : public test::ListenerTest {};

TEST_F(ClientTest, AccumulationBufferIsAQuarterOfTheSendBufferSize) {
    Listener listener("server", 4, 4, 0, true, 0, 0, false);
    const std::vector<std::pair<unsigned int, unsigned int>> cases = {
        {8192, 2048}, {0, 65535}, {2, 1}, {3, 1}, {4, 1}, {7, 1}, {8, 2}};
    for (const auto& [sendBufferSize, expected] : cases) {
        auto* client = new Client(&listener, 0, sendBufferSize, false);
        EXPECT_EQ(client->GetBufferLength(), expected) << sendBufferSize;
        EXPECT_TRUE(client->isConnected());
        EXPECT_TRUE(client->isInitialized());
        EXPECT_TRUE(client->isPending());
        EXPECT_EQ(client->GetIp(), std::string());
        delete client;
    }
}

TEST_F(ClientTest, DestroyingAClientPublishesOneDisconnected) {
    Listener listener("server", 4, 4, 0, true, 0, 0, false);
    auto* client = new Client(&listener, 0, 0, false);
    RecordingObserver observer;
    client->Add(&observer);

    delete client;

    EXPECT_EQ(observer.Types(), std::vector<uint16_t>{kMsgDisconnected});
    EXPECT_EQ(observer.records[0].size, 4);
}

TEST_F(ClientTest, SmallSendsWaitAndAreFlushedAsOneBufferWhenTheNextDoesNotFit) {
    Listener* listener = StartListener(true, 8192);
    int peer = -1;
    Client* client = AcceptPeer(listener, &peer);
    ASSERT_EQ(ReadBytes(peer, 4), kAccepted);
    ASSERT_EQ(client->GetBufferLength(), 2048u);
    const std::string first = Frame(601, std::string(996, 'a'));
    const std::string second = Frame(602, std::string(996, 'b'));
    const std::string third = Frame(603, std::string(996, 'c'));
    const unsigned int sentBefore = client->GetSizeSent();

    EXPECT_TRUE(client->SendBuffer(first.data(), 1000));
    EXPECT_TRUE(client->SendBuffer(second.data(), 1000));
    EXPECT_EQ(client->GetDataLength(), 2000u);
    EXPECT_TRUE(client->HasData());
    EXPECT_EQ(client->GetSizeSent(), sentBefore);
    EXPECT_EQ(std::string(client->GetClientBuffer(), 2000), first + second);

    EXPECT_TRUE(client->SendBuffer(third.data(), 1000));
    EXPECT_EQ(client->GetDataLength(), 1000u);
    EXPECT_EQ(client->GetSizeSent(), sentBefore + 2000);  // one buffer of the first two
    EXPECT_EQ(ReadBytes(peer, 2000), first + second);

    EXPECT_TRUE(client->ForceSendBuffer());
    EXPECT_EQ(client->GetDataLength(), 0u);
    EXPECT_EQ(ReadBytes(peer, 1000), third);
    EXPECT_TRUE(client->ForceSendBuffer());  // nothing waiting
    delete listener;
}

TEST_F(ClientTest, AddDataTakesOnlyWhatFitsAndClearBufferDropsIt) {
    Listener* listener = StartListener(true, 8192);
    int peer = -1;
    Client* client = AcceptPeer(listener, &peer);
    const std::string bytes(2048, 'x');

    EXPECT_TRUE(client->AddData(bytes.data(), 2000));
    EXPECT_FALSE(client->AddData(bytes.data(), 49));
    EXPECT_EQ(client->GetDataLength(), 2000u);
    EXPECT_TRUE(client->AddData(bytes.data(), 48));
    EXPECT_EQ(client->GetDataLength(), 2048u);
    client->ClearBuffer();
    EXPECT_FALSE(client->HasData());

    {
        Client pendingOnly(listener, 0, 0, false);
        EXPECT_FALSE(pendingOnly.AddData(bytes.data(), 1));  // no buffer: nothing taken
    }
    delete listener;
}

TEST_F(ClientTest, ASendLargerThanTheWholeBufferFollowsTheFlushOnTheWire) {
    Listener* listener = StartListener(true, 8192);
    int peer = -1;
    Client* client = AcceptPeer(listener, &peer);
    ASSERT_EQ(ReadBytes(peer, 4), kAccepted);
    const std::string small = Frame(610, std::string(996, 's'));
    const std::string large = Frame(611, std::string(2996, 'L'));

    EXPECT_TRUE(client->SendBuffer(small.data(), int(small.size())));
    EXPECT_TRUE(client->SendBuffer(large.data(), int(large.size())));

    EXPECT_EQ(client->GetDataLength(), 0u);
    EXPECT_EQ(ReadBytes(peer, small.size() + large.size()), small + large);
    delete listener;
}

TEST_F(ClientTest, APendingClientSendsStraightToItsSocket) {
    Listener* listener = StartListener(false);
    int peer = -1;
    Client* client = AcceptPeer(listener, &peer);
    const std::string data = Frame(620, "now");

    EXPECT_TRUE(client->SendBuffer(data.data(), int(data.size())));

    EXPECT_EQ(client->GetDataLength(), 0u);
    EXPECT_EQ(ReadBytes(peer, 4 + data.size()), kAccepted + data);
    delete listener;
}

TEST_F(ClientTest, UpdateRemoteAddressShowsThePeer) {
    Listener* listener = StartListener(true);
    int peer = -1;
    Client* client = AcceptPeer(listener, &peer);
    EXPECT_EQ(client->GetIp(), std::string());
    EXPECT_EQ(client->GetPort(), 0);

    client->UpdateRemoteAddress();

    EXPECT_EQ(client->GetIp(), std::string("127.0.0.1"));
    EXPECT_EQ(client->GetPort(), LocalPortOf(peer));
    EXPECT_EQ(client->GetObserverName(),
              "TCPReceiver Client 127.0.0.1 " + std::to_string(LocalPortOf(peer)));
    delete listener;
}

class ClientRequestTest : public test::ListenerTest {
  protected:
    void SetUp() override {
        test::ListenerTest::SetUp();
        listener = StartListener(true, 0, 10, 10);
        listener->Add(&observer);
        client = AcceptPeer(listener, &peer);
    }
    void TearDown() override {
        delete listener;
        test::ListenerTest::TearDown();
    }

    // Sends the bytes, then a marker, and pumps until the marker is delivered: everything
    // before it has been handled by then.
    void Deliver(const std::string& bytes) {
        const size_t markers = observer.Count(kMarker);
        ASSERT_TRUE(test::raw::SendAll(peer, bytes + Frame(kMarker, "")));
        ASSERT_TRUE(PumpUntil([&] { return observer.Count(kMarker) == markers + 1; }));
    }

    std::vector<uint16_t> DeliveredTypes() const {
        std::vector<uint16_t> types;
        for (uint16_t type : observer.Types()) {
            if (type != kMarker)
                types.push_back(type);
        }
        return types;
    }

    static constexpr uint16_t kMarker = 999;
    Listener* listener = nullptr;
    Client* client = nullptr;
    RecordingObserver observer;
    int peer = -1;
};

TEST_F(ClientRequestTest, ARepeatedSubscriptionIsDeliveredOnceAndJoinsOnce) {
    const std::string request = SubscriptionRequest(kMsgSubscribe, 3, nullptr);
    Deliver(request + request);

    EXPECT_EQ(DeliveredTypes(), std::vector<uint16_t>{kMsgSubscribe});
    EXPECT_EQ(observer.records[0].bytes, request);
    EXPECT_EQ(observer.records[0].source, static_cast<Observable*>(client));
    EXPECT_EQ(client->GetIdentifiers(), Client::IdentifierSet{3});
    ASSERT_NE(listener->FindSubscription(3, nullptr), nullptr);
    EXPECT_EQ(listener->FindSubscription(3, nullptr)->GetCount(), 1u);
    EXPECT_TRUE(listener->SubscriptionExists(3, nullptr));
    EXPECT_FALSE(listener->SubscriptionExists(3, ""));

    Deliver(SubscriptionRequest(kMsgUnsubscribe, 3, nullptr));
    EXPECT_EQ(DeliveredTypes(), (std::vector<uint16_t>{kMsgSubscribe, kMsgUnsubscribe}));
    EXPECT_FALSE(listener->SubscriptionExists(3, nullptr));
    EXPECT_NE(listener->FindSubscription(3, nullptr), nullptr);
    EXPECT_TRUE(client->GetIdentifiers().empty());
}

TEST_F(ClientRequestTest, NamedSubscriptionsAreKeptPerNameAndDroppedWhenEmpty) {
    Deliver(SubscriptionRequest(kMsgSubscribe, 1, "X") +
            SubscriptionRequest(kMsgSubscribe, 2, "X"));
    EXPECT_EQ(client->GetNamedIdentifiers().at("X"), (Client::IdentifierSet{1, 2}));
    EXPECT_TRUE(listener->SubscriptionExists(1, "X"));
    EXPECT_TRUE(listener->SubscriptionExists(2, "X"));
    EXPECT_FALSE(listener->SubscriptionExists(1, nullptr));
    EXPECT_FALSE(listener->SubscriptionExists(1, "x"));

    Deliver(SubscriptionRequest(kMsgUnsubscribe, 1, "X"));
    EXPECT_EQ(client->GetNamedIdentifiers().at("X"), Client::IdentifierSet{2});
    Deliver(SubscriptionRequest(kMsgUnsubscribe, 2, "X"));
    EXPECT_EQ(client->GetNamedIdentifiers().count("X"), 0u);
    EXPECT_FALSE(listener->SubscriptionExists(2, "X"));
    EXPECT_EQ(DeliveredTypes(), (std::vector<uint16_t>{kMsgSubscribe, kMsgSubscribe,
                                                       kMsgUnsubscribe, kMsgUnsubscribe}));
}

TEST_F(ClientRequestTest, UnsubscribingFromNothingIsConsumedSilently) {
    Deliver(SubscriptionRequest(kMsgUnsubscribe, 7, nullptr) +
            SubscriptionRequest(kMsgUnsubscribe, 7, "Y"));

    EXPECT_TRUE(DeliveredTypes().empty());
    EXPECT_EQ(listener->FindSubscription(7, nullptr), nullptr);
    EXPECT_EQ(listener->FindSubscription(7, "Y"), nullptr);
    EXPECT_TRUE(logs->records.empty());
}

TEST_F(ClientRequestTest, RequestsTooShortForAnIdentifierAreConsumedWithoutReadingOne) {
    // Sizes 4 and 6: the framing delivers them, but no identifier is complete.
    std::string four(4, '\0');
    Message::WriteHeader(four.data(), 4, kMsgSubscribe);
    std::string six(6, '\x05');
    Message::WriteHeader(six.data(), 6, kMsgUnsubscribe);
    const std::string other = Frame(1235, std::string("\x04\x00\x00\x00", 4));
    Deliver(four + six + other);

    // Any other type is delivered unchanged.
    ASSERT_EQ(DeliveredTypes(), std::vector<uint16_t>{1235});
    EXPECT_EQ(observer.records[0].bytes, other);
    EXPECT_TRUE(client->GetIdentifiers().empty());
    EXPECT_TRUE(client->GetNamedIdentifiers().empty());
}

TEST_F(ClientRequestTest, ANameEndsAtItsFirstNulOrAtTheEndOfTheMessageAndMayBeEmpty) {
    std::string withNul = SubscriptionRequest(kMsgSubscribe, 4, "AB");
    withNul += std::string("\0C", 2);
    Message::WriteHeader(withNul.data(), uint16_t(withNul.size()), kMsgSubscribe);
    // The name runs to the message's end; the bytes after it belong to the next message.
    const std::string unterminated = SubscriptionRequest(kMsgSubscribe, 5, "LONGNAME");
    // A name of no characters still selects the named table.
    std::string emptyName = SubscriptionRequest(kMsgSubscribe, 6, nullptr) + std::string(1, '\0');
    Message::WriteHeader(emptyName.data(), 9, kMsgSubscribe);
    Deliver(withNul + unterminated + emptyName + Frame(1236, "tail"));

    EXPECT_EQ(client->GetNamedIdentifiers().at("AB"), Client::IdentifierSet{4});
    EXPECT_EQ(client->GetNamedIdentifiers().at("LONGNAME"), Client::IdentifierSet{5});
    EXPECT_TRUE(listener->SubscriptionExists(4, "AB"));
    EXPECT_TRUE(listener->SubscriptionExists(6, ""));
    EXPECT_FALSE(listener->SubscriptionExists(6, nullptr));
    EXPECT_EQ(DeliveredTypes(),
              (std::vector<uint16_t>{kMsgSubscribe, kMsgSubscribe, kMsgSubscribe, 1236}));
}

TEST_F(ClientRequestTest, AnIdentifierBeyondTheTableIsRecordedButJoinsNothing) {
    Deliver(SubscriptionRequest(kMsgSubscribe, 10, nullptr) +
            SubscriptionRequest(kMsgSubscribe, 10, nullptr) +
            SubscriptionRequest(kMsgSubscribe, 10, "Z"));

    EXPECT_TRUE(DeliveredTypes().empty());
    EXPECT_EQ(client->GetIdentifiers(), Client::IdentifierSet{10});
    EXPECT_EQ(listener->FindSubscription(10, nullptr), nullptr);
    EXPECT_EQ(listener->FindSubscription(10, "Z"), nullptr);
    EXPECT_FALSE(listener->SendSubscription(10, nullptr, "x", 1));
}

// A client whose send fails inside a walk is only marked; a Disconnect made inside a walk
// only marks as well. Both are reaped later, and a marked pending client reaps itself on its
// next read instead of being notified again on every round.
TEST_F(ClientTest, ClientsMarkedInsideAWalkAreReapedLater) {
    Listener* listener = StartListener(false);
    int brokenPeer = -1;
    int pendingPeer = -1;
    Client* broken = AcceptPeer(listener, &brokenPeer);
    Client* pending = AcceptPeer(listener, &pendingPeer);
    ASSERT_TRUE(broken->AddToListener());
    ASSERT_EQ(ReadBytes(brokenPeer, 4), kAccepted);
    RecordingObserver observer;
    bool disconnectResult = false;
    bool markedAtOnce = false;
    observer.onMessage = [&](const Message* message, Observable* source) {
        if (message->GetType() == kMsgDisconnected && source == broken) {
            EXPECT_TRUE(listener->isSending());
            disconnectResult = pending->Disconnect();
            markedAtOnce = pending->toDestroy();
        }
    };
    listener->Add(&observer);
    broken->Add(&observer);
    pending->Add(&observer);

    ResetPeer(brokenPeer);
    ASSERT_TRUE(WaitForReset(broken));
    ASSERT_TRUE(listener->SendBuffer("abcd", 4));
    logs->records.clear();
    listener->ForceSendBufferToClients();

    EXPECT_EQ(listener->GetClientCount(), 0u);
    EXPECT_TRUE(disconnectResult);
    EXPECT_TRUE(markedAtOnce);
    EXPECT_EQ(listener->GetPendingClientCount(), 1u);
    EXPECT_EQ(logs->Count("Client::DisconnectAndNotify() m_listener->m_sending"), 1u);
    EXPECT_EQ(logs->Count("ERROR Send (next line)"), 1u);
    EXPECT_FALSE(logs->Contains("Client destruction delayed"));
    EXPECT_EQ(observer.Count(kMsgDisconnected), 1u);

    ASSERT_TRUE(test::raw::SendAll(pendingPeer, Frame(630, "")));
    ASSERT_TRUE(PumpUntil([&] { return listener->GetPendingClientCount() == 0; }));
    EXPECT_EQ(observer.Count(kMsgDisconnected), 2u);
    EXPECT_EQ(observer.Count(630), 0u);  // a marked client delivers nothing more
    delete listener;
}

}  // namespace
}  // namespace veltonet
