// Connections: one listener takes N idle client connections; measured are the rate of
// accepts and the resident memory each held connection costs the listening process.
//
//   velto-bench-connections run --contender velto|raw|zmq --n N --seconds T
//   velto-bench-connections client --kind raw|zmq --port P --n N --seconds T --cpu C
//
// veltonet: a Listener with auto-accept; the clients are raw sockets that connect with at
// most kWindow connections not yet accepted, an acceptance being the 4-byte message 60011
// that the listener sends on each accept. The window stays under the listen backlog of 5
// that the library uses, so no connection attempt is dropped by the kernel and retried.
// raw: epoll, accept4 until the queue is empty, a 4-byte acceptance, a few bytes of state per
// connection; the same client process.
// zmq: a ROUTER socket; the client process holds N DEALER sockets, again at most kWindow of
// them not yet connected (a DEALER with ZMQ_IMMEDIATE turns writable once its handshake is
// done); accepts and completed handshakes are counted by a socket monitor on the ROUTER.
//
// Resident memory: VmRSS of the listening process once all N are established, minus VmRSS
// before the first connection, over N. Kernel socket memory is not part of it.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/BenchSupport.h"
#include "support/RawSocket.h"
#include "support/ZmqSocket.h"
#include "veltonet/receiver.h"

namespace {

using namespace bench;

constexpr uint64_t kWindow = 4;
constexpr int kStartMs = 10000;
// Events that may still be on their way once the last connection counts, before the memory
// is read.
constexpr uint64_t kSettleNs = 100000000u;

struct Memory {
    uint64_t resident = 0;
    uint64_t reserved = 0;
    static Memory Now() { return Memory{ResidentBytes(), VirtualBytes()}; }
};

struct Progress {
    uint64_t n = 0;
    uint64_t established = 0;
    uint64_t firstNs = 0;
    uint64_t lastNs = 0;

    void Count(uint64_t total) {
        if (total > 0 && firstNs == 0) {
            firstNs = NowNs();
        }
        if (total >= n && lastNs == 0) {
            lastNs = NowNs();
        }
        established = total;
    }
};

// A zmq socket takes two descriptors (its mailbox and its connection), more than one process
// may hold for ten thousand of them; its clients are spread over processes of at most this
// many sockets, which share the window between them.
constexpr uint64_t kZmqSocketsPerProcess = 5000;

// The client processes, started together; they report "connected" and end on "close".
class Clients {
  public:
    Clients(const char* kind, uint16_t port, uint64_t n, uint64_t seconds, Pinning pin) {
        const uint64_t processes = std::string(kind) == "zmq"
                                       ? (n + kZmqSocketsPerProcess - 1) / kZmqSocketsPerProcess
                                       : 1;
        const uint64_t window = std::max<uint64_t>(1, kWindow / processes);
        for (uint64_t i = 0; i < processes; ++i) {
            const uint64_t share = n / processes + (i < n % processes ? 1 : 0);
            m_peers.push_back(std::make_unique<Peer>(std::vector<std::string>{
                "client", "--kind", kind, "--port", std::to_string(port), "--n",
                std::to_string(share), "--window", std::to_string(window), "--seconds",
                std::to_string(seconds), "--cpu", std::to_string(PeerCpu(pin))}));
        }
    }

    // The reports of all processes as a JSON array; then closes every connection.
    std::string Finish() {
        std::string reports = "[";
        for (auto& peer : m_peers) {
            if (reports.size() > 1) {
                reports += ',';
            }
            reports += peer->Expect("connected", kStartMs);
        }
        for (auto& peer : m_peers) {
            peer->Send("close");
        }
        for (auto& peer : m_peers) {
            peer->Wait(20000);
        }
        return reports + "]";
    }

  private:
    std::vector<std::unique_ptr<Peer>> m_peers;
};

// The memory of the heap's first growth and of the loop's structures is paid before the
// first connection, so that the difference is what the connections cost.
void Settle(uint64_t nanoseconds, const std::function<void()>& round) {
    const uint64_t end = NowNs() + nanoseconds;
    while (NowNs() < end) {
        round();
    }
}

// ---- contender (a): veltonet ----

Json ListenVelto(Progress& progress, uint64_t seconds, Pinning pin, uint64_t deadline,
                 Memory& before, Memory& after) {
    R_ReceiverInitialize();
    void* listener = R_CreateListener("connections", 1, 0, 0, true, 0, 0, false);
    if (listener == nullptr || !R_ConnectReceiver(listener)) {
        Die("veltonet listener not started");
    }
    RX_ProcessEvents(0);
    before = Memory::Now();
    Clients clients("raw", R_GetReceiverLocalPort(listener), progress.n, seconds, pin);
    while (progress.established < progress.n && NowNs() < deadline) {
        RX_ProcessEvents(10);
        progress.Count(R_GetListenerClientCount(listener));
    }
    Settle(kSettleNs, [] { RX_ProcessEvents(10); });
    after = Memory::Now();
    const std::string report = clients.Finish();
    Json detail;
    detail.Raw("clients", report)
        .Integer("pending_at_end", R_GetListenerClientPendingCount(listener));
    // The process ends without tearing the listener down: nothing is measured after this.
    return detail;
}

// ---- contender (b): epoll and accept4 ----

Json ListenRaw(Progress& progress, uint64_t seconds, Pinning pin, uint64_t deadline, Memory& before,
               Memory& after) {
    uint16_t port = 0;
    const int listenFd = raw::Listen(&port, 4096, true);
    raw::Epoll poller;
    poller.Add(listenFd, EPOLLIN, ~uint64_t(0));
    // What a server keeps per idle connection: its descriptor and a little state.
    struct Connection {
        int fd;
        uint32_t flags;
    };
    std::vector<Connection> connections;
    epoll_event events[64];
    poller.Wait(events, 64, 0);
    before = Memory::Now();
    Clients clients("raw", port, progress.n, seconds, pin);
    char accepted[4];
    WriteHeader(accepted, 4, kTypeAccepted);
    auto round = [&](int timeoutMs) {
        const int ready = poller.Wait(events, 64, timeoutMs);
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.u64 != ~uint64_t(0)) {
                continue;  // an idle connection closing: nothing to do in this run
            }
            for (;;) {
                const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    break;
                }
                send(fd, accepted, sizeof(accepted), MSG_NOSIGNAL);
                poller.Add(fd, EPOLLIN | EPOLLRDHUP, connections.size());
                connections.push_back({fd, 0});
            }
        }
    };
    while (progress.established < progress.n && NowNs() < deadline) {
        round(10);
        progress.Count(connections.size());
    }
    Settle(kSettleNs, [&] { round(10); });
    after = Memory::Now();
    const std::string report = clients.Finish();
    Json detail;
    detail.Raw("clients", report);
    return detail;
}

// ---- contender (c): zmq ROUTER ----

Json ListenZmq(Progress& progress, uint64_t seconds, Pinning pin, uint64_t deadline, Memory& before,
               Memory& after) {
    void* context = zmq::NewContext();
    void* router = zmq::NewSocket(context, ZMQ_ROUTER);
    zmq::SetInt(router, ZMQ_LINGER, 0);
    if (zmq_socket_monitor(router, "inproc://connections",
                           ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_HANDSHAKE_SUCCEEDED) != 0) {
        Die("zmq_socket_monitor failed");
    }
    void* monitor = zmq::NewSocket(context, ZMQ_PAIR);
    zmq::SetInt(monitor, ZMQ_RCVTIMEO, 10);
    zmq_connect(monitor, "inproc://connections");
    const uint16_t port = zmq::BindLoopback(router);
    uint64_t acceptedCount = 0;
    uint64_t handshakes = 0;
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    auto round = [&]() {
        // Each event: a frame of 6 bytes (event number, value), then the endpoint.
        while (zmq_msg_recv(&frame, monitor, 0) >= 0) {
            if (zmq_msg_size(&frame) >= 2) {
                const uint16_t event = ReadU16(zmq_msg_data(&frame));
                acceptedCount += event == ZMQ_EVENT_ACCEPTED ? 1 : 0;
                handshakes += event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED ? 1 : 0;
            }
            if (zmq_msg_more(&frame)) {
                zmq_msg_recv(&frame, monitor, 0);
            }
            if (acceptedCount > 0 && progress.firstNs == 0) {
                progress.firstNs = NowNs();
            }
        }
    };
    round();
    before = Memory::Now();
    Clients clients("zmq", port, progress.n, seconds, pin);
    uint64_t acceptedAllNs = 0;
    while (handshakes < progress.n && NowNs() < deadline) {
        round();
        if (acceptedCount >= progress.n && acceptedAllNs == 0) {
            acceptedAllNs = NowNs();
        }
    }
    progress.established = handshakes;
    progress.lastNs = acceptedAllNs != 0 ? acceptedAllNs : NowNs();
    Settle(kSettleNs, round);
    after = Memory::Now();
    const std::string report = clients.Finish();
    zmq_msg_close(&frame);
    Json detail;
    detail.Raw("clients", report)
        .Integer("accepted", int64_t(acceptedCount))
        .Integer("handshakes", int64_t(handshakes));
    return detail;
}

int Run(const Args& args) {
    const std::string contender = args.Text("contender", "velto");
    const uint64_t seconds = args.Number("seconds", 20);
    const Pinning pin = PinningOf(args.Number("pin", 1));
    Progress progress;
    progress.n = args.Number("n", 1000);
    HardDeadline(unsigned(seconds) + 60);
    RaiseDescriptorLimit(progress.n * 2 + 1024);
    PinToCpu(OwnCpu(pin));
    const uint64_t deadline = NowNs() + seconds * 1000000000u;
    Memory before;
    Memory after;
    Json detail;
    if (contender == "velto") {
        detail = ListenVelto(progress, seconds, pin, deadline, before, after);
    } else if (contender == "raw") {
        detail = ListenRaw(progress, seconds, pin, deadline, before, after);
    } else if (contender == "zmq") {
        detail = ListenZmq(progress, seconds, pin, deadline, before, after);
    } else {
        Die("unknown contender " + contender);
    }
    const double acceptSeconds =
        progress.lastNs > progress.firstNs ? double(progress.lastNs - progress.firstNs) / 1e9 : 0;
    auto perConnection = [&](uint64_t from, uint64_t to) {
        return progress.established > 0 ? (double(to) - double(from)) / double(progress.established)
                                        : 0.0;
    };
    Json result;
    result.Text("workload", "connections")
        .Text("contender", contender)
        .Integer("n", int64_t(progress.n))
        .Integer("established", int64_t(progress.established))
        .Bool("complete", progress.established >= progress.n)
        .Number("accept_seconds", acceptSeconds)
        .Number("accepts_per_s",
                acceptSeconds > 0 ? double(progress.established - 1) / acceptSeconds : 0)
        .Integer("rss_before", int64_t(before.resident))
        .Integer("rss_after", int64_t(after.resident))
        .Number("rss_per_connection", perConnection(before.resident, after.resident))
        .Number("vm_per_connection", perConnection(before.reserved, after.reserved))
        .Raw("detail", detail.Str());
    PrintResult(result);
    std::fflush(stdout);
    _exit(0);  // the held connections are gone with the client; no teardown to wait for
}

// ---- the peer ----

int ConnectRaw(uint16_t port, uint64_t n, uint64_t window, uint64_t deadline) {
    std::vector<int> fds;
    fds.reserve(n);
    raw::Epoll poller;
    uint64_t inFlight = 0;
    uint64_t accepted = 0;
    uint64_t failed = 0;
    epoll_event events[64];
    while (accepted + failed < n && NowNs() < deadline) {
        while (inFlight < window && fds.size() < n) {
            const int fd = raw::ConnectStart(port);
            if (fd < 0) {
                ++failed;
                continue;
            }
            poller.Add(fd, EPOLLIN | EPOLLRDHUP, fds.size());
            fds.push_back(fd);
            ++inFlight;
        }
        const int ready = poller.Wait(events, 64, 10);
        for (int i = 0; i < ready; ++i) {
            const int fd = fds[events[i].data.u64];
            char acceptance[4];
            const ssize_t got = recv(fd, acceptance, sizeof(acceptance), MSG_DONTWAIT);
            if (got < 0 && errno == EAGAIN) {
                continue;
            }
            poller.Remove(fd);  // idle from now on
            --inFlight;
            if (got == 4 && ReadU16(acceptance + 2) == kTypeAccepted) {
                ++accepted;
            } else {
                ++failed;
            }
        }
    }
    Json report;
    report.Integer("accepted", int64_t(accepted)).Integer("failed", int64_t(failed));
    parent::Send("connected " + report.Str());
    std::string line;
    parent::Receive(line, 60000);
    for (int fd : fds) {
        raw::CloseAbortive(fd);  // no TIME_WAIT left for the next run
    }
    return 0;
}

int ConnectZmq(uint16_t port, uint64_t n, uint64_t window, uint64_t deadline) {
    void* context = zmq::NewContext(int(n) + 64);
    std::vector<void*> sockets;
    sockets.reserve(n);
    // With ZMQ_IMMEDIATE a DEALER is writable once a connection to it has completed its
    // handshake: that is the acceptance this client waits for, kWindow sockets at a time.
    std::vector<zmq_pollitem_t> inFlight;
    uint64_t connected = 0;
    while (connected < n && NowNs() < deadline) {
        while (inFlight.size() < window && sockets.size() < n) {
            void* dealer = zmq::NewSocket(context, ZMQ_DEALER);
            zmq::SetInt(dealer, ZMQ_LINGER, 0);
            zmq::SetInt(dealer, ZMQ_IMMEDIATE, 1);
            zmq::ConnectLoopback(dealer, port);
            sockets.push_back(dealer);
            inFlight.push_back(zmq_pollitem_t{dealer, 0, ZMQ_POLLOUT, 0});
        }
        if (zmq_poll(inFlight.data(), int(inFlight.size()), 10) <= 0) {
            continue;
        }
        for (size_t i = inFlight.size(); i-- > 0;) {
            if ((inFlight[i].revents & ZMQ_POLLOUT) != 0) {
                inFlight[i] = inFlight.back();
                inFlight.pop_back();
                ++connected;
            }
        }
    }
    Json report;
    report.Integer("sockets", int64_t(sockets.size())).Integer("connected", int64_t(connected));
    parent::Send("connected " + report.Str());
    std::string line;
    parent::Receive(line, 60000);
    _exit(0);  // closing ten thousand sockets one by one measures nothing
}

int Client(const Args& args) {
    const uint64_t seconds = args.Number("seconds", 20);
    HardDeadline(unsigned(seconds) + 60);
    PinToCpu(std::stoi(args.Text("cpu", "-1")));
    const auto port = uint16_t(args.Number("port"));
    const uint64_t n = args.Number("n", 1000);
    // Each zmq socket holds a second descriptor for its mailbox.
    RaiseDescriptorLimit(n * 3 + 1024);
    const uint64_t window = args.Number("window", kWindow);
    const uint64_t deadline = NowNs() + seconds * 1000000000u;
    return args.Text("kind") == "zmq" ? ConnectZmq(port, n, window, deadline)
                                      : ConnectRaw(port, n, window, deadline);
}

}  // namespace

int main(int argc, char** argv) {
    return RunRole(argc, argv, "velto-bench-connections", "client", Run, Client);
}
