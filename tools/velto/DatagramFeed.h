#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Address.h"
#include "Host.h"

namespace velto {

// A datagram receiver on a port or a multicast group; for a sequenced feed, also the TCP
// receiver of its repair server, attached to the sequence receiver each time it connects
// (a repair request sent on a connection that is not up would be lost, and the held packets
// with it).
//
// Messages reach onData from the datagram receiver and, with repair, the plain messages of
// the repair connection too (`repaired` true): a repair server sends the content of a
// repaired packet that way. Events and changes of the loss counters reach onEvent.
class DatagramFeed {
  public:
    struct Options {
        std::string group;  // empty: the port only, no multicast membership
        uint16_t port = 0;  // 0: the kernel picks one
        bool sequenced = false;
        std::optional<Endpoint> repair;
    };
    using EventHandler = std::function<void(const std::string& line)>;
    using DataHandler = std::function<void(const MessageView& message, bool repaired)>;

    DatagramFeed(Options options, EventHandler onEvent, DataHandler onData);
    ~DatagramFeed();
    DatagramFeed(const DatagramFeed&) = delete;
    DatagramFeed& operator=(const DatagramFeed&) = delete;

    // Binds the port (joining the group) and starts the repair connection.
    bool Start(std::string* why);
    uint16_t LocalPort() const;
    void* Handle() const { return m_receiver; }
    void* RepairHandle() const { return m_repair; }

    // After each loop round: reports new senders, losses and recoveries.
    void Poll();

    bool isRepairAttached() const { return m_attached; }
    uint32_t Lost() const;
    uint32_t Recovered() const;
    uint32_t LastSequence() const;
    // A gap is being repaired: packets are held back.
    bool isRepairing() const;
    uint64_t Messages() const { return m_messages; }

  private:
    void OnMessage(void* source, const MessageView& message);

    Options m_options;
    EventHandler m_onEvent;
    DataHandler m_onData;
    Watcher m_watcher;
    void* m_receiver = nullptr;
    void* m_repair = nullptr;
    bool m_attached = false;
    bool m_senders = false;  // the receiver records its senders (a plain UDP receiver)
    uint32_t m_senderCount = 0;
    uint32_t m_lost = 0;
    uint32_t m_recovered = 0;
    uint64_t m_messages = 0;
};

}  // namespace velto
