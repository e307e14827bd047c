#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>

#include "Address.h"
#include "ClientRoster.h"
#include "Host.h"
#include "Socket.h"

namespace velto {

// A sequenced-packet feed over UDP with its repair server over TCP.
//
// Each packet carries one to four trades, numbered across the feed. `dropPercent` of the
// packets are deliberately never sent (never the first one, and never the one Finish sends),
// so that a receiver must repair them. The repair server answers a request for packet n
// with the trades of n as plain messages, then packet n itself: the packet tells the
// receiver's sequencing that n is made good, while the trades reach whoever observes the
// repair connection, since a sequenced packet arriving there delivers nothing itself.
//
// Datagrams go only to a loopback address or a multicast group (with time-to-live 0, so
// they never leave the host): the sequencer is a test feed, not something to aim at a
// network.
class Sequencer {
  public:
    struct Options {
        Endpoint target;
        uint16_t repairPort = 0;  // 0: the kernel picks one
        double rate = 200;        // packets per second
        double dropPercent = 0;
        uint64_t seed = 1;
    };
    using EventHandler = std::function<void(const std::string& line)>;

    Sequencer(Options options, EventHandler onEvent);
    ~Sequencer();
    Sequencer(const Sequencer&) = delete;
    Sequencer& operator=(const Sequencer&) = delete;

    // Opens the datagram socket and starts the repair server; false with the reason.
    bool Start(std::string* why);
    uint16_t RepairPort() const;
    void* RepairListener() const { return m_listener; }

    // Where the datagrams go; the host may learn the receiver's port only after Start.
    void SetTarget(const Endpoint& target) { m_options.target = target; }
    void Begin(Clock::time_point now);
    // Sends (or drops) the packets due by now, numbering none beyond `last`; answers how
    // many were made.
    size_t SendDue(Clock::time_point now, uint32_t last = UINT32_MAX);
    // One last packet, never dropped, so that a receiver sees every gap before it.
    void Finish();
    // Pushes repair answers out and reports new repair clients; once per loop round.
    void Flush();

    uint32_t Packets() const { return m_number; }
    uint32_t Trades() const { return m_trade; }
    uint64_t Dropped() const { return m_dropped.size(); }
    uint64_t SendFailures() const { return m_sendFailures; }
    uint64_t RepairRequests() const { return m_requests; }
    uint64_t RepairsAnswered() const { return m_answered; }
    // Packets dropped on purpose that no repair request has asked for yet.
    uint64_t DroppedUnrequested() const;
    size_t RepairClients() const { return m_roster.Count(); }

  private:
    std::string MakePacket();
    bool SendDatagram(const std::string& packet);
    void OnRepairMessage(void* source, const MessageView& message);
    uint64_t Random();
    std::string See(void* client);

    Options m_options;
    EventHandler m_onEvent;
    DatagramSender m_sender;
    void* m_listener = nullptr;
    ClientRoster m_roster{nullptr};
    Watcher m_watcher;
    Clock::time_point m_origin{};
    uint64_t m_due = 0;
    uint32_t m_number = 0;
    uint32_t m_trade = 0;
    uint64_t m_random;
    uint32_t m_price = 250000;
    // Packets kept for repair, oldest first; m_history.front() is number m_historyFirst.
    std::deque<std::string> m_history;
    uint32_t m_historyFirst = 1;
    std::set<uint32_t> m_dropped;
    std::set<uint32_t> m_requested;
    uint64_t m_sendFailures = 0;
    uint64_t m_requests = 0;
    uint64_t m_answered = 0;
};

}  // namespace velto
