// Stream receive: a peer writes framed messages of one size over one loopback TCP connection
// as fast as it can; the contender under test receives them and counts them in an observer.
//
//   velto-bench-stream run --contender velto|raw|zmq --size S --count N --seconds T
//                          [--pin 0|1|2]
//   velto-bench-stream sender --kind raw|zmq --size S --count N --cpu C
//
// The veltonet and raw contenders read from the same raw sender; the zmq contender pulls
// from a PUSH socket. Every message carries its sequence number, checked on arrival.

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

constexpr int kStartMs = 10000;

// What the receiving side has seen; shared by the three contenders.
struct Tally {
    uint64_t wanted = 0;
    uint64_t count = 0;
    uint64_t misordered = 0;
    uint64_t firstNs = 0;
    uint64_t lastNs = 0;
    double firstCpu = 0;
    double lastCpu = 0;
    bool done = false;
    bool closed = false;

    void OnData(const char* message) {
        if (ReadU32(message + 4) != uint32_t(count)) {
            ++misordered;
        }
        if (++count == 1) {
            firstNs = NowNs();
            firstCpu = CpuSeconds();
        }
        if (count == wanted) {
            lastNs = NowNs();
            lastCpu = CpuSeconds();
            done = true;
        }
    }
};

void Report(const std::string& contender, unsigned size, const Tally& tally, uint64_t startNs) {
    const uint64_t end = tally.done ? tally.lastNs : NowNs();
    const double cpu = (tally.done ? tally.lastCpu : CpuSeconds()) - tally.firstCpu;
    const double seconds = tally.count > 1 ? double(end - tally.firstNs) / 1e9 : 0;
    const double rate = seconds > 0 ? double(tally.count - 1) / seconds : 0;
    Json result;
    result.Text("workload", "stream")
        .Text("contender", contender)
        .Integer("size", size)
        .Integer("messages", int64_t(tally.count))
        .Bool("complete", tally.done)
        .Integer("misordered", int64_t(tally.misordered))
        .Number("seconds", seconds)
        .Number("setup_ms", tally.firstNs > startNs ? double(tally.firstNs - startNs) / 1e6 : 0)
        .Number("msgs_per_s", rate)
        .Number("mb_per_s", rate * size / 1e6)
        .Number("cpu_busy", seconds > 0 ? cpu / seconds : 0);
    PrintResult(result);
}

// ---- contender (a): veltonet through its C interface ----

void R_CALL OnVeltoMessage(void* context, void* /*observable*/, const void* message) {
    auto* tally = static_cast<Tally*>(context);
    const auto* bytes = static_cast<const char*>(message);
    const uint16_t type = ReadU16(bytes + 2);
    if (type == kTypeData) {
        tally->OnData(bytes);
    } else if (type == kTypeDisconnected) {
        tally->closed = true;
    }
}

void ReceiveVelto(uint16_t port, Tally& tally, uint64_t deadline) {
    R_ReceiverInitialize();
    void* observer = RX_CreateObserver(OnVeltoMessage, &tally);
    void* receiver = R_CreateTCPReceiver("stream", "127.0.0.1", port, 0, 0, 0, 0, 0, false);
    if (observer == nullptr || receiver == nullptr) {
        Die("veltonet receiver not created");
    }
    RX_AddObserver(receiver, observer);
    R_ConnectReceiver(receiver);
    while (!tally.done && !tally.closed && NowNs() < deadline) {
        RX_ProcessEvents(100);
    }
    R_DeleteReceiver(receiver);
    RX_DestroyObserver(observer);
    R_ReceiverTerminate();
}

// ---- contender (b): epoll and recv, the library's framing, nothing else ----

void ReceiveRaw(uint16_t port, Tally& tally, uint64_t deadline) {
    const int fd = raw::Connect(port, true);
    raw::Epoll poller;
    poller.Add(fd, EPOLLIN, 0);
    // The library's default read size: 64 KiB, with room for the tail of a split message.
    raw::InBuffer buffer(65535);
    epoll_event events[4];
    while (!tally.done && NowNs() < deadline) {
        if (poller.Wait(events, 4, 100) == 0) {
            continue;
        }
        for (;;) {
            const size_t room = buffer.size - buffer.used;
            const ssize_t n = buffer.ReadFrom(fd);
            if (n <= 0) {
                tally.closed = tally.closed || n < 0;
                break;
            }
            const size_t consumed =
                raw::Frame(buffer.data, buffer.used, [&](const char* m, size_t) {
                    if (ReadU16(m + 2) == kTypeData) {
                        tally.OnData(m);
                    }
                });
            buffer.Consume(consumed);
            if (size_t(n) < room || tally.done) {
                break;  // drained: back to the poller
            }
        }
        if (tally.closed) {
            break;
        }
    }
    close(fd);
}

// ---- contender (c): libzmq PULL ----

void ReceiveZmq(uint16_t port, Tally& tally, uint64_t deadline) {
    zmq::PullEach(
        port, [&] { return !tally.done && NowNs() < deadline; },
        [&](const char* bytes, size_t length) {
            if (length >= 8 && ReadU16(bytes + 2) == kTypeData) {
                tally.OnData(bytes);
            }
        });
}

int Run(const Args& args) {
    const std::string contender = args.Text("contender", "velto");
    const auto size = unsigned(args.Number("size", 64));
    const uint64_t count = args.Number("count", 1000000);
    const uint64_t seconds = args.Number("seconds", 5);
    const Pinning pin = PinningOf(args.Number("pin", 1));
    HardDeadline(unsigned(seconds) + 30);
    PinToCpu(OwnCpu(pin));
    Peer sender({"sender", "--kind", contender == "zmq" ? "zmq" : "raw", "--size",
                 std::to_string(size), "--count", std::to_string(count), "--cpu",
                 std::to_string(PeerCpu(pin))});
    const auto port = uint16_t(std::stoul(sender.Expect("port", kStartMs)));
    Tally tally;
    tally.wanted = count;
    const uint64_t start = NowNs();
    const uint64_t deadline = start + seconds * 1000000000u;
    if (contender == "velto") {
        ReceiveVelto(port, tally, deadline);
    } else if (contender == "raw") {
        ReceiveRaw(port, tally, deadline);
    } else if (contender == "zmq") {
        ReceiveZmq(port, tally, deadline);
    } else {
        Die("unknown contender " + contender);
    }
    Report(contender, size, tally, start);
    sender.Wait(5000);
    return 0;
}

// ---- the peer ----

int SendRaw(unsigned size, uint64_t count) {
    uint16_t port = 0;
    const int listener = raw::Listen(&port, 16, false);
    parent::Send("port " + std::to_string(port));
    const int fd = raw::AcceptOne(listener, kStartMs, false);
    close(listener);
    // 64 KiB of messages per write; each message's sequence number is stamped before the write.
    const size_t perWrite = 65536 / size;
    std::string chunk;
    for (size_t i = 0; i < perWrite; ++i) {
        chunk += MakeMessage(uint16_t(size), kTypeData, 0);
    }
    uint64_t sent = 0;
    while (sent < count) {
        const size_t n = size_t(std::min<uint64_t>(perWrite, count - sent));
        for (size_t i = 0; i < n; ++i) {
            WriteU32(chunk.data() + i * size + 4, uint32_t(sent + i));
        }
        if (!raw::SendAll(fd, chunk.data(), n * size)) {
            break;  // the receiver has what it wanted, or gave up
        }
        sent += n;
    }
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (recv(fd, sink, sizeof(sink), 0) > 0) {
    }
    close(fd);
    return 0;
}

int SendZmq(unsigned size, uint64_t count) {
    void* context = zmq::NewContext();
    void* push = zmq::NewSocket(context, ZMQ_PUSH);
    zmq::SetInt(push, ZMQ_LINGER, 2000);
    zmq::SetInt(push, ZMQ_SNDTIMEO, 5000);
    const uint16_t port = zmq::BindLoopback(push);
    parent::Send("port " + std::to_string(port));
    std::string message = MakeMessage(uint16_t(size), kTypeData, 0);
    for (uint64_t i = 0; i < count; ++i) {
        WriteU32(message.data() + 4, uint32_t(i));
        if (zmq_send(push, message.data(), size, 0) < 0) {
            break;
        }
    }
    zmq_close(push);
    zmq_ctx_term(context);
    return 0;
}

int Sender(const Args& args) {
    HardDeadline(60);
    PinToCpu(std::stoi(args.Text("cpu", "-1")));
    const auto size = unsigned(args.Number("size", 64));
    const uint64_t count = args.Number("count", 1000000);
    if (size < 8 || size > 65535) {
        Die("size out of range");
    }
    return args.Text("kind") == "zmq" ? SendZmq(size, count) : SendRaw(size, count);
}

}  // namespace

int main(int argc, char** argv) {
    return RunRole(argc, argv, "velto-bench-stream", "sender", Run, Sender);
}
