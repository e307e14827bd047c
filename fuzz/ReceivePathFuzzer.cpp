// The receive path of a TCP receiver, fed a byte stream in fuzzer-chosen reads.
//
// Input: [flags][split count][split lengths...][stream]. Flags: bit 0 the receiver unpacks
// sequenced packets (21008); bit 1 the compression plug-in is loaded (type 18 goes through
// Codec.so's Uncompress); bit 2 data-received notifications are on; bit 3 the stream is built
// from segments (below), so that the fuzzer reaches the content of real LZ4 aggregates.
//
// Invariants: the same bytes read in one piece and read in the fuzzer's pieces give the same
// messages in the same order and the same accepted state; the receive buffer always has room
// for the next read; type 18 never reaches observers, nor 21008 while packets are unpacked;
// the data-received notifications bracket each read and count every byte.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet::fuzz {
namespace {

class ScriptedReceiver : public Scripted<TCPReceiver> {
  public:
    explicit ScriptedReceiver(unsigned int extraBuffer)
        : Scripted("fuzz", "127.0.0.1", 1, 0, true, extraBuffer) {}
    // Back to the state of a new receiver, for the next input.
    void Reset() {
        source.Clear();
        ConnectionStatusChanged(false);
        SetReceivingSequencePackets(false);
        while (GetNotifyDataReceivedCount() != 0) {
            DecrementNotifyDataReceived();
        }
    }
    // One read per notification, as the socket would; every queued byte must be taken.
    void ReadAll() {
        for (int rounds = 0; !source.Empty(); ++rounds) {
            FUZZ_CHECK(GetBufferSize() > 0, "receive buffer full: %u used", GetBufferUsed());
            FUZZ_CHECK(rounds < 1 << 20, "receive path stopped reading");
            OnReceive(0);
        }
    }
};

// Segments: [kind][length 16-bit][content]. Kind 0 raw bytes; 1 an aggregate of the content
// compressed, stating its true length; 2 the same stating a length of the fuzzer's choice;
// 3 a sequenced packet carrying the content; 7 [length 16-bit][byte], a run of that byte, so
// that small inputs make messages of any size; 4 to 6 as 0 to 2.
void BuildSegments(Input& input, std::string& stream) {
    CompressFunction compress = CodecCompress();
    while (!input.Empty() && stream.size() < 1u << 18) {
        uint8_t kind = input.Byte() % 8;
        if (kind == 7) {
            const uint16_t length = input.U16();
            stream.append(length, char(input.Byte()));
            continue;
        }
        const std::string content = input.Bytes(input.U16() % 4096);
        kind %= 4;
        if (kind == 0 || ((kind == 1 || kind == 2) && compress == nullptr)) {
            stream += content;
        } else if (kind == 3) {
            stream += Frame(kMsgSequencedPacket, U32(input.U32()) + content);
        } else {
            std::string block(content.size() + content.size() / 255 + 32, '\0');
            const unsigned int n = compress(content.data(), unsigned(content.size()), block.data(),
                                            unsigned(block.size()));
            block.resize(n);
            const uint32_t stated = kind == 1 ? uint32_t(content.size()) : input.U32();
            stream += Frame(kMsgCompressedAggregate, U32(stated) + block);
        }
    }
}

struct Outcome {
    std::vector<Seen> messages;  // without the data-received notifications
    std::vector<Seen> notifications;
    bool accepted;
};

// Room for any stream in one piece: inputs are at most 70000 bytes, built streams end soon
// after 256 KiB.
constexpr unsigned int kWholeStream = 1u << 19;

// In one piece the buffer must hold the whole stream; in pieces it has its usual size. The two
// receivers are made once and reset between inputs, since fresh buffers of that size cost more
// than the rest of the run. With the codec loaded, an aggregate leaves behind a decompression
// buffer whose size later inputs would see, so those inputs get receivers of their own.
ScriptedReceiver& Receiver(const std::string& stream, bool whole, bool codec,
                           std::unique_ptr<ScriptedReceiver>& own) {
    static auto* reusedWhole = new ScriptedReceiver(kWholeStream);
    static auto* reusedPieces = new ScriptedReceiver(0);
    if (codec || (whole && stream.size() > kWholeStream)) {
        own = std::make_unique<ScriptedReceiver>(whole ? unsigned(stream.size()) : 0);
        return *own;
    }
    ScriptedReceiver& receiver = whole ? *reusedWhole : *reusedPieces;
    receiver.Reset();
    return receiver;
}

Outcome Run(const std::string& stream, const Splits* splits, uint8_t flags) {
    std::unique_ptr<ScriptedReceiver> own;
    ScriptedReceiver& receiver = Receiver(stream, splits == nullptr, (flags & 2) != 0, own);
    receiver.SetReceivingSequencePackets((flags & 1) != 0);
    if ((flags & 4) != 0) {
        receiver.IncrementNotifyDataReceived();
    }
    // One collector per mode, kept between inputs: a run of one-byte reads with data-received
    // notifications records tens of thousands of entries, and growing a fresh list for each
    // input costs more than the reads.
    static Collector collectors[2];
    Collector& collector = collectors[splits == nullptr ? 1 : 0];
    collector.seen.clear();
    receiver.Add(&collector);
    if (splits == nullptr) {
        receiver.source.Push(stream);
    } else {
        receiver.source.Push(stream, *splits);
    }
    receiver.ReadAll();
    Outcome outcome;
    outcome.accepted = receiver.isAccepted();
    const bool notifying = (flags & 4) != 0;
    (notifying ? outcome.notifications : outcome.messages).reserve(collector.seen.size());
    for (Seen& seen : collector.seen) {
        const bool notification = seen.type == kMsgDataReceived || seen.type == kMsgDataProcessed;
        (notification ? outcome.notifications : outcome.messages).push_back(std::move(seen));
    }
    receiver.Remove(&collector);
    return outcome;
}

void CheckNotifications(const Outcome& outcome, size_t streamSize, bool on) {
    if (!on) {
        FUZZ_CHECK(outcome.notifications.empty(), "data-received notifications while off");
        return;
    }
    size_t counted = 0;
    bool open = false;
    for (const Seen& seen : outcome.notifications) {
        if (seen.type == kMsgDataReceived) {
            FUZZ_CHECK(!open && seen.bytes.size() == 8, "60013 inside a read, or malformed");
            counted += Message::At(seen.bytes.data())->ReadU32(4);
            open = true;
        } else {
            FUZZ_CHECK(open && seen.bytes.size() == 4, "60014 without its 60013");
            open = false;
        }
    }
    FUZZ_CHECK(!open, "a read was never closed by 60014");
    FUZZ_CHECK(counted == streamSize, "60013 counted %zu of %zu bytes", counted, streamSize);
}

}  // namespace
}  // namespace veltonet::fuzz

using namespace veltonet;
using namespace veltonet::fuzz;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    InitializeEnvironment(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitializeEnvironment(true);
    Input input(data, size);
    const uint8_t flags = input.Byte();
    const Splits splits = Splits::Read(input);
    TCPReceiver::SetUncompressFunction((flags & 2) != 0 ? CodecUncompress() : nullptr);
    // Kept between inputs, as the receivers' byte sources are: growing fresh strings of up to
    // 256 KiB for each input costs more than reading them.
    static std::string stream;
    stream.clear();
    if ((flags & 8) != 0) {
        BuildSegments(input, stream);
    } else {
        stream = input.Rest();
    }

    const Outcome whole = Run(stream, nullptr, flags);
    const Outcome pieces = Run(stream, &splits, flags);

    FUZZ_CHECK(whole.messages.size() == pieces.messages.size(),
               "%zu messages in one piece, %zu in pieces", whole.messages.size(),
               pieces.messages.size());
    for (size_t i = 0; i < whole.messages.size(); ++i) {
        FUZZ_CHECK(whole.messages[i] == pieces.messages[i], "message %zu differs (types %u, %u)", i,
                   whole.messages[i].type, pieces.messages[i].type);
    }
    FUZZ_CHECK(whole.accepted == pieces.accepted, "accepted state differs");
    for (const Seen& seen : pieces.messages) {
        FUZZ_CHECK(seen.type != kMsgCompressedAggregate, "an aggregate reached observers");
        FUZZ_CHECK((flags & 1) == 0 || seen.type != kMsgSequencedPacket,
                   "a sequenced packet reached observers while packets are unpacked");
    }
    CheckNotifications(pieces, stream.size(), (flags & 4) != 0);
    CheckNotifications(whole, stream.size(), (flags & 4) != 0);
    TCPReceiver::SetUncompressFunction(nullptr);
    return 0;
}
