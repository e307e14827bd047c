#pragma once

#include "veltonet/Export.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

class Message;

// A TCP receiver for servers that want requests in a wire form of their own: SendRequest
// hands the request to the subclass's FormatRequest and sends the bytes it writes. Everything
// else is TCPReceiver. The library never creates one; hosts and plug-ins derive from it.
class VELTONET_EXPORT FormatReceiver : public TCPReceiver {
  public:
    // Size of the request buffer that every FormatReceiver of the process shares.
    static constexpr unsigned int kRequestBufferSize = 65535;

    ~FormatReceiver() override;

    // ---- overrides, in slot order ----
    // False, with nothing sent, when the request formats to no bytes.
    bool SendRequest(const Message* request, const Message* second = nullptr,
                     bool flag = false) override;

    // ---- added ----
    // Writes the wire form of request into buffer (bufferSize bytes), stores in *start (0 on
    // entry) where the bytes to send begin, and returns their number; 0 for nothing to send.
    // second is the caller's, passed through unchanged, possibly null. The buffer is valid
    // only during the call.
    virtual unsigned int FormatRequest(const Message* request, const Message* second, char* buffer,
                                       unsigned int bufferSize, unsigned int* start) = 0;

  protected:
    // Registered with the manager, like a receiver made by R_CreateTCPReceiver.
    FormatReceiver(const char* name, const char* ip, unsigned short port,
                   unsigned int reconnectSeconds, unsigned int receiveBufferSize = 0,
                   unsigned int sendBufferSize = 0, unsigned short localPortToBindTo = 0,
                   bool supportOutOfBand = false);
};

}  // namespace veltonet
