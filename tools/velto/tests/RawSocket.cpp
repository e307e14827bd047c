#include "tests/RawSocket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace velto::test {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

std::chrono::steady_clock::time_point Deadline(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(seconds));
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

std::optional<std::string> RawSocket::ReadMessage(double seconds) {
    const auto deadline = Deadline(seconds);
    if (m_fd < 0 || !Fill(4, seconds)) {
        return std::nullopt;
    }
    const size_t size =
        static_cast<unsigned char>(m_pending[0]) | static_cast<unsigned char>(m_pending[1]) << 8;
    if (size < 4 || !Fill(size, MillisecondsLeft(deadline) / 1000.0)) {
        return std::nullopt;
    }
    std::string message = m_pending.substr(0, size);
    m_pending.erase(0, size);
    return message;
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

std::string U32(uint32_t value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    return bytes;
}

std::string Message(uint16_t type, const std::string& body) {
    const size_t size = 4 + body.size();
    std::string bytes;
    bytes.push_back(static_cast<char>(size & 0xFF));
    bytes.push_back(static_cast<char>(size >> 8));
    bytes.push_back(static_cast<char>(type & 0xFF));
    bytes.push_back(static_cast<char>(type >> 8));
    return bytes + body;
}

uint16_t TypeOf(const std::string& message) {
    return static_cast<uint16_t>(static_cast<unsigned char>(message[2]) |
                                 static_cast<unsigned char>(message[3]) << 8);
}

uint32_t U32At(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[offset + static_cast<size_t>(i)]);
    }
    return value;
}

}  // namespace velto::test
