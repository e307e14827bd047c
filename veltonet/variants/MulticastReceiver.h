#pragma once

#include <string>

#include "veltonet/Export.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

// Receives one IPv4 multicast group: a datagram socket bound to the group's port that joins
// the group on any interface, and whose datagrams run through the TCP receiver's framing, so
// observers get the same messages as from a TCP feed. There is no server to connect to: the
// receiver counts as connected from socket creation on and never reconnects by itself.
//
// Publishes 60003 (first data) once per object, when its first datagram arrives.
class VELTONET_EXPORT MulticastReceiver : public TCPReceiver {
  public:
    // ip: the group as dotted decimal text, or empty to bind the port without joining.
    MulticastReceiver(const char* name, const char* ip, unsigned short port,
                      unsigned int receiveBufferSize = 0, unsigned int sendBufferSize = 0);
    ~MulticastReceiver() override;

    // ---- overrides, in slot order ----
    // A datagram receiver never has a reconnect timer: the period stays 0.
    void SetPersistent(unsigned int /*seconds*/) override {}
    const char* GetDisplayType() const override { return "MCT"; }
    int GetType() const override { return 2; }
    bool ConnectSocket() override { return true; }
    unsigned short GetConnectionPort() const override { return GetPort(); }
    // One datagram; the sender's address and port are kept when the read succeeds.
    int Receive(void* buffer, int length, int flags) override;

  protected:
    bool SocketCreationOk() override;
    void BeforeCreateSocket() override;
    void OnDataReceived() override;

  public:
    // ---- added ----
    virtual bool isDataReceived() const { return m_dataReceived; }

    // Sender of the last datagram read: dotted decimal text and host-order port.
    const std::string& GetFromAddress() const { return m_fromAddress; }
    unsigned int GetFromPort() const { return m_fromPort; }

  protected:
    std::string m_fromAddress;
    unsigned int m_fromPort;
    bool m_dataReceived;
};

}  // namespace veltonet
