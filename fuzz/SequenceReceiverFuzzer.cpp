// A multicast sequence receiver with a repair receiver, fed an arbitrary run of events: packets
// on the feed (in and out of order, with gaps, repeats, packets nested in packets), packets on
// the repair connection, the repair receiver attached and detached, the held list cleared, the
// connection dropped and made again.
//
// Every message the harness sends carries a tag: a unique instance number and the sequence
// number and instance of the packet that carries it. Invariants: each tag is delivered at most
// once; tags of top-level packets arrive in increasing sequence order within one connection
// (after a packet numbered 0, which leaves the receiver waiting for a first packet, any number
// may follow); nothing that came on the repair connection reaches the feed's observers; the
// last number, the lost and recovered totals and the last recovered number agree with a model
// of the top-level packets; the held list never outgrows the packets fed, and the heap never
// outgrows what is held.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"

namespace veltonet::fuzz {
namespace {

constexpr uint16_t kTagType = 3000;     // a tagged message inside a packet
constexpr uint16_t kPlainType = 3001;   // a tagged message outside any packet
constexpr uint16_t kFillerType = 3002;  // filler of any bytes
constexpr uint32_t kMaxTags = 1u << 16;

struct Tag {
    uint32_t instance;
    uint32_t sequence;
    uint32_t packet;  // instance number of the packet that carries it; 0 for none
    uint8_t kind;     // 0 top-level packet, 1 nested packet, 2 repair packet, 3 plain
};

std::string TagMessage(uint16_t type, const Tag& tag) {
    return Frame(type, U32(tag.instance) + U32(tag.sequence) + U32(tag.packet) +
                           std::string(1, char(tag.kind)));
}

Tag ReadTag(const Message* message) {
    return {message->ReadU32(4), message->ReadU32(8), message->ReadU32(12), message->Bytes()[16]};
}

struct ScriptedSequenceReceiver : Scripted<MulticastSequenceReceiver> {
    ScriptedSequenceReceiver() : Scripted("fuzz-feed", "", 0) {}
};

class ScriptedRepairReceiver : public Scripted<TCPReceiver> {
  public:
    ScriptedRepairReceiver() : Scripted("fuzz-repair", "127.0.0.1", 1, 0, true) {}
    bool SendRequest(const Message* request, const Message* /*second*/, bool /*flag*/) override {
        FUZZ_CHECK(request->GetType() == kMsgRepairRequest && request->GetSize() == 8,
                   "malformed repair request");
        ++requests;
        return true;
    }
    unsigned requests = 0;
};

// Checks each tag as it is delivered.
class TagChecker : public Observer {
  public:
    TagChecker() { delivered.assign(kMaxTags, 0); }
    void OnMessage(const Message* message, Observable* /*source*/) override {
        const uint16_t type = message->GetType();
        if (type != kTagType && type != kPlainType) {
            return;
        }
        FUZZ_CHECK(message->GetSize() == 17, "tag of size %u", message->GetSize());
        const Tag tag = ReadTag(message);
        FUZZ_CHECK(tag.instance < kMaxTags, "unknown tag %u", tag.instance);
        FUZZ_CHECK(delivered[tag.instance] == 0, "tag %u delivered twice", tag.instance);
        delivered[tag.instance] = 1;
        FUZZ_CHECK(tag.kind != 2, "a repair packet's message reached the feed's observers");
        if (tag.kind != 0 || tag.packet == lastPacket) {
            return;  // nested packets arrive inside their carrier; a packet's own tags in turn
        }
        FUZZ_CHECK(!haveLast || lastSequence == 0 || tag.sequence > lastSequence,
                   "packet %u delivered after packet %u", tag.sequence, lastSequence);
        haveLast = true;
        lastSequence = tag.sequence;
        lastPacket = tag.packet;
    }
    void NewConnection() {
        haveLast = false;
        lastPacket = 0;
    }
    std::vector<uint8_t> delivered;
    bool haveLast = false;
    uint32_t lastSequence = 0;
    uint32_t lastPacket = 0;
};

// Counts the packets the repair receiver publishes itself (while detached).
class PacketCounter : public Observer {
  public:
    void OnMessage(const Message* message, Observable* /*source*/) override {
        packets += message->GetType() == kMsgSequencedPacket;
    }
    unsigned packets = 0;
};

class Harness {
  public:
    explicit Harness(Input& input) : m_input(input) {
        m_feed.ConnectionStatusChanged(true);
        m_feed.Add(&m_checker);
        m_repair.Add(&m_repairCounter);
        m_baseline = HeapInUse();
    }
    ~Harness() {
        m_feed.Remove(&m_checker);
        m_repair.Remove(&m_repairCounter);
    }

    void Run() {
        while (!m_input.Empty() && m_nextInstance + 16 < kMaxTags) {
            Step(m_input.Byte() % 8);
            Check();
        }
        m_feed.Disconnect();
        FUZZ_CHECK(m_feed.GetDelayedMessageCount() == 0, "held packets survive a disconnect");
        FUZZ_CHECK(
            m_repair.GetSequenceReceiver() == nullptr && !m_repair.isReceivingSequencePackets(),
            "repair receiver still attached after a disconnect");
    }

  private:
    Tag NewTag(uint32_t sequence, uint32_t packet, uint8_t kind) {
        return {m_nextInstance++, sequence, packet, kind};
    }

    uint32_t ChooseSequence() {
        const uint8_t b = m_input.Byte();
        switch (b >> 6) {
            case 0:
                return m_base + (b & 63) - 8;  // near, possibly behind
            case 1:
                return m_base + 1;
            case 2:
                return m_base + (b & 63);  // ahead, with a gap
            default:
                return m_input.U32();
        }
    }

    // The messages of one packet: tags and filler, as the input says.
    std::string Payload(uint32_t sequence, uint32_t packet, uint8_t kind) {
        std::string bytes;
        const unsigned count = m_input.Byte() % 4;
        for (unsigned i = 0; i <= count; ++i) {
            if (m_input.Byte() % 4 == 0) {
                bytes += Frame(kFillerType, m_input.Bytes(m_input.Byte() % 32));
            } else {
                bytes += TagMessage(kTagType, NewTag(sequence, packet, kind));
            }
        }
        return bytes;
    }

    void FeedDatagram(const std::string& datagram) {
        m_feed.source.Push(datagram);
        while (!m_feed.source.Empty()) {
            m_feed.OnReceive(0);
        }
    }

    void ModelTopLevel(uint32_t sequence) {
        if (m_modelLast == 0) {
            m_modelLast = sequence;
        } else if (sequence > m_modelLast) {
            m_modelLost += sequence - m_modelLast - 1;
            m_modelLast = sequence;
        }
        ++m_fedSinceClear;
    }

    void Resync() {
        m_modelLast = m_feed.GetLastSequenceNumber();
        m_modelLost = m_feed.GetPacketsLost();
    }

    void Step(uint8_t op) {
        switch (op) {
            case 0:
            case 1: {
                const uint32_t sequence = ChooseSequence();
                m_base = sequence;
                const uint32_t packet = m_nextInstance++;
                FeedDatagram(
                    Frame(kMsgSequencedPacket, U32(sequence) + Payload(sequence, packet, 0)));
                ModelTopLevel(sequence);
                break;
            }
            case 2: {  // a packet that carries another packet among its messages
                const uint32_t outer = ChooseSequence();
                const uint32_t inner = ChooseSequence();
                m_base = outer;
                const uint32_t outerPacket = m_nextInstance++;
                const uint32_t innerPacket = m_nextInstance++;
                // One statement each: the input is read in this order.
                const std::string nested =
                    Frame(kMsgSequencedPacket, U32(inner) + Payload(inner, innerPacket, 1));
                const std::string before = Payload(outer, outerPacket, 0);
                const std::string after = Payload(outer, outerPacket, 0);
                FeedDatagram(Frame(kMsgSequencedPacket, U32(outer) + before + nested + after));
                m_fedSinceClear += 2;
                m_checkModel = false;
                break;
            }
            case 3: {
                const uint32_t sequence = ChooseSequence();
                const uint32_t packet = m_nextInstance++;
                const unsigned before = m_repairCounter.packets;
                m_repair.source.Push(
                    Frame(kMsgSequencedPacket, U32(sequence) + Payload(sequence, packet, 2)));
                while (!m_repair.source.Empty()) {
                    m_repair.OnReceive(0);
                }
                if (m_attached) {
                    ++m_modelRecovered;
                    m_modelLastRecovered = sequence;
                    FUZZ_CHECK(m_repairCounter.packets == before,
                               "an attached repair receiver published a packet");
                } else {
                    FUZZ_CHECK(m_repairCounter.packets == before + 1,
                               "a detached repair receiver did not publish its packet");
                }
                break;
            }
            case 4:
                m_attached = !m_attached;
                m_feed.SetRepairReceiver(m_attached ? &m_repair : nullptr);
                break;
            case 5:
                m_feed.ClearDelayedMessageList();
                m_fedSinceClear = 0;
                break;
            case 6:
                m_feed.Disconnect();
                m_feed.ConnectionStatusChanged(true);
                m_attached = false;
                m_modelLast = 0;
                m_fedSinceClear = 0;
                m_checkModel = true;
                m_checker.NewConnection();
                break;
            default: {
                const Tag tag = NewTag(0, 0, 3);
                FeedDatagram(TagMessage(kPlainType, tag));
                FUZZ_CHECK(m_checker.delivered[tag.instance] == 1,
                           "a message outside a packet was not delivered");
                break;
            }
        }
    }

    void Check() {
        FUZZ_CHECK((m_feed.GetRepairReceiver() == &m_repair) == m_attached, "repair attachment");
        FUZZ_CHECK((m_repair.GetSequenceReceiver() == &m_feed) == m_attached,
                   "the repair receiver's back reference");
        FUZZ_CHECK(m_feed.GetPacketsRecovered() == m_modelRecovered, "recovered %u, model %u",
                   m_feed.GetPacketsRecovered(), m_modelRecovered);
        if (m_modelRecovered != 0) {
            FUZZ_CHECK(m_feed.GetLastRecoveredPacket() == m_modelLastRecovered,
                       "last recovered %u, model %u", m_feed.GetLastRecoveredPacket(),
                       m_modelLastRecovered);
        }
        if (m_checkModel) {
            FUZZ_CHECK(m_feed.GetLastSequenceNumber() == m_modelLast, "last %u, model %u",
                       m_feed.GetLastSequenceNumber(), m_modelLast);
            FUZZ_CHECK(m_feed.GetPacketsLost() == m_modelLost, "lost %u, model %u",
                       m_feed.GetPacketsLost(), m_modelLost);
        } else {
            Resync();  // nested packets move the numbers in ways the model does not follow
        }
        const size_t held = m_feed.GetDelayedMessageCount();
        FUZZ_CHECK(held <= m_fedSinceClear, "%zu held of %u fed", held, m_fedSinceClear);
        const size_t heap = HeapInUse();
        const size_t bound = held * (65536 + 256) + (256u << 10);
        FUZZ_CHECK(heap < m_baseline || heap - m_baseline <= bound,
                   "heap grew by %zu bytes with %zu packets held", heap - m_baseline, held);
    }

    Input& m_input;
    ScriptedSequenceReceiver m_feed;
    ScriptedRepairReceiver m_repair;
    TagChecker m_checker;
    PacketCounter m_repairCounter;
    size_t m_baseline = 0;
    uint32_t m_nextInstance = 1;
    uint32_t m_base = 1000;
    bool m_attached = false;
    bool m_checkModel = true;
    uint32_t m_modelLast = 0;
    uint32_t m_modelLost = 0;
    uint32_t m_modelRecovered = 0;
    uint32_t m_modelLastRecovered = 0;
    unsigned m_fedSinceClear = 0;
};

}  // namespace
}  // namespace veltonet::fuzz

using namespace veltonet::fuzz;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    InitializeEnvironment(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitializeEnvironment(false);
    Input input(data, size);
    Harness harness(input);
    harness.Run();
    return 0;
}
