#include "tests/RawSocket.h"

#include "tests/VeltoProcess.h"

namespace velto::test {

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
