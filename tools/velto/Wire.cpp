#include "Wire.h"

#include <cctype>

namespace velto {

void AppendU16(std::string& to, uint16_t value) {
    to.push_back(static_cast<char>(value & 0xFF));
    to.push_back(static_cast<char>(value >> 8));
}

void AppendU32(std::string& to, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        to.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

void AppendU64(std::string& to, uint64_t value) {
    AppendU32(to, static_cast<uint32_t>(value));
    AppendU32(to, static_cast<uint32_t>(value >> 32));
}

std::string Frame(uint16_t type, std::string_view body) {
    if (body.size() > kMaxMessageSize - kHeaderSize) {
        return {};
    }
    std::string message;
    message.reserve(kHeaderSize + body.size());
    AppendU16(message, static_cast<uint16_t>(kHeaderSize + body.size()));
    AppendU16(message, type);
    message.append(body);
    return message;
}

std::string EncodeQuote(const Quote& quote) {
    std::string body;
    body.reserve(kQuoteSize - kHeaderSize);
    AppendU32(body, quote.instrument);
    AppendU32(body, quote.sequence);
    AppendU32(body, quote.bid);
    AppendU32(body, quote.ask);
    AppendU32(body, quote.bidSize);
    AppendU32(body, quote.askSize);
    AppendU64(body, quote.micros);
    return Frame(kTypeQuote, body);
}

std::optional<Quote> DecodeQuote(const MessageView& message) {
    if (message.type != kTypeQuote || message.size != kQuoteSize) {
        return std::nullopt;
    }
    const unsigned char* b = message.bytes;
    Quote quote;
    quote.instrument = ReadU32(b + 4);
    quote.sequence = ReadU32(b + 8);
    quote.bid = ReadU32(b + 12);
    quote.ask = ReadU32(b + 16);
    quote.bidSize = ReadU32(b + 20);
    quote.askSize = ReadU32(b + 24);
    quote.micros = uint64_t(ReadU32(b + 28)) | uint64_t(ReadU32(b + 32)) << 32;
    return quote;
}

std::string EncodeTrade(const Trade& trade) {
    std::string body;
    AppendU32(body, trade.number);
    AppendU32(body, trade.instrument);
    AppendU32(body, trade.price);
    AppendU32(body, trade.quantity);
    return Frame(kTypeTrade, body);
}

std::optional<Trade> DecodeTrade(const MessageView& message) {
    if (message.type != kTypeTrade || message.size != kTradeSize) {
        return std::nullopt;
    }
    const unsigned char* b = message.bytes;
    return Trade{ReadU32(b + 4), ReadU32(b + 8), ReadU32(b + 12), ReadU32(b + 16)};
}

std::string SequencedPacket(uint32_t number, std::string_view messages) {
    std::string body;
    AppendU32(body, number);
    body.append(messages);
    return Frame(kTypeSequencedPacket, body);
}

std::optional<uint32_t> RepairRequestFirst(const MessageView& message) {
    if (message.type != kTypeRepairRequest || message.size != 8) {
        return std::nullopt;
    }
    return ReadU32(message.bytes + 4);
}

std::string HexBytes(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        if (!text.empty()) {
            text.push_back(' ');
        }
        text.push_back(kDigits[c >> 4]);
        text.push_back(kDigits[c & 0xF]);
    }
    return text;
}

std::string Printable(std::string_view bytes) {
    std::string text(bytes);
    for (char& c : text) {
        if (!std::isprint(static_cast<unsigned char>(c))) {
            c = '.';
        }
    }
    return text;
}

std::optional<std::string> ParseHexBytes(std::string_view text) {
    std::string bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == ',') {
            if (high >= 0) {
                return std::nullopt;  // a lone digit
            }
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<char>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace velto
