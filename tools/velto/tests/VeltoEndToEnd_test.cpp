// velto against velto on loopback: each test starts the binaries it needs, waits for what
// they print, and checks their output and exit codes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "tests/VeltoProcess.h"

namespace velto::test {
namespace {

std::string Port(VeltoProcess& process, const std::string& pattern) {
    const auto match = process.WaitForLine(pattern);
    return match ? std::string((*match)[1]) : std::string();
}

// Instrument and sequence number of a printed quote: bytes 4-11 of the message.
struct PrintedQuote {
    uint32_t instrument;
    uint32_t sequence;
};

std::vector<PrintedQuote> PrintedQuotes(const std::string& output) {
    std::vector<PrintedQuote> quotes;
    for (const std::string& line : Matching(output, "^type 1000 size 36: ")) {
        const std::string hex = line.substr(line.find(": ") + 2);
        auto byte = [&](size_t i) {
            return uint32_t(std::stoul(hex.substr(3 * i, 2), nullptr, 16));
        };
        quotes.push_back({byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24,
                          byte(4) | byte(5) << 8 | byte(6) << 16 | byte(7) << 24});
    }
    return quotes;
}

TEST(VeltoEndToEnd, ConnectGetsExactlyItsSubscriptionsInOrder) {
    VELTO_NEEDS_INTERRUPT();
    VeltoProcess server({"serve", "--port", "0", "--ids", "50", "--names", "4", "--feed", "3000"});
    const std::string port = Port(server, "^listening on port ([0-9]+): 50 identifiers, 4 named");
    ASSERT_FALSE(port.empty()) << server.Err();
    ASSERT_TRUE(server.WaitForLine("^feed: 3000 quotes per second over identifiers 0-49$"));

    VeltoProcess client({"connect", "127.0.0.1:" + port, "--subscribe", "3", "--subscribe", "7",
                         "--subscribe", "2:FX", "--subscribe", "60", "--count", "90"});
    EXPECT_EQ(client.Wait(), 0) << client.Err();
    const std::vector<std::string> lines = client.OutLines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "connecting to 127.0.0.1:" + port);
    EXPECT_EQ(lines[1].rfind("connected to 127.0.0.1:" + port + ", local port ", 0), 0u);
    EXPECT_EQ(lines[2], "accepted by the listener");
    EXPECT_EQ(lines[3], "subscription requests sent: 3, 7, 2:\"FX\", 60");

    // Identifier 60 is beyond the listener's table: refused, and nothing comes for it.
    const std::vector<PrintedQuote> quotes = PrintedQuotes(client.Out());
    ASSERT_EQ(quotes.size(), 90u);
    std::map<uint32_t, uint32_t> last;
    for (const PrintedQuote& quote : quotes) {
        EXPECT_TRUE(quote.instrument == 2 || quote.instrument == 3 || quote.instrument == 7)
            << quote.instrument;
        if (last.count(quote.instrument) != 0) {
            EXPECT_EQ(quote.sequence, last[quote.instrument] + 1) << quote.instrument;
        }
        last[quote.instrument] = quote.sequence;
    }
    EXPECT_EQ(last.size(), 3u);
    EXPECT_EQ(Matching(client.Out(),
                       "^sequence check: 90 quotes on instruments 2 3 7; "
                       "0 missing, 0 repeated or out of order$")
                  .size(),
              1u)
        << client.Out();

    const std::string local = lines[1].substr(lines[1].rfind(' ') + 1);
    const std::string who = "client 127.0.0.1:" + local;
    ASSERT_TRUE(server.WaitForLine("^" + who + " left$"));
    server.Interrupt();
    EXPECT_EQ(server.Wait(), 0);
    EXPECT_EQ(Matching(server.Out(), "^" + who + " "),
              (std::vector<std::string>{who + " arrived", who + " subscribed to 3",
                                        who + " subscribed to 7", who + " subscribed to 2:\"FX\"",
                                        who + " left"}));
    EXPECT_EQ(Matching(server.Out(),
                       "^stopped: 1 clients served, [0-9]+ quotes published, "
                       "[0-9]+ delivered$")
                  .size(),
              1u)
        << server.Out();
}

TEST(VeltoEndToEnd, PersistentConnectRotatesAndRetriesUntilTheServerComes) {
    VELTO_NEEDS_INTERRUPT();
    const std::string port = std::to_string(FreePort(true));
    VeltoProcess client({"connect", "127.0.0.1:" + port + ",localhost", "--reconnect", "1",
                         "--subscribe", "1", "--print", "none"});
    ASSERT_TRUE(client.WaitForLine("^connect failed: 127\\.0\\.0\\.1:" + port +
                                   ": 10061 connection refused$"))
        << client.Out();
    // The next attempt goes to the next address of the list.
    ASSERT_TRUE(
        client.WaitForLine("^connect failed: localhost:" + port + ": 10061 connection refused$"))
        << client.Out();
    VeltoProcess server({"serve", "--port", port, "--ids", "10"});
    ASSERT_TRUE(server.WaitForLine("^listening on port " + port));
    ASSERT_TRUE(client.WaitForLine("^subscription requests sent: 1$", 10)) << client.Out();
    ASSERT_TRUE(server.WaitForLine("subscribed to 1$"));
    client.Interrupt();
    EXPECT_EQ(client.Wait(), 0) << client.Err();
    EXPECT_EQ(Matching(client.Out(), "^received 0 messages").size(), 1u);
    server.Interrupt();
    EXPECT_EQ(server.Wait(), 0);
}

TEST(VeltoEndToEnd, SendReachesConnectThroughARelayingServer) {
    VeltoProcess server({"serve", "--port", "0", "--relay"});
    const std::string port = Port(server, "^listening on port ([0-9]+)");
    ASSERT_FALSE(port.empty());
    VeltoProcess client({"connect", "127.0.0.1:" + port, "--count", "4"});
    ASSERT_TRUE(client.WaitForLine("^accepted by the listener$"));

    const Result text = RunVelto(
        {"send", "127.0.0.1:" + port, "--type", "4242", "--text", "hello", "--repeat", "3"});
    EXPECT_EQ(text.code, 0) << text.err;
    EXPECT_NE(text.out.find("sent 3 messages of type 4242, 9 bytes each\n"), std::string::npos)
        << text.out;
    const Result hex = RunVelto({"send", "127.0.0.1:" + port, "--type", "7", "--hex", "01 02 ff"});
    EXPECT_EQ(hex.code, 0) << hex.err;

    EXPECT_EQ(client.Wait(), 0) << client.Err();
    EXPECT_EQ(Matching(client.Out(), "^type "),
              (std::vector<std::string>{"type 4242 size 9: 68 65 6c 6c 6f  |hello|",
                                        "type 4242 size 9: 68 65 6c 6c 6f  |hello|",
                                        "type 4242 size 9: 68 65 6c 6c 6f  |hello|",
                                        "type 7 size 7: 01 02 ff  |...|"}));
    EndWithCtrlC(server);
    EXPECT_EQ(Matching(server.Out(), "type 4242 size 9: 68 65 6c 6c 6f  \\|hello\\|$").size(), 3u);
    EXPECT_EQ(Matching(server.Out(), "type 7 size 7: 01 02 ff  \\|\\.\\.\\.\\|$").size(), 1u);
}

TEST(VeltoEndToEnd, ManualAcceptKeepsRelayedMessagesFromPendingClients) {
    VeltoProcess server({"serve", "--port", "0", "--relay", "--manual-accept"});
    const std::string port = Port(server, "^listening on port ([0-9]+)");
    ASSERT_FALSE(port.empty());
    VeltoProcess client({"connect", "127.0.0.1:" + port, "--count", "1"});
    ASSERT_TRUE(client.WaitForLine("^connected to .*, local port ([0-9]+)$"));
    const std::string who =
        "127.0.0.1:" + std::string((*client.WaitForLine("local port ([0-9]+)$"))[1]);
    ASSERT_TRUE(server.WaitForLine("^client " + who + " arrived \\(pending\\)$"));

    // Relayed to admitted clients only: the pending one gets nothing of this.
    EXPECT_EQ(RunVelto({"send", "127.0.0.1:" + port, "--type", "1", "--text", "early"}).code, 0);
    ASSERT_TRUE(server.WaitForLine("type 1 size 9: .*\\|early\\|$"));
    server.Write("list\n");
    ASSERT_TRUE(server.WaitForLine("^  " + who + " pending$"));
    server.Write("accept " + who + "\n");
    ASSERT_TRUE(server.WaitForLine("^client " + who + " admitted$"));
    EXPECT_EQ(RunVelto({"send", "127.0.0.1:" + port, "--type", "1", "--text", "late"}).code, 0);

    EXPECT_EQ(client.Wait(), 0) << client.Err();
    EXPECT_EQ(Matching(client.Out(), "^type "),
              (std::vector<std::string>{"type 1 size 8: 6c 61 74 65  |late|"}));
    server.Write("nonsense\n");
    ASSERT_TRUE(server.WaitForLine("^unknown command 'nonsense' \\(try help\\)$"));
    EndWithCtrlC(server);
}

TEST(VeltoEndToEnd, SequencerAndUdpRepairEveryDroppedPacket) {
    if (UnderWine()) {
        GTEST_SKIP() << "under Wine, with this program and two velto programs on one wine server, "
                        "repairs came at about 17 a second, fewer than the 40 packets a second "
                        "that this case drops, so the receiver never reached its count with no "
                        "repair in progress (run alone, the same pair keeps up)";
    }
    const std::string udpPort = std::to_string(FreePort(false));
    VeltoProcess sequencer({"sequencer", "--target", "127.0.0.1:" + udpPort, "--repair-port", "0",
                            "--rate", "400", "--drop", "10"});
    const std::string repairPort = Port(sequencer, "^repair server listening on port ([0-9]+)$");
    ASSERT_FALSE(repairPort.empty()) << sequencer.Err();
    VeltoProcess receiver({"udp", udpPort, "--seq", "--repair", "127.0.0.1:" + repairPort,
                           "--count", "400", "--print", "none"});
    EXPECT_EQ(receiver.Wait(), 0) << receiver.Out() << receiver.Err();
    EndWithCtrlC(sequencer);

    ASSERT_EQ(Matching(receiver.Out(), "^repair: connected to 127\\.0\\.0\\.1:" + repairPort +
                                           ", local port [0-9]+, attached$|^repair: connected to "
                                           "127\\.0\\.0\\.1:" +
                                           repairPort + ", attached$")
                  .size(),
              1u)
        << receiver.Out();
    const auto totals =
        Matching(receiver.Out(), "^packets: last [0-9]+, lost ([0-9]+), recovered ([0-9]+)$");
    ASSERT_EQ(totals.size(), 1u) << receiver.Out();
    std::smatch counts;
    std::regex_search(totals[0], counts, std::regex("lost ([0-9]+), recovered ([0-9]+)"));
    const int lost = std::stoi(counts[1]);
    EXPECT_GT(lost, 0) << "10% dropped, yet no gap seen";
    EXPECT_EQ(std::stoi(counts[2]), lost);
    // Every trade exactly once and in order, the repaired ones included.
    EXPECT_EQ(Matching(receiver.Out(),
                       "^sequence check: [0-9]+ trades; "
                       "0 missing, 0 repeated or out of order$")
                  .size(),
              1u)
        << receiver.Out();
    // The sequencer answered one request per lost packet, each for a packet it dropped.
    const auto answers =
        Matching(sequencer.Out(), "^repair request from .* for packet ([0-9]+): answered");
    EXPECT_EQ(static_cast<int>(answers.size()), lost) << sequencer.Out();
    for (const std::string& answer : answers) {
        const std::string number =
            answer.substr(answer.find("packet ") + 7,
                          answer.find(':', answer.find("packet ")) - answer.find("packet ") - 7);
        EXPECT_EQ(Matching(sequencer.Out(), "^dropped packet " + number + "$").size(), 1u)
            << number;
    }
}

TEST(VeltoEndToEnd, PlainUdpShowsItsSenderAndTheDatagrams) {
    VeltoProcess receiver({"udp", "0", "--count", "2"});
    const std::string port = Port(receiver, "^bound to port ([0-9]+)$");
    ASSERT_FALSE(port.empty());
    VeltoProcess sequencer({"sequencer", "--target", "127.0.0.1:" + port, "--repair-port", "0"});
    EXPECT_EQ(receiver.Wait(), 0) << receiver.Err();
    EndWithCtrlC(sequencer);
    EXPECT_EQ(Matching(receiver.Out(), "^new sender 127\\.0\\.0\\.1$").size(), 1u)
        << receiver.Out();
    EXPECT_EQ(Matching(receiver.Out(), "^first datagram from 127\\.0\\.0\\.1:[0-9]+$").size(), 1u);
    // Without --seq a sequenced packet is just a message of type 21008.
    EXPECT_EQ(Matching(receiver.Out(), "^type 21008 size [0-9]+: ").size(), 2u) << receiver.Out();
}

TEST(VeltoEndToEnd, CtrlCEndsLongRunningCommandsCleanly) {
    VELTO_NEEDS_INTERRUPT();
    VeltoProcess server({"serve", "--port", "0", "--feed", "500"});
    const std::string port = Port(server, "^listening on port ([0-9]+)");
    ASSERT_FALSE(port.empty());
    VeltoProcess client({"connect", "127.0.0.1:" + port, "--reconnect", "1", "--subscribe", "1",
                         "--print", "summary"});
    ASSERT_TRUE(client.WaitForLine("^summary: [0-9]+ messages, [0-9]+ bytes in the last"));
    VeltoProcess udp({"udp", "0"});
    ASSERT_TRUE(udp.WaitForLine("^bound to port"));
    for (VeltoProcess* process : {&client, &server, &udp}) {
        process->Interrupt();
        EXPECT_EQ(process->Wait(5), 0);
        EXPECT_EQ(process->Err(), "");
    }
    EXPECT_EQ(Matching(client.Out(), "^received [0-9]+ messages?,").size(), 1u);
    EXPECT_EQ(Matching(server.Out(), "^stopped: ").size(), 1u);
    EXPECT_EQ(Matching(udp.Out(), "^received 0 messages").size(), 1u);
}

// Multicast never leaves a private network namespace: the test runs itself again inside one
// (unshare -n, lo up, 224.0.0.0/4 routed to lo), and is skipped where that needs root.
TEST(VeltoEndToEnd, MulticastSequencedFeedInAPrivateNetwork) {
    VELTO_NEEDS_INTERRUPT();
    if (kWindows) {
        GTEST_SKIP() << "a Windows program cannot make a private network namespace (unshare -n)";
    }
    if (std::getenv("VELTO_PRIVATE_NETWORK") == nullptr) {
        const std::string setup = "ip link set lo up && ip route add 224.0.0.0/4 dev lo";
        if (std::system(
                ("timeout 20 unshare -n /bin/sh -c '" + setup + "' >/dev/null 2>&1").c_str()) !=
            0) {
            GTEST_SKIP() << "needs root for a private network namespace (unshare -n)";
        }
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        const std::string command =
            "timeout 90 unshare -n /bin/sh -c '" + setup +
            " && VELTO_PRIVATE_NETWORK=1 exec \"$0\" "
            "--gtest_filter=VeltoEndToEnd.MulticastSequencedFeedInAPrivateNetwork' '" +
            self + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << "failed inside the namespace (see above)";
        return;
    }
    const std::string port = std::to_string(FreePort(false));
    const std::string group = "239.77.1.2:" + port;
    VeltoProcess sequencer(
        {"sequencer", "--target", group, "--repair-port", "0", "--rate", "300", "--drop", "10"});
    const std::string repairPort = Port(sequencer, "^repair server listening on port ([0-9]+)$");
    ASSERT_FALSE(repairPort.empty()) << sequencer.Err();
    VeltoProcess receiver({"mcast", group, "--seq", "--repair", "127.0.0.1:" + repairPort,
                           "--count", "300", "--print", "none"});
    EXPECT_EQ(receiver.Wait(), 0) << receiver.Out() << receiver.Err();
    EXPECT_EQ(Matching(receiver.Out(), "^bound to port " + port +
                                           ", member of 239\\.77\\.1\\.2, "
                                           "sequenced, repair from 127\\.0\\.0\\.1:" +
                                           repairPort + "$")
                  .size(),
              1u)
        << receiver.Out();
    EXPECT_EQ(Matching(receiver.Out(), "0 missing, 0 repeated or out of order$").size(), 1u);
    sequencer.Interrupt();
    EXPECT_EQ(sequencer.Wait(), 0);
}

}  // namespace
}  // namespace velto::test
