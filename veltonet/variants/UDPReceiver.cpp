#include "veltonet/variants/UDPReceiver.h"

namespace veltonet {

UDPReceiver::UDPReceiver(const char* name, const char* ip, unsigned short port,
                         unsigned int receiveBufferSize, unsigned int sendBufferSize)
    : MulticastReceiver(name, ip, port, receiveBufferSize, sendBufferSize) {
    InitIterators();
}

UDPReceiver::~UDPReceiver() = default;

void UDPReceiver::InitIterators() {
    m_ipsBegin = GetIpList().begin();
    m_ipsEnd = GetIpList().end();
}

void UDPReceiver::ClearIps() {
    TCPReceiver::ClearIps();
    InitIterators();
}

int UDPReceiver::Receive(void* buffer, int length, int flags) {
    if (m_socket == nullptr) {
        return 0;
    }
    const int result = MulticastReceiver::Receive(buffer, length, flags);
    // Whatever the read gave: a failed read looks up the previous sender (or the empty text
    // before any datagram) and records it when absent.
    InitIterators();
    for (auto it = m_ipsBegin; it != m_ipsEnd; ++it) {
        if (*it == m_fromAddress) {
            return result;
        }
    }
    GetIpList().push_back(m_fromAddress);
    InitIterators();
    return result;
}

}  // namespace veltonet
