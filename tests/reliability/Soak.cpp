// veltonet-soak: the library under steady load for a set time, on one thread and real time.
//
//  - fan-out: a listener sends ten identifiers' streams to 50 subscribing receivers; every
//    subscriber must get every message of its identifier exactly once, in order;
//  - repaired feed: a sequence receiver takes a datagram feed from which the sender drops 1%
//    of the packets; a repair server answers each repair request with the missing packet's
//    messages (to the repair receiver's observers) and its number; the consumer must see
//    every packet's messages exactly once, in order, across both receivers;
//  - restarts: a persistent receiver rides a quote listener that is torn down every few
//    seconds and comes back on the same port; quotes must never arrive twice, out of order or
//    cut short.
// Resident memory, heap and descriptors are sampled every second; after the warm-up their
// slopes must be flat. Exit status 0 when everything holds.
//
// Usage: veltonet-soak [seconds, default 600]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/listener/ClientSet.h"
#include "veltonet/listener/Listener.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"

namespace veltonet::soak {
namespace {

using Clock = std::chrono::steady_clock;
using test::ConnectReceiver;
using test::Frame;
using namespace std::chrono_literals;

constexpr uint16_t kFanOutType = 3100;
constexpr uint16_t kFeedType = 3200;
constexpr uint16_t kQuoteType = 3300;
constexpr unsigned kSubscribers = 50;
constexpr unsigned kIdentifiers = 10;

std::string U32(uint32_t value) {
    std::string bytes(4, '\0');
    Message::WriteU32(bytes.data(), value);
    return bytes;
}

// A message that proves itself whole: its stream, its number and a padding of varying length
// and content, all of which the consumer makes again to compare.
std::string Numbered(uint16_t type, uint32_t stream, uint32_t number) {
    const size_t length = 16 + (number * 37 + stream * 11) % 200;
    return Frame(type, U32(stream) + U32(number) + std::string(length, char(number * 7 + stream)));
}

unsigned lost = 0;
unsigned duplicated = 0;
unsigned broken = 0;
std::vector<std::string> notes;

// Counts n failures of one kind and keeps the first notes for the report.
void Fail(unsigned& kind, unsigned n, const std::string& note) {
    kind += n;
    if (notes.size() < 20) {
        notes.push_back(note);
    }
}

// One numbered stream as its consumer sees it: every message whole and of this stream, none
// twice or out of order, none missing but across an allowed jump.
struct Stream {
    std::string name;
    uint16_t type;
    uint32_t id = 0;
    uint32_t next = 0;
    bool mayJump = false;

    bool Take(const Message* message) {
        const uint32_t number = message->GetSize() >= 12 ? message->ReadU32(8) : 0;
        if (std::string(reinterpret_cast<const char*>(message->Bytes()), message->GetSize()) !=
            Numbered(type, id, number)) {
            Fail(broken, 1, name + ": a broken or foreign message");
        } else if (number < next) {
            Fail(duplicated, 1, name + ": " + std::to_string(number) + " again or out of order");
        } else {
            if (number > next && !mayJump) {
                Fail(lost, number - next, name + ": a gap before " + std::to_string(number));
            }
            next = number + 1;
            mayJump = false;
            return true;
        }
        return false;
    }
};

// Every receiver of the three loads reports here.
class Soak : public Observer {
  public:
    Soak() {
        ConnectReceiver(hub);
        fanOut.reserve(kSubscribers);
        for (unsigned i = 0; i < kSubscribers; ++i) {
            const std::string name = "subscriber " + std::to_string(i);
            subscribers.push_back(
                std::make_unique<TCPReceiver>(name.c_str(), "127.0.0.1", hub.GetLocalPort(), 1));
            fanOut.push_back({"fan-out " + name, kFanOutType, i % kIdentifiers});
            Watch(*subscribers.back(), &fanOut.back(), false);  // Setup connects them
        }
        Watch(feed, &feedStream);
        test::raw::ConnectTo(sender, feed.GetLocalPort());
        // Room for bursts: a drop the kernel makes is repaired like the sender's own.
        const int big = 4 << 20;
        setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
        uint16_t port = 0;
        repairServer = test::raw::Listen(&port);
        repair = std::make_unique<TCPReceiver>("repair", "127.0.0.1", port, 1);
        StartQuotes();
        rider = std::make_unique<TCPReceiver>("rider", "127.0.0.1", quotePort, 1);
        Watch(*repair, &feedStream);
        Watch(*rider, &quotes);
    }
    ~Soak() override {
        DetachFromAll();
        close(sender);
        test::raw::Close(repairPeer);
        test::raw::Close(repairServer);
    }

    void OnMessage(const Message* message, Observable* source) override {
        Stream& stream = *streams[source];
        switch (message->GetType()) {
            case kMsgAccepted:
                if (stream.type == kFanOutType) {
                    const std::string request = Frame(kMsgSubscribe, U32(stream.id));
                    static_cast<TCPReceiver*>(source)->SendBuffer(request.data(),
                                                                  int(request.size()));
                }
                break;
            case kMsgConnected:
                if (&stream == &quotes) {
                    ++connections;
                    quotes.mayJump = true;  // after a restart: what was in flight went with it
                }
                break;
            case kMsgDisconnected:
                if (stream.type == kFanOutType) {
                    Fail(broken, 1, stream.name + ": the connection was lost");
                }
                break;
            case kFanOutType:
            case kFeedType:
            case kQuoteType:
                if (stream.Take(message)) {
                    ++delivered[message->GetType()];
                    fromRepair += source == repair.get();
                }
                break;
        }
    }

    // Connects a few subscribers at a time (the listening backlog is 5, and connections
    // beyond it wait for the kernel's SYN retries, seconds) and attaches the repair receiver.
    // True once all are subscribed and the feed may start.
    bool Setup() {
        if (hub.GetClientCount() == connected) {
            for (unsigned i = 0; i < 4 && connected < kSubscribers; ++i) {
                ConnectReceiver(*subscribers[connected++]);
            }
        }
        unsigned members = 0;
        for (unsigned id = 0; id < kIdentifiers; ++id) {
            const ClientSet* set = hub.FindSubscription(id, nullptr);
            members += set != nullptr ? set->GetCount() : 0;
        }
        if (repairPeer < 0) {
            repairPeer = test::raw::AcceptWithin(repairServer, 0);
        }
        if (repairPeer >= 0 && repair->isConnected() && feed.GetRepairReceiver() == nullptr) {
            feed.SetRepairReceiver(repair.get());
        }
        return members == kSubscribers && feed.GetRepairReceiver() != nullptr;
    }

    void Publish() {
        for (uint32_t id = 0; id < kIdentifiers; ++id) {
            const std::string m = Numbered(kFanOutType, id, published);
            hub.SendSubscription(id, nullptr, m.data(), int(m.size()));
        }
        hub.ForceSendBufferToClients();
        ++published;
    }

    // One feed packet; the sender drops about one in a hundred (never the first few, which
    // open the sequence, nor the last ones, which close the final gap).
    void SendPacket(bool mayDrop) {
        const uint32_t n = ++packets;
        const std::string packet = Frame(kMsgSequencedPacket, U32(n) + Numbered(kFeedType, 0, n));
        if (mayDrop && n > 10 && (n * 2654435761u >> 16) % 100 == 0) {
            ++dropped;
            return;
        }
        send(sender, packet.data(), packet.size(), 0);
    }

    // Answers repair requests: the packet's messages as ordinary messages, then the packet's
    // number as a sequenced packet with nothing in it.
    void ServeRepairs() {
        if (repairPeer < 0) {
            return;
        }
        requests += test::raw::ReadAvailable(repairPeer, 0);
        // Every request is 8 bytes: one of another size puts the rest out of step, and fails.
        for (; requests.size() >= 8; requests.erase(0, 8)) {
            const Message* message = Message::At(requests.data());
            const uint32_t n = message->ReadU32(4);
            if (message->GetSize() != 8 || message->GetType() != kMsgRepairRequest || n == 0 ||
                n > packets) {
                Fail(broken, 1, "feed: a malformed or unanswerable repair request");
            } else {
                ++repairs;
                test::raw::SendAll(repairPeer,
                                   Numbered(kFeedType, 0, n) + Frame(kMsgSequencedPacket, U32(n)));
            }
        }
    }

    // A quote; the server goes every 3 s with all its clients and is back half a second later.
    void Quote(Clock::time_point now) {
        if (quoteServer == nullptr) {
            if (now - since > 500ms) {
                StartQuotes();
            }
            return;
        }
        const std::string m = Numbered(kQuoteType, 0, quoted++);
        quoteServer->SendBuffer(m.data(), int(m.size()));
        quoteServer->ForceSendBufferToClients();
        if (now - since > 3s) {
            quoteServer.reset();
            since = now;
            ++restarts;
        }
    }

    // Messages sent and not (yet) delivered, over all streams.
    unsigned Missing() const {
        unsigned n = packets + 1 - feedStream.next;
        for (const Stream& stream : fanOut) {
            n += published - stream.next;
        }
        return n;
    }

    Listener hub{"hub", 64, 0, 0, true, 0, 0, false};
    std::vector<std::unique_ptr<TCPReceiver>> subscribers;
    std::vector<Stream> fanOut;
    uint32_t published = 0;
    unsigned connected = 0;

    MulticastSequenceReceiver feed{"feed", "", 0};
    std::unique_ptr<TCPReceiver> repair;
    Stream feedStream{"feed", kFeedType, 0, 1};
    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int repairServer = -1;
    int repairPeer = -1;
    std::string requests;
    uint32_t packets = 0;
    unsigned dropped = 0;
    unsigned repairs = 0;
    unsigned long fromRepair = 0;
    std::map<uint16_t, unsigned long> delivered;  // by type

    std::unique_ptr<Listener> quoteServer;
    std::unique_ptr<TCPReceiver> rider;
    Stream quotes{"restarts", kQuoteType, 0, 0, true};
    uint16_t quotePort = 0;
    Clock::time_point since = Clock::now();
    uint32_t quoted = 0;
    unsigned restarts = 0;
    unsigned connections = 0;

  private:
    void Watch(TCPReceiver& receiver, Stream* stream, bool connect = true) {
        streams[&receiver] = stream;
        receiver.Add(this);
        if (connect) {
            ConnectReceiver(receiver);
        }
    }
    void StartQuotes() {
        quoteServer = std::make_unique<Listener>("quotes", 1, 0, quotePort, true, 0, 0, false);
        if (!ConnectReceiver(*quoteServer)) {
            quoteServer.reset();  // the port is not free yet: the next tick tries again
            return;
        }
        quotePort = quoteServer->GetLocalPort();
        since = Clock::now();
    }

    std::map<const Observable*, Stream*> streams;
};

struct Sample {
    double t;
    double rssKiB;
    double heapKiB;
    double descriptors;
};

// Least-squares slope per minute of one figure over the samples from `from` on.
double SlopePerMinute(const std::vector<Sample>& samples, size_t from, double Sample::*field) {
    double n = 0, st = 0, sy = 0, stt = 0, sty = 0;
    for (size_t i = from; i < samples.size(); ++i, ++n) {
        const double t = samples[i].t / 60.0;
        st += t;
        sy += samples[i].*field;
        stt += t * t;
        sty += t * samples[i].*field;
    }
    const double d = n * stt - st * st;
    return n < 2 || d == 0 ? 0 : (n * sty - st * sy) / d;
}

int Run(double seconds) {
    char folder[] = "/tmp/veltonet-soak-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    setenv("VELTONET_LOG_DIR", folder, 1);
    ReceiverManager::Create();
    EventLoop& loop = ReceiverManager::Instance()->GetLoop();
    int status = 2;
    {
        Soak soak;
        auto pumpUntil = [&](auto done, Clock::duration limit) {
            for (const auto end = Clock::now() + limit; !done();) {
                if (Clock::now() > end) {
                    return false;
                }
                loop.ProcessEvents(2);
                soak.ServeRepairs();
            }
            return true;
        };
        if (!pumpUntil([&] { return soak.Setup(); }, 10s)) {
            std::fprintf(stderr, "soak: the subscriptions or the repair link never came up\n");
            return 2;
        }

        std::vector<Sample> samples;
        const auto start = Clock::now();
        // A schedule in milliseconds: fan-out every 10, a feed packet every 2, a quote every 5,
        // a sample every 1000; what falls behind is caught up.
        for (long ms = 0; Clock::now() - start < std::chrono::duration<double>(seconds);) {
            loop.ProcessEvents(1);
            soak.ServeRepairs();
            for (; Clock::now() >= start + ms * 1ms; ++ms) {
                if (ms % 10 == 0) {
                    soak.Publish();
                }
                if (ms % 2 == 0) {
                    soak.SendPacket(true);
                }
                if (ms % 5 == 0) {
                    soak.Quote(Clock::now());
                }
                if (ms % 1000 == 0) {
                    long pages = 0;
                    long resident = 0;
                    std::ifstream("/proc/self/statm") >> pages >> resident;
                    samples.push_back({ms / 1000.0, double(resident * sysconf(_SC_PAGESIZE)) / 1024,
                                       double(test::HeapInUse()) / 1024,
                                       double(test::OpenDescriptors())});
                }
            }
        }

        // Close the last gap, then let everything arrive.
        for (int i = 0; i < 20; ++i) {
            soak.SendPacket(false);
        }
        if (!pumpUntil(
                [&] { return soak.Missing() == 0 && soak.feed.GetDelayedMessageCount() == 0; },
                20s)) {
            Fail(lost, soak.Missing(), "the streams did not drain within 20 s");
        }
        // Every packet the sender dropped must have come back through the repair link.
        if (soak.fromRepair < soak.dropped) {
            Fail(lost, 1, "feed: fewer repaired packets than the sender dropped");
        }
        if (soak.restarts == 0 || soak.connections < soak.restarts) {
            Fail(broken, 1, "restarts: the receiver did not come back after every restart");
        }

        const size_t warm = std::min(samples.size() / 4, size_t(60));
        const double rssSlope = SlopePerMinute(samples, warm, &Sample::rssKiB);
        const double heapSlope = SlopePerMinute(samples, warm, &Sample::heapKiB);
        const double fdSlope = SlopePerMinute(samples, warm, &Sample::descriptors);
        const Sample& first = samples[warm];
        const Sample& last = samples.back();
        // Flat: well under the figures a leak per message or per connection would give.
        if (rssSlope > 256 || heapSlope > 128) {
            Fail(broken, 1, "memory grows after the warm-up");
        }
        // Descriptors come and go with the restarts: compare the peaks of the first and the
        // last third after the warm-up.
        const size_t third = (samples.size() - warm) / 3;
        auto peak = [&](size_t from) {
            return std::max_element(samples.begin() + from, samples.begin() + from + third,
                                    [](const Sample& a, const Sample& b) {
                                        return a.descriptors < b.descriptors;
                                    })
                ->descriptors;
        };
        if (third > 0 && peak(samples.size() - third) > peak(warm) + 1) {
            Fail(broken, 1, "descriptors grow after the warm-up");
        }

        std::printf("soak: %.0f s on one thread\n",
                    std::chrono::duration<double>(Clock::now() - start).count());
        std::printf("  fan-out : %u subscribers, %lu messages sent, %lu delivered\n", kSubscribers,
                    1ul * soak.published * kIdentifiers, soak.delivered[kFanOutType]);
        std::printf(
            "  feed    : %u packets, %u dropped by the sender, %u repair requests answered, "
            "%u recovered, %u counted lost; %lu via the feed + %lu via repair\n",
            soak.packets, soak.dropped, soak.repairs, soak.feed.GetPacketsRecovered(),
            soak.feed.GetPacketsLost(), soak.delivered[kFeedType] - soak.fromRepair,
            soak.fromRepair);
        std::printf("  restarts: %u server restarts, %u connections, %lu quotes\n", soak.restarts,
                    soak.connections, soak.delivered[kQuoteType]);
        std::printf(
            "  memory  : after %.0f s of warm-up, resident %.0f -> %.0f KiB (slope %+.1f "
            "KiB/min), heap %.0f -> %.0f KiB (slope %+.1f KiB/min)\n",
            first.t, first.rssKiB, last.rssKiB, rssSlope, first.heapKiB, last.heapKiB, heapSlope);
        std::printf("  files   : descriptors %.0f -> %.0f (slope %+.2f per min)\n",
                    first.descriptors, last.descriptors, fdSlope);
        std::printf("  checks  : lost %u, duplicated %u, broken %u\n", lost, duplicated, broken);
        for (const std::string& note : notes) {
            std::printf("  FAIL: %s\n", note.c_str());
        }
        status = lost + duplicated + broken != 0 ? 1 : 0;
        std::printf("soak: %s\n", status == 0 ? "passed" : "FAILED");
    }
    ReceiverManager::Destroy();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
}

}  // namespace
}  // namespace veltonet::soak

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600;
    if (seconds < 5) {
        std::fprintf(stderr, "usage: veltonet-soak [seconds >= 5, default 600]\n");
        return 2;
    }
    return veltonet::soak::Run(seconds);
}
