#include "Traffic.h"

#include <cstdio>

namespace velto {

Traffic::Mode Traffic::ParseMode(const std::string& text) {
    if (text == "summary") {
        return Mode::Summary;
    }
    return text == "none" ? Mode::None : Mode::Hex;
}

Traffic::Traffic(Mode mode, Clock::time_point now)
    : m_mode(mode), m_start(now), m_intervalStart(now) {}

std::string DescribeMessage(const MessageView& message) {
    std::string text =
        "type " + std::to_string(message.type) + " size " + std::to_string(message.size);
    if (message.size > kHeaderSize) {
        text += ": " + HexBytes(message.Body()) + "  |" + Printable(message.Body()) + "|";
    }
    return text;
}

void Traffic::Check(uint32_t last, uint32_t next) {
    if (last == 0) {
        return;
    }
    if (next <= last) {
        ++m_repeats;
    } else if (next != last + 1) {
        m_gaps += next - last - 1;
    }
}

void Traffic::Record(const MessageView& message, const std::string& prefix) {
    ++m_messages;
    m_bytes += message.size;
    ++m_intervalMessages;
    m_intervalBytes += message.size;
    ++m_intervalTypes[message.type];
    if (const std::optional<Quote> quote = DecodeQuote(message)) {
        ++m_quotes;
        m_instruments.insert(quote->instrument);
        uint32_t& last = m_lastQuote[quote->instrument];
        Check(last, quote->sequence);
        last = quote->sequence;
    } else if (const std::optional<Trade> trade = DecodeTrade(message)) {
        ++m_trades;
        Check(m_lastTrade, trade->number);
        m_lastTrade = trade->number;
    }
    if (m_mode == Mode::Hex) {
        std::printf("%s%s\n", prefix.c_str(), DescribeMessage(message).c_str());
    }
}

void Traffic::Tick(Clock::time_point now) {
    const double seconds = SecondsBetween(m_intervalStart, now);
    if (m_mode != Mode::Summary || seconds < 1.0) {
        return;
    }
    std::string types;
    for (const auto& [type, count] : m_intervalTypes) {
        types += (types.empty() ? "" : ", ") + std::to_string(type) + ": " + std::to_string(count);
    }
    std::printf("summary: %llu messages, %llu bytes in the last %.1f s%s%s%s\n",
                static_cast<unsigned long long>(m_intervalMessages),
                static_cast<unsigned long long>(m_intervalBytes), seconds,
                types.empty() ? "" : " (types ", types.c_str(), types.empty() ? "" : ")");
    m_intervalStart = now;
    m_intervalMessages = 0;
    m_intervalBytes = 0;
    m_intervalTypes.clear();
}

void Traffic::Final(Clock::time_point now) const {
    std::printf("received %llu message%s, %llu bytes in %.1f s\n",
                static_cast<unsigned long long>(m_messages), m_messages == 1 ? "" : "s",
                static_cast<unsigned long long>(m_bytes), SecondsBetween(m_start, now));
    if (m_quotes == 0 && m_trades == 0) {
        return;
    }
    std::string what;
    if (m_quotes != 0) {
        // A short list of instruments is spelled out: it shows what the subscriptions got.
        what = std::to_string(m_quotes) + " quotes on ";
        if (m_instruments.size() <= 16) {
            what += "instruments";
            for (uint32_t instrument : m_instruments) {
                what += " " + std::to_string(instrument);
            }
        } else {
            what += std::to_string(m_instruments.size()) + " instruments";
        }
    }
    if (m_trades != 0) {
        what += (what.empty() ? "" : ", ") + std::to_string(m_trades) + " trades";
    }
    std::printf("sequence check: %s; %llu missing, %llu repeated or out of order\n", what.c_str(),
                static_cast<unsigned long long>(m_gaps),
                static_cast<unsigned long long>(m_repeats));
}

}  // namespace velto
