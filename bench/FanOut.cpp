// Fan-out: one publisher sends 64-byte messages to N subscribers, each on its own TCP
// connection; the subscribers live in a peer process and count what they get.
//
//   velto-bench-fanout run --contender velto|raw|zmq --n N --count M --seconds T
//                          [--pin 0|1|2] [--lossless 0|1]
//   velto-bench-fanout sub --kind raw|zmq --port P --n N --count M --seconds T --cpu C
//
// veltonet: a Listener with one subscription identifier; each subscriber connects, waits for
// the acceptance (60011) and sends a subscribe request (60004, identifier 0). The publisher
// appends with R_ListenerSendSubscription and flushes every kBatch messages with
// R_ListenerForceSendBufferToClients; when a client's send list holds more than a few chunks
// of bytes the kernel did not take, it runs the loop instead of producing more, so that no
// send list overflows.
// raw: the same protocol over epoll and send: each batch is written to every subscriber
// straight from one buffer, and only what the kernel refuses is copied; a subscriber with
// more than about as many bytes waiting is waited for in the same way.
// zmq: PUB and N SUB sockets with a 4-byte prefix filter (the message header); the default
// high-water mark drops what a slow subscriber cannot take, and the subscribers count the
// holes in the sequence numbers. With --lossless 1 the publisher is an XPUB with
// ZMQ_XPUB_NODROP, whose send waits at the high-water mark instead: zmq's fan-out without
// losses, for comparison.
//
// Deliveries per second are counted by the subscribers: messages received over the time from
// the first to the last one, summed over subscribers. Drops are reported apart.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "support/BenchSupport.h"
#include "support/RawSocket.h"
#include "support/ZmqSocket.h"
#include "veltonet/receiver.h"

namespace {

using namespace bench;

constexpr uint16_t kMessageSize = 64;
constexpr uint64_t kBatch = 512;  // messages between flushes: 32 KiB per subscriber
constexpr int kStartMs = 20000;
// The zmq subscribers know no end of stream: they stop once nothing came for this long.
constexpr uint64_t kIdleEndNs = 300000000u;
// The zmq publisher sends probes until every subscriber has one: its subscriptions are in.
constexpr uint32_t kProbe = 0xFFFFFFFFu;

struct Settings {
    uint64_t n = 10;
    uint64_t count = 100000;
    uint64_t seconds = 5;
    Pinning pin = Pinning::kSeparate;
    bool lossless = false;  // zmq only: XPUB with ZMQ_XPUB_NODROP
};

Peer StartSubscribers(const char* kind, uint16_t port, const Settings& settings) {
    return Peer({"sub", "--kind", kind, "--port", std::to_string(port), "--n",
                 std::to_string(settings.n), "--count", std::to_string(settings.count), "--seconds",
                 std::to_string(settings.seconds), "--cpu", std::to_string(PeerCpu(settings.pin))});
}

// ---- contender (a): veltonet Listener ----

struct VeltoPublisher {
    uint64_t subscribed = 0;
    uint64_t gone = 0;
};

void R_CALL OnListenerMessage(void* context, void* /*observable*/, const void* message) {
    auto* state = static_cast<VeltoPublisher*>(context);
    const uint16_t type = ReadU16(static_cast<const char*>(message) + 2);
    if (type == kTypeSubscribe) {
        ++state->subscribed;
    } else if (type == kTypeDisconnected) {
        ++state->gone;
    }
}

// Runs the loop while a client holds more than kQueuedChunks chunks of bytes that its socket
// did not take (about 192 KiB), or, with everything set, any byte at all.
constexpr uint32_t kQueuedChunks = 2;

bool DrainVelto(void* iterator, uint64_t deadline, bool everything) {
    for (;;) {
        bool backlog = false;
        while (void* client = R_GetCurrentClientAndIncrement(iterator)) {
            // The walk always runs to its end, so that the iterator starts over next time.
            backlog = backlog || (everything ? !R_IsReceiverSendBufferEmpty(client)
                                             : R_GetSendListCount(client) > kQueuedChunks);
        }
        if (!backlog) {
            return true;
        }
        if (NowNs() >= deadline) {
            return false;
        }
        RX_ProcessEvents(10);
    }
}

Json PublishVelto(const Settings& settings, uint64_t deadline) {
    R_ReceiverInitialize();
    VeltoPublisher state;
    void* observer = RX_CreateObserver(OnListenerMessage, &state);
    void* listener = R_CreateListener("fanout", 1, 0, 0, true, 0, 0, false);
    if (observer == nullptr || listener == nullptr || !R_ConnectReceiver(listener)) {
        Die("veltonet listener not started");
    }
    RX_AddObserver(listener, observer);
    Peer subscribers = StartSubscribers("raw", R_GetReceiverLocalPort(listener), settings);
    const uint64_t startDeadline = NowNs() + uint64_t(kStartMs) * 1000000u;
    while (state.subscribed < settings.n && NowNs() < startDeadline) {
        RX_ProcessEvents(10);
    }
    subscribers.Expect("ready", kStartMs);
    void* iterator = R_CreateListenerClientIterator(listener);
    std::string message = MakeMessage(kMessageSize, kTypeData, 0);
    bool drained = true;
    const uint64_t start = NowNs();
    const double cpuStart = CpuSeconds();
    for (uint64_t seq = 0; seq < settings.count && drained; ++seq) {
        WriteU32(message.data() + 4, uint32_t(seq));
        R_ListenerSendSubscription(listener, 0, nullptr, message.data(), kMessageSize);
        const bool last = seq + 1 == settings.count;
        if ((seq + 1) % kBatch == 0 || last) {
            R_ListenerForceSendBufferToClients(listener);
            RX_ProcessEvents(0);
            drained = DrainVelto(iterator, deadline, last);
        }
    }
    const double publishSeconds = double(NowNs() - start) / 1e9;
    const uint64_t clients = R_GetListenerClientCount(listener);
    R_DestroyListenerClientIterator(listener, iterator);
    R_DeleteReceiver(listener);  // closes every client: the subscribers see the end
    RX_DestroyObserver(observer);
    R_ReceiverTerminate();
    const std::string report = subscribers.Expect("result", 2000 + int(settings.seconds) * 1000);
    const double cpu = CpuSeconds() - cpuStart;
    subscribers.Wait(5000);
    Json result;
    result.Integer("subscribed", int64_t(state.subscribed))
        .Integer("clients_at_end", int64_t(clients))
        .Integer("clients_lost", int64_t(settings.n - std::min(settings.n, clients)))
        .Bool("publisher_drained", drained)
        .Number("publish_seconds", publishSeconds)
        .Number("cpu_seconds", cpu)
        .Raw("subscribers", report);
    return result;
}

// ---- contender (b): epoll and send ----

struct RawConnection {
    int fd = -1;
    bool subscribed = false;
    bool polled = false;  // in the poller, waiting to be writable
    std::string pending;  // what the kernel did not take yet
    size_t sentFrom = 0;  // bytes of pending already sent
};

// Writes what a connection holds; answers false when the connection failed.
bool FlushRaw(RawConnection& connection) {
    while (connection.sentFrom < connection.pending.size()) {
        const ssize_t n =
            send(connection.fd, connection.pending.data() + connection.sentFrom,
                 connection.pending.size() - connection.sentFrom, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        connection.sentFrom += size_t(n);
    }
    connection.pending.clear();
    connection.sentFrom = 0;
    return true;
}

Json PublishRaw(const Settings& settings, uint64_t deadline) {
    uint16_t port = 0;
    const int listenFd = raw::Listen(&port, 4096, true);
    raw::Epoll poller;
    poller.Add(listenFd, EPOLLIN, ~uint64_t(0));
    Peer subscribers = StartSubscribers("raw", port, settings);
    std::vector<std::unique_ptr<RawConnection>> connections;
    uint64_t subscribed = 0;
    epoll_event events[64];
    const uint64_t startDeadline = NowNs() + uint64_t(kStartMs) * 1000000u;
    char accepted[4];
    WriteHeader(accepted, 4, kTypeAccepted);
    while (subscribed < settings.n && NowNs() < startDeadline) {
        const int ready = poller.Wait(events, 64, 10);
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.u64 == ~uint64_t(0)) {
                for (;;) {
                    const int fd =
                        accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (fd < 0) {
                        break;
                    }
                    auto connection = std::make_unique<RawConnection>();
                    connection->fd = fd;
                    raw::SendAll(fd, accepted, sizeof(accepted));
                    poller.Add(fd, EPOLLIN, connections.size());
                    connections.push_back(std::move(connection));
                }
                continue;
            }
            RawConnection& connection = *connections[events[i].data.u64];
            char request[8];
            const ssize_t n = recv(connection.fd, request, sizeof(request), MSG_PEEK);
            if (n == 8 && ReadU16(request + 2) == kTypeSubscribe && ReadU32(request + 4) == 0) {
                recv(connection.fd, request, sizeof(request), 0);
                connection.subscribed = true;
                ++subscribed;
                poller.Remove(connection.fd);
            }
        }
    }
    subscribers.Expect("ready", kStartMs);
    // One batch of messages, written to every subscriber from this one buffer.
    std::string batch;
    for (uint64_t i = 0; i < kBatch; ++i) {
        batch += MakeMessage(kMessageSize, kTypeData, 0);
    }
    // Above this many unsent bytes a subscriber is waited for rather than fed more.
    constexpr size_t kHighWater = 192 * 1024;
    bool failed = false;
    const uint64_t start = NowNs();
    const double cpuStart = CpuSeconds();
    for (uint64_t seq = 0; seq < settings.count && !failed;) {
        const size_t n = size_t(std::min<uint64_t>(kBatch, settings.count - seq));
        for (size_t i = 0; i < n; ++i) {
            WriteU32(batch.data() + i * kMessageSize + 4, uint32_t(seq + i));
        }
        const size_t length = n * kMessageSize;
        for (auto& connection : connections) {
            if (connection->pending.empty()) {
                const ssize_t sent =
                    send(connection->fd, batch.data(), length, MSG_NOSIGNAL | MSG_DONTWAIT);
                const size_t taken = sent > 0 ? size_t(sent) : 0;
                if (sent < 0 && errno != EAGAIN && errno != EINTR) {
                    failed = true;
                }
                if (taken < length) {
                    connection->pending.assign(batch.data() + taken, length - taken);
                }
            } else {
                connection->pending.append(batch.data(), length);
                failed |= !FlushRaw(*connection);
            }
        }
        seq += n;
        // Wait for the subscribers that fell behind, each woken by its own writability.
        for (;;) {
            size_t behind = 0;
            for (size_t i = 0; i < connections.size(); ++i) {
                RawConnection& connection = *connections[i];
                const bool wait = connection.pending.size() - connection.sentFrom > kHighWater ||
                                  (seq == settings.count && !connection.pending.empty());
                if (wait) {
                    failed |= !FlushRaw(connection);
                }
                const bool stillBehind = wait && !connection.pending.empty();
                if (stillBehind && !connection.polled) {
                    poller.Add(connection.fd, EPOLLOUT, i);
                } else if (!stillBehind && connection.polled) {
                    poller.Remove(connection.fd);
                }
                connection.polled = stillBehind;
                behind += stillBehind ? 1 : 0;
            }
            if (behind == 0 || failed || NowNs() >= deadline) {
                break;
            }
            poller.Wait(events, 64, 10);
        }
        if (NowNs() >= deadline) {
            failed = true;
        }
    }
    const double publishSeconds = double(NowNs() - start) / 1e9;
    for (auto& connection : connections) {
        close(connection->fd);
    }
    close(listenFd);
    const std::string report = subscribers.Expect("result", 2000 + int(settings.seconds) * 1000);
    const double cpu = CpuSeconds() - cpuStart;
    subscribers.Wait(5000);
    Json result;
    result.Integer("subscribed", int64_t(subscribed))
        .Bool("publisher_drained", !failed)
        .Number("publish_seconds", publishSeconds)
        .Number("cpu_seconds", cpu)
        .Raw("subscribers", report);
    return result;
}

// ---- contender (c): zmq PUB ----

Json PublishZmq(const Settings& settings, uint64_t /*deadline*/) {
    void* context = zmq::NewContext();
    // Lossless: an XPUB whose send blocks at the high-water mark instead of dropping.
    void* pub = zmq::NewSocket(context, settings.lossless ? ZMQ_XPUB : ZMQ_PUB);
    zmq::SetInt(pub, ZMQ_LINGER, 0);
    if (settings.lossless) {
        zmq::SetInt(pub, ZMQ_XPUB_NODROP, 1);
    }
    const uint16_t port = zmq::BindLoopback(pub);
    Peer subscribers = StartSubscribers("zmq", port, settings);
    std::string message = MakeMessage(kMessageSize, kTypeData, kProbe);
    // Subscriptions travel asynchronously: probe until every subscriber has seen one.
    std::string line;
    bool ready = false;
    const uint64_t startDeadline = NowNs() + uint64_t(kStartMs) * 1000000u;
    while (!ready && NowNs() < startDeadline) {
        zmq_send(pub, message.data(), kMessageSize, ZMQ_DONTWAIT);
        if (subscribers.Receive(line, 2)) {
            ready = line == "ready";
        }
    }
    if (!ready) {
        Die("zmq subscribers not ready");
    }
    const uint64_t start = NowNs();
    const double cpuStart = CpuSeconds();
    for (uint64_t seq = 0; seq < settings.count; ++seq) {
        WriteU32(message.data() + 4, uint32_t(seq));
        zmq_send(pub, message.data(), kMessageSize, 0);
    }
    const double publishSeconds = double(NowNs() - start) / 1e9;
    const std::string report = subscribers.Expect("result", 2000 + int(settings.seconds) * 1000);
    const double cpu = CpuSeconds() - cpuStart;
    subscribers.Wait(5000);
    zmq_close(pub);
    zmq_ctx_term(context);
    Json result;
    result.Number("publish_seconds", publishSeconds)
        .Number("cpu_seconds", cpu)
        .Raw("subscribers", report);
    return result;
}

int Run(const Args& args) {
    Settings settings;
    const std::string contender = args.Text("contender", "velto");
    settings.n = args.Number("n", 10);
    settings.count = args.Number("count", 100000);
    settings.seconds = args.Number("seconds", 5);
    settings.pin = PinningOf(args.Number("pin", 1));
    settings.lossless = args.Number("lossless", 0) != 0;
    HardDeadline(unsigned(settings.seconds) * 2 + 40);
    RaiseDescriptorLimit(4096);
    PinToCpu(OwnCpu(settings.pin));
    const uint64_t deadline = NowNs() + settings.seconds * 1000000000u;
    Json detail;
    if (contender == "velto") {
        detail = PublishVelto(settings, deadline);
    } else if (contender == "raw") {
        detail = PublishRaw(settings, deadline);
    } else if (contender == "zmq") {
        detail = PublishZmq(settings, deadline);
    } else {
        Die("unknown contender " + contender);
    }
    Json result;
    result.Text("workload", "fanout")
        .Text("contender", contender)
        .Bool("lossless", settings.lossless)
        .Integer("n", int64_t(settings.n))
        .Integer("count", int64_t(settings.count))
        .Raw("publisher", detail.Str());
    PrintResult(result);
    return 0;
}

// ---- the peer: N subscribers ----

struct Subscription {
    uint64_t received = 0;
    uint64_t missing = 0;  // holes in the sequence numbers
    uint64_t misordered = 0;
    uint32_t next = 0;
    bool ended = false;

    void OnData(const char* message) {
        const uint32_t seq = ReadU32(message + 4);
        if (seq == kProbe) {
            return;
        }
        if (seq > next) {
            missing += seq - next;
        } else if (seq < next) {
            ++misordered;
        }
        next = seq + 1;
        ++received;
    }
};

struct SubscriberTotals {
    uint64_t firstNs = 0;
    uint64_t lastNs = 0;
};

std::string SubscriberReport(const std::vector<Subscription>& subscriptions,
                             const SubscriberTotals& totals, uint64_t count) {
    uint64_t received = 0;
    uint64_t missing = 0;
    uint64_t misordered = 0;
    uint64_t fewest = ~uint64_t(0);
    uint64_t ended = 0;
    for (const Subscription& s : subscriptions) {
        received += s.received;
        // What never came at all counts as missing too: holes at the end have no later number.
        missing += s.missing + (count > s.next ? count - s.next : 0);
        misordered += s.misordered;
        fewest = std::min(fewest, s.received);
        ended += s.ended ? 1 : 0;
    }
    const double seconds =
        totals.lastNs > totals.firstNs ? double(totals.lastNs - totals.firstNs) / 1e9 : 0;
    Json report;
    report.Integer("delivered", int64_t(received))
        .Integer("dropped", int64_t(missing))
        .Integer("misordered", int64_t(misordered))
        .Integer("fewest_per_subscriber", int64_t(fewest))
        .Integer("ended", int64_t(ended))
        .Number("seconds", seconds)
        .Number("deliveries_per_s", seconds > 0 ? double(received) / seconds : 0);
    return report.Str();
}

int SubscribeRaw(uint16_t port, uint64_t n, uint64_t count, uint64_t deadline) {
    std::vector<int> fds;
    // One at a time: connect, wait for the acceptance, subscribe to identifier 0.
    for (uint64_t i = 0; i < n; ++i) {
        const int fd = raw::Connect(port, false);
        char accepted[4];
        if (!raw::ReceiveExactly(fd, accepted, 4, kStartMs) ||
            ReadU16(accepted + 2) != kTypeAccepted) {
            Die("no acceptance from the publisher");
        }
        char request[8];
        WriteHeader(request, 8, kTypeSubscribe);
        WriteU32(request + 4, 0);
        raw::SendAll(fd, request, sizeof(request));
        raw::SetNonBlocking(fd, true);
        fds.push_back(fd);
    }
    parent::Send("ready");
    std::vector<Subscription> subscriptions(n);
    std::vector<std::unique_ptr<raw::InBuffer>> buffers;
    raw::Epoll poller;
    for (uint64_t i = 0; i < n; ++i) {
        buffers.push_back(std::make_unique<raw::InBuffer>(256 * 1024));
        poller.Add(fds[i], EPOLLIN, i);
    }
    SubscriberTotals totals;
    uint64_t open = n;
    epoll_event events[128];
    while (open > 0 && NowNs() < deadline) {
        const int ready = poller.Wait(events, 128, 100);
        for (int e = 0; e < ready; ++e) {
            const uint64_t i = events[e].data.u64;
            raw::InBuffer& buffer = *buffers[i];
            const ssize_t got =
                recv(fds[i], buffer.data + buffer.used, buffer.size - buffer.used, 0);
            if (got <= 0) {
                if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    subscriptions[i].ended = true;
                    poller.Remove(fds[i]);
                    --open;
                }
                continue;
            }
            const uint64_t now = NowNs();
            if (totals.firstNs == 0) {
                totals.firstNs = now;
            }
            buffer.used += size_t(got);
            Subscription& subscription = subscriptions[i];
            buffer.Consume(raw::Frame(buffer.data, buffer.used, [&](const char* m, size_t) {
                if (ReadU16(m + 2) == kTypeData) {
                    subscription.OnData(m);
                }
            }));
            totals.lastNs = now;
        }
    }
    parent::Send("result " + SubscriberReport(subscriptions, totals, count));
    for (int fd : fds) {
        close(fd);
    }
    return 0;
}

int SubscribeZmq(uint16_t port, uint64_t n, uint64_t count, uint64_t deadline) {
    void* context = zmq::NewContext(int(n) + 64);
    std::vector<void*> sockets;
    std::vector<zmq_pollitem_t> items(n);
    char prefix[4];
    WriteHeader(prefix, kMessageSize, kTypeData);
    for (uint64_t i = 0; i < n; ++i) {
        void* sub = zmq::NewSocket(context, ZMQ_SUB);
        zmq::SetInt(sub, ZMQ_LINGER, 0);
        zmq_setsockopt(sub, ZMQ_SUBSCRIBE, prefix, sizeof(prefix));
        zmq::ConnectLoopback(sub, port);
        sockets.push_back(sub);
        items[i] = zmq_pollitem_t{sub, 0, ZMQ_POLLIN, 0};
    }
    std::vector<Subscription> subscriptions(n);
    std::vector<bool> probed(n, false);
    uint64_t probedCount = 0;
    SubscriberTotals totals;
    uint64_t complete = 0;
    zmq_msg_t message;
    zmq_msg_init(&message);
    bool saidReady = false;
    while (complete < n && NowNs() < deadline) {
        if (totals.firstNs != 0 && NowNs() - totals.lastNs > kIdleEndNs) {
            break;
        }
        if (zmq_poll(items.data(), int(n), 100) <= 0) {
            continue;
        }
        for (uint64_t i = 0; i < n; ++i) {
            if ((items[i].revents & ZMQ_POLLIN) == 0) {
                continue;
            }
            Subscription& subscription = subscriptions[i];
            while (zmq_msg_recv(&message, sockets[i], ZMQ_DONTWAIT) >= 0) {
                const auto* bytes = static_cast<const char*>(zmq_msg_data(&message));
                if (zmq_msg_size(&message) < 8) {
                    continue;
                }
                if (ReadU32(bytes + 4) == kProbe) {
                    if (!probed[i]) {
                        probed[i] = true;
                        ++probedCount;
                    }
                    continue;
                }
                subscription.OnData(bytes);
                if (subscription.received == count) {
                    ++complete;
                }
            }
            if (subscription.received > 0) {
                totals.lastNs = NowNs();
                if (totals.firstNs == 0) {
                    totals.firstNs = totals.lastNs;
                }
            }
        }
        if (!saidReady && probedCount == n) {
            parent::Send("ready");
            saidReady = true;
        }
    }
    zmq_msg_close(&message);
    parent::Send("result " + SubscriberReport(subscriptions, totals, count));
    for (void* sub : sockets) {
        zmq_close(sub);
    }
    zmq_ctx_term(context);
    return 0;
}

int Subscribe(const Args& args) {
    const uint64_t seconds = args.Number("seconds", 5);
    HardDeadline(unsigned(seconds) * 2 + 40);
    RaiseDescriptorLimit(4096);
    PinToCpu(std::stoi(args.Text("cpu", "-1")));
    const auto port = uint16_t(args.Number("port"));
    const uint64_t n = args.Number("n", 10);
    const uint64_t count = args.Number("count", 100000);
    // The start (connections, subscriptions) has its own bound; the stream gets `seconds`.
    const uint64_t deadline = NowNs() + (seconds + kStartMs / 1000) * 1000000000u;
    return args.Text("kind") == "zmq" ? SubscribeZmq(port, n, count, deadline)
                                      : SubscribeRaw(port, n, count, deadline);
}

}  // namespace

int main(int argc, char** argv) {
    return RunRole(argc, argv, "velto-bench-fanout", "sub", Run, Subscribe);
}
