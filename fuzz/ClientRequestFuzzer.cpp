// A listener's client parsing the byte stream from its peer: subscribe (60004) and unsubscribe
// (60005) requests among any other bytes, in fuzzer-chosen reads.
//
// Input: [flags][split count][split lengths...][stream]. Flags: bits 0-2 the length of the
// unnamed table less one, bits 3-5 that of the named table less one, bit 6 the client is
// admitted (else it stays pending), bit 7 the stream is built from requests (below).
//
// The expected outcome comes from a model, not from the client: the messages a plain receiver
// frames from the same bytes, with each request applied to a set of (identifier, name) pairs.
// A request that changes the set reaches observers exactly when its identifier is inside its
// table; the others are consumed. Invariants: the client delivers exactly what the model says,
// its records equal the model's set, the listener's sets hold it exactly for the recorded
// pairs inside the tables, and once the client is gone every subscription set is empty.
#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/listener/Client.h"
#include "veltonet/listener/ClientSet.h"
#include "veltonet/listener/Listener.h"

namespace veltonet::fuzz {
namespace {

// Room for the whole stream in one read, and no more: a larger buffer only costs time.
struct ScriptedReceiver : Scripted<TCPReceiver> {
    explicit ScriptedReceiver(size_t streamSize)
        : Scripted("reference", "127.0.0.1", 1, 0, true, unsigned(streamSize)) {}
};

struct ScriptedClient : Scripted<Client> {
    explicit ScriptedClient(Listener* listener) : Scripted(listener, 0, 0, false) {}
};

// Gives the test the listener's way of taking a client in.
class ScriptedListener : public Listener {
  public:
    ScriptedListener(unsigned int identifierCount, unsigned int namedCount, bool autoAccept)
        : Listener("fuzz", identifierCount, namedCount, 0, autoAccept, 0, 0, false) {
        SetLog(nullptr, nullptr);
    }
    using Listener::AddPendingClient;
};

// A subscription as the model keeps it: the name is absent (nullopt-like flag) or a string.
struct Pair {
    uint32_t identifier;
    bool named;
    std::string name;
    bool operator==(const Pair& other) const = default;
    bool operator<(const Pair& other) const {
        return std::tie(identifier, named, name) <
               std::tie(other.identifier, other.named, other.name);
    }
};

std::string Request(uint16_t type, uint32_t identifier, const std::string& name) {
    std::string bytes(8, '\0');
    Message::WriteHeader(bytes.data(), uint16_t(8 + name.size()), type);
    Message::WriteU32(bytes.data() + 4, identifier);
    return bytes + name;
}

// Requests: [op][identifier byte][name length][name]; op picks subscribe or unsubscribe, with
// or without a name, or a short request, or a few bytes of anything.
std::string BuildRequests(Input& input) {
    std::string stream;
    while (!input.Empty()) {
        const uint8_t op = input.Byte();
        const uint32_t identifier = input.Byte() % 12;  // around the table lengths
        const uint16_t type = (op & 1) != 0 ? kMsgSubscribe : kMsgUnsubscribe;
        switch ((op >> 1) % 4) {
            case 0:
                stream += Request(type, identifier, "");
                break;
            case 1:
                stream += Request(type, identifier, input.Bytes(input.Byte() % 8));
                break;
            case 2: {  // shorter than a complete identifier
                std::string bytes(4 + op % 4, '\0');
                Message::WriteHeader(bytes.data(), uint16_t(bytes.size()), type);
                stream += bytes;
                break;
            }
            default:
                stream += input.Bytes(input.Byte() % 16);
                break;
        }
    }
    return stream;
}

// What the listener's tables hold for this client, walked over every pair the model knows.
bool ListenerHolds(const Listener& listener, const Client* client, const Pair& pair) {
    const ClientSet* set =
        listener.FindSubscription(pair.identifier, pair.named ? pair.name.c_str() : nullptr);
    return set != nullptr && set->Contains(const_cast<Client*>(client));
}

}  // namespace
}  // namespace veltonet::fuzz

using namespace veltonet;
using namespace veltonet::fuzz;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    InitializeEnvironment(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitializeEnvironment(false);
    TCPReceiver::SetUncompressFunction(nullptr);
    Input input(data, size);
    const uint8_t flags = input.Byte();
    const unsigned int identifierCount = (flags & 7) + 1;
    const unsigned int namedCount = ((flags >> 3) & 7) + 1;
    const bool admitted = (flags & 0x40) != 0;
    const Splits splits = Splits::Read(input);
    const std::string stream = (flags & 0x80) != 0 ? BuildRequests(input) : input.Rest();

    // The framing reference: what a receiver that interprets no request delivers.
    std::vector<Seen> framed;
    {
        ScriptedReceiver reference(stream.size());
        Collector collector;
        reference.Add(&collector);
        reference.source.Push(stream);
        while (!reference.source.Empty()) {
            reference.OnReceive(0);
        }
        reference.Remove(&collector);
        framed = std::move(collector.seen);
    }

    // The model.
    std::set<Pair> recorded;
    std::vector<Seen> expected;
    std::set<Pair> touched;  // every pair ever named, to look the tables up afterwards
    for (Seen& seen : framed) {
        if (seen.type != kMsgSubscribe && seen.type != kMsgUnsubscribe) {
            expected.push_back(std::move(seen));
            continue;
        }
        if (seen.bytes.size() < 8) {
            continue;  // no complete identifier: consumed
        }
        Pair pair{Message::At(seen.bytes.data())->ReadU32(4), seen.bytes.size() > 8, ""};
        if (pair.named) {
            const std::string rest = seen.bytes.substr(8);
            pair.name = rest.substr(0, rest.find('\0'));
        }
        touched.insert(pair);
        const bool subscribe = seen.type == kMsgSubscribe;
        const bool known = recorded.count(pair) != 0;
        if (known == subscribe) {
            continue;  // a repeated subscribe or an unsubscribe of nothing
        }
        if (subscribe) {
            recorded.insert(pair);
        } else {
            recorded.erase(pair);
        }
        if (pair.identifier < (pair.named ? namedCount : identifierCount)) {
            expected.push_back(std::move(seen));
        }
    }

    auto* listener = new ScriptedListener(identifierCount, namedCount, admitted);
    auto* client = new ScriptedClient(listener);
    listener->AddPendingClient(client);
    FUZZ_CHECK(client->isPending() != admitted, "admission state");
    Collector collector;
    client->Add(&collector);
    client->source.Push(stream, splits);
    for (int rounds = 0; !client->source.Empty(); ++rounds) {
        FUZZ_CHECK(rounds < 1 << 20, "client stopped reading");
        client->OnReceive(0);
    }

    FUZZ_CHECK(collector.seen.size() == expected.size(), "client delivered %zu, model %zu",
               collector.seen.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        FUZZ_CHECK(collector.seen[i] == expected[i], "delivery %zu differs (types %u, %u)", i,
                   collector.seen[i].type, expected[i].type);
    }
    std::set<Pair> records;
    for (uint32_t identifier : client->GetIdentifiers()) {
        records.insert({identifier, false, ""});
    }
    for (const auto& [name, identifiers] : client->GetNamedIdentifiers()) {
        FUZZ_CHECK(!identifiers.empty(), "a name with no identifier is kept");
        for (uint32_t identifier : identifiers) {
            records.insert({identifier, true, name});
        }
    }
    FUZZ_CHECK(records == recorded, "client records %zu pairs, model %zu", records.size(),
               recorded.size());
    for (const Pair& pair : touched) {
        const bool inTable = pair.identifier < (pair.named ? namedCount : identifierCount);
        const bool expectedMember = inTable && recorded.count(pair) != 0;
        FUZZ_CHECK(ListenerHolds(*listener, client, pair) == expectedMember,
                   "listener set for %u (%s) disagrees", pair.identifier,
                   pair.named ? "named" : "unnamed");
    }

    // The client's end undoes every subscription; the sets themselves stay.
    client->Remove(&collector);
    listener->Disconnect();
    FUZZ_CHECK(listener->GetClientCount() == 0 && listener->GetPendingClientCount() == 0,
               "clients left after disconnect");
    for (const Pair& pair : touched) {
        const ClientSet* set =
            listener->FindSubscription(pair.identifier, pair.named ? pair.name.c_str() : nullptr);
        FUZZ_CHECK(set == nullptr || set->GetCount() == 0, "subscription set not emptied");
    }
    delete listener;
    return 0;
}
