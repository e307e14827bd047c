#pragma once

#include <cstdint>
#include <cstring>

namespace veltonet {

// A framed message as it lies in memory: bytes 0-1 total size (header included), bytes 2-3
// type, both unsigned 16-bit little-endian; the body follows. Received bytes are viewed as a
// Message in place, so this class holds exactly the header and nothing else.
class Message {
  public:
    static const Message* At(const void* bytes) { return static_cast<const Message*>(bytes); }

    uint16_t GetSize() const { return ReadU16(0); }
    uint16_t GetType() const { return ReadU16(2); }
    // The message's bytes, header included; valid for GetSize() bytes.
    const unsigned char* Bytes() const { return reinterpret_cast<const unsigned char*>(this); }
    // The unsigned 32-bit little-endian value at byte offset; the caller checks the size.
    uint32_t ReadU32(unsigned offset) const {
        const unsigned char* b = Bytes() + offset;
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }

    static void WriteHeader(void* to, uint16_t size, uint16_t type) {
        auto* b = static_cast<unsigned char*>(to);
        b[0] = uint8_t(size);
        b[1] = uint8_t(size >> 8);
        b[2] = uint8_t(type);
        b[3] = uint8_t(type >> 8);
    }
    static void WriteU32(void* to, uint32_t value) {
        auto* b = static_cast<unsigned char*>(to);
        for (int i = 0; i < 4; ++i)
            b[i] = uint8_t(value >> (8 * i));
    }

  protected:
    Message(uint16_t type, uint16_t size) { WriteHeader(m_header, size, type); }

  private:
    uint16_t ReadU16(unsigned offset) const {
        const unsigned char* b = Bytes() + offset;
        return uint16_t(b[0] | b[1] << 8);
    }

    unsigned char m_header[4];
};

// A notification with no body (size 4).
class HeaderMessage : public Message {
  public:
    explicit HeaderMessage(uint16_t type) : Message(type, 4) {}
};

// A notification with one unsigned 32-bit value at byte 4 (size 8).
class ValueMessage : public Message {
  public:
    ValueMessage(uint16_t type, uint32_t value) : Message(type, 8) { WriteU32(m_value, value); }

  private:
    unsigned char m_value[4];
};

static_assert(sizeof(HeaderMessage) == 4 && sizeof(ValueMessage) == 8);

// Message types the library itself sends, publishes or interprets.
enum MessageType : uint16_t {
    kMsgCompressedAggregate = 18,
    kMsgRepairRequest = 20009,
    kMsgSequencedPacket = 21008,
    kMsgConnected = 60001,
    kMsgDisconnected = 60002,
    kMsgFirstDatagram = 60003,
    kMsgSubscribe = 60004,
    kMsgUnsubscribe = 60005,
    kMsgMeasurePeriodEnded = 60006,
    kMsgLogoutOver = 60008,
    kMsgConnectFailed = 60009,
    kMsgAccepted = 60011,
    kMsgConnecting = 60012,
    kMsgDataReceived = 60013,
    kMsgDataProcessed = 60014,
};

}  // namespace veltonet
