// velto seen from the wire: a test speaks to serve and sequencer byte by byte, as any peer
// of theirs would, and checks the exact messages they send back.

#include <gtest/gtest.h>

#include <set>

#include "tests/RawSocket.h"
#include "tests/VeltoProcess.h"

namespace velto::test {
namespace {

constexpr uint16_t kAccepted = 60011;
constexpr uint16_t kSubscribe = 60004;
constexpr uint16_t kUnsubscribe = 60005;
constexpr uint16_t kQuote = 1000;
constexpr uint16_t kTrade = 1001;
constexpr uint16_t kPacket = 21008;
constexpr uint16_t kRepairRequest = 20009;

uint16_t PortOf(VeltoProcess& process, const std::string& pattern) {
    const auto match = process.WaitForLine(pattern);
    return match ? static_cast<uint16_t>(std::stoul((*match)[1])) : 0;
}

// The next quote; fails the test on anything else.
std::pair<uint32_t, uint32_t> NextQuote(RawSocket& socket) {
    const std::optional<std::string> message = socket.ReadMessage();
    if (!message) {
        ADD_FAILURE() << "no quote came";
        return {UINT32_MAX, 0};
    }
    EXPECT_EQ(TypeOf(*message), kQuote);
    EXPECT_EQ(message->size(), 36u);
    return {U32At(*message, 4), U32At(*message, 8)};
}

TEST(VeltoWire, ServeFollowsSubscribeAndUnsubscribeRequests) {
    VeltoProcess server({"serve", "--port", "0", "--ids", "20", "--names", "2", "--feed", "4000"});
    const uint16_t port = PortOf(server, "^listening on port ([0-9]+)");
    ASSERT_NE(port, 0);
    RawSocket peer = RawSocket::Connect(port);
    ASSERT_TRUE(peer.isOpen());
    // The listener's acceptance comes first: a 4-byte message of type 60011.
    EXPECT_EQ(peer.ReadMessage(), Message(kAccepted, ""));

    // Refused by the listener (beyond its tables) or never made: nothing is shown for these.
    ASSERT_TRUE(peer.Send(Message(kSubscribe, U32(50)) + Message(kUnsubscribe, U32(7)) +
                          Message(kSubscribe, U32(9) + "N")));
    ASSERT_TRUE(peer.Send(Message(kSubscribe, U32(4))));
    uint32_t last = 0;
    for (int i = 0; i < 5; ++i) {
        const auto [instrument, sequence] = NextQuote(peer);
        ASSERT_EQ(instrument, 4u);
        if (last != 0) {
            EXPECT_EQ(sequence, last + 1);
        }
        last = sequence;
    }
    // Stream order is request order: once a quote of 1 arrives, 4 never comes again.
    ASSERT_TRUE(peer.Send(Message(kUnsubscribe, U32(4)) + Message(kSubscribe, U32(1) + "N")));
    int quotesOfOne = 0;
    while (quotesOfOne < 5) {
        const auto [instrument, sequence] = NextQuote(peer);
        ASSERT_TRUE(instrument == 4 || instrument == 1) << instrument;
        if (instrument == 4) {
            ASSERT_EQ(quotesOfOne, 0) << "a quote of 4 after the unsubscription took effect";
            EXPECT_EQ(sequence, ++last);
        } else {
            ++quotesOfOne;
        }
    }
    const std::string who = "client 127.0.0.1:" + std::to_string(peer.LocalPort());
    { RawSocket closing = std::move(peer); }
    ASSERT_TRUE(server.WaitForLine("^" + who + " left$"));
    EndWithCtrlC(server);
    EXPECT_EQ(Matching(server.Out(), "^" + who + " "),
              (std::vector<std::string>{who + " arrived", who + " subscribed to 4",
                                        who + " unsubscribed from 4",
                                        who + " subscribed to 1:\"N\"", who + " left"}));
}

TEST(VeltoWire, SequencerPacketsAndRepairAnswers) {
    VELTO_NEEDS_INTERRUPT();
    RawSocket feed = RawSocket::BindDatagram(0);
    ASSERT_TRUE(feed.isOpen());
    VeltoProcess sequencer({"sequencer", "--target",
                            "127.0.0.1:" + std::to_string(feed.LocalPort()), "--repair-port", "0",
                            "--rate", "1000", "--drop", "20"});
    const uint16_t repairPort = PortOf(sequencer, "^repair server listening on port ([0-9]+)$");
    ASSERT_NE(repairPort, 0);

    // Packets until one is missing: numbers rise by one except where a packet was dropped,
    // and trades are numbered across packets, dropped ones included.
    uint32_t lastPacket = 0;
    uint32_t lastTrade = 0;
    uint32_t missing = 0;
    uint32_t firstMissingTrade = 0;
    uint32_t tradesMissing = 0;
    for (int i = 0; i < 500 && missing == 0; ++i) {
        const std::optional<std::string> packet = feed.ReadDatagram();
        ASSERT_TRUE(packet.has_value());
        ASSERT_EQ(TypeOf(*packet), kPacket);
        ASSERT_EQ(U32At(*packet, 0) & 0xFFFF, packet->size());
        const uint32_t number = U32At(*packet, 4);
        const uint32_t firstTrade = U32At(*packet, 12);
        // A gap of one packet tells how many trades that packet carried; a longer gap only
        // that some are missing.
        if (lastPacket != 0 && number == lastPacket + 2) {
            missing = number - 1;
            firstMissingTrade = lastTrade + 1;
            tradesMissing = firstTrade - firstMissingTrade;
        } else if (lastPacket != 0) {
            ASSERT_GT(number, lastPacket);
            ASSERT_EQ(firstTrade == lastTrade + 1, number == lastPacket + 1);
        }
        for (size_t at = 8; at < packet->size(); at += 20) {
            ASSERT_EQ(TypeOf(packet->substr(at, 4)), kTrade);
            lastTrade = U32At(*packet, at + 4);
        }
        lastPacket = number;
    }
    ASSERT_NE(missing, 0u) << "20% dropped, yet no gap";
    ASSERT_TRUE(sequencer.WaitForLine("^dropped packet " + std::to_string(missing) + "$"));
    ASSERT_GE(tradesMissing, 1u);
    ASSERT_LE(tradesMissing, 4u);

    RawSocket repair = RawSocket::Connect(repairPort);
    ASSERT_TRUE(repair.isOpen());
    EXPECT_EQ(repair.ReadMessage(), Message(kAccepted, ""));
    // Nothing in the history: no answer at all. Then the missing packet: its trades as plain
    // messages, then the packet itself, carrying the same trades.
    ASSERT_TRUE(repair.Send(Message(kRepairRequest, U32(4000000000u)) +
                            Message(kRepairRequest, U32(missing))));
    std::string trades;
    for (uint32_t i = 0; i < tradesMissing; ++i) {
        const std::optional<std::string> trade = repair.ReadMessage();
        ASSERT_TRUE(trade.has_value());
        ASSERT_EQ(TypeOf(*trade), kTrade);
        EXPECT_EQ(U32At(*trade, 4), firstMissingTrade + i);
        trades += *trade;
    }
    EXPECT_EQ(repair.ReadMessage(), Message(kPacket, U32(missing) + trades));
    ASSERT_TRUE(sequencer.WaitForLine("for packet 4000000000: not in the history, unanswered$"));
    ASSERT_TRUE(sequencer.WaitForLine("for packet " + std::to_string(missing) + ": answered \\(" +
                                      std::to_string(tradesMissing) + " trades?\\)$"));
    sequencer.Interrupt();
    EXPECT_EQ(sequencer.Wait(), 0);
    EXPECT_EQ(Matching(sequencer.Out(), "^stopped: .* 2 repair requests, 1 answered$").size(), 1u)
        << sequencer.Out();
}

TEST(VeltoWire, SequencerCountEndsWithAPacketThatIsNeverDropped) {
    RawSocket feed = RawSocket::BindDatagram(0);
    VeltoProcess sequencer({"sequencer", "--target",
                            "127.0.0.1:" + std::to_string(feed.LocalPort()), "--repair-port", "0",
                            "--rate", "2000", "--drop", "50", "--count", "40"});
    ASSERT_TRUE(sequencer.WaitForLine("^sent 40 packets; answering repairs until interrupted$"));
    std::set<uint32_t> received;
    while (const std::optional<std::string> packet = feed.ReadDatagram(0.5)) {
        received.insert(U32At(*packet, 4));
    }
    const auto dropped = Matching(sequencer.Out(), "^dropped packet ");
    EXPECT_EQ(received.size() + dropped.size(), 40u);
    EXPECT_EQ(received.count(1), 1u);   // the first is never dropped
    EXPECT_EQ(received.count(40), 1u);  // nor the last
    EXPECT_EQ(*received.rbegin(), 40u);
    EndWithCtrlC(sequencer);
}

TEST(VeltoWire, ConnectFailsWhenTheCountDoesNotCome) {
    VeltoProcess server({"serve", "--port", "0"});
    const uint16_t port = PortOf(server, "^listening on port ([0-9]+)");
    ASSERT_NE(port, 0);
    const Result client = RunVelto(
        {"connect", "127.0.0.1:" + std::to_string(port), "--count", "5", "--seconds", "0.5"});
    EXPECT_EQ(client.code, 1);
    EXPECT_EQ(client.err, "velto connect: got 0 of 5 messages\n");
    EndWithCtrlC(server);
}

}  // namespace
}  // namespace velto::test
