#include "veltonet/variants/FormatReceiver.h"

#include <memory>
#include <string>

namespace veltonet {

namespace {
// Holds only the request being sent: SendBuffer sends or queues the bytes before it returns.
char g_requestBuffer[FormatReceiver::kRequestBufferSize];
// Set while g_requestBuffer is in use. A request sent from a callback reached inside a send
// (a log callback, an observer of a disconnect) formats into a buffer of its own instead.
bool g_requestBufferBusy = false;
}  // namespace

FormatReceiver::FormatReceiver(const char* name, const char* ip, unsigned short port,
                               unsigned int reconnectSeconds, unsigned int receiveBufferSize,
                               unsigned int sendBufferSize, unsigned short localPortToBindTo,
                               bool supportOutOfBand)
    : TCPReceiver(name, ip, port, reconnectSeconds, false, receiveBufferSize, sendBufferSize,
                  localPortToBindTo, supportOutOfBand) {}

FormatReceiver::~FormatReceiver() = default;

bool FormatReceiver::SendRequest(const Message* request, const Message* second, bool flag) {
    std::unique_ptr<char[]> ownBuffer;
    char* buffer = g_requestBuffer;
    if (g_requestBufferBusy) {
        ownBuffer.reset(new char[kRequestBufferSize]);
        buffer = ownBuffer.get();
    }
    struct Claim {
        bool taken;
        explicit Claim(bool take) : taken(take) {
            if (taken)
                g_requestBufferBusy = true;
        }
        ~Claim() {
            if (taken)
                g_requestBufferBusy = false;
        }
    } claim(ownBuffer == nullptr);

    unsigned int start = 0;
    const unsigned int length = FormatRequest(request, second, buffer, kRequestBufferSize, &start);
    if (length == 0) {
        return false;
    }
    if (start > kRequestBufferSize || length > kRequestBufferSize - start) {
        // Never send bytes from outside the buffer the subclass was given.
        const std::string text = "FormatReceiver::SendRequest format out of range " +
                                 std::to_string(start) + ' ' + std::to_string(length);
        LogMessage(GetName().c_str(), text.c_str(), GetIp());
        return false;
    }
    return SendBuffer(buffer + start, static_cast<int>(length), flag);
}

}  // namespace veltonet
