#include "veltonet/listener/Client.h"

#include <gtest/gtest.h>

#include <set>

#include "veltonet/listener/ClientSet.h"
#include "veltonet/listener/ListenerTestSupport.h"

namespace veltonet {
namespace {

using test::Frame;
using test::RecordingObserver;
using test::SubscriptionRequest;
using Types = std::vector<uint16_t>;
using Ids = Client::IdentifierSet;

class ClientTest : public test::ListenerTest {};

TEST_F(ClientTest, AccumulationBufferIsAQuarterOfTheSendBufferSize) {
    Listener listener("server", 4, 4, 0, true, 0, 0, false);
    const std::vector<std::pair<unsigned int, unsigned int>> cases = {
        {8192, 2048}, {0, 65535}, {2, 1}, {3, 1}, {4, 1}, {7, 1}, {8, 2}};
    for (const auto& [sendBufferSize, expected] : cases) {
        Client client(&listener, 0, sendBufferSize, false);
        EXPECT_EQ(client.GetBufferLength(), expected) << sendBufferSize;
    }
}

// Sends gather until the next does not fit; one larger than the whole buffer follows the flush.
TEST_F(ClientTest, SmallSendsAreGatheredAndFlushedAsOneBufferWhenTheNextDoesNotFit) {
    Listener* listener = StartListener(true, 8192);
    auto [client, peer] = AcceptPeer(listener);
    ASSERT_EQ(ReadBytes(peer, 4), kAccepted);
    ASSERT_EQ(client->GetBufferLength(), 2048u);
    const std::string first = Frame(601, std::string(996, 'a'));
    const std::string second = Frame(602, std::string(996, 'b'));
    const std::string third = Frame(603, std::string(996, 'c'));
    const std::string large = Frame(611, std::string(2996, 'L'));
    const unsigned int sentBefore = client->GetSizeSent();

    EXPECT_TRUE(client->SendBuffer(first.data(), 1000));
    EXPECT_TRUE(client->SendBuffer(second.data(), 1000));
    EXPECT_EQ(client->GetSizeSent(), sentBefore);
    EXPECT_EQ(std::string(client->GetClientBuffer(), client->GetDataLength()), first + second);

    EXPECT_TRUE(client->SendBuffer(third.data(), 1000));
    EXPECT_EQ(client->GetDataLength(), 1000u);
    EXPECT_EQ(client->GetSizeSent(), sentBefore + 2000);  // one buffer of the first two
    EXPECT_EQ(ReadBytes(peer, 2000), first + second);

    EXPECT_TRUE(client->SendBuffer(large.data(), int(large.size())));
    EXPECT_EQ(client->GetDataLength(), 0u);
    EXPECT_EQ(ReadBytes(peer, 4000), third + large);
    EXPECT_TRUE(client->ForceSendBuffer());  // nothing waiting

    // AddData takes only what fits, and nothing without a buffer.
    const std::string bytes(2048, 'x');
    EXPECT_TRUE(client->AddData(bytes.data(), 2000));
    EXPECT_FALSE(client->AddData(bytes.data(), 49));
    EXPECT_TRUE(client->AddData(bytes.data(), 48));
    EXPECT_EQ(client->GetDataLength(), 2048u);
    Client pendingOnly(listener, 0, 0, false);
    EXPECT_FALSE(pendingOnly.AddData(bytes.data(), 1));
}

// A fan-out adds what fits to a plain client's buffer without calling its SendBuffer: the
// client walked by a set must end up exactly as one whose SendBuffer gets the same bytes.
TEST_F(ClientTest, AFanOutLeavesAClientAsItsOwnSendBufferDoes) {
    Listener* listener = StartListener(true, 8192);
    auto [walked, walkedPeer] = AcceptPeer(listener);
    auto [direct, directPeer] = AcceptPeer(listener);
    ASSERT_EQ(ReadBytes(walkedPeer, 4), kAccepted);
    ASSERT_EQ(ReadBytes(directPeer, 4), kAccepted);
    ClientSet set;
    set.Add(walked);
    // Fits, nothing, fills all but 4 bytes, needs a flush, larger than the buffer, fits.
    const std::vector<std::string> sends = {
        Frame(601, std::string(996, 'a')),  "",
        Frame(602, std::string(1040, 'b')), Frame(603, std::string(996, 'c')),
        Frame(604, std::string(2996, 'L')), Frame(605, "x")};
    for (const std::string& bytes : sends) {
        set.SendBuffer(bytes.data(), int(bytes.size()), false);
        direct->SendBuffer(bytes.data(), int(bytes.size()), false);
        EXPECT_EQ(std::string(walked->GetClientBuffer(), walked->GetDataLength()),
                  std::string(direct->GetClientBuffer(), direct->GetDataLength()));
        EXPECT_EQ(walked->GetSizeSent(), direct->GetSizeSent());
    }
    EXPECT_EQ(walked->GetDataLength(), 5u);
    const std::string flushed = ReadBytes(directPeer, 6044);
    EXPECT_EQ(flushed.size(), 6044u);
    EXPECT_EQ(ReadBytes(walkedPeer, 6044), flushed);
}

// A send that fails inside a walk over the clients, and a Disconnect made inside one, only
// mark the client; the next flush reaps the marked active ones, and a marked pending client
// reaps itself on its next read. Every other client gets every byte.
TEST_F(ClientTest, ClientsMarkedInsideAWalkAreReapedLaterAndTheOthersGetEverything) {
    Listener* listener = StartListener(false, 8192);
    RecordingObserver observer;
    listener->Add(&observer);
    int fds[4];
    Client* clients[4];
    for (int i = 0; i < 4; ++i) {
        std::tie(clients[i], fds[i]) = AcceptPeer(listener);
        ASSERT_EQ(ReadBytes(fds[i], 4), kAccepted);
        ASSERT_TRUE(i == 3 || clients[i]->AddToListener());
    }
    Client* const early = clients[1];  // its peer resets before the send walk
    Client* const late = clients[2];   // and this one's before the flush walk
    Client* const pending = clients[3];
    bool disconnectResult = false;
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == kMsgDisconnected && !disconnectResult) {
            EXPECT_TRUE(listener->isSending());
            disconnectResult = pending->Disconnect();
            EXPECT_TRUE(pending->toDestroy());
        }
    };
    const std::string first = Frame(811, std::string(996, '1'));
    const std::string second = Frame(812, std::string(996, '2'));
    const std::string third = Frame(813, std::string(996, '3'));
    ASSERT_TRUE(listener->SendBuffer(first.data(), 1000));
    ASSERT_TRUE(listener->SendBuffer(second.data(), 1000));
    ResetPeer(fds[1]);
    ASSERT_TRUE(WaitForReset(early));
    logs->records.clear();

    // The third does not fit: every client flushes inside the walk, and one flush fails.
    EXPECT_TRUE(listener->SendBuffer(third.data(), 1000));
    EXPECT_EQ(listener->GetClientCount(), 3u);
    EXPECT_TRUE(early->toDestroy());
    EXPECT_FALSE(late->toDestroy());
    EXPECT_TRUE(observer.records.empty());

    ResetPeer(fds[2]);
    ASSERT_TRUE(WaitForReset(late));
    listener->ForceSendBufferToClients();

    EXPECT_EQ(listener->GetClientCount(), 1u);
    ASSERT_EQ(observer.Types(), (Types{kMsgDisconnected, kMsgDisconnected}));
    EXPECT_EQ((std::set<Observable*>{observer.records[0].source, observer.records[1].source}),
              (std::set<Observable*>{early, late}));
    EXPECT_TRUE(disconnectResult);
    EXPECT_EQ(listener->GetPendingClientCount(), 1u);
    EXPECT_EQ(logs->Count("Client::DisconnectAndNotify() m_listener->m_sending"), 2u);
    EXPECT_EQ(logs->Count("ERROR Send (next line)"), 2u);
    EXPECT_FALSE(logs->Contains("Client destruction delayed"));
    EXPECT_EQ(ReadBytes(fds[0], 3000), first + second + third);

    ASSERT_TRUE(test::raw::SendAll(fds[3], Frame(630, "")));
    ASSERT_TRUE(PumpUntil([&] { return listener->GetPendingClientCount() == 0; }));
    EXPECT_EQ(observer.Count(kMsgDisconnected), 3u);
    EXPECT_EQ(observer.Count(630), 0u);  // a marked client delivers nothing more
}

// ---- requests from the peer ----

class ClientRequestTest : public test::ListenerTest {
  protected:
    void SetUp() override {
        test::ListenerTest::SetUp();
        listener = StartListener(true, 0, 10, 10);
        listener->Add(&observer);
        std::tie(client, peer) = AcceptPeer(listener);
    }

    // Sends the bytes and a marker, and pumps until the marker is delivered: everything
    // before it has been handled by then. Answers the types delivered so far, markers left out.
    Types Deliver(const std::string& bytes) {
        const size_t markers = observer.Count(kMarker);
        EXPECT_TRUE(test::raw::SendAll(peer, bytes + Frame(kMarker, "")));
        EXPECT_TRUE(PumpUntil([&] { return observer.Count(kMarker) == markers + 1; }));
        Types types = observer.Types();
        std::erase(types, kMarker);
        return types;
    }

    static constexpr uint16_t kMarker = 999;
    Listener* listener = nullptr;
    Client* client = nullptr;
    RecordingObserver observer;
    int peer = -1;
};

TEST_F(ClientRequestTest, EachChangeIsDeliveredOnceAndRepeatsOrNoOpsAreConsumedSilently) {
    const std::string request = SubscriptionRequest(kMsgSubscribe, 3, nullptr);
    EXPECT_EQ(Deliver(request + request + SubscriptionRequest(kMsgSubscribe, 1, "X") +
                      SubscriptionRequest(kMsgSubscribe, 2, "X")),
              (Types{kMsgSubscribe, kMsgSubscribe, kMsgSubscribe}));
    EXPECT_EQ(observer.records[0].bytes, request);
    EXPECT_EQ(observer.records[0].source, static_cast<Observable*>(client));
    EXPECT_EQ(client->GetIdentifiers(), Ids{3});
    EXPECT_EQ(client->GetNamedIdentifiers().at("X"), (Ids{1, 2}));
    EXPECT_EQ(listener->FindSubscription(3, nullptr)->GetCount(), 1u);
    EXPECT_TRUE(listener->SubscriptionExists(2, "X"));
    EXPECT_FALSE(listener->SubscriptionExists(1, "x"));

    observer.records.clear();
    EXPECT_EQ(Deliver(SubscriptionRequest(kMsgUnsubscribe, 3, nullptr) +
                      SubscriptionRequest(kMsgUnsubscribe, 3, nullptr) +
                      SubscriptionRequest(kMsgUnsubscribe, 7, "Y") +
                      SubscriptionRequest(kMsgUnsubscribe, 1, "X")),
              (Types{kMsgUnsubscribe, kMsgUnsubscribe}));
    EXPECT_TRUE(client->GetIdentifiers().empty());
    EXPECT_FALSE(listener->SubscriptionExists(3, nullptr));
    EXPECT_EQ(listener->FindSubscription(7, "Y"), nullptr);
    EXPECT_EQ(client->GetNamedIdentifiers().at("X"), Ids{2});
    Deliver(SubscriptionRequest(kMsgUnsubscribe, 2, "X"));
    EXPECT_EQ(client->GetNamedIdentifiers().count("X"), 0u);  // dropped once empty
    EXPECT_FALSE(listener->SubscriptionExists(2, "X"));
    EXPECT_TRUE(logs->records.empty());
}

TEST_F(ClientRequestTest, ShortOrOutOfTableRequestsJoinNothingAndOtherTypesPassUnchanged) {
    // Sizes 4 and 6: the framing delivers them, but no identifier is complete.
    std::string four(4, '\0');
    Message::WriteHeader(four.data(), 4, kMsgSubscribe);
    std::string six(6, '\x05');
    Message::WriteHeader(six.data(), 6, kMsgUnsubscribe);
    const std::string other = Frame(1235, std::string("\x04\x00\x00\x00", 4));
    EXPECT_EQ(Deliver(four + six + other), Types{1235});
    EXPECT_EQ(observer.records[0].bytes, other);
    EXPECT_TRUE(client->GetIdentifiers().empty());

    // Beyond the table (10 long): recorded on the client once, joined nowhere, not delivered.
    EXPECT_EQ(Deliver(SubscriptionRequest(kMsgSubscribe, 10, nullptr) +
                      SubscriptionRequest(kMsgSubscribe, 10, nullptr) +
                      SubscriptionRequest(kMsgSubscribe, 10, "Z")),
              Types{1235});
    EXPECT_EQ(client->GetIdentifiers(), Ids{10});
    EXPECT_EQ(listener->FindSubscription(10, nullptr), nullptr);
    EXPECT_EQ(listener->FindSubscription(10, "Z"), nullptr);
}

TEST_F(ClientRequestTest, ANameEndsAtItsFirstNulOrAtTheEndOfTheMessageAndMayBeEmpty) {
    std::string withNul = SubscriptionRequest(kMsgSubscribe, 4, "AB") + std::string("\0C", 2);
    Message::WriteHeader(withNul.data(), uint16_t(withNul.size()), kMsgSubscribe);
    // The name runs to the message's end; the bytes after it belong to the next message.
    const std::string unterminated = SubscriptionRequest(kMsgSubscribe, 5, "LONGNAME");
    // A name of no characters still selects the named table.
    std::string emptyName = SubscriptionRequest(kMsgSubscribe, 6, nullptr) + std::string(1, '\0');
    Message::WriteHeader(emptyName.data(), 9, kMsgSubscribe);

    EXPECT_EQ(Deliver(withNul + unterminated + emptyName + Frame(1236, "tail")),
              (Types{kMsgSubscribe, kMsgSubscribe, kMsgSubscribe, 1236}));
    EXPECT_EQ(client->GetNamedIdentifiers().at("AB"), Ids{4});
    EXPECT_EQ(client->GetNamedIdentifiers().at("LONGNAME"), Ids{5});
    EXPECT_EQ(client->GetNamedIdentifiers().size(), 3u);  // "AB", "LONGNAME" and ""
    EXPECT_TRUE(listener->SubscriptionExists(6, ""));
    EXPECT_FALSE(listener->SubscriptionExists(6, nullptr));
}

TEST_F(ClientRequestTest, UpdateRemoteAddressShowsThePeer) {
    EXPECT_STREQ(client->GetIp(), "");
    client->UpdateRemoteAddress();
    EXPECT_STREQ(client->GetIp(), "127.0.0.1");
    EXPECT_EQ(client->GetObserverName(),
              "TCPReceiver Client 127.0.0.1 " + std::to_string(test::raw::LocalPort(peer)));
}

}  // namespace
}  // namespace veltonet
