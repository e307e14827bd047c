#include "Socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velto {

uint16_t PickFreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool PortBusy(uint16_t port, bool stream) {
    const int fd = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    const int on = 1;
    if (stream) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool busy = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 &&
                      errno == EADDRINUSE;
    close(fd);
    return busy;
}

DatagramSender::~DatagramSender() {
    if (m_socket >= 0) {
        close(static_cast<int>(m_socket));
    }
}

bool DatagramSender::Open(bool multicastHere, std::string* why) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::string("cannot open a datagram socket: ") + std::strerror(errno);
        return false;
    }
    m_socket = fd;
    if (multicastHere) {
        in_addr loopback{};
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        const unsigned char ttl = 0;
        const unsigned char loop = 1;
        if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof(loopback)) != 0 ||
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0 ||
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0) {
            *why = std::string("cannot keep multicast on this host: ") + std::strerror(errno);
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
    const ssize_t sent = sendto(static_cast<int>(m_socket), datagram.data(), datagram.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    return sent == static_cast<ssize_t>(datagram.size());
}

}  // namespace velto
