// velto udp / velto mcast: datagram receivers, with sequencing and repair on request.

#include <cstdio>

#include "Commands.h"
#include "DatagramFeed.h"
#include "Traffic.h"
#include "veltonet/receiver.h"

namespace velto {

int RunDatagram(const DatagramOptions& options) {
    DatagramFeed::Options feed;
    if (options.multicast) {
        const Endpoint group = ParseEndpoint(options.address);
        if (!IsMulticastGroup(group.host)) {
            throw ArgumentError("'" + group.host +
                                "' is not a multicast group (224.0.0.0 to 239.255.255.255)");
        }
        feed.group = group.host;
        feed.port = group.port;
    } else {
        feed.port = ParsePort(options.address, true);
    }
    feed.sequenced = options.seq;
    if (!options.repair.empty()) {
        if (!options.seq) {
            throw ArgumentError("--repair needs --seq: only a sequenced feed can be repaired");
        }
        feed.repair = ParseEndpoint(options.repair);
    }
    const char* command = options.multicast ? "mcast" : "udp";
    Session session(command);
    if (!session.Start(options.common)) {
        return kExitFailure;
    }
    const Clock::time_point start = Clock::now();
    Traffic traffic(Traffic::ParseMode(options.print), start);
    DatagramFeed receiver(
        feed, [](const std::string& line) { std::printf("%s\n", line.c_str()); },
        [&](const MessageView& message, bool repaired) {
            traffic.Record(message, repaired ? "repaired " : "");
        });
    std::string why;
    if (!receiver.Start(&why)) {
        session.Error(why);
        return kExitFailure;
    }
    std::printf("bound to port %u%s%s%s%s\n", receiver.LocalPort(),
                feed.group.empty() ? "" : ", member of ", feed.group.c_str(),
                feed.sequenced ? ", sequenced" : "",
                feed.repair ? (", repair from " + options.repair).c_str() : "");
    const Clock::time_point end = After(start, options.seconds);
    bool countReached = false;
    while (!session.Interrupted()) {
        session.Pump(options.seconds > 0 ? MillisecondsUntil(end, 200) : 200);
        const Clock::time_point now = Clock::now();
        receiver.Poll();
        traffic.Tick(now);
        // Counted messages are complete only when no gap is still being repaired.
        countReached =
            options.count > 0 && traffic.Messages() >= options.count && !receiver.isRepairing();
        if (countReached || (options.seconds > 0 && now >= end)) {
            break;
        }
    }
    traffic.Final(Clock::now());
    if (feed.sequenced) {
        std::printf("packets: last %u, lost %u, recovered %u\n", receiver.LastSequence(),
                    receiver.Lost(), receiver.Recovered());
    }
    if (options.count > 0 && !countReached) {
        session.Error("got " + std::to_string(traffic.Messages()) + " of " +
                      std::to_string(options.count) + " messages");
        return kExitFailure;
    }
    if (feed.repair && receiver.Lost() != receiver.Recovered()) {
        session.Error("not every lost packet was recovered");
        return kExitFailure;
    }
    if (traffic.Gaps() != 0 || traffic.Repeats() != 0) {
        session.Error("the sequence check failed");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace velto
