#pragma once

// Plain sockets on 127.0.0.1 for the tests that speak to velto byte by byte, every read
// bounded by a deadline.

#include <cstdint>
#include <optional>
#include <string>

namespace velto::test {

class RawSocket {
  public:
    // A TCP connection to 127.0.0.1:port, or a UDP socket bound to 127.0.0.1:port (0: any).
    static RawSocket Connect(uint16_t port);
    static RawSocket BindDatagram(uint16_t port);
    ~RawSocket();
    RawSocket(RawSocket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    RawSocket& operator=(RawSocket&&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    uint16_t LocalPort() const;
    bool Send(const std::string& bytes);
    // TCP: the next framed message (size and type header included); none at the deadline or
    // at the end of the stream.
    std::optional<std::string> ReadMessage(double seconds = 5);
    // UDP: the next datagram.
    std::optional<std::string> ReadDatagram(double seconds = 5);

  private:
    explicit RawSocket(int fd) : m_fd(fd) {}
    bool Fill(size_t bytes, double seconds);

    int m_fd;
    std::string m_pending;
};

std::string Message(uint16_t type, const std::string& body);
std::string U32(uint32_t value);
uint16_t TypeOf(const std::string& message);
uint32_t U32At(const std::string& bytes, size_t offset);

}  // namespace velto::test
