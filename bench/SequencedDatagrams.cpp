// Sequenced datagrams: a sender sends sequenced packets (type 21008: a sequence number and a
// run of 64-byte messages) over UDP on 127.0.0.1 as fast as the receiver takes them, leaves
// out 1% of them on purpose, and serves repair requests (type 20009) over TCP with the
// missing packet. The contender delivers every message once and in order.
//
//   velto-bench-sequenced run --contender velto|raw|zmq --packets N --seconds T
//   velto-bench-sequenced sender --kind raw|zmq --packets N --cpu C
//
// Flow control: UDP has none, so the receiving side reports its progress every kAckEvery
// packets over the repair connection (type 1005) and the sender keeps at most kWindow
// packets unreported; a kernel drop therefore stays rare, and when one happens the repair
// path mends it like a planned one. A sender without news for kStallNs sends anyway, so a
// lost packet at the end of a window cannot stall the run.
//
// A repair answers one request with the missing packet's messages as ordinary messages on the
// repair connection, then a header-only sequenced packet carrying the number (8 bytes) that
// marks it made good: the library delivers what arrives on the repair connection to the
// repair receiver's observers and takes a sequenced packet there only as that mark, so the
// host observes both receivers with one observer and sees every message once, in order.
//
// Time from gap to repair: the stall a hole causes in delivery, from the last message before
// it to the first repaired message (repaired messages carry a mark). It covers reading the
// packet after the hole, the repair request, the sender's answer and its delivery; the time
// the packets waited in the socket before the hole does not count.
//
// veltonet: a MulticastSequenceReceiver bound to a kernel-picked UDP port without a group
// (R_CreateMulticastReceiver with an empty group and the sequenced flag) and a TCPReceiver as
// its repair receiver. raw: the same sequencing by hand over epoll, recv and send. zmq has no
// sequenced datagram transport in its stable interface: its contender is PUSH/PULL over TCP
// carrying the same packets, without losses to repair.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

constexpr uint16_t kMessageSize = 64;
constexpr uint32_t kPerPacket = 16;
constexpr uint16_t kPacketSize = 8 + kPerPacket * kMessageSize;  // 1032 bytes
constexpr uint64_t kDropEvery = 100;                             // 1%
constexpr uint64_t kWindow = 1024;  // about 2.3 MB of kernel buffer at most
constexpr uint64_t kAckEvery = 64;
constexpr uint64_t kStallNs = 20000000u;
constexpr int kReceiveBuffer = 4 * 1024 * 1024;
constexpr int kStartMs = 10000;
constexpr int kDatagramBatch = 16;
// Windows option numbering, as the library's R_SetSockOpt takes it: the receive buffer.
constexpr int32_t kWinSoRcvBuf = 4098;

bool PlannedDrop(uint64_t seq, uint64_t last) {
    return seq % kDropEvery == kDropEvery / 2 && seq != last;
}

uint64_t PlannedDrops(uint64_t packets) {
    uint64_t drops = 0;
    for (uint64_t s = 1; s <= packets; ++s) {
        drops += PlannedDrop(s, packets) ? 1 : 0;
    }
    return drops;
}

// Packet seq: header, number, then kPerPacket messages [size, 1001, seq, index, repaired].
void BuildPacket(char* packet, uint32_t seq, uint64_t repaired) {
    WriteHeader(packet, kPacketSize, kTypeSequencedPacket);
    WriteU32(packet + 4, seq);
    for (uint32_t i = 0; i < kPerPacket; ++i) {
        char* m = packet + 8 + i * kMessageSize;
        WriteHeader(m, kMessageSize, kTypeData);
        WriteU32(m + 4, seq);
        WriteU32(m + 8, i);
        WriteU64(m + 12, repaired);
    }
}

// What the receiving side sees; shared by the three contenders.
struct Tally {
    uint64_t packets = 0;
    uint32_t nextPacket = 1;
    uint32_t nextIndex = 0;
    uint64_t messages = 0;
    uint64_t delivered = 0;
    uint64_t misordered = 0;
    uint64_t firstNs = 0;
    uint64_t lastNs = 0;
    uint64_t packetDoneNs = 0;  // when the last message of the previous packet was delivered
    double firstCpu = 0;
    double lastCpu = 0;
    bool done = false;
    std::vector<uint64_t> repairNs;
    std::function<void(uint32_t)> ack;  // reports progress to the sender

    void OnMessage(const char* m) {
        const uint32_t seq = ReadU32(m + 4);
        const uint32_t index = ReadU32(m + 8);
        if (seq != nextPacket || index != nextIndex) {
            ++misordered;
        }
        if (++messages == 1) {
            firstNs = NowNs();
            firstCpu = CpuSeconds();
        }
        if (index == 0 && ReadU64(m + 12) != 0 && packetDoneNs != 0) {
            repairNs.push_back(NowNs() - packetDoneNs);
        }
        if (index + 1 < kPerPacket) {
            nextPacket = seq;
            nextIndex = index + 1;
            return;
        }
        packetDoneNs = NowNs();
        nextPacket = seq + 1;
        nextIndex = 0;
        ++delivered;
        if (ack && seq % kAckEvery == 0) {
            ack(seq);
        }
        if (seq == packets) {
            lastNs = NowNs();
            lastCpu = CpuSeconds();
            done = true;
        }
    }
};

std::string AckMessage(uint32_t seq) {
    std::string ack(8, '\0');
    WriteHeader(ack.data(), 8, kTypeAck);
    WriteU32(ack.data() + 4, seq);
    return ack;
}

// ---- contender (a): veltonet ----

struct VeltoState {
    Tally* tally = nullptr;
    void* repair = nullptr;
};

void R_CALL OnSequenced(void* context, void* /*observable*/, const void* message) {
    auto* state = static_cast<VeltoState*>(context);
    const auto* bytes = static_cast<const char*>(message);
    if (ReadU16(bytes + 2) == kTypeData && ReadU16(bytes) == kMessageSize) {
        state->tally->OnMessage(bytes);
    }
}

Json ReceiveVelto(Peer& sender, uint16_t repairPort, Tally& tally, uint64_t deadline) {
    R_ReceiverInitialize();
    VeltoState state;
    state.tally = &tally;
    void* observer = RX_CreateObserver(OnSequenced, &state);
    void* sequenced = R_CreateMulticastReceiver("sequenced", "", 0, true, 0, 0);
    void* repair = R_CreateTCPReceiver("repair", "127.0.0.1", repairPort, 0, 0, 0, 0, 0, false);
    if (observer == nullptr || sequenced == nullptr || repair == nullptr) {
        Die("veltonet receivers not created");
    }
    state.repair = repair;
    RX_AddObserver(sequenced, observer);
    RX_AddObserver(repair, observer);
    R_ConnectReceiver(sequenced);
    const uint16_t port = R_GetReceiverLocalPort(sequenced);
    if (port == 0) {
        Die("the sequence receiver has no port");
    }
    // The receive buffer size given at creation is not applied to a receiver without a group,
    // so it is set through the option interface.
    int32_t size = kReceiveBuffer;
    R_SetSockOpt(sequenced, kWinSoRcvBuf, &size, sizeof(size));
    R_ConnectReceiver(repair);
    const uint64_t startDeadline = NowNs() + uint64_t(kStartMs) * 1000000u;
    while (!R_IsReceiverConnected(repair) && NowNs() < startDeadline) {
        RX_ProcessEvents(10);
    }
    R_SetMulticastRepair(sequenced, repair);
    tally.ack = [repair](uint32_t seq) {
        const std::string ack = AckMessage(seq);
        R_SendBuffer(repair, ack.data(), int32_t(ack.size()), false);
    };
    sender.Send("go " + std::to_string(port));
    while (!tally.done && NowNs() < deadline) {
        RX_ProcessEvents(100);
    }
    char done[4];
    WriteHeader(done, 4, kTypeDone);
    R_SendBuffer(repair, done, 4, false);
    RX_ProcessEvents(0);
    Json detail;
    detail.Integer("library_packets_lost", R_GetPacketsLost(sequenced))
        .Integer("library_packets_recovered", R_GetPacketsRecovered(sequenced));
    R_DeleteReceiver(sequenced);
    R_DeleteReceiver(repair);
    RX_DestroyObserver(observer);
    R_ReceiverTerminate();
    return detail;
}

// ---- contender (b): the same sequencing by hand ----

class RawSequencer {
  public:
    RawSequencer(Tally& tally, int repairFd) : m_tally(tally), m_repairFd(repairFd) {
        m_slots.resize(kSlots);
        m_held.assign(kSlots, 0);
        for (auto& slot : m_slots) {
            slot = std::make_unique<char[]>(kPacketSize);
        }
    }

    void OnDatagram(const char* packet, size_t length) {
        if (length < 8 || ReadU16(packet + 2) != kTypeSequencedPacket) {
            return;
        }
        const uint32_t seq = ReadU32(packet + 4);
        if (m_last == 0) {
            m_last = seq;
            m_next = seq + 1;
            Deliver(packet, length);
            return;
        }
        if (seq < m_next || m_held[seq % kSlots] == seq) {
            return;  // old or already held
        }
        if (m_last < seq) {
            m_last = seq;
        }
        if (!m_repairing && seq == m_next) {
            Deliver(packet, length);
            ++m_next;
            return;
        }
        std::memcpy(m_slots[seq % kSlots].get(), packet, std::min<size_t>(length, kPacketSize));
        m_held[seq % kSlots] = seq;
        if (!m_repairing) {
            m_repairing = true;
            Request(m_next);
        }
    }

    // The mark that follows a repaired packet's messages (delivered as they came).
    void OnRepaired(uint32_t seq) {
        if (seq != m_next) {
            return;
        }
        ++m_next;
        while (m_held[m_next % kSlots] == m_next) {
            m_held[m_next % kSlots] = 0;
            Deliver(m_slots[m_next % kSlots].get(), kPacketSize);
            ++m_next;
        }
        if (m_next <= m_last) {
            Request(m_next);
        } else {
            m_repairing = false;
        }
    }

    uint64_t Requests() const { return m_requests; }

  private:
    static constexpr size_t kSlots = 8192;

    void Deliver(const char* packet, size_t length) {
        raw::Frame(packet + 8, length - 8, [&](const char* m, size_t size) {
            if (size == kMessageSize && ReadU16(m + 2) == kTypeData) {
                m_tally.OnMessage(m);
            }
        });
    }

    void Request(uint32_t first) {
        char request[8];
        WriteHeader(request, 8, kTypeRepairRequest);
        WriteU32(request + 4, first);
        raw::SendAll(m_repairFd, request, sizeof(request));
        ++m_requests;
    }

    Tally& m_tally;
    int m_repairFd;
    std::vector<std::unique_ptr<char[]>> m_slots;
    std::vector<uint32_t> m_held;  // the sequence number each slot holds, 0 for none
    uint32_t m_last = 0;
    uint32_t m_next = 0;
    bool m_repairing = false;
    uint64_t m_requests = 0;
};

Json ReceiveRaw(Peer& sender, uint16_t repairPort, Tally& tally, uint64_t deadline) {
    uint16_t port = 0;
    const int udp = raw::BindUdp(&port, kReceiveBuffer);
    raw::SetNonBlocking(udp, true);
    const int tcp = raw::Connect(repairPort, false);
    raw::SetNoDelay(tcp);
    RawSequencer sequencer(tally, tcp);
    tally.ack = [tcp](uint32_t seq) {
        const std::string ack = AckMessage(seq);
        raw::SendAll(tcp, ack.data(), ack.size());
    };
    raw::Epoll poller;
    poller.Add(udp, EPOLLIN, 0);
    poller.Add(tcp, EPOLLIN, 1);
    sender.Send("go " + std::to_string(port));
    raw::InBuffer stream(65536 + 65535);
    char datagram[65536];
    epoll_event events[4];
    while (!tally.done && NowNs() < deadline) {
        const int ready = poller.Wait(events, 4, 100);
        for (int e = 0; e < ready && !tally.done; ++e) {
            if (events[e].data.u64 == 0) {
                // A bounded batch, so that a repair waiting on the TCP side is not held up
                // behind a long queue of datagrams.
                for (int i = 0; i < kDatagramBatch; ++i) {
                    const ssize_t n = recv(udp, datagram, sizeof(datagram), 0);
                    if (n <= 0) {
                        break;
                    }
                    sequencer.OnDatagram(datagram, size_t(n));
                }
                continue;
            }
            const ssize_t n =
                recv(tcp, stream.data + stream.used, stream.size - stream.used, MSG_DONTWAIT);
            if (n == 0) {
                tally.done = true;  // the sender is gone; what was delivered stands
                break;
            }
            if (n < 0) {
                continue;
            }
            stream.used += size_t(n);
            stream.Consume(raw::Frame(stream.data, stream.used, [&](const char* m, size_t size) {
                const uint16_t type = ReadU16(m + 2);
                if (type == kTypeSequencedPacket && size >= 8) {
                    sequencer.OnRepaired(ReadU32(m + 4));
                } else if (type == kTypeData && size == kMessageSize) {
                    tally.OnMessage(m);
                }
            }));
        }
    }
    char done[4];
    WriteHeader(done, 4, kTypeDone);
    raw::SendAll(tcp, done, 4);
    close(udp);
    close(tcp);
    Json detail;
    detail.Integer("repair_requests", int64_t(sequencer.Requests()));
    return detail;
}

// ---- contender (c): zmq PULL over TCP ----

Json ReceiveZmq(uint16_t port, Tally& tally, uint64_t deadline) {
    zmq::PullEach(
        port, [&] { return !tally.done && NowNs() < deadline; },
        [&](const char* packet, size_t length) {
            if (length < 8) {
                return;
            }
            raw::Frame(packet + 8, length - 8, [&](const char* m, size_t size) {
                if (size == kMessageSize && ReadU16(m + 2) == kTypeData) {
                    tally.OnMessage(m);
                }
            });
        });
    return Json();
}

int Run(const Args& args) {
    const std::string contender = args.Text("contender", "velto");
    const uint64_t seconds = args.Number("seconds", 10);
    const Pinning pin = PinningOf(args.Number("pin", 1));
    Tally tally;
    tally.packets = args.Number("packets", 100000);
    if (PlannedDrop(tally.packets, 0)) {
        ++tally.packets;  // the last packet is never left out: nothing after it shows the gap
    }
    HardDeadline(unsigned(seconds) + 30);
    PinToCpu(OwnCpu(pin));
    Peer sender({"sender", "--kind", contender == "zmq" ? "zmq" : "raw", "--packets",
                 std::to_string(tally.packets), "--seconds", std::to_string(seconds + 10), "--cpu",
                 std::to_string(PeerCpu(pin))});
    const auto port = uint16_t(std::stoul(sender.Expect("port", kStartMs)));
    const uint64_t deadline = NowNs() + seconds * 1000000000u;
    Json detail;
    if (contender == "velto") {
        detail = ReceiveVelto(sender, port, tally, deadline);
    } else if (contender == "raw") {
        detail = ReceiveRaw(sender, port, tally, deadline);
    } else if (contender == "zmq") {
        detail = ReceiveZmq(port, tally, deadline);
    } else {
        Die("unknown contender " + contender);
    }
    const std::string senderReport = sender.Expect("result", 5000);
    sender.Wait(5000);
    const uint64_t end = tally.done ? tally.lastNs : NowNs();
    const double elapsed = tally.firstNs != 0 ? double(end - tally.firstNs) / 1e9 : 0;
    const double packetRate = elapsed > 0 ? double(tally.delivered) / elapsed : 0;
    const double cpu = (tally.done ? tally.lastCpu : CpuSeconds()) - tally.firstCpu;
    const bool lossy = contender != "zmq";
    Json result;
    result.Text("workload", "sequenced")
        .Text("contender", contender)
        .Integer("packets", int64_t(tally.packets))
        .Integer("messages_per_packet", kPerPacket)
        .Integer("delivered_packets", int64_t(tally.delivered))
        .Integer("delivered_messages", int64_t(tally.messages))
        .Bool("complete", tally.done && tally.delivered == tally.packets)
        .Integer("misordered", int64_t(tally.misordered))
        .Integer("planned_drops", lossy ? int64_t(PlannedDrops(tally.packets)) : 0)
        .Number("seconds", elapsed)
        .Number("packets_per_s", packetRate)
        .Number("msgs_per_s", packetRate * kPerPacket)
        .Number("cpu_busy", elapsed > 0 ? cpu / elapsed : 0)
        .Raw("repair", LatencySummary(tally.repairNs, 2000))
        .Raw("receiver", detail.Str())
        .Raw("sender", senderReport);
    PrintResult(result);
    return 0;
}

// ---- the peer ----

class RawSender {
  public:
    RawSender(uint64_t packets, int udp, int tcp) : m_packets(packets), m_udp(udp), m_tcp(tcp) {}

    void Run(uint64_t deadline) {
        char packet[kPacketSize];
        uint64_t lastProgress = NowNs();
        uint64_t acked = m_acked;
        for (uint64_t seq = 1; seq <= m_packets && NowNs() < deadline && !m_done;) {
            Service(0);
            if (m_acked != acked) {
                acked = m_acked;
                lastProgress = NowNs();
            }
            if (seq - m_acked > kWindow && NowNs() - lastProgress < kStallNs) {
                Service(1);
                continue;
            }
            if (seq - m_acked > kWindow) {
                ++m_stalls;
                lastProgress = NowNs();
            }
            if (!PlannedDrop(seq, m_packets)) {
                BuildPacket(packet, uint32_t(seq), 0);
                send(m_udp, packet, kPacketSize, 0);
            } else {
                ++m_dropped;
            }
            ++seq;
        }
        while (!m_done && NowNs() < deadline) {
            Service(10);
        }
    }

    Json Report() const {
        Json report;
        report.Integer("dropped_on_purpose", int64_t(m_dropped))
            .Integer("repairs_served", int64_t(m_repairs))
            .Integer("window_stalls", int64_t(m_stalls));
        return report;
    }

  private:
    // Handles what the receiver sent: progress reports, repair requests, the end.
    void Service(int timeoutMs) {
        if (timeoutMs > 0) {
            pollfd entry{m_tcp, POLLIN, 0};
            if (poll(&entry, 1, timeoutMs) <= 0) {
                return;
            }
        }
        const ssize_t n = recv(m_tcp, m_in.data + m_in.used, m_in.size - m_in.used, MSG_DONTWAIT);
        if (n == 0) {
            m_done = true;
            return;
        }
        if (n < 0) {
            return;
        }
        m_in.used += size_t(n);
        m_in.Consume(raw::Frame(m_in.data, m_in.used, [&](const char* m, size_t size) {
            const uint16_t type = ReadU16(m + 2);
            if (type == kTypeAck && size >= 8) {
                m_acked = std::max<uint64_t>(m_acked, ReadU32(m + 4));
            } else if (type == kTypeRepairRequest && size >= 8) {
                Repair(ReadU32(m + 4));
            } else if (type == kTypeDone) {
                m_done = true;
            }
        }));
    }

    void Repair(uint32_t seq) {
        if (seq == 0 || seq > m_packets) {
            return;
        }
        char packet[kPacketSize];
        BuildPacket(packet, seq, 1);
        // The messages, then the mark, in one write.
        char reply[kPacketSize];
        std::memcpy(reply, packet + 8, kPacketSize - 8);
        WriteHeader(reply + kPacketSize - 8, 8, kTypeSequencedPacket);
        WriteU32(reply + kPacketSize - 4, seq);
        raw::SendAll(m_tcp, reply, kPacketSize);
        ++m_repairs;
    }

    uint64_t m_packets;
    int m_udp;
    int m_tcp;
    raw::InBuffer m_in{65536};
    uint64_t m_acked = 0;
    uint64_t m_dropped = 0;
    uint64_t m_repairs = 0;
    uint64_t m_stalls = 0;
    bool m_done = false;
};

int SendRaw(uint64_t packets, uint64_t deadline) {
    uint16_t repairPort = 0;
    const int listenFd = raw::Listen(&repairPort, 16, false);
    parent::Send("port " + std::to_string(repairPort));
    const int tcp = raw::AcceptOne(listenFd, kStartMs, false);
    close(listenFd);
    raw::SetNoDelay(tcp);
    const auto udpPort = uint16_t(std::stoul(parent::Expect("go", kStartMs)));
    const int udp = raw::ConnectUdp(udpPort);
    RawSender sender(packets, udp, tcp);
    sender.Run(deadline);
    parent::Send("result " + sender.Report().Str());
    close(udp);
    close(tcp);
    return 0;
}

int SendZmq(uint64_t packets, uint64_t /*deadline*/) {
    void* context = zmq::NewContext();
    void* push = zmq::NewSocket(context, ZMQ_PUSH);
    zmq::SetInt(push, ZMQ_LINGER, 2000);
    zmq::SetInt(push, ZMQ_SNDTIMEO, 5000);
    parent::Send("port " + std::to_string(zmq::BindLoopback(push)));
    char packet[kPacketSize];
    for (uint64_t seq = 1; seq <= packets; ++seq) {
        BuildPacket(packet, uint32_t(seq), 0);
        if (zmq_send(push, packet, kPacketSize, 0) < 0) {
            break;
        }
    }
    parent::Send("result {}");
    zmq_close(push);
    zmq_ctx_term(context);
    return 0;
}

int Sender(const Args& args) {
    const uint64_t seconds = args.Number("seconds", 20);
    HardDeadline(unsigned(seconds) + 20);
    PinToCpu(std::stoi(args.Text("cpu", "-1")));
    const uint64_t packets = args.Number("packets", 100000);
    const uint64_t deadline = NowNs() + seconds * 1000000000u;
    return args.Text("kind") == "zmq" ? SendZmq(packets, deadline) : SendRaw(packets, deadline);
}

}  // namespace

int main(int argc, char** argv) {
    return RunRole(argc, argv, "velto-bench-sequenced", "sender", Run, Sender);
}
