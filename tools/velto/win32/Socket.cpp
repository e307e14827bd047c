#include "Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace velto {

namespace {

// Winsock for the life of one socket of the tool's own; the count makes it cheap alongside the
// library's.
class WinsockUse {
  public:
    WinsockUse() {
        WSADATA data{};
        m_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockUse() {
        if (m_started) {
            WSACleanup();
        }
    }
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;

  private:
    bool m_started;
};

std::string ErrorText(const char* what) {
    return std::string(what) + " (error " + std::to_string(WSAGetLastError()) + ")";
}

}  // namespace

uint16_t PickFreePort() {
    WinsockUse winsock;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    int length = sizeof(address);
    uint16_t port = 0;
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    closesocket(s);
    return port;
}

bool PortBusy(uint16_t port, bool stream) {
    // No address reuse here: on Windows it would let the probe bind beside a live owner.
    WinsockUse winsock;
    const SOCKET s = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool busy = bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 &&
                      WSAGetLastError() == WSAEADDRINUSE;
    closesocket(s);
    return busy;
}

DatagramSender::~DatagramSender() {
    if (m_socket != -1) {
        closesocket(static_cast<SOCKET>(m_socket));
        WSACleanup();
    }
}

bool DatagramSender::Open(bool multicastHere, std::string* why) {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        *why = "cannot start Windows Sockets";
        return false;
    }
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    u_long nonBlocking = 1;
    if (s == INVALID_SOCKET || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        *why = ErrorText("cannot open a datagram socket");
        if (s != INVALID_SOCKET) {
            closesocket(s);
        }
        WSACleanup();
        return false;
    }
    m_socket = static_cast<intptr_t>(s);
    if (multicastHere) {
        in_addr loopback{};
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        const DWORD ttl = 0;
        const DWORD loop = 1;
        if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&loopback),
                       sizeof(loopback)) != 0 ||
            setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&ttl),
                       sizeof(ttl)) != 0 ||
            setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char*>(&loop),
                       sizeof(loop)) != 0) {
            *why = ErrorText("cannot keep multicast on this host");
            return false;
        }
    }
    return true;
}

bool DatagramSender::SendTo(const std::string& host, uint16_t port, std::string_view datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &to.sin_addr);
    const int sent =
        sendto(static_cast<SOCKET>(m_socket), datagram.data(), static_cast<int>(datagram.size()), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    return sent == static_cast<int>(datagram.size());
}

}  // namespace velto
