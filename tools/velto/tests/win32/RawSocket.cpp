#include <winsock2.h>

#include "tests/RawSocket.h"
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

// Socket handles fit in an int here, as descriptors do.
SOCKET Handle(int fd) {
    return static_cast<SOCKET>(fd);
}

int Descriptor(SOCKET s) {
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

bool Readable(int fd, int milliseconds) {
    WSAPOLLFD poll{Handle(fd), POLLRDNORM, 0};
    return WSAPoll(&poll, 1, milliseconds) > 0;
}

}  // namespace

RawSocket RawSocket::Connect(uint16_t port) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = Loopback(port);
    if (s != INVALID_SOCKET &&
        connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(s);
        return RawSocket(-1);
    }
    return RawSocket(Descriptor(s));
}

RawSocket RawSocket::BindDatagram(uint16_t port) {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in address = Loopback(port);
    if (s != INVALID_SOCKET &&
        bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(s);
        return RawSocket(-1);
    }
    return RawSocket(Descriptor(s));
}

RawSocket::~RawSocket() {
    if (m_fd >= 0) {
        closesocket(Handle(m_fd));
    }
}

uint16_t RawSocket::LocalPort() const {
    sockaddr_in address{};
    int length = sizeof(address);
    getsockname(Handle(m_fd), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool RawSocket::Send(const std::string& bytes) {
    return m_fd >= 0 && send(Handle(m_fd), bytes.data(), static_cast<int>(bytes.size()), 0) ==
                            static_cast<int>(bytes.size());
}

bool RawSocket::Fill(size_t bytes, double seconds) {
    const auto deadline = Deadline(seconds);
    while (m_pending.size() < bytes) {
        if (!Readable(m_fd, MillisecondsLeft(deadline))) {
            return false;
        }
        char chunk[4096];
        const int n = recv(Handle(m_fd), chunk, sizeof(chunk), 0);
        if (n <= 0) {
            return false;
        }
        m_pending.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

std::optional<std::string> RawSocket::ReadDatagram(double seconds) {
    if (m_fd < 0 || !Readable(m_fd, MillisecondsLeft(Deadline(seconds)))) {
        return std::nullopt;
    }
    static char datagram[65536];
    const int n = recv(Handle(m_fd), datagram, sizeof(datagram), 0);
    if (n < 0) {
        return std::nullopt;
    }
    return std::string(datagram, static_cast<size_t>(n));
}

}  // namespace velto::test
