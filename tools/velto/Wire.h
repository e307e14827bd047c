#pragma once

// The bytes velto puts on the wire and reads back: framed messages (bytes 0-1 size including
// the header, 2-3 type, little-endian), the synthetic quotes and trades of its feeds, and
// sequenced packets.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velto {

constexpr size_t kHeaderSize = 4;
constexpr size_t kMaxMessageSize = 0xFFFF;

// Message types velto reads or writes beyond the library's notifications.
constexpr uint16_t kTypeAggregate = 18;
constexpr uint16_t kTypeRepairRequest = 20009;
constexpr uint16_t kTypeSequencedPacket = 21008;
constexpr uint16_t kTypeQuote = 1000;
constexpr uint16_t kTypeTrade = 1001;

inline uint16_t ReadU16(const unsigned char* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}
inline uint32_t ReadU32(const unsigned char* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}
void AppendU16(std::string& to, uint16_t value);
void AppendU32(std::string& to, uint32_t value);
void AppendU64(std::string& to, uint64_t value);

// A message as the library hands it to an observer: valid only during the notification.
struct MessageView {
    const unsigned char* bytes = nullptr;
    uint16_t size = 0;
    uint16_t type = 0;

    static MessageView Of(const void* message) {
        const auto* bytes = static_cast<const unsigned char*>(message);
        return MessageView{bytes, ReadU16(bytes), ReadU16(bytes + 2)};
    }
    // The value at bytes 4-7 of a notification that carries one, else 0.
    uint32_t Value() const { return size >= 8 ? ReadU32(bytes + 4) : 0; }
    std::string_view Body() const {
        return size > kHeaderSize
                   ? std::string_view(reinterpret_cast<const char*>(bytes) + 4, size - kHeaderSize)
                   : std::string_view();
    }
};

// Header and body; empty when the body does not fit the 16-bit size.
std::string Frame(uint16_t type, std::string_view body);

// One price update of one instrument of the quote feed. `sequence` numbers the updates of
// each instrument from 1, so a subscriber can see a gap or a repeat on its own.
struct Quote {
    uint32_t instrument = 0;
    uint32_t sequence = 0;
    uint32_t bid = 0;  // price in units of 1/10000
    uint32_t ask = 0;
    uint32_t bidSize = 0;
    uint32_t askSize = 0;
    uint64_t micros = 0;  // publication time, microseconds since the feed started
};
constexpr size_t kQuoteSize = 36;
std::string EncodeQuote(const Quote& quote);
std::optional<Quote> DecodeQuote(const MessageView& message);

// One trade of the sequenced feed; `number` counts every trade of the feed from 1.
struct Trade {
    uint32_t number = 0;
    uint32_t instrument = 0;
    uint32_t price = 0;
    uint32_t quantity = 0;
};
constexpr size_t kTradeSize = 20;
std::string EncodeTrade(const Trade& trade);
std::optional<Trade> DecodeTrade(const MessageView& message);

// Sequenced packet: bytes 4-7 the sequence number, then framed messages back to back.
std::string SequencedPacket(uint32_t number, std::string_view messages);
// The first sequence number a repair request asks for; none for a malformed request.
std::optional<uint32_t> RepairRequestFirst(const MessageView& message);

// "68 65 6c 6c 6f".
std::string HexBytes(std::string_view bytes);
// The bytes as text, with '.' for what does not print.
std::string Printable(std::string_view bytes);
// Hex digit pairs, optionally separated by blanks, colons or commas ("0a0b", "0a 0b", "0a:0b").
std::optional<std::string> ParseHexBytes(std::string_view text);

}  // namespace velto
