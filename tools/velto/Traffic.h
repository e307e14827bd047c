#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "Host.h"
#include "Wire.h"

namespace velto {

// What one receiving command prints about the messages it gets, and the continuity of
// velto's own feeds within it: quotes must follow each other by sequence number per
// instrument, trades by trade number.
class Traffic {
  public:
    enum class Mode { Hex, Summary, None };
    // "hex", "summary" or "none".
    static Mode ParseMode(const std::string& text);

    explicit Traffic(Mode mode, Clock::time_point now);

    // Counts the message and prints it in hex mode, after `prefix`.
    void Record(const MessageView& message, const std::string& prefix = "");
    // A new connection starts new quote streams: the next quote of each instrument may
    // follow any earlier one.
    void NewConnection() { m_lastQuote.clear(); }
    // Summary mode: a line for the last interval, about once a second.
    void Tick(Clock::time_point now);
    // The closing lines (totals, and the continuity of quotes and trades when there were any).
    void Final(Clock::time_point now) const;

    uint64_t Messages() const { return m_messages; }
    uint64_t Quotes() const { return m_quotes; }
    uint64_t Trades() const { return m_trades; }
    // Sequence numbers skipped or seen again (out of order included).
    uint64_t Gaps() const { return m_gaps; }
    uint64_t Repeats() const { return m_repeats; }

  private:
    void Check(uint32_t last, uint32_t next);

    Mode m_mode;
    Clock::time_point m_start;
    Clock::time_point m_intervalStart;
    uint64_t m_messages = 0;
    uint64_t m_bytes = 0;
    uint64_t m_intervalMessages = 0;
    uint64_t m_intervalBytes = 0;
    std::map<uint16_t, uint64_t> m_intervalTypes;
    std::map<uint32_t, uint32_t> m_lastQuote;  // instrument -> sequence, this connection
    std::set<uint32_t> m_instruments;
    uint64_t m_quotes = 0;
    uint32_t m_lastTrade = 0;
    uint64_t m_trades = 0;
    uint64_t m_gaps = 0;
    uint64_t m_repeats = 0;
};

// "type 1000 size 36: e8 03 ... |..|".
std::string DescribeMessage(const MessageView& message);

}  // namespace velto
