// velto send: connects, sends framed messages, and leaves once they are on their way.

#include <cstdio>

#include "Commands.h"
#include "Subscriber.h"
#include "veltonet/receiver.h"

namespace velto {

namespace {
constexpr double kAcceptanceGrace = 0.5;   // seconds
constexpr double kQuietBeforeClose = 0.1;  // seconds without incoming bytes
}  // namespace

int RunSend(const SendOptions& options) {
    const Endpoint endpoint = ParseEndpoint(options.address);
    if (options.hexGiven == options.textGiven) {
        throw ArgumentError("give exactly one of --hex and --text");
    }
    if (options.type > 0xFFFF) {
        throw ArgumentError("--type " + std::to_string(options.type) + " out of range (0-65535)");
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
    bool accepted = false;
    Clock::time_point sentAt{};
    void* handle = nullptr;
    Subscriber connection(
        "velto-send", AddressList{{endpoint.host}, endpoint.port}, 0, {},
        [&](uint16_t type, const std::string& text) {
            std::printf("%s\n", text.c_str());
            accepted = accepted || type == 60011;
            if (type == 60001 && !sent) {
                sent = true;
                sentAt = Clock::now();
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
    // Done once every byte left the library's queue (the kernel delivers the rest: the socket
    // closes gracefully) and a listener has accepted the connection. Closing before its
    // acceptance arrives would make that message meet a closed socket, whose reset can throw
    // away what the listener has not read yet. A peer that sends no acceptance gets a moment.
    while (!session.Interrupted() && Clock::now() < end && !failed) {
        if (sent && R_IsReceiverSendBufferEmpty(handle) &&
            (accepted || Clock::now() >= After(sentAt, kAcceptanceGrace))) {
            break;
        }
        if (!sent && connection.isIdle()) {
            break;
        }
        session.Pump(MillisecondsUntil(end, 20));
    }
    const bool done = sent && !failed && R_IsReceiverSendBufferEmpty(handle);
    if (done) {
        // Close only once the peer has gone quiet: a socket closed with bytes unread (a
        // relaying server echoes what it got) resets the connection, and the reset throws
        // away whatever of ours the server has not read yet.
        uint32_t seen = R_GetReceiverSizeReceived(handle);
        Clock::time_point quietSince = Clock::now();
        while (!session.Interrupted() && Clock::now() < end &&
               Clock::now() < After(quietSince, kQuietBeforeClose)) {
            session.Pump(20);
            if (R_GetReceiverSizeReceived(handle) != seen) {
                seen = R_GetReceiverSizeReceived(handle);
                quietSince = Clock::now();
            }
        }
    }
    if (done) {
        std::printf("sent %u message%s of type %u, %zu bytes each\n", options.repeat,
                    options.repeat == 1 ? "" : "s", options.type, message.size());
    }
    connection.Disconnect();
    if (!done) {
        session.Error(!sent ? "not connected, nothing sent" : "the messages could not all be sent");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace velto
