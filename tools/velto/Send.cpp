// velto send: connects, sends framed messages, and leaves once they are on their way.

#include <cstdio>

#include "Commands.h"
#include "Subscriber.h"
#include "veltonet/receiver.h"

namespace velto {

int RunSend(const SendOptions& options) {
    const Endpoint endpoint = ParseEndpoint(options.address);
    if (options.hexGiven == options.textGiven) {
        throw ArgumentError("give exactly one of --hex and --text");
    }
    if (options.type > 0xFFFF) {
        throw ArgumentError("--type " + std::to_string(options.type) +
                            " out of range (0-65535)");
    }
    std::string body = options.text;
    if (options.hexGiven) {
        const std::optional<std::string> bytes = ParseHexBytes(options.hex);
        if (!bytes) {
            throw ArgumentError("cannot parse --hex '" + options.hex +
                                "': expected pairs of hex digits");
        }
        body = *bytes;
    }
    const std::string message = Frame(static_cast<uint16_t>(options.type), body);
    if (message.empty()) {
        throw ArgumentError("the message body is " + std::to_string(body.size()) +
                            " bytes; at most 65531 fit in one message");
    }

    Session session("send");
    if (!session.Start(options.common)) {
        return kExitFailure;
    }
    bool sent = false;
    bool failed = false;
    void* handle = nullptr;
    Subscriber connection(
        "velto-send", AddressList{{endpoint.host}, endpoint.port}, 0, {},
        [&](uint16_t type, const std::string& text) {
            std::printf("%s\n", text.c_str());
            if (type == 60001 && !sent) {
                sent = true;
                for (uint32_t i = 0; i < options.repeat && !failed; ++i) {
                    failed = !R_SendBuffer(handle, message.data(),
                                           static_cast<int32_t>(message.size()), false);
                }
            }
        },
        [](const MessageView&) {});
    handle = connection.Handle();
    if (!connection.isValid()) {
        session.Error("cannot create the receiver");
        return kExitFailure;
    }
    if (!connection.Connect() && connection.isIdle()) {
        session.Error("cannot connect to " + options.address);
        return kExitFailure;
    }
    const Clock::time_point end = After(Clock::now(), options.wait);
    // Done once every byte left the library's queue; the kernel delivers the rest, since the
    // socket closes gracefully.
    while (!session.Interrupted() && Clock::now() < end && !failed) {
        if (sent && R_IsReceiverSendBufferEmpty(handle)) {
            break;
        }
        if (!sent && connection.isIdle()) {
            break;
        }
        session.Pump(MillisecondsUntil(end, 100));
    }
    const bool done = sent && !failed && R_IsReceiverSendBufferEmpty(handle);
    connection.Disconnect();
    if (!done) {
        session.Error(!sent ? "not connected, nothing sent"
                            : "the messages could not all be sent");
        return kExitFailure;
    }
    std::printf("sent %u messages of type %u, %zu bytes each\n", options.repeat, options.type,
                message.size());
    return kExitOk;
}

}  // namespace velto
