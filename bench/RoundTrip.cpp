// Round trip: a receiver sends a 64-byte message to a listener's client, which sends it back;
// one message in flight at a time. The latency of every round trip is kept.
//
//   velto-bench-roundtrip run --contender velto|raw|zmq --count K --warmup W --seconds T
//   velto-bench-roundtrip echo --kind velto|raw|zmq --seconds T --cpu C
//
// veltonet: a TCPReceiver pings a Listener in the peer process; the listener's observer gets
// each client's message and answers it with R_SendBuffer on that client followed by
// R_ClientForceSendBuffer (an admitted client gathers its sends until flushed).
// raw: the same bytes over epoll, recv and send on both sides, TCP_NODELAY on both.
// zmq: REQ and REP.

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/BenchSupport.h"
#include "support/RawSocket.h"
#include "support/ZmqSocket.h"
#include "veltonet/receiver.h"

namespace {

using namespace bench;

constexpr uint16_t kMessageSize = 64;
constexpr int kStartMs = 10000;
constexpr int kReplyMs = 1000;  // a round trip slower than this ends the run

struct Pinger {
    uint64_t count = 0;
    uint64_t warmup = 0;
    std::vector<uint64_t> samples;
    uint64_t lost = 0;  // replies that never came (the run stops at the first)
};

// ---- contender (a): veltonet ----

struct VeltoPing {
    bool replied = false;
    bool accepted = false;
    bool closed = false;
    uint32_t expected = 0;
    uint32_t wrong = 0;
};

void R_CALL OnPingerMessage(void* context, void* /*observable*/, const void* message) {
    auto* state = static_cast<VeltoPing*>(context);
    const auto* bytes = static_cast<const char*>(message);
    const uint16_t type = ReadU16(bytes + 2);
    if (type == kTypePing) {
        if (ReadU32(bytes + 4) != state->expected) {
            ++state->wrong;
        }
        state->replied = true;
    } else if (type == kTypeAccepted) {
        state->accepted = true;
    } else if (type == kTypeDisconnected) {
        state->closed = true;
    }
}

void PingVelto(uint16_t port, Pinger& pinger, uint64_t deadline) {
    R_ReceiverInitialize();
    VeltoPing state;
    void* observer = RX_CreateObserver(OnPingerMessage, &state);
    void* receiver = R_CreateTCPReceiver("ping", "127.0.0.1", port, 0, 0, 0, 0, 0, false);
    if (observer == nullptr || receiver == nullptr) {
        Die("veltonet receiver not created");
    }
    RX_AddObserver(receiver, observer);
    R_ConnectReceiver(receiver);
    const uint64_t startDeadline = NowNs() + uint64_t(kStartMs) * 1000000u;
    while (!state.accepted && !state.closed && NowNs() < startDeadline) {
        RX_ProcessEvents(10);
    }
    if (!state.accepted) {
        Die("the echo listener did not accept");
    }
    std::string message = MakeMessage(kMessageSize, kTypePing, 0);
    for (uint64_t i = 0; i < pinger.warmup + pinger.count && NowNs() < deadline; ++i) {
        WriteU32(message.data() + 4, uint32_t(i));
        state.expected = uint32_t(i);
        state.replied = false;
        const uint64_t start = NowNs();
        const uint64_t replyDeadline = start + uint64_t(kReplyMs) * 1000000u;
        R_SendBuffer(receiver, message.data(), kMessageSize, false);
        while (!state.replied && !state.closed && NowNs() < replyDeadline) {
            RX_ProcessEvents(kReplyMs);
        }
        if (!state.replied) {
            ++pinger.lost;
            break;
        }
        if (i >= pinger.warmup) {
            pinger.samples.push_back(NowNs() - start);
        }
    }
    if (state.wrong != 0) {
        Die("replies out of order");
    }
    R_DeleteReceiver(receiver);
    RX_DestroyObserver(observer);
    R_ReceiverTerminate();
}

struct VeltoEcho {
    bool done = false;
};

void R_CALL OnEchoMessage(void* context, void* observable, const void* message) {
    auto* state = static_cast<VeltoEcho*>(context);
    const auto* bytes = static_cast<const char*>(message);
    const uint16_t type = ReadU16(bytes + 2);
    if (type == kTypePing) {
        // observable is the client that received it: the listener hands its observers on.
        R_SendBuffer(observable, bytes, ReadU16(bytes), false);
        R_ClientForceSendBuffer(observable);
    } else if (type == kTypeDisconnected) {
        state->done = true;
    }
}

int EchoVelto(uint64_t deadline) {
    R_ReceiverInitialize();
    VeltoEcho state;
    void* observer = RX_CreateObserver(OnEchoMessage, &state);
    void* listener = R_CreateListener("echo", 1, 0, 0, true, 0, 0, false);
    if (observer == nullptr || listener == nullptr || !R_ConnectReceiver(listener)) {
        Die("veltonet listener not started");
    }
    RX_AddObserver(listener, observer);
    parent::Send("port " + std::to_string(R_GetReceiverLocalPort(listener)));
    while (!state.done && NowNs() < deadline) {
        RX_ProcessEvents(100);
    }
    R_DeleteReceiver(listener);
    RX_DestroyObserver(observer);
    R_ReceiverTerminate();
    return 0;
}

// ---- contender (b): epoll, recv and send ----

void PingRaw(uint16_t port, Pinger& pinger, uint64_t deadline) {
    const int fd = raw::Connect(port, true);
    raw::SetNoDelay(fd);
    raw::Epoll poller;
    poller.Add(fd, EPOLLIN, 0);
    char accepted[4];
    if (!raw::ReceiveExactly(fd, accepted, 4, kStartMs)) {
        Die("the echo server did not accept");
    }
    std::string message = MakeMessage(kMessageSize, kTypePing, 0);
    raw::InBuffer buffer(65536);
    for (uint64_t i = 0; i < pinger.warmup + pinger.count && NowNs() < deadline; ++i) {
        WriteU32(message.data() + 4, uint32_t(i));
        const uint64_t start = NowNs();
        const uint64_t replyDeadline = start + uint64_t(kReplyMs) * 1000000u;
        raw::SendAll(fd, message.data(), kMessageSize);
        bool replied = false;
        while (!replied && NowNs() < replyDeadline) {
            const ssize_t n = buffer.ReadWhenReady(poller, fd, kReplyMs);
            if (n < 0) {
                break;
            }
            buffer.Consume(raw::Frame(buffer.data, buffer.used, [&](const char* m, size_t) {
                if (ReadU16(m + 2) == kTypePing && ReadU32(m + 4) == uint32_t(i)) {
                    replied = true;
                }
            }));
        }
        if (!replied) {
            ++pinger.lost;
            break;
        }
        if (i >= pinger.warmup) {
            pinger.samples.push_back(NowNs() - start);
        }
    }
    close(fd);
}

int EchoRaw(uint64_t deadline) {
    uint16_t port = 0;
    const int listenFd = raw::Listen(&port, 16, false);
    parent::Send("port " + std::to_string(port));
    const int fd = raw::AcceptOne(listenFd, kStartMs, true);
    close(listenFd);
    raw::SetNoDelay(fd);
    char accepted[4];
    WriteHeader(accepted, 4, kTypeAccepted);
    raw::SendAll(fd, accepted, sizeof(accepted));
    raw::Epoll poller;
    poller.Add(fd, EPOLLIN, 0);
    raw::InBuffer buffer(65536);
    while (NowNs() < deadline) {
        if (buffer.ReadWhenReady(poller, fd, 100) < 0) {
            break;
        }
        // Everything whole goes back in one send.
        const size_t consumed = raw::Frame(buffer.data, buffer.used, [](const char*, size_t) {});
        raw::SendAll(fd, buffer.data, consumed);
        buffer.Consume(consumed);
    }
    close(fd);
    return 0;
}

// ---- contender (c): zmq REQ and REP ----

void PingZmq(uint16_t port, Pinger& pinger, uint64_t deadline) {
    void* context = zmq::NewContext();
    void* req = zmq::NewSocket(context, ZMQ_REQ);
    zmq::SetInt(req, ZMQ_LINGER, 0);
    zmq::SetInt(req, ZMQ_RCVTIMEO, kReplyMs);
    zmq::ConnectLoopback(req, port);
    std::string message = MakeMessage(kMessageSize, kTypePing, 0);
    char reply[kMessageSize];
    for (uint64_t i = 0; i < pinger.warmup + pinger.count && NowNs() < deadline; ++i) {
        WriteU32(message.data() + 4, uint32_t(i));
        const uint64_t start = NowNs();
        zmq_send(req, message.data(), kMessageSize, 0);
        const int n = zmq_recv(req, reply, sizeof(reply), 0);
        if (n != int(kMessageSize) || ReadU32(reply + 4) != uint32_t(i)) {
            ++pinger.lost;
            break;
        }
        if (i >= pinger.warmup) {
            pinger.samples.push_back(NowNs() - start);
        }
    }
    // The empty message tells the echo side to stop.
    zmq_send(req, "", 0, ZMQ_DONTWAIT);
    zmq_close(req);
    zmq_ctx_term(context);
}

int EchoZmq(uint64_t deadline) {
    void* context = zmq::NewContext();
    void* rep = zmq::NewSocket(context, ZMQ_REP);
    zmq::SetInt(rep, ZMQ_LINGER, 0);
    zmq::SetInt(rep, ZMQ_RCVTIMEO, 100);
    const uint16_t port = zmq::BindLoopback(rep);
    parent::Send("port " + std::to_string(port));
    char message[65536];
    while (NowNs() < deadline) {
        const int n = zmq_recv(rep, message, sizeof(message), 0);
        if (n < 0) {
            continue;
        }
        if (n == 0) {
            break;
        }
        zmq_send(rep, message, size_t(n), 0);
    }
    zmq_close(rep);
    zmq_ctx_term(context);
    return 0;
}

int Run(const Args& args) {
    const std::string contender = args.Text("contender", "velto");
    Pinger pinger;
    pinger.count = args.Number("count", 100000);
    pinger.warmup = args.Number("warmup", 1000);
    const uint64_t seconds = args.Number("seconds", 20);
    const Pinning pin = PinningOf(args.Number("pin", 1));
    HardDeadline(unsigned(seconds) + 30);
    PinToCpu(OwnCpu(pin));
    pinger.samples.reserve(pinger.count);
    Peer echo({"echo", "--kind", contender, "--seconds", std::to_string(seconds + 10), "--cpu",
               std::to_string(PeerCpu(pin))});
    const auto port = uint16_t(std::stoul(echo.Expect("port", kStartMs)));
    const uint64_t deadline = NowNs() + seconds * 1000000000u;
    const uint64_t start = NowNs();
    if (contender == "velto") {
        PingVelto(port, pinger, deadline);
    } else if (contender == "raw") {
        PingRaw(port, pinger, deadline);
    } else if (contender == "zmq") {
        PingZmq(port, pinger, deadline);
    } else {
        Die("unknown contender " + contender);
    }
    const double elapsed = double(NowNs() - start) / 1e9;
    echo.Wait(5000);
    const uint64_t measured = pinger.samples.size();
    Json result;
    result.Text("workload", "roundtrip")
        .Text("contender", contender)
        .Integer("size", kMessageSize)
        .Integer("round_trips", int64_t(measured))
        .Bool("complete", measured == pinger.count)
        .Integer("lost", int64_t(pinger.lost))
        .Number("seconds", elapsed)
        .Raw("latency", LatencySummary(pinger.samples, 1000));
    PrintResult(result);
    return 0;
}

int Echo(const Args& args) {
    const uint64_t seconds = args.Number("seconds", 30);
    HardDeadline(unsigned(seconds) + 20);
    PinToCpu(std::stoi(args.Text("cpu", "-1")));
    const uint64_t deadline = NowNs() + seconds * 1000000000u;
    const std::string kind = args.Text("kind");
    if (kind == "velto") {
        return EchoVelto(deadline);
    }
    return kind == "zmq" ? EchoZmq(deadline) : EchoRaw(deadline);
}

}  // namespace

int main(int argc, char** argv) {
    return RunRole(argc, argv, "velto-bench-roundtrip", "echo", Run, Echo);
}
