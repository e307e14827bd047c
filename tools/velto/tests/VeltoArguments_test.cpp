// What velto says and answers for arguments it cannot use: one line on stderr, exit code 2,
// nothing started; and for a port that is busy or a server that is not there: exit code 1.

#include <gtest/gtest.h>

#include "tests/VeltoProcess.h"

namespace velto::test {
namespace {

// Exit code 2, nothing on stdout, and exactly one line on stderr containing `text`.
void ExpectBadArguments(const std::vector<std::string>& arguments, const std::string& text) {
    const Result result = RunVelto(arguments);
    std::string shown;
    for (const std::string& argument : arguments) {
        shown += argument + " ";
    }
    EXPECT_EQ(result.code, 2) << shown;
    EXPECT_EQ(result.out, "") << shown;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << shown << result.err;
    EXPECT_NE(result.err.find(text), std::string::npos) << shown << "\n" << result.err;
}

TEST(VeltoArguments, EverySubcommandHasCompleteHelp) {
    for (const char* command : {"serve", "connect", "send", "mcast", "udp", "sequencer", "demo"}) {
        const Result result = RunVelto({command, "--help"});
        EXPECT_EQ(result.code, 0) << command;
        EXPECT_NE(result.out.find(std::string("Usage: velto ") + command), std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("--log-dir DIR"), std::string::npos) << command;
        EXPECT_NE(result.out.find("Exit codes: 0 done, 1 failed, 2 bad arguments."),
                  std::string::npos)
            << command;
    }
    const Result top = RunVelto({"--help"});
    EXPECT_EQ(top.code, 0);
    for (const char* command : {"serve", "connect", "send", "mcast", "udp", "sequencer", "demo"}) {
        EXPECT_NE(top.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    }
}

TEST(VeltoArguments, UnknownOptionsAndSubcommands) {
    ExpectBadArguments({"serve", "--port", "0", "--bogus"},
                       "velto serve: The following argument was not expected: --bogus");
    ExpectBadArguments({"frobnicate"}, "velto: unknown subcommand 'frobnicate'");
    ExpectBadArguments({}, "A subcommand is required");
    ExpectBadArguments({"serve"}, "--port is required");
    ExpectBadArguments({"connect", "127.0.0.1:1", "--print", "loud"}, "--print");
    ExpectBadArguments({"demo", "--seconds", "1"}, "--seconds");
}

TEST(VeltoArguments, UnparsableAddresses) {
    ExpectBadArguments({"connect", "nocolon"},
                       "velto connect: cannot parse address 'nocolon': expected "
                       "HOST:PORT[,HOST2...]");
    ExpectBadArguments({"send", "1.2.3:80", "--type", "1", "--text", "x"},
                       "velto send: cannot parse address '1.2.3:80': '1.2.3' is not a "
                       "dotted-decimal IPv4 address");
    ExpectBadArguments({"mcast", "10.0.0.1:5000"},
                       "velto mcast: '10.0.0.1' is not a multicast group");
    ExpectBadArguments({"connect", "127.0.0.1:1", "--subscribe", "x"},
                       "velto connect: cannot parse subscription 'x'");
    ExpectBadArguments({"udp", "0", "--seq", "--repair", "localhost"},
                       "velto udp: cannot parse address 'localhost': expected HOST:PORT");
}

TEST(VeltoArguments, PortsOutOfRange) {
    ExpectBadArguments({"connect", "127.0.0.1:70000"},
                       "velto connect: port 70000 out of range in '127.0.0.1:70000' (1-65535)");
    ExpectBadArguments({"serve", "--port", "65536"},
                       "velto serve: port 65536 out of range (0-65535)");
    ExpectBadArguments({"udp", "99999"}, "velto udp: port 99999 out of range (0-65535)");
    ExpectBadArguments({"sequencer", "--target", "127.0.0.1:0", "--repair-port", "0"},
                       "velto sequencer: port 0 out of range in '127.0.0.1:0' (1-65535)");
    ExpectBadArguments({"sequencer", "--target", "127.0.0.1:9", "--repair-port", "-5"},
                       "velto sequencer: cannot parse port '-5'");
}

TEST(VeltoArguments, SendNeedsExactlyOneValidBody) {
    ExpectBadArguments({"send", "127.0.0.1:1", "--type", "1"},
                       "give exactly one of --hex and --text");
    ExpectBadArguments({"send", "127.0.0.1:1", "--type", "1", "--hex", "00", "--text", "x"},
                       "--hex excludes --text");
    ExpectBadArguments({"send", "127.0.0.1:1", "--type", "1", "--hex", "0g"},
                       "cannot parse --hex '0g'");
    ExpectBadArguments({"send", "127.0.0.1:1", "--type", "65536", "--text", "x"},
                       "--type 65536 out of range (0-65535)");
}

TEST(VeltoArguments, DatagramAndSequencerRules) {
    ExpectBadArguments({"udp", "0", "--repair", "127.0.0.1:1"}, "--repair needs --seq");
    // A test feed never goes anywhere but this host.
    ExpectBadArguments({"sequencer", "--target", "10.1.2.3:5000", "--repair-port", "0"},
                       "the sequencer sends only to a loopback address (127.x.x.x) or a "
                       "multicast group");
    ExpectBadArguments(
        {"sequencer", "--target", "127.0.0.1:5000", "--repair-port", "0", "--drop", "80"},
        "--drop must be a percentage from 0 to 50");
}

TEST(VeltoArguments, BusyPortsFailWithOneLine) {
    VeltoProcess server({"serve", "--port", "0"});
    const auto listening = server.WaitForLine("^listening on port ([0-9]+)");
    ASSERT_TRUE(listening) << server.Err();
    const std::string port = (*listening)[1];
    const Result second = RunVelto({"serve", "--port", port});
    EXPECT_EQ(second.code, 1);
    EXPECT_EQ(second.err, "velto serve: port " + port + " is busy\n");

    VeltoProcess udp({"udp", "0"});
    const auto bound = udp.WaitForLine("^bound to port ([0-9]+)");
    ASSERT_TRUE(bound) << udp.Err();
    const Result busy = RunVelto({"udp", std::string((*bound)[1])});
    EXPECT_EQ(busy.code, 1);
    EXPECT_EQ(busy.err, "velto udp: port " + std::string((*bound)[1]) + " is busy\n");

    const Result repair = RunVelto({"sequencer", "--target", "127.0.0.1:9", "--repair-port", port});
    EXPECT_EQ(repair.code, 1);
    EXPECT_EQ(repair.err, "velto sequencer: repair port " + port + " is busy\n");

    EndWithCtrlC(server);
    EndWithCtrlC(udp);
}

TEST(VeltoArguments, NobodyListeningIsAFailureWithTheErrorText) {
    const std::string port = std::to_string(FreePort(true));
    const Result connect = RunVelto({"connect", "127.0.0.1:" + port});
    EXPECT_EQ(connect.code, 1);
    EXPECT_EQ(connect.out, "connecting to 127.0.0.1:" + port + "\nconnect failed: 127.0.0.1:" +
                               port + ": 10061 connection refused\nreceived 0 messages, 0 bytes" +
                               connect.out.substr(connect.out.find(" in ")));
    EXPECT_EQ(connect.err, "velto connect: never connected to 127.0.0.1:" + port + "\n");

    const Result send = RunVelto({"send", "127.0.0.1:" + port, "--type", "1", "--text", "x"});
    EXPECT_EQ(send.code, 1);
    EXPECT_NE(send.out.find("connect failed: 127.0.0.1:" + port + ": 10061 connection refused"),
              std::string::npos)
        << send.out;
    EXPECT_EQ(send.err, "velto send: not connected, nothing sent\n");
}

}  // namespace
}  // namespace velto::test
