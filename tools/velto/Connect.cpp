// velto connect: a TCP receiver that shows its connection and what it receives.

#include <cstdio>

#include "Commands.h"
#include "Subscriber.h"
#include "Traffic.h"
#include "veltonet/receiver.h"

namespace velto {

int RunConnect(const ConnectOptions& options) {
    const AddressList addresses = ParseAddressList(options.addresses);
    std::vector<SubscriptionKey> subscriptions;
    for (const std::string& text : options.subscribe) {
        subscriptions.push_back(ParseSubscription(text));
    }
    Session session("connect");
    if (!session.Start(options.common)) {
        return kExitFailure;
    }
    const Clock::time_point start = Clock::now();
    Traffic traffic(Traffic::ParseMode(options.print), start);
    bool everConnected = false;
    Subscriber subscriber(
        "velto-connect", addresses, options.reconnect, subscriptions,
        [&](uint16_t type, const std::string& text) {
            if (type == 60001) {
                everConnected = true;
                traffic.NewConnection();
            }
            std::printf("%s\n", text.c_str());
        },
        [&](const MessageView& message) {
            // One read may bring more than the count: what is beyond it is not shown.
            if (options.count == 0 || traffic.Messages() < options.count) {
                traffic.Record(message);
            }
        });
    if (!subscriber.isValid()) {
        session.Error("cannot create the receiver");
        return kExitFailure;
    }
    if (!subscriber.Connect() && subscriber.isIdle()) {
        session.Error("cannot connect to " + options.addresses +
                      " (an address that does not resolve?)");
        return kExitFailure;
    }
    const Clock::time_point end = After(start, options.seconds);
    bool countReached = false;
    while (!session.Interrupted()) {
        session.Pump(options.seconds > 0 ? MillisecondsUntil(end, 200) : 200);
        const Clock::time_point now = Clock::now();
        traffic.Tick(now);
        countReached = options.count > 0 && traffic.Messages() >= options.count;
        if (countReached || (options.seconds > 0 && now >= end) || subscriber.isIdle()) {
            break;
        }
    }
    const bool ended = subscriber.isIdle() && !session.Interrupted() && !countReached;
    subscriber.Disconnect();
    traffic.Final(Clock::now());
    if (!everConnected) {
        session.Error("never connected to " + options.addresses);
        return kExitFailure;
    }
    if (options.count > 0 && !countReached) {
        session.Error("got " + std::to_string(traffic.Messages()) + " of " +
                      std::to_string(options.count) + " messages" +
                      (ended ? " before the connection ended" : ""));
        return kExitFailure;
    }
    if (traffic.Gaps() != 0 || traffic.Repeats() != 0) {
        session.Error("the sequence check failed");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace velto
