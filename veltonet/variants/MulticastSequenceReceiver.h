#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <vector>

#include "veltonet/Export.h"
#include "veltonet/variants/MulticastReceiver.h"

namespace veltonet {

class Message;

// A multicast receiver whose datagrams carry sequenced packets (type 21008: bytes 4-7 the
// sequence number, then a run of framed messages). The messages of each packet are delivered
// once and in sequence-number order; older packets are dropped; skipped numbers are counted.
//
// With a repair receiver attached, a packet that arrives after a gap is held, a repair
// request (type 20009, 8 bytes: the first number wanted) goes out on the repair connection,
// and the held packets are released in order as the repair receiver reports recovered numbers
// through PacketRecovered. Without one, a gap is only counted and logged.
//
// The repair receiver is referenced, not owned. Each side clears the other's reference when
// it goes: this receiver detaches it in Disconnect and in its destructor; a TCPReceiver
// detaches itself from its sequence receiver in its destructor. Socket creation begins with
// Disconnect, so the host attaches the repair receiver again after every connect.
class VELTONET_EXPORT MulticastSequenceReceiver : public MulticastReceiver {
  public:
    // Held packets are dropped, and the repair given up, beyond this many bytes (each packet is
    // charged its size plus kDelayedPacketOverhead): a repair server that never answers must
    // not let the held list grow without end.
    static constexpr size_t kMaxDelayedBytes = 64u * 1024 * 1024;
    static constexpr size_t kDelayedPacketOverhead = 64;
    // Sequenced packets inside sequenced packets are followed this deep and no deeper.
    static constexpr unsigned int kMaxPacketNesting = 8;

    MulticastSequenceReceiver(const char* name, const char* ip, unsigned short port,
                              unsigned int receiveBufferSize = 0, unsigned int sendBufferSize = 0);
    ~MulticastSequenceReceiver() override;

    // ---- overrides, in slot order ----
    bool Disconnect() override;
    bool CanRecoverLostMessages() const override { return true; }
    unsigned int GetPacketsLost() const override { return m_packetsLost; }
    unsigned int GetPacketsRecovered() const override { return m_packetsRecovered; }
    unsigned int GetLastSequenceNumber() const override { return m_lastSequenceNumber; }
    unsigned int GetMulticastPacketBeingProcessed() const override {
        return m_packetBeingProcessed;
    }
    unsigned int GetLastRecoveredPacket() const override { return m_lastRecoveredPacket; }
    unsigned int GetFirstPacketBeingRecovered() const override {
        return m_firstPacketBeingRecovered;
    }
    void ConnectionStatusChanged(bool connected) override;

  protected:
    void ProcessMessage(const Message* message) override;

  public:
    // Attaches repair (null detaches). A receiver attached before is detached first, and a
    // repair receiver serving another sequence receiver is taken from it, so that each side's
    // reference always names the other.
    void SetRepairReceiver(TCPReceiver* repair);
    TCPReceiver* GetRepairReceiver() const { return m_repairReceiver; }
    // Called by the repair receiver for each sequenced packet it receives. Observers reached
    // from here may disconnect, destroy this receiver or change its repair receiver.
    void PacketRecovered(unsigned int sequenceNumber);
    void ClearDelayedMessageList();
    size_t GetDelayedMessageCount() const { return m_delayedMessageList.size(); }

  private:
    using HeldPacket = std::vector<char>;  // one whole sequenced packet, exactly as received

    void Deliver(const Message* packet);
    void Hold(const Message* packet);
    HeldPacket TakeOldest();
    // Delivers every held packet in order and ends the repair; false when an observer
    // disconnected or destroyed this receiver meanwhile.
    bool ReleaseDelayedMessages();
    void RequestRepair(unsigned int first);
    void Log(const std::string& text) const;

    TCPReceiver* m_repairReceiver;
    unsigned int m_lastSequenceNumber;
    unsigned int m_packetBeingProcessed;
    unsigned int m_lastRecoveredPacket;
    unsigned int m_firstPacketBeingRecovered;
    unsigned int m_packetsLost;
    unsigned int m_packetsRecovered;
    std::list<HeldPacket> m_delayedMessageList;
    size_t m_delayedBytes = 0;
    // Advanced by every ClearDelayedMessageList, so a delivery loop sees that an observer
    // emptied the list (or disconnected) under it.
    unsigned int m_delayedListGeneration = 0;
    unsigned int m_packetDepth = 0;
};

}  // namespace veltonet
