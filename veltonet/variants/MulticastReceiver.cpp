#include "veltonet/variants/MulticastReceiver.h"

#include <cstdint>
#include <string>

#include "veltonet/companion/Message.h"
#include "veltonet/platform/Address.h"
#include "veltonet/platform/SocketOptions.h"
#include "veltonet/platform/WinsockErrors.h"
#include "veltonet/tcp/ReceiverSocket.h"

namespace veltonet {

namespace {
// What the standard dotted-decimal parser answers for text it cannot read; joining it fails
// and the failure is logged like any other.
constexpr uint32_t kNoAddress = 0xFFFFFFFFu;
}  // namespace

MulticastReceiver::MulticastReceiver(const char* name, const char* ip, unsigned short port,
                                     unsigned int receiveBufferSize, unsigned int sendBufferSize)
    : TCPReceiver(name, ip, port, 0, false, receiveBufferSize, sendBufferSize, 0, false),
      m_fromPort(0),
      m_dataReceived(false) {}

MulticastReceiver::~MulticastReceiver() = default;

void MulticastReceiver::BeforeCreateSocket() {
    // Runs after the bind: it lets later sockets share the port, not this one.
    if (m_socket != nullptr) {
        const uint32_t on = 1;
        m_socket->SetSockOpt(kSoReuseAddr, &on, sizeof(on), kSolSocket);
    }
}

bool MulticastReceiver::SocketCreationOk() {
    if (m_socket == nullptr) {
        return false;
    }
    ConnectionStatusChanged(true);
    const char* group = GetIp();
    if (*group != '\0' && GetPort() != 0) {
        // ip_mreq: the group, then the interface (any), both in network byte order. A failed
        // join leaves a socket that only gets datagrams sent to its port directly.
        uint32_t membership[2] = {kNoAddress, 0};
        if (!ParseDottedIPv4(group, &membership[0])) {
            membership[0] = kNoAddress;
        }
        m_socket->SetSockOpt(kIpAddMembership, membership, sizeof(membership), kIpProtoIp);
        UpdateTcpBufferSizes();
    }
    std::string address;
    uint16_t port = 0;
    if (m_socket->GetSockName(address, port)) {
        StoreLocalPort(port);
    }
    return true;
}

int MulticastReceiver::Receive(void* buffer, int length, int flags) {
    if (m_socket == nullptr) {
        return 0;
    }
    std::string address;
    uint16_t port = 0;
    const int result = m_socket->ReceiveFrom(buffer, length, address, port, flags);
    if (result < 0) {
        return result;
    }
    m_fromAddress = address;
    m_fromPort = port;
    if (result == 0) {
        // An empty datagram carries nothing, and a datagram socket has no peer that could
        // have closed: answer "nothing to read" so the receive path neither counts it nor
        // takes it for a closed connection.
        SetLastSocketError(kWsaEwouldblock);
        return kSocketError;
    }
    return result;
}

void MulticastReceiver::OnDataReceived() {
    if (m_dataReceived) {
        return;
    }
    m_dataReceived = true;
    broadcastReceived = true;
    Publish(kMsgFirstDatagram);
}

}  // namespace veltonet
