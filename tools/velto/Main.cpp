// velto: veltonet's command-line tool. Parses the arguments, runs one subcommand, and maps
// what happened to the exit code: 0 done, 1 failed, 2 bad arguments.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "Address.h"
#include "Commands.h"
#include "Console.h"
#include "veltonet/receiver.h"

namespace {

using namespace velto;

const std::string kCommonFooter =
    "Every subcommand ends cleanly on Ctrl-C (SIGINT) or SIGTERM. Exit codes: 0 done, "
    "1 failed, 2 bad arguments.";

void AddCommon(CLI::App* command, CommonOptions& common) {
    command
        ->add_option("--log-dir", common.logDir,
                     "folder for the library's error logs (sets VELTONET_LOG_DIR); default: "
                     "$XDG_STATE_HOME/veltonet/logs or ~/.local/state/veltonet/logs")
        ->type_name("DIR");
    command->add_flag("-v,--verbose", common.verbose,
                      "also print every library log record on stderr");
}

void AddPrint(CLI::App* command, std::string& print) {
    command
        ->add_option("--print", print,
                     "hex: one line per message (type, size, body in hex and as text); "
                     "summary: one line per second; none: only the closing totals")
        ->type_name("MODE")
        ->check(CLI::IsMember({"hex", "summary", "none"}));
}

CLI::Option* AddSeconds(CLI::App* command, double& seconds, const std::string& what) {
    return command->add_option("--seconds", seconds, what)
        ->type_name("S")
        ->check(CLI::NonNegativeNumber);
}

}  // namespace

int main(int argc, char** argv) {
    Console::LineBufferOutput();

    CLI::App app(
        "velto: veltonet's command-line tool: serve, connect, send, receive "
        "datagrams, run a sequenced feed, and a self-checking demo.",
        "velto");
    app.option_defaults()->always_capture_default();
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("velto ") + R_GetDllVersion());
    app.footer(kCommonFooter);

    // ---- serve ----
    ServeOptions serve;
    CLI::App* serveCommand = app.add_subcommand(
        "serve",
        "A listener. Prints clients arriving, subscribing, unsubscribing and leaving, and the "
        "messages they send; with --feed, publishes synthetic quotes to the subscribers of "
        "each identifier.");
    serveCommand->add_option("--port", serve.port, "TCP port to listen on; 0: the kernel picks")
        ->required()
        ->type_name("P");
    serveCommand
        ->add_option("--ids", serve.ids,
                     "identifiers 0 to N-1 may be subscribed to without a name; the feed "
                     "publishes one instrument per identifier")
        ->type_name("N");
    serveCommand
        ->add_option("--names", serve.names,
                     "identifiers 0 to N-1 may be subscribed to with a name")
        ->type_name("N");
    serveCommand->add_flag("--manual-accept", serve.manualAccept,
                           "keep clients pending until admitted with 'accept ADDRESS:PORT' or "
                           "'accept all' on standard input ('list', 'drop ADDRESS:PORT|all' "
                           "and 'help' work too)");
    serveCommand
        ->add_option("--feed", serve.feed,
                     "publish RATE quotes per second (type 1000), identifiers in turn, each to "
                     "its subscribers, named ones included; accumulation buffers are flushed "
                     "every loop round")
        ->type_name("RATE")
        ->check(CLI::Range(0.0, 1e7));
    serveCommand->add_flag("--relay", serve.relay,
                           "send every message a client sends to all admitted clients");
    AddPrint(serveCommand, serve.print);
    AddSeconds(serveCommand, serve.seconds, "stop after S seconds; 0: run until Ctrl-C");
    AddCommon(serveCommand, serve.common);
    serveCommand->footer(
        "Output: 'listening on port P: ...', 'client A:P arrived [(pending)]', 'client A:P "
        "subscribed to ID[:\"NAME\"]', 'client A:P unsubscribed from ...', 'client A:P left', "
        "'client A:P type T size N: hex |text|', 'feed: ...' every 5 s with --feed, "
        "'stopped: ...' at the end.\n" +
        kCommonFooter);

    // ---- connect ----
    ConnectOptions connect;
    CLI::App* connectCommand = app.add_subcommand(
        "connect",
        "A TCP receiver with an address list. Prints connection events (connecting, connected, "
        "connect failed with the error's text, accepted, disconnected) and each message or a "
        "summary; subscribes once the listener accepts it, again after each reconnection.");
    connectCommand
        ->add_option("address", connect.addresses,
                     "the addresses to rotate through, all on one port")
        ->required()
        ->type_name("HOST:PORT[,HOST2...]");
    connectCommand
        ->add_option("--reconnect", connect.reconnect,
                     "retry every S seconds after a failure or a disconnection, with the next "
                     "address of the list; 0: end when the connection ends")
        ->type_name("S");
    connectCommand
        ->add_option("--subscribe", connect.subscribe,
                     "a subscription to request, repeatable: an identifier, or an identifier "
                     "and a name")
        ->type_name("ID[:NAME]");
    AddPrint(connectCommand, connect.print);
    connectCommand
        ->add_option("--count", connect.count, "stop after N messages; fail if they do not come")
        ->type_name("N");
    AddSeconds(connectCommand, connect.seconds, "stop after S seconds; 0: no limit");
    AddCommon(connectCommand, connect.common);
    connectCommand->footer(
        "Quotes (type 1000) and trades (type 1001) of velto's feeds are checked for gaps and "
        "repeats within each connection; a broken sequence makes the exit code 1.\n" +
        kCommonFooter);

    // ---- send ----
    SendOptions send;
    CLI::App* sendCommand = app.add_subcommand(
        "send",
        "Connects, sends framed messages, and disconnects once they have left the "
        "library's queue.");
    sendCommand->add_option("address", send.address, "the server")
        ->required()
        ->type_name("HOST:PORT");
    sendCommand->add_option("--type", send.type, "message type, 0-65535")
        ->required()
        ->type_name("T");
    CLI::Option* hex =
        sendCommand->add_option("--hex", send.hex, "body as hex bytes: '68656c6c6f' or '68 65 6c'")
            ->type_name("BYTES");
    CLI::Option* text =
        sendCommand->add_option("--text", send.text, "body as text")->type_name("STRING");
    hex->excludes(text);
    sendCommand->add_option("--repeat", send.repeat, "send the message N times")
        ->type_name("N")
        ->check(CLI::Range(1u, 1000000u));
    sendCommand->add_option("--wait", send.wait, "give up after S seconds")
        ->type_name("S")
        ->check(CLI::PositiveNumber);
    AddCommon(sendCommand, send.common);
    sendCommand->footer("Exactly one of --hex and --text gives the body.\n" + kCommonFooter);

    // ---- mcast, udp ----
    DatagramOptions mcast;
    mcast.multicast = true;
    CLI::App* mcastCommand = app.add_subcommand(
        "mcast", "A multicast receiver: joins GROUP and prints what arrives on PORT.");
    mcastCommand->add_option("group", mcast.address, "the group, in 224.0.0.0/4, and the port")
        ->required()
        ->type_name("GROUP:PORT");
    DatagramOptions udp;
    CLI::App* udpCommand = app.add_subcommand(
        "udp", "A UDP receiver on PORT; prints each new sender and what arrives.");
    udpCommand->add_option("port", udp.address, "UDP port; 0: the kernel picks")
        ->required()
        ->type_name("PORT");
    for (auto [command, options] : {std::pair{mcastCommand, &mcast}, std::pair{udpCommand, &udp}}) {
        command->add_flag("--seq", options->seq,
                          "the datagrams carry sequenced packets (type 21008): deliver them in "
                          "order, count and show packets lost and recovered");
        command
            ->add_option("--repair", options->repair,
                         "a repair server for lost packets (needs --seq); its plain messages "
                         "are shown as repaired")
            ->type_name("HOST:PORT");
        AddPrint(command, options->print);
        command
            ->add_option("--count", options->count,
                         "stop after N messages once no repair is outstanding; fail if they do "
                         "not come")
            ->type_name("N");
        AddSeconds(command, options->seconds, "stop after S seconds; 0: no limit");
        AddCommon(command, options->common);
        command->footer(
            "With --repair the exit code is 1 unless every lost packet was recovered.\n" +
            kCommonFooter);
    }

    // ---- sequencer ----
    SequencerOptions sequencer;
    CLI::App* sequencerCommand = app.add_subcommand(
        "sequencer",
        "A sequenced feed: packets of type 21008 carrying trades (type 1001) sent over UDP, "
        "and a repair server over TCP that answers each repair request (type 20009) with the "
        "packet asked for, preceded by its trades as plain messages.");
    sequencerCommand
        ->add_option("--target", sequencer.target,
                     "where to send: a loopback address or a multicast group only")
        ->required()
        ->type_name("ADDR:PORT");
    sequencerCommand
        ->add_option("--repair-port", sequencer.repairPort,
                     "TCP port of the repair server; 0: the kernel picks")
        ->required()
        ->type_name("P");
    sequencerCommand->add_option("--rate", sequencer.rate, "packets per second")->type_name("R");
    sequencerCommand
        ->add_option("--drop", sequencer.drop,
                     "percentage of packets never sent, so that repair is exercised (never the "
                     "first or the last)")
        ->type_name("PERCENT");
    sequencerCommand
        ->add_option("--count", sequencer.count, "send N packets, then only answer repairs")
        ->type_name("N")
        ->check(CLI::Range(uint64_t{0}, uint64_t{4000000000}));
    AddSeconds(sequencerCommand, sequencer.seconds, "stop after S seconds; 0: no limit");
    AddCommon(sequencerCommand, sequencer.common);
    sequencerCommand->footer(
        "Output: one line per packet dropped on purpose, per repair client arriving or leaving "
        "and per repair request; 'stopped: ...' at the end.\n" +
        kCommonFooter);

    // ---- demo ----
    DemoOptions demo;
    CLI::App* demoCommand = app.add_subcommand(
        "demo",
        "Everything in one process on loopback: a listener publishing quotes for 1000 "
        "instruments (some in compressed aggregates when Codec.so loads), three receivers "
        "with different subscriptions, one of them persistent across a server restart, and a "
        "sequenced UDP feed with 2% of packets dropped and repaired over TCP. Shows a live "
        "status line, then a summary table, and checks every delivery.");
    demoCommand->add_option("--seconds", demo.seconds, "how long the feeds run")
        ->type_name("S")
        ->check(CLI::Range(2.0, 3600.0));
    demoCommand->add_option("--rate", demo.rate, "quotes per second")
        ->type_name("R")
        ->check(CLI::Range(100.0, 1e6));
    demoCommand->add_option("--instruments", demo.instruments, "instruments of the quote feed")
        ->type_name("N")
        ->check(CLI::Range(400u, 100000u));
    AddCommon(demoCommand, demo.common);
    demoCommand->footer(
        "Exit code 0 only when every receiver got exactly the quotes published to its "
        "subscriptions while it held them, in order and once each, and every dropped packet "
        "was recovered.\n" +
        kCommonFooter);

    std::string commandName = "velto";
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            return app.exit(error);  // --help, --version
        }
        std::fflush(stdout);
        if (app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-') {
            std::fprintf(stderr, "velto: unknown subcommand '%s' (see velto --help)\n", argv[1]);
            return kExitBadArguments;
        }
        for (const CLI::App* command : app.get_subcommands()) {
            commandName = "velto " + command->get_name();
        }
        std::fprintf(stderr, "%s: %s (see %s --help)\n", commandName.c_str(), error.what(),
                     commandName.c_str());
        return kExitBadArguments;
    }
    const CLI::App* chosen = app.get_subcommands().front();
    commandName = "velto " + chosen->get_name();
    try {
        if (chosen == serveCommand) {
            return RunServe(serve);
        }
        if (chosen == connectCommand) {
            return RunConnect(connect);
        }
        if (chosen == sendCommand) {
            send.hexGiven = hex->count() != 0;
            send.textGiven = text->count() != 0;
            return RunSend(send);
        }
        if (chosen == mcastCommand) {
            return RunDatagram(mcast);
        }
        if (chosen == udpCommand) {
            return RunDatagram(udp);
        }
        if (chosen == sequencerCommand) {
            return RunSequencer(sequencer);
        }
        return RunDemo(demo);
    } catch (const ArgumentError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", commandName.c_str(), error.what());
        return kExitBadArguments;
    }
}
