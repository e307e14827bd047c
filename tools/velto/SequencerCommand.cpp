// velto sequencer: a sequenced feed over UDP with a repair server over TCP.

#include <cstdio>

#include "Commands.h"
#include "Sequencer.h"
#include "veltonet/receiver.h"

namespace velto {

int RunSequencer(const SequencerOptions& options) {
    Sequencer::Options settings;
    settings.target = ParseEndpoint(options.target);
    if (!IsLoopback(settings.target.host) && !IsMulticastGroup(settings.target.host)) {
        throw ArgumentError("--target " + options.target +
                            ": the sequencer sends only to a loopback address (127.x.x.x) or a "
                            "multicast group");
    }
    settings.repairPort = ParsePort(options.repairPort, true);
    if (!(options.rate > 0 && options.rate <= 1e6)) {
        throw ArgumentError("--rate must be above 0 and at most 1000000 packets per second");
    }
    if (!(options.drop >= 0 && options.drop <= 50)) {
        throw ArgumentError("--drop must be a percentage from 0 to 50");
    }
    settings.rate = options.rate;
    settings.dropPercent = options.drop;

    Session session("sequencer");
    if (!session.Start(options.common)) {
        return kExitFailure;
    }
    Sequencer sequencer(settings,
                        [](const std::string& line) { std::printf("%s\n", line.c_str()); });
    std::string why;
    if (!sequencer.Start(&why)) {
        session.Error(why);
        return kExitFailure;
    }
    std::printf("repair server listening on port %u\n", sequencer.RepairPort());
    std::printf("sending to %s: %g packets per second, 1-4 trades each, dropping %g%%\n",
                options.target.c_str(), options.rate, options.drop);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = After(start, options.seconds);
    sequencer.Begin(start);
    bool finished = false;
    while (!session.Interrupted() && (options.seconds <= 0 || Clock::now() < end)) {
        session.Pump(options.seconds > 0 ? MillisecondsUntil(end, 5) : 5);
        if (!finished) {
            sequencer.SendDue(Clock::now(), options.count > 0
                                                ? static_cast<uint32_t>(options.count - 1)
                                                : UINT32_MAX);
            if (options.count > 0 && sequencer.Packets() + 1 >= options.count) {
                sequencer.Finish();  // the last packet is never dropped
                finished = true;
                std::printf("sent %u packets; answering repairs until interrupted\n",
                            sequencer.Packets());
            }
        }
        sequencer.Flush();
    }
    std::printf(
        "stopped: %u packets (%u trades) in %.1f s, %llu dropped on purpose, %llu repair "
        "requests, %llu answered\n",
        sequencer.Packets(), sequencer.Trades(), SecondsBetween(start, Clock::now()),
        static_cast<unsigned long long>(sequencer.Dropped()),
        static_cast<unsigned long long>(sequencer.RepairRequests()),
        static_cast<unsigned long long>(sequencer.RepairsAnswered()));
    return kExitOk;
}

}  // namespace velto
