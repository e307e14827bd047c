#include "DatagramFeed.h"

#include <new>

#include "EventText.h"
#include "Socket.h"
#include "veltonet/receiver.h"
#include "veltonet/variants/MulticastReceiver.h"
#include "veltonet/variants/UDPReceiver.h"

namespace velto {

namespace {

const veltonet::MulticastReceiver* DatagramReceiverOf(void* handle) {
    return static_cast<const veltonet::MulticastReceiver*>(
        static_cast<veltonet::TCPReceiver*>(handle));
}

}  // namespace

DatagramFeed::DatagramFeed(Options options, EventHandler onEvent, DataHandler onData)
    : m_options(std::move(options)),
      m_onEvent(std::move(onEvent)),
      m_onData(std::move(onData)),
      m_watcher([this](void* source, const MessageView& message) { OnMessage(source, message); }) {}

DatagramFeed::~DatagramFeed() {
    if (m_receiver != nullptr) {
        m_watcher.Unwatch(m_receiver);
        R_DeleteReceiver(m_receiver);
    }
    if (m_repair != nullptr) {
        m_watcher.Unwatch(m_repair);
        R_DeleteReceiver(m_repair);
    }
}

bool DatagramFeed::Start(std::string* why) {
    const char* group = m_options.group.c_str();
    if (m_options.sequenced || !m_options.group.empty()) {
        m_receiver = R_CreateMulticastReceiver("datagrams", group, m_options.port,
                                               m_options.sequenced, 0, 0);
    } else {
        // A plain UDP port: the receiver class that also lists who sends.
        auto* receiver = new (std::nothrow) veltonet::UDPReceiver("datagrams", "", m_options.port);
        m_receiver = static_cast<veltonet::TCPReceiver*>(receiver);
        m_senders = true;
    }
    if (m_receiver == nullptr || !m_watcher.Watch(m_receiver)) {
        *why = "cannot create the datagram receiver";
        return false;
    }
    if (!R_ConnectReceiver(m_receiver)) {
        *why = PortBusy(m_options.port, false)
                   ? "port " + std::to_string(m_options.port) + " is busy"
                   : "cannot bind port " + std::to_string(m_options.port);
        return false;
    }
    if (m_options.sequenced && m_options.repair) {
        m_repair = R_CreateTCPReceiver("repair", m_options.repair->host.c_str(),
                                       m_options.repair->port, 1, 0, 0, 0, 0, false);
        if (m_repair == nullptr || !m_watcher.Watch(m_repair)) {
            *why = "cannot create the repair receiver";
            return false;
        }
        if (!R_ConnectReceiver(m_repair)) {
            *why = "cannot connect to the repair server " + m_options.repair->host + ":" +
                   std::to_string(m_options.repair->port);
            return false;
        }
    }
    return true;
}

uint16_t DatagramFeed::LocalPort() const {
    return R_GetReceiverLocalPort(m_receiver);
}

uint32_t DatagramFeed::Lost() const {
    return R_GetPacketsLost(m_receiver);
}

uint32_t DatagramFeed::Recovered() const {
    return R_GetPacketsRecovered(m_receiver);
}

uint32_t DatagramFeed::LastSequence() const {
    return R_GetLastSequenceNumber(m_receiver);
}

bool DatagramFeed::isRepairing() const {
    return R_GetFirstPacketBeingRecovered(m_receiver) != 0;
}

void DatagramFeed::OnMessage(void* source, const MessageView& message) {
    if (source == m_repair) {
        switch (message.type) {
            case 60012:
                m_onEvent("repair: connecting to " + AddressOf(m_repair));
                return;
            case 60001:
                // Attached only now: a request must never go out on a connection not yet up.
                R_SetMulticastRepair(m_receiver, m_repair);
                m_attached = true;
                m_onEvent("repair: connected to " + AddressOf(m_repair) + ", attached");
                return;
            case 60009:
                m_onEvent("repair: connect failed: " + AddressOf(m_repair) + ": " +
                          SocketErrorText(static_cast<int>(message.Value())));
                return;
            case 60002:
                m_onEvent("repair: disconnected");
                return;
            case 60011:
                return;
            default:
                break;
        }
        if (!IsNotification(message.type)) {
            ++m_messages;
            m_onData(message, true);
        }
        return;
    }
    if (message.type == 60003) {
        const veltonet::MulticastReceiver* receiver = DatagramReceiverOf(m_receiver);
        m_onEvent("first datagram from " + receiver->GetFromAddress() + ":" +
                  std::to_string(receiver->GetFromPort()));
        return;
    }
    if (IsNotification(message.type)) {
        return;
    }
    ++m_messages;
    m_onData(message, false);
}

void DatagramFeed::Poll() {
    if (m_receiver == nullptr) {
        return;
    }
    if (m_senders) {
        const uint32_t count = R_GetIpCount(m_receiver);
        if (count > m_senderCount) {
            void* iterator = R_CreateIpIterator(m_receiver);
            R_StartIteration(iterator, static_cast<int32_t>(m_senderCount));
            while (const char* sender = R_GetNextIp(iterator)) {
                m_onEvent(std::string("new sender ") + sender);
            }
            R_DestroyIterator(iterator);
            m_senderCount = count;
        }
    }
    if (!m_options.sequenced) {
        return;
    }
    const uint32_t lost = Lost();
    if (lost != m_lost) {
        std::string text = "packets lost: " + std::to_string(lost - m_lost) + " (total " +
                           std::to_string(lost) + ")";
        if (isRepairing()) {
            text +=
                ", repairing from " + std::to_string(R_GetFirstPacketBeingRecovered(m_receiver));
        }
        m_onEvent(text);
        m_lost = lost;
    }
    const uint32_t recovered = Recovered();
    if (recovered != m_recovered) {
        m_onEvent("packets recovered: " + std::to_string(recovered - m_recovered) + " (total " +
                  std::to_string(recovered) + "), last " +
                  std::to_string(R_GetLastRecoveredPacket(m_receiver)));
        m_recovered = recovered;
    }
}

}  // namespace velto
