#include "Sequencer.h"

#include "Wire.h"
#include "veltonet/receiver.h"

namespace velto {

namespace {

// Enough for a receiver that falls a minute behind at the default rate.
constexpr size_t kHistoryPackets = 65536;

}  // namespace

Sequencer::Sequencer(Options options, EventHandler onEvent)
    : m_options(std::move(options)),
      m_onEvent(std::move(onEvent)),
      m_watcher(
          [this](void* source, const MessageView& message) { OnRepairMessage(source, message); }),
      m_random(m_options.seed * 0x9E3779B97F4A7C15ull + 1) {}

Sequencer::~Sequencer() {
    if (m_listener != nullptr) {
        m_watcher.Unwatch(m_listener);
        R_DeleteReceiver(m_listener);
    }
}

bool Sequencer::Start(std::string* why) {
    const std::string& host = m_options.target.host;
    const bool multicast = IsMulticastGroup(host);
    if (!multicast && !IsLoopback(host)) {
        *why = "the sequencer sends only to a loopback address or a multicast group, not to '" +
               host + "'";
        return false;
    }
    if (!m_sender.Open(multicast, why)) {
        return false;
    }
    m_listener = R_CreateListener("repair", 0, 0, m_options.repairPort, true, 0, 0, false);
    if (m_listener == nullptr || !m_watcher.Watch(m_listener)) {
        *why = "cannot create the repair listener";
        return false;
    }
    m_roster = ClientRoster(m_listener);
    if (!R_ConnectReceiver(m_listener)) {
        *why = PortBusy(m_options.repairPort, true)
                   ? "repair port " + std::to_string(m_options.repairPort) + " is busy"
                   : "cannot listen on repair port " + std::to_string(m_options.repairPort);
        return false;
    }
    return true;
}

uint16_t Sequencer::RepairPort() const {
    return R_GetReceiverLocalPort(m_listener);
}

void Sequencer::Begin(Clock::time_point now) {
    m_origin = now;
    m_due = 0;
}

uint64_t Sequencer::Random() {
    m_random ^= m_random << 13;
    m_random ^= m_random >> 7;
    m_random ^= m_random << 17;
    return m_random;
}

std::string Sequencer::MakePacket() {
    const unsigned trades = 1 + static_cast<unsigned>(Random() % 4);
    std::string messages;
    for (unsigned i = 0; i < trades; ++i) {
        const uint64_t r = Random();
        m_price = static_cast<uint32_t>(static_cast<int64_t>(m_price) + int64_t(r % 41) - 20);
        messages += EncodeTrade(Trade{++m_trade, static_cast<uint32_t>((r >> 8) % 1000), m_price,
                                      100 * (1 + static_cast<uint32_t>((r >> 20) % 10))});
    }
    std::string packet = SequencedPacket(++m_number, messages);
    m_history.push_back(packet);
    if (m_history.size() > kHistoryPackets) {
        m_history.pop_front();
        ++m_historyFirst;
    }
    return packet;
}

bool Sequencer::SendDatagram(const std::string& packet) {
    if (!m_sender.SendTo(m_options.target.host, m_options.target.port, packet)) {
        ++m_sendFailures;  // lost like a dropped one; the receiver repairs it the same way
        return false;
    }
    return true;
}

size_t Sequencer::SendDue(Clock::time_point now, uint32_t last) {
    const auto target = static_cast<uint64_t>(SecondsBetween(m_origin, now) * m_options.rate);
    const auto backlogCap = static_cast<uint64_t>(m_options.rate / 2) + 1;
    if (target > m_due + backlogCap) {
        m_due = target - backlogCap;
    }
    size_t made = 0;
    for (; m_due < target && m_number < last; ++m_due, ++made) {
        const std::string packet = MakePacket();
        const bool drop =
            m_number > 1 && double(Random() % 1000000) < m_options.dropPercent * 10000.0;
        if (drop) {
            m_dropped.insert(m_number);
            m_onEvent("dropped packet " + std::to_string(m_number));
            continue;
        }
        SendDatagram(packet);
    }
    return made;
}

void Sequencer::Finish() {
    SendDatagram(MakePacket());
}

void Sequencer::Flush() {
    if (m_listener == nullptr) {
        return;
    }
    R_ListenerForceSendBufferToClients(m_listener);
    for (const ClientRoster::Arrival& arrival : m_roster.Refresh()) {
        m_onEvent("repair client " + arrival.address + " arrived");
    }
}

std::string Sequencer::See(void* client) {
    bool arrived = false;
    const std::string address = m_roster.See(client, &arrived);
    if (arrived) {
        m_onEvent("repair client " + address + " arrived");
    }
    return address;
}

uint64_t Sequencer::DroppedUnrequested() const {
    uint64_t count = 0;
    for (uint32_t number : m_dropped) {
        count += m_requested.count(number) == 0 ? 1 : 0;
    }
    return count;
}

void Sequencer::OnRepairMessage(void* source, const MessageView& message) {
    if (source == m_listener) {
        return;  // the listener's own notifications
    }
    const std::string who = See(source);
    if (message.type == 60002) {
        m_roster.Forget(source);
        m_onEvent("repair client " + who + " left");
        return;
    }
    const std::optional<uint32_t> first = RepairRequestFirst(message);
    if (!first) {
        return;
    }
    ++m_requests;
    m_requested.insert(*first);
    if (*first < m_historyFirst || *first - m_historyFirst >= m_history.size()) {
        m_onEvent("repair request from " + who + " for packet " + std::to_string(*first) +
                  ": not in the history, unanswered");
        return;
    }
    const std::string& packet = m_history[*first - m_historyFirst];
    const std::string trades = packet.substr(8);
    R_SendBuffer(source, trades.data(), static_cast<int32_t>(trades.size()), false);
    R_SendBuffer(source, packet.data(), static_cast<int32_t>(packet.size()), false);
    ++m_answered;
    m_onEvent("repair request from " + who + " for packet " + std::to_string(*first) +
              ": answered (" + std::to_string(trades.size() / kTradeSize) +
              (trades.size() == kTradeSize ? " trade)" : " trades)"));
}

}  // namespace velto
