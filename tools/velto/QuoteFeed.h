#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Address.h"
#include "Host.h"
#include "Wire.h"

namespace velto {

class Compressor;

// The subscription a request (60004 or 60005) names; none for a malformed one.
std::optional<SubscriptionKey> DecodeSubscriptionRequest(const MessageView& message);

// A synthetic quote stream published through a listener: identifiers 0 to instruments-1 in
// turn, `rate` quotes a second, each quote sent to the unnamed subscription of its instrument
// and to every named one that a client made for it.
//
// The feed follows the subscriptions from what the listener's clients publish (a request
// reaches the observers only once the listener took it; 60002 when a client goes), so it
// knows the members of each subscription without asking the library. With expectations on,
// it also records, for every client, each quote handed to it: exactly what that client's
// peer must receive, in order.
class QuoteFeed {
  public:
    // A client as the feed saw it; kept after the client is gone.
    struct ClientRecord {
        std::string address;  // the peer, "127.0.0.1:51000"
        uint16_t port = 0;    // the peer's port
        bool gone = false;
        std::set<SubscriptionKey> keys;  // every subscription it made
        std::vector<uint64_t> expected;  // instrument << 32 | sequence, in sending order
    };

    QuoteFeed(void* listener, uint32_t instruments, double rate);

    // Every message a client of the listener publishes: subscription requests and 60002.
    void OnClientMessage(void* client, const MessageView& message);

    void Start(Clock::time_point now);
    void Pause(Clock::time_point now);
    void Resume(Clock::time_point now);
    bool isPaused() const { return m_paused; }
    // Publishes the quotes that are due by now; answers how many. A backlog of more than
    // half a second (a stalled loop) is skipped rather than sent in one burst.
    size_t PublishDue(Clock::time_point now);
    // `count` consecutive quotes of one instrument as one compressed aggregate to each of its
    // subscriptions; false when the aggregate could not be made or nobody subscribes.
    bool PublishAggregate(uint32_t instrument, unsigned count, const Compressor& compressor);

    void RecordExpectations(bool on) { m_recording = on; }
    const std::vector<ClientRecord>& Records() const { return m_records; }

    uint64_t QuotesPublished() const { return m_quotes; }
    uint64_t QuotesDelivered() const { return m_deliveries; }  // quotes times members
    uint64_t AggregatesSent() const { return m_aggregates; }
    uint64_t QuotesInAggregates() const { return m_aggregatedQuotes; }
    uint64_t AggregateBytes() const { return m_aggregateBytes; }
    uint64_t AggregateRawBytes() const { return m_aggregateRawBytes; }
    // Subscriptions with at least one member, and the members of all of them.
    size_t SubscriptionCount() const;
    size_t MembershipCount() const;
    uint32_t Instruments() const { return m_instruments; }
    // The last sequence number published for an instrument (0: none yet).
    uint32_t LastSequence(uint32_t instrument) const;

  private:
    struct Instrument {
        uint32_t sequence = 0;
        uint32_t mid = 0;
    };
    using Members = std::set<void*>;
    using NamedMembers = std::map<std::optional<std::string>, Members>;

    Quote NextQuote(uint32_t instrument);
    void Send(uint32_t instrument, const std::string& bytes, const std::vector<uint64_t>& quotes);
    ClientRecord& RecordOf(void* client);
    void Forget(void* client);

    void* m_listener;
    uint32_t m_instruments;
    double m_rate;
    std::vector<Instrument> m_state;
    std::map<uint32_t, NamedMembers> m_members;
    std::map<void*, size_t> m_live;  // client -> index in m_records
    std::vector<ClientRecord> m_records;
    bool m_recording = false;
    bool m_paused = true;
    Clock::time_point m_origin{};
    Clock::time_point m_pausedAt{};
    double m_pausedSeconds = 0;
    uint64_t m_due = 0;  // quotes that the rate allowed so far
    uint32_t m_next = 0;
    uint64_t m_random = 0x9E3779B97F4A7C15ull;
    uint64_t m_quotes = 0;
    uint64_t m_deliveries = 0;
    uint64_t m_aggregates = 0;
    uint64_t m_aggregatedQuotes = 0;
    uint64_t m_aggregateBytes = 0;
    uint64_t m_aggregateRawBytes = 0;
};

}  // namespace velto
