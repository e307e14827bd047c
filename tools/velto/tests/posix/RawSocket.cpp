#include "tests/RawSocket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/VeltoProcess.h"

namespace velto::test {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

RawSocket RawSocket::Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return RawSocket(-1);
    }
    return RawSocket(fd);
}

RawSocket RawSocket::BindDatagram(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return RawSocket(-1);
    }
    return RawSocket(fd);
}

RawSocket::~RawSocket() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

uint16_t RawSocket::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool RawSocket::Send(const std::string& bytes) {
    return m_fd >= 0 && send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                            static_cast<ssize_t>(bytes.size());
}

bool RawSocket::Fill(size_t bytes, double seconds) {
    const auto deadline = Deadline(seconds);
    while (m_pending.size() < bytes) {
        pollfd fd{m_fd, POLLIN, 0};
        if (poll(&fd, 1, MillisecondsLeft(deadline)) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = recv(m_fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            return false;
        }
        m_pending.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

std::optional<std::string> RawSocket::ReadDatagram(double seconds) {
    pollfd fd{m_fd, POLLIN, 0};
    if (m_fd < 0 || poll(&fd, 1, MillisecondsLeft(Deadline(seconds))) <= 0) {
        return std::nullopt;
    }
    char datagram[65536];
    const ssize_t n = recv(m_fd, datagram, sizeof(datagram), 0);
    if (n < 0) {
        return std::nullopt;
    }
    return std::string(datagram, static_cast<size_t>(n));
}

}  // namespace velto::test
