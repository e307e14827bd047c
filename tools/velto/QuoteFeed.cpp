#include "QuoteFeed.h"

#include "Codec.h"
#include "veltonet/receiver.h"

namespace velto {

std::optional<SubscriptionKey> DecodeSubscriptionRequest(const MessageView& message) {
    if ((message.type != 60004 && message.type != 60005) || message.size < 8) {
        return std::nullopt;
    }
    SubscriptionKey key;
    key.identifier = message.Value();
    if (message.size > 8) {
        // As the listener reads it: the bytes up to the first NUL.
        const std::string_view bytes = message.Body().substr(4);
        key.name = std::string(bytes.substr(0, bytes.find('\0')));
    }
    return key;
}

QuoteFeed::QuoteFeed(void* listener, uint32_t instruments, double rate)
    : m_listener(listener), m_instruments(instruments), m_rate(rate), m_state(instruments) {
    for (uint32_t i = 0; i < instruments; ++i) {
        m_state[i].mid = 10000 + (i * 7919u) % 90000;  // prices from 1.0000 to 10.0000
    }
}

void QuoteFeed::OnClientMessage(void* client, const MessageView& message) {
    if (message.type == 60002) {
        Forget(client);
        return;
    }
    const std::optional<SubscriptionKey> key = DecodeSubscriptionRequest(message);
    if (!key) {
        return;
    }
    ClientRecord& record = RecordOf(client);
    if (message.type == 60004) {
        record.keys.insert(*key);
        m_members[key->identifier][key->name].insert(client);
    } else {
        m_members[key->identifier][key->name].erase(client);
    }
}

QuoteFeed::ClientRecord& QuoteFeed::RecordOf(void* client) {
    auto found = m_live.find(client);
    if (found != m_live.end()) {
        return m_records[found->second];
    }
    R_UpdateClientRemoteAddress(client);
    ClientRecord record;
    record.address = AddressOf(client);
    record.port = R_GetReceiverPort(client);
    m_live[client] = m_records.size();
    m_records.push_back(std::move(record));
    return m_records.back();
}

// A client's address may be taken by the next one, so it leaves every table at once.
void QuoteFeed::Forget(void* client) {
    auto found = m_live.find(client);
    if (found == m_live.end()) {
        return;
    }
    m_records[found->second].gone = true;
    m_live.erase(found);
    for (auto& [identifier, named] : m_members) {
        for (auto& [name, members] : named) {
            members.erase(client);
        }
    }
}

void QuoteFeed::Start(Clock::time_point now) {
    m_origin = now;
    m_paused = false;
}

void QuoteFeed::Pause(Clock::time_point now) {
    if (!m_paused) {
        m_paused = true;
        m_pausedAt = now;
    }
}

void QuoteFeed::Resume(Clock::time_point now) {
    if (m_paused) {
        m_paused = false;
        m_pausedSeconds += SecondsBetween(m_pausedAt, now);
    }
}

Quote QuoteFeed::NextQuote(uint32_t instrument) {
    // xorshift64: a cheap, repeatable random walk.
    m_random ^= m_random << 13;
    m_random ^= m_random >> 7;
    m_random ^= m_random << 17;
    Instrument& state = m_state[instrument];
    const int step = static_cast<int>(m_random % 21) - 10;
    if (static_cast<int64_t>(state.mid) + step > 100) {
        state.mid = static_cast<uint32_t>(static_cast<int64_t>(state.mid) + step);
    }
    const uint32_t spread = 1 + static_cast<uint32_t>((m_random >> 8) % 4);
    Quote quote;
    quote.instrument = instrument;
    quote.sequence = ++state.sequence;
    quote.bid = state.mid - spread;
    quote.ask = state.mid + spread;
    quote.bidSize = 100 * (1 + static_cast<uint32_t>((m_random >> 16) % 50));
    quote.askSize = 100 * (1 + static_cast<uint32_t>((m_random >> 24) % 50));
    quote.micros = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_origin).count());
    ++m_quotes;
    return quote;
}

void QuoteFeed::Send(uint32_t instrument, const std::string& bytes,
                     const std::vector<uint64_t>& quotes) {
    auto found = m_members.find(instrument);
    if (found == m_members.end()) {
        return;
    }
    for (const auto& [name, members] : found->second) {
        if (members.empty()) {
            continue;
        }
        R_ListenerSendSubscription(m_listener, instrument, name ? name->c_str() : nullptr,
                                   bytes.data(), static_cast<int32_t>(bytes.size()));
        m_deliveries += quotes.size() * members.size();
        if (m_recording) {
            for (void* client : members) {
                std::vector<uint64_t>& expected = RecordOf(client).expected;
                expected.insert(expected.end(), quotes.begin(), quotes.end());
            }
        }
    }
}

size_t QuoteFeed::PublishDue(Clock::time_point now) {
    if (m_paused || m_instruments == 0) {
        return 0;
    }
    const double active = SecondsBetween(m_origin, now) - m_pausedSeconds;
    const auto target = static_cast<uint64_t>(active * m_rate);
    const auto backlogCap = static_cast<uint64_t>(m_rate / 2) + 1;
    if (target > m_due + backlogCap) {
        m_due = target - backlogCap;
    }
    size_t published = 0;
    std::vector<uint64_t> one(1);
    for (; m_due < target; ++m_due, ++published) {
        const uint32_t instrument = m_next;
        m_next = (m_next + 1) % m_instruments;
        const Quote quote = NextQuote(instrument);
        one[0] = uint64_t(instrument) << 32 | quote.sequence;
        Send(instrument, EncodeQuote(quote), one);
    }
    return published;
}

bool QuoteFeed::PublishAggregate(uint32_t instrument, unsigned count,
                                 const Compressor& compressor) {
    if (instrument >= m_instruments || count == 0) {
        return false;
    }
    auto found = m_members.find(instrument);
    bool subscribed = false;
    if (found != m_members.end()) {
        for (const auto& [name, members] : found->second) {
            subscribed = subscribed || !members.empty();
        }
    }
    if (!subscribed) {
        return false;
    }
    std::string run;
    std::vector<uint64_t> quotes;
    for (unsigned i = 0; i < count; ++i) {
        const Quote quote = NextQuote(instrument);
        run += EncodeQuote(quote);
        quotes.push_back(uint64_t(instrument) << 32 | quote.sequence);
    }
    const std::string aggregate = compressor.Aggregate(run);
    if (aggregate.empty()) {
        // Sent one by one instead: the sequence numbers are taken and must reach someone.
        for (size_t i = 0; i < quotes.size(); ++i) {
            Send(instrument, run.substr(i * kQuoteSize, kQuoteSize), {quotes[i]});
        }
        return false;
    }
    Send(instrument, aggregate, quotes);
    ++m_aggregates;
    m_aggregatedQuotes += count;
    m_aggregateBytes += aggregate.size();
    m_aggregateRawBytes += run.size();
    return true;
}

size_t QuoteFeed::SubscriptionCount() const {
    size_t count = 0;
    for (const auto& [identifier, named] : m_members) {
        for (const auto& [name, members] : named) {
            count += members.empty() ? 0 : 1;
        }
    }
    return count;
}

size_t QuoteFeed::MembershipCount() const {
    size_t count = 0;
    for (const auto& [identifier, named] : m_members) {
        for (const auto& [name, members] : named) {
            count += members.size();
        }
    }
    return count;
}

uint32_t QuoteFeed::LastSequence(uint32_t instrument) const {
    return instrument < m_instruments ? m_state[instrument].sequence : 0;
}

}  // namespace velto
