// Micro-benchmarks of the library's hot paths, each beside a plain baseline that does the
// same work without the library: framing a read into messages, queueing bytes on the send
// list, the fan-out walk over a subscription's members, making and deleting a listener's client
// (an accept's own work), and subscription requests at 10^5 subscriptions. Built on the library's
// objects (veltonet_core) to reach internal classes.
//
// Names are "<case>/veltonet" and "<case>/raw": the driver pairs them. Items are messages,
// appends, member deliveries or requests, so items per second gives the cost of one.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/BenchSupport.h"
#include "support/RawSocket.h"
#include "veltonet/companion/Message.h"
#include "veltonet/companion/Observer.h"
#include "veltonet/listener/Client.h"
#include "veltonet/listener/ClientSet.h"
#include "veltonet/listener/Listener.h"
#include "veltonet/tcp/SendList.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace {

using veltonet::Client;
using veltonet::ClientSet;
using veltonet::Listener;
using veltonet::Message;
using veltonet::Observable;
using veltonet::Observer;
using veltonet::TCPReceiver;

constexpr unsigned kMessageSize = 64;
constexpr unsigned kReadSize = 65536;
constexpr unsigned kMessagesPerRead = kReadSize / kMessageSize;

std::string ReadOfMessages() {
    std::string bytes;
    for (unsigned i = 0; i < kMessagesPerRead; ++i) {
        bytes += bench::MakeMessage(kMessageSize, bench::kTypeData, i);
    }
    return bytes;
}

// ---- framing ----

// The receive path's framing, reached without a socket. The receiver stays a plain
// TCPReceiver (a subclass frames through its virtual hooks); the probe only names the
// protected member.
struct FramingProbe : TCPReceiver {
    using TCPReceiver::ReceiveBuffer;
};

class CountingObserver : public Observer {
  public:
    void OnMessage(const Message* message, Observable* /*source*/) override {
        count += message->GetType() == bench::kTypeData ? 1 : 0;
    }
    uint64_t count = 0;
};

void FramingVeltonet(benchmark::State& state) {
    const std::string read = ReadOfMessages();
    TCPReceiver receiver("framing", "", 0, 0, true);
    const auto receiveBuffer = &FramingProbe::ReceiveBuffer;
    CountingObserver observer;
    receiver.Add(&observer);
    for (auto _ : state) {
        const unsigned consumed = (receiver.*receiveBuffer)(read.data(), unsigned(read.size()));
        benchmark::DoNotOptimize(consumed);
    }
    receiver.Remove(&observer);
    state.SetItemsProcessed(int64_t(state.iterations()) * kMessagesPerRead);
    if (observer.count != uint64_t(state.iterations()) * kMessagesPerRead) {
        state.SkipWithError("messages lost");
    }
}

// The baseline hands each message to a callback through a pointer, as an observer gets it.
using MessageCallback = void (*)(void* context, const char* message);

void CountMessage(void* context, const char* message) {
    *static_cast<uint64_t*>(context) += bench::ReadU16(message + 2) == bench::kTypeData ? 1 : 0;
}

void FramingRaw(benchmark::State& state) {
    const std::string read = ReadOfMessages();
    uint64_t count = 0;
    MessageCallback callback = CountMessage;
    benchmark::DoNotOptimize(callback);
    for (auto _ : state) {
        const size_t consumed = bench::raw::Frame(
            read.data(), read.size(), [&](const char* m, size_t) { callback(&count, m); });
        benchmark::DoNotOptimize(consumed);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kMessagesPerRead);
    benchmark::DoNotOptimize(count);
}

// ---- send list ----

// Appends of 64 bytes while the socket takes 64 KiB now and then: the steady state of a
// connection whose kernel buffer is full.
void SendListVeltonet(benchmark::State& state) {
    veltonet::SendList list(65535, 1048575, 15);
    const std::string message = bench::MakeMessage(kMessageSize, bench::kTypeData, 0);
    uint64_t appended = 0;
    for (auto _ : state) {
        list.Append(message.data(), kMessageSize);
        if (++appended % kMessagesPerRead == 0) {
            list.Consume(kReadSize);
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void SendListRaw(benchmark::State& state) {
    std::vector<char> queue(2 * kReadSize);
    size_t head = 0;
    size_t tail = 0;
    const std::string message = bench::MakeMessage(kMessageSize, bench::kTypeData, 0);
    for (auto _ : state) {
        if (tail + kMessageSize > queue.size()) {
            std::memmove(queue.data(), queue.data() + head, tail - head);
            tail -= head;
            head = 0;
        }
        std::memcpy(queue.data() + tail, message.data(), kMessageSize);
        tail += kMessageSize;
        if (tail - head >= kReadSize) {
            head += kReadSize;
        }
        benchmark::DoNotOptimize(queue.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// ---- fan-out and subscriptions ----

// A listener whose clients are admitted without connections: their sends land in their
// accumulation buffers, which is the whole of the fan-out's own work.
class ListenerProbe : public Listener {
  public:
    explicit ListenerProbe(unsigned identifiers)
        : Listener("probe", identifiers, 1, 0, true, 0, 0, false) {}
    using Listener::AddPendingClient;
    using Listener::SendBufferToClients;
};

class ClientProbe : public Client {
  public:
    explicit ClientProbe(Listener* listener) : Client(listener, 0, 0, false) {}
    using Client::Parse;
};

void FanOutVeltonet(benchmark::State& state) {
    const auto members = unsigned(state.range(0));
    ListenerProbe listener(1);
    std::vector<Client*> clients;
    for (unsigned i = 0; i < members; ++i) {
        auto* client = new Client(&listener, 0, 0, false);  // as an accept makes it
        listener.AddPendingClient(client);                  // auto-accept admits it at once
        listener.Subscribe(client, 0, nullptr);
        clients.push_back(client);
    }
    auto* set = const_cast<ClientSet*>(listener.FindSubscription(0, nullptr));
    const std::string message = bench::MakeMessage(kMessageSize, bench::kTypeData, 0);
    // Each accumulation buffer takes 1023 messages; emptied before it would flush.
    const unsigned perBuffer = clients.front()->GetBufferLength() / kMessageSize;
    unsigned sent = 0;
    for (auto _ : state) {
        listener.SendBufferToClients(set, message.data(), kMessageSize, false);
        if (++sent == perBuffer) {
            sent = 0;
            for (Client* client : clients) {
                client->ClearBuffer();
            }
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * members);
    listener.Disconnect();  // deletes the clients
}

void FanOutRaw(benchmark::State& state) {
    const auto members = unsigned(state.range(0));
    struct Member {
        std::unique_ptr<char[]> buffer{new char[65535]};
        unsigned used = 0;
    };
    std::vector<Member> set(members);
    const std::string message = bench::MakeMessage(kMessageSize, bench::kTypeData, 0);
    const unsigned perBuffer = 65535 / kMessageSize;
    unsigned sent = 0;
    for (auto _ : state) {
        for (Member& member : set) {
            std::memcpy(member.buffer.get() + member.used, message.data(), kMessageSize);
            member.used += kMessageSize;
        }
        if (++sent == perBuffer) {
            sent = 0;
            for (Member& member : set) {
                member.used = 0;
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * members);
}

// What an accept costs the listener besides the socket calls: a client made and deleted.
void ClientCreateVeltonet(benchmark::State& state) {
    ListenerProbe listener(1);
    for (auto _ : state) {
        auto* client = new Client(&listener, 0, 0, false);
        benchmark::DoNotOptimize(client);
        delete client;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// The baseline keeps a descriptor and a few flags per connection.
void ClientCreateRaw(benchmark::State& state) {
    struct Connection {
        int fd = -1;
        uint32_t flags = 0;
    };
    for (auto _ : state) {
        auto* connection = new Connection;
        benchmark::DoNotOptimize(connection);
        delete connection;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

constexpr unsigned kSubscriptions = 100000;
constexpr unsigned kSubscribers = 100;

// 100 clients hold 10^5 subscriptions between them; a further client subscribes to one
// identifier and unsubscribes again through its request path (the 60004 and 60005 messages
// as the receive path hands them over), cycling through every identifier.
void SubscriptionVeltonet(benchmark::State& state) {
    ListenerProbe listener(kSubscriptions);
    std::vector<ClientProbe*> clients;
    char request[8];
    for (unsigned c = 0; c <= kSubscribers; ++c) {
        auto* client = new ClientProbe(&listener);
        listener.AddPendingClient(client);
        clients.push_back(client);
    }
    for (unsigned id = 0; id < kSubscriptions; ++id) {
        Message::WriteHeader(request, 8, veltonet::kMsgSubscribe);
        Message::WriteU32(request + 4, id);
        clients[id % kSubscribers]->Parse(request, 8);
    }
    ClientProbe* probe = clients.back();
    char subscribe[8];
    char unsubscribe[8];
    Message::WriteHeader(subscribe, 8, veltonet::kMsgSubscribe);
    Message::WriteHeader(unsubscribe, 8, veltonet::kMsgUnsubscribe);
    unsigned id = 0;
    for (auto _ : state) {
        Message::WriteU32(subscribe + 4, id);
        Message::WriteU32(unsubscribe + 4, id);
        benchmark::DoNotOptimize(probe->Parse(subscribe, 8));
        benchmark::DoNotOptimize(probe->Parse(unsubscribe, 8));
        id = id + 1 == kSubscriptions ? 0 : id + 1;
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 2);
    if (listener.SubscriptionExists(kSubscriptions - 1, nullptr) == false) {
        state.SkipWithError("subscriptions missing");
    }
    listener.Disconnect();
}

// The same tables as flat vectors: members per identifier, identifiers per client.
void SubscriptionRaw(benchmark::State& state) {
    std::vector<std::vector<unsigned>> members(kSubscriptions);
    std::vector<std::vector<unsigned>> identifiers(kSubscribers + 1);
    auto add = [&](unsigned client, unsigned id) {
        members[id].push_back(client);
        identifiers[client].push_back(id);
    };
    auto remove = [&](unsigned client, unsigned id) {
        auto& m = members[id];
        for (size_t i = 0; i < m.size(); ++i) {
            if (m[i] == client) {
                m[i] = m.back();
                m.pop_back();
                break;
            }
        }
        auto& ids = identifiers[client];
        for (size_t i = 0; i < ids.size(); ++i) {
            if (ids[i] == id) {
                ids[i] = ids.back();
                ids.pop_back();
                break;
            }
        }
    };
    for (unsigned id = 0; id < kSubscriptions; ++id) {
        add(id % kSubscribers, id);
    }
    unsigned id = 0;
    for (auto _ : state) {
        add(kSubscribers, id);
        remove(kSubscribers, id);
        benchmark::DoNotOptimize(members[id].data());
        id = id + 1 == kSubscriptions ? 0 : id + 1;
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 2);
}

}  // namespace

BENCHMARK(FramingVeltonet)->Name("framing_64B/veltonet");
BENCHMARK(FramingRaw)->Name("framing_64B/raw");
BENCHMARK(SendListVeltonet)->Name("sendlist_append_64B/veltonet");
BENCHMARK(SendListRaw)->Name("sendlist_append_64B/raw");
BENCHMARK(FanOutVeltonet)->Name("fanout_per_member/veltonet")->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(FanOutRaw)->Name("fanout_per_member/raw")->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(ClientCreateVeltonet)->Name("client_create_delete/veltonet");
BENCHMARK(ClientCreateRaw)->Name("client_create_delete/raw");
BENCHMARK(SubscriptionVeltonet)->Name("subscription_add_remove_1e5/veltonet");
BENCHMARK(SubscriptionRaw)->Name("subscription_add_remove_1e5/raw");

int main(int argc, char** argv) {
    // Receivers open their error log; keep it out of the user's folders.
    if (std::getenv("VELTONET_LOG_DIR") == nullptr) {
        setenv("VELTONET_LOG_DIR", "/tmp/veltonet-bench-logs", 1);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
