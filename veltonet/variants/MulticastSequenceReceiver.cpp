#include "veltonet/variants/MulticastSequenceReceiver.h"

#include <cstdint>
#include <string>
#include <utility>

#include "veltonet/companion/Message.h"

namespace veltonet {

namespace {
// Header, then the 32-bit sequence number.
constexpr unsigned int kPacketHeaderLength = 8;
}  // namespace

MulticastSequenceReceiver::MulticastSequenceReceiver(const char* name, const char* ip,
                                                     unsigned short port,
                                                     unsigned int receiveBufferSize,
                                                     unsigned int sendBufferSize)
    : MulticastReceiver(name, ip, port, receiveBufferSize, sendBufferSize),
      m_repairReceiver(nullptr),
      m_lastSequenceNumber(0),
      m_packetBeingProcessed(0),
      m_lastRecoveredPacket(0),
      m_firstPacketBeingRecovered(0),
      m_packetsLost(0),
      m_packetsRecovered(0) {
    SetReceivingSequencePackets(true);
}

MulticastSequenceReceiver::~MulticastSequenceReceiver() {
    ClearDelayedMessageList();
    SetRepairReceiver(nullptr);
}

bool MulticastSequenceReceiver::Disconnect() {
    ClearDelayedMessageList();
    SetRepairReceiver(nullptr);
    return TCPReceiver::Disconnect();
}

void MulticastSequenceReceiver::ConnectionStatusChanged(bool connected) {
    TCPReceiver::ConnectionStatusChanged(connected);
    if (!connected) {
        m_lastSequenceNumber = 0;  // the next connection starts with a first packet
    }
}

void MulticastSequenceReceiver::Log(const std::string& text) const {
    LogMessage(GetName().c_str(), text.c_str(), GetIp());
}

// ---- sequencing ----

void MulticastSequenceReceiver::ProcessMessage(const Message* message) {
    if (message->GetType() != kMsgSequencedPacket) {
        Notify(message, nullptr, nullptr);
        return;
    }
    const unsigned int size = message->GetSize();
    if (size < kPacketHeaderLength) {
        Log("Sequenced packet too short " + std::to_string(size));
        return;
    }
    if (m_packetDepth >= kMaxPacketNesting) {
        Log("Sequenced packet nested too deep");
        return;
    }
    const uint32_t number = message->ReadU32(4);
    const uint32_t last = m_lastSequenceNumber;
    if (last == 0) {
        m_packetBeingProcessed = number;
        m_lastSequenceNumber = number;
        Log("First Pack " + std::to_string(number));
        Deliver(message);
        return;
    }
    if (number <= last) {
        return;  // a duplicate, or older than what was accepted
    }
    const uint32_t gap = number - last - 1;
    if (gap > 0) {
        Log("Packs lost " + std::to_string(gap) + ' ' + std::to_string(last + 1) + ' ' +
            std::to_string(m_packetBeingProcessed - 1) + ' ' +
            std::to_string(m_lastRecoveredPacket) + ' ' +
            std::to_string(m_firstPacketBeingRecovered));
        m_packetsLost += gap;
    }
    if (!m_delayedMessageList.empty() && m_repairReceiver != nullptr &&
        m_delayedBytes + size + kDelayedPacketOverhead > kMaxDelayedBytes) {
        Log("Packs held limit reached, repair abandoned " +
            std::to_string(m_delayedMessageList.size()));
        if (!ReleaseDelayedMessages()) {
            return;
        }
    }
    if (m_delayedMessageList.empty()) {
        if (gap > 0 && m_repairReceiver != nullptr) {
            // State first: the request may fail and run the repair receiver's observers.
            Hold(message);
            if (m_firstPacketBeingRecovered == 0) {
                m_firstPacketBeingRecovered = last + 1;
            }
            m_lastSequenceNumber = number;
            RequestRepair(last + 1);
            return;
        }
        m_packetBeingProcessed = number;
        Deliver(message);
        // Unless an observer disconnected this receiver (which starts it afresh, 0) or a nested
        // packet moved the number beyond this one. A nested packet numbered below this one must
        // not pull it back: packets between the two would then be delivered after this one.
        if (m_lastSequenceNumber != 0 && m_lastSequenceNumber < number) {
            m_lastSequenceNumber = number;
        }
        return;
    }
    if (m_repairReceiver != nullptr) {
        Hold(message);
    }
    m_lastSequenceNumber = number;
}

void MulticastSequenceReceiver::PacketRecovered(unsigned int sequenceNumber) {
    // Observers of the delivered messages may destroy this receiver: defer it to the end.
    BusyScope busy(this);
    ++m_packetsRecovered;
    m_lastRecoveredPacket = sequenceNumber;
    if (m_delayedMessageList.empty()) {
        m_firstPacketBeingRecovered = 0;
        return;
    }
    uint32_t expected = sequenceNumber + 1;
    uint32_t done = sequenceNumber;
    const unsigned int generation = m_delayedListGeneration;
    for (;;) {
        const uint32_t held = Message::At(m_delayedMessageList.front().data())->ReadU32(4);
        if (held == expected) {
            m_packetBeingProcessed = held;
            m_firstPacketBeingRecovered = held + 1;
            // Off the list before delivery: observers may clear or extend the list.
            const HeldPacket packet = TakeOldest();
            Deliver(Message::At(packet.data()));
            ++done;
            ++expected;
            if (toDestroy() || generation != m_delayedListGeneration) {
                return;
            }
        } else if (held > done) {
            break;  // a gap remains before it
        } else {
            TakeOldest();  // made good by the repair server already
        }
        if (m_delayedMessageList.empty()) {
            m_firstPacketBeingRecovered = 0;
            return;
        }
    }
    if (m_repairReceiver == nullptr) {  // read afresh: observers may have detached it
        return;
    }
    m_firstPacketBeingRecovered = done + 1;
    RequestRepair(done + 1);
}

bool MulticastSequenceReceiver::ReleaseDelayedMessages() {
    const unsigned int generation = m_delayedListGeneration;
    while (!m_delayedMessageList.empty()) {
        const HeldPacket packet = TakeOldest();
        const Message* message = Message::At(packet.data());
        m_packetBeingProcessed = message->ReadU32(4);
        Deliver(message);
        if (toDestroy() || generation != m_delayedListGeneration) {
            return false;
        }
    }
    m_firstPacketBeingRecovered = 0;
    return true;
}

void MulticastSequenceReceiver::Deliver(const Message* packet) {
    ++m_packetDepth;
    ProcessMultipleMessages(reinterpret_cast<const char*>(packet->Bytes()), kPacketHeaderLength,
                            packet->GetSize());
    --m_packetDepth;
}

void MulticastSequenceReceiver::Hold(const Message* packet) {
    const auto* bytes = reinterpret_cast<const char*>(packet->Bytes());
    m_delayedMessageList.emplace_back(bytes, bytes + packet->GetSize());
    m_delayedBytes += packet->GetSize() + kDelayedPacketOverhead;
}

MulticastSequenceReceiver::HeldPacket MulticastSequenceReceiver::TakeOldest() {
    HeldPacket packet = std::move(m_delayedMessageList.front());
    m_delayedMessageList.pop_front();
    m_delayedBytes -= packet.size() + kDelayedPacketOverhead;
    return packet;
}

void MulticastSequenceReceiver::ClearDelayedMessageList() {
    m_delayedMessageList.clear();
    m_delayedBytes = 0;
    ++m_delayedListGeneration;
}

void MulticastSequenceReceiver::RequestRepair(unsigned int first) {
    if (m_repairReceiver != nullptr) {
        const ValueMessage request(kMsgRepairRequest, first);
        m_repairReceiver->SendRequest(&request, nullptr, false);
    }
}

// ---- repair receiver ----

void MulticastSequenceReceiver::SetRepairReceiver(TCPReceiver* repair) {
    if (repair == this) {
        // Its own packets would be taken for recovered ones and never delivered.
        Log("SetRepairReceiver refused: a receiver cannot repair itself");
        return;
    }
    if (m_repairReceiver != nullptr && m_repairReceiver != repair) {
        TCPReceiver* previous = m_repairReceiver;
        m_repairReceiver = nullptr;
        if (previous->GetSequenceReceiver() == this) {
            previous->SetSequenceReceiver(nullptr);
            previous->SetReceivingSequencePackets(false);
        }
    }
    if (repair == nullptr) {
        return;
    }
    MulticastSequenceReceiver* other = repair->GetSequenceReceiver();
    if (other != nullptr && other != this) {
        other->SetRepairReceiver(nullptr);
    }
    m_repairReceiver = repair;
    repair->SetReceivingSequencePackets(true);
    repair->SetSequenceReceiver(this);
}

}  // namespace veltonet
