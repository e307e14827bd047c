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
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "veltonet/companion/Log.h"
#include "veltonet/companion/Message.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/listener/ClientSet.h"
#include "veltonet/listener/Listener.h"
#include "veltonet/tcp/TCPReceiver.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"

namespace veltonet::soak {
namespace {

using Clock = std::chrono::steady_clock;
using test::Frame;

constexpr uint16_t kFanOutType = 3100;
constexpr uint16_t kFeedType = 3200;
constexpr uint16_t kQuoteType = 3300;
constexpr unsigned kSubscribers = 50;
constexpr unsigned kIdentifiers = 10;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string U32(uint32_t value) {
    std::string bytes(4, '\0');
    Message::WriteU32(bytes.data(), value);
    return bytes;
}

// A message that proves itself whole: its number, a padding of varying length, and the sum of
// the padding.
std::string Numbered(uint16_t type, uint32_t stream, uint32_t number) {
    const size_t length = 16 + (number * 37 + stream * 11) % 200;
    std::string padding(length, '\0');
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) {
        padding[i] = char((number + i * 7) & 0xFF);
        sum += uint8_t(padding[i]);
    }
    return Frame(type, U32(stream) + U32(number) + U32(sum) + padding);
}

struct NumberedView {
    bool whole;
    uint32_t stream;
    uint32_t number;
};

NumberedView ReadNumbered(const Message* message) {
    const unsigned size = message->GetSize();
    if (size < 16) {
        return {false, 0, 0};
    }
    uint32_t sum = 0;
    for (unsigned i = 16; i < size; ++i) {
        sum += message->Bytes()[i];
    }
    return {sum == message->ReadU32(12), message->ReadU32(4), message->ReadU32(8)};
}

struct Failures {
    unsigned lost = 0;
    unsigned duplicated = 0;
    unsigned broken = 0;
    std::vector<std::string> notes;
    void Note(const std::string& text) {
        if (notes.size() < 20) {
            notes.push_back(text);
        }
    }
};

// ---- fan-out ----

class Subscriber : public Observer {
  public:
    Subscriber(unsigned index, uint16_t port, Failures* failures)
        : m_identifier(index % kIdentifiers),
          m_failures(failures),
          m_receiver(std::make_unique<TCPReceiver>(("subscriber" + std::to_string(index)).c_str(),
                                                   "127.0.0.1", port, 1)) {
        m_receiver->Add(this);
    }
    ~Subscriber() override { m_receiver->Remove(this); }

    void Connect() {
        m_receiver->InvalidateSocket(true);
        m_receiver->CreateSocket();
    }

    void OnMessage(const Message* message, Observable* /*source*/) override {
        switch (message->GetType()) {
            case kMsgAccepted: {
                std::string request(8, '\0');
                Message::WriteHeader(request.data(), 8, kMsgSubscribe);
                Message::WriteU32(request.data() + 4, m_identifier);
                m_receiver->SendBuffer(request.data(), int(request.size()));
                break;
            }
            case kMsgDisconnected:
                ++disconnects;
                break;
            case kFanOutType: {
                const NumberedView view = ReadNumbered(message);
                if (!view.whole || view.stream != m_identifier) {
                    ++m_failures->broken;
                    m_failures->Note("fan-out: a broken or foreign message");
                } else if (view.number < next) {
                    ++m_failures->duplicated;
                    m_failures->Note("fan-out: message " + std::to_string(view.number) +
                                     " again on identifier " + std::to_string(m_identifier));
                } else {
                    if (view.number > next) {
                        m_failures->lost += view.number - next;
                        m_failures->Note("fan-out: " + std::to_string(view.number - next) +
                                         " lost on identifier " + std::to_string(m_identifier));
                    }
                    next = view.number + 1;
                    ++received;
                }
                break;
            }
            default:
                break;
        }
    }

    uint32_t Identifier() const { return m_identifier; }
    uint32_t next = 0;
    uint64_t received = 0;
    unsigned disconnects = 0;

  private:
    uint32_t m_identifier;
    Failures* m_failures;
    std::unique_ptr<TCPReceiver> m_receiver;
};

class FanOut {
  public:
    explicit FanOut(Failures* failures) : m_failures(failures) {
        m_hub = std::make_unique<Listener>("hub", 64, 0, 0, true, 0, 0, false);
        m_hub->InvalidateSocket(true);
        m_hub->CreateSocket();
        for (unsigned i = 0; i < kSubscribers; ++i) {
            m_subscribers.push_back(
                std::make_unique<Subscriber>(i, m_hub->GetLocalPort(), failures));
        }
    }
    // Connects the subscribers a few at a time: the listening backlog is 5, and connections
    // beyond it wait for the kernel's SYN retries (seconds). True once all are subscribed.
    bool Setup() {
        if (m_connected < kSubscribers && m_hub->GetClientCount() == m_connected) {
            for (unsigned i = 0; i < 4 && m_connected < kSubscribers; ++i) {
                m_subscribers[m_connected++]->Connect();
            }
        }
        return Subscribed();
    }
    bool Subscribed() const {
        unsigned members = 0;
        for (unsigned id = 0; id < kIdentifiers; ++id) {
            if (const ClientSet* set = m_hub->FindSubscription(id, nullptr)) {
                members += set->GetCount();
            }
        }
        return members == kSubscribers;
    }
    void Publish() {
        for (uint32_t id = 0; id < kIdentifiers; ++id) {
            const std::string m = Numbered(kFanOutType, id, m_sent[id]++);
            m_hub->SendSubscription(id, nullptr, m.data(), int(m.size()));
        }
        m_hub->ForceSendBufferToClients();
        m_messages += kIdentifiers;
    }
    bool Drained() const {
        for (const auto& s : m_subscribers) {
            if (s->next != m_sent[s->Identifier()]) {
                return false;
            }
        }
        return true;
    }
    void Finish() {
        for (const auto& s : m_subscribers) {
            if (s->next < m_sent[s->Identifier()]) {
                m_failures->lost += m_sent[s->Identifier()] - s->next;
                m_failures->Note("fan-out: a subscriber ended short");
            }
            if (s->disconnects != 0) {
                m_failures->Note("fan-out: a subscriber lost its connection");
                ++m_failures->broken;
            }
        }
    }
    uint64_t Messages() const { return m_messages; }
    uint64_t Deliveries() const {
        uint64_t n = 0;
        for (const auto& s : m_subscribers) {
            n += s->received;
        }
        return n;
    }

  private:
    Failures* m_failures;
    std::unique_ptr<Listener> m_hub;
    std::vector<std::unique_ptr<Subscriber>> m_subscribers;
    std::array<uint32_t, kIdentifiers> m_sent{};
    uint64_t m_messages = 0;
    unsigned m_connected = 0;
};

// ---- repaired feed ----

// Sees the feed's messages from both receivers: they must form one unbroken run.
class FeedConsumer : public Observer {
  public:
    explicit FeedConsumer(Failures* failures) : m_failures(failures) {}
    void OnMessage(const Message* message, Observable* source) override {
        if (message->GetType() != kFeedType) {
            return;
        }
        const NumberedView view = ReadNumbered(message);
        if (!view.whole) {
            ++m_failures->broken;
            m_failures->Note("feed: a broken message");
        } else if (view.number <= last) {
            ++m_failures->duplicated;
            m_failures->Note("feed: packet " + std::to_string(view.number) + " again");
        } else {
            if (view.number != last + 1) {
                m_failures->lost += view.number - last - 1;
                m_failures->Note("feed: " + std::to_string(view.number - last - 1) +
                                 " packets missing before " + std::to_string(view.number));
            }
            last = view.number;
            (source == repairSource ? fromRepair : fromFeed)++;
        }
    }
    uint32_t last = 0;
    uint64_t fromFeed = 0;
    uint64_t fromRepair = 0;
    const Observable* repairSource = nullptr;

  private:
    Failures* m_failures;
};

class Feed {
  public:
    explicit Feed(Failures* failures) : m_consumer(failures), m_failures(failures) {
        m_receiver = std::make_unique<MulticastSequenceReceiver>("feed", "", 0);
        m_receiver->Add(&m_consumer);
        m_receiver->InvalidateSocket(true);
        m_receiver->CreateSocket();
        m_sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        // Room for bursts: a drop the kernel makes is repaired like the sender's own.
        const int big = 4 << 20;
        setsockopt(m_sender, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(m_receiver->GetLocalPort());
        m_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

        uint16_t port = 0;
        m_repairListen = test::raw::ListenOn("127.0.0.1", &port);
        m_repair = std::make_unique<TCPReceiver>("repair", "127.0.0.1", port, 1);
        m_repair->Add(&m_consumer);
        m_consumer.repairSource = m_repair.get();
        m_repair->InvalidateSocket(true);
        m_repair->CreateSocket();
        // Every slot made to its full size now, so that the history costs no heap later.
        m_history.assign(kHistory, std::string());
        for (std::string& slot : m_history) {
            slot.reserve(512);
        }
    }
    ~Feed() {
        close(m_sender);
        test::raw::Close(m_repairPeer);
        test::raw::Close(m_repairListen);
    }

    // The repair connection up and attached: the feed may start.
    bool Ready() {
        if (m_repairPeer < 0) {
            m_repairPeer = test::raw::AcceptWithin(m_repairListen, 0);
        }
        if (m_repairPeer >= 0 && m_repair->isConnected() &&
            m_receiver->GetRepairReceiver() == nullptr) {
            m_receiver->SetRepairReceiver(m_repair.get());
        }
        return m_receiver->GetRepairReceiver() != nullptr;
    }

    // One packet; the sender drops about one in a hundred (never the first few, which open
    // the sequence, nor the last ones, which close the final gap).
    void SendNext(bool mayDrop) {
        const uint32_t n = ++m_sent;
        const std::string messages = Numbered(kFeedType, 0, n);
        const std::string packet = Frame(kMsgSequencedPacket, U32(n) + messages);
        m_history[n % kHistory] = packet;
        m_random = m_random * 1103515245u + 12345u;
        if (mayDrop && n > 10 && (m_random >> 16) % 100 == 0) {
            ++m_dropped;
            return;
        }
        sendto(m_sender, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&m_to),
               sizeof(m_to));
    }

    // Answers repair requests: the packet's messages as ordinary messages, then the packet's
    // number as a sequenced packet with nothing in it.
    void ServeRepairs() {
        if (m_repairPeer < 0) {
            return;
        }
        m_requests += test::raw::ReadAvailable(m_repairPeer, 0);
        std::string rest;
        const std::vector<std::string> requests = test::CutFrames(m_requests, &rest);
        m_requests = rest;
        for (const std::string& request : requests) {
            const Message* message = Message::At(request.data());
            if (message->GetType() != kMsgRepairRequest || message->GetSize() != 8) {
                ++m_failures->broken;
                m_failures->Note("feed: a malformed repair request");
                continue;
            }
            const uint32_t n = message->ReadU32(4);
            ++m_repairs;
            if (n == 0 || n > m_sent || m_sent - n >= kHistory) {
                ++m_failures->lost;
                m_failures->Note("feed: a repair request for " + std::to_string(n) +
                                 " that cannot be answered");
                continue;
            }
            const std::string& packet = m_history[n % kHistory];
            const std::string answer = packet.substr(8) + Frame(kMsgSequencedPacket, U32(n));
            test::raw::SendAll(m_repairPeer, answer);
        }
    }

    bool Drained() const {
        return m_consumer.last == m_sent && m_receiver->GetDelayedMessageCount() == 0;
    }
    void Finish() {
        if (m_consumer.last != m_sent) {
            m_failures->lost += m_sent - m_consumer.last;
            m_failures->Note("feed: ended " + std::to_string(m_sent - m_consumer.last) +
                             " packets short");
        }
    }

    uint32_t Sent() const { return m_sent; }
    uint32_t Dropped() const { return m_dropped; }
    uint32_t Repairs() const { return m_repairs; }
    const FeedConsumer& Consumer() const { return m_consumer; }
    const MulticastSequenceReceiver& Receiver() const { return *m_receiver; }

  private:
    static constexpr uint32_t kHistory = 1 << 12;  // 8 s of packets
    FeedConsumer m_consumer;
    Failures* m_failures;
    std::unique_ptr<MulticastSequenceReceiver> m_receiver;
    std::unique_ptr<TCPReceiver> m_repair;
    int m_sender = -1;
    sockaddr_in m_to{};
    int m_repairListen = -1;
    int m_repairPeer = -1;
    std::string m_requests;
    std::vector<std::string> m_history;
    uint32_t m_sent = 0;
    uint32_t m_dropped = 0;
    uint32_t m_repairs = 0;
    uint32_t m_random = 2024;
};

// ---- restarts ----

class Rider : public Observer {
  public:
    explicit Rider(Failures* failures) : m_failures(failures) {
        Start(0);
        m_receiver = std::make_unique<TCPReceiver>("rider", "127.0.0.1", m_port, 1);
        m_receiver->Add(this);
        m_receiver->InvalidateSocket(true);
        m_receiver->CreateSocket();
    }
    ~Rider() override {
        m_receiver->Remove(this);
        m_receiver.reset();
        m_server.reset();
    }

    void OnMessage(const Message* message, Observable* /*source*/) override {
        switch (message->GetType()) {
            case kMsgConnected:
                ++connections;
                m_fresh = true;
                break;
            case kQuoteType: {
                const NumberedView view = ReadNumbered(message);
                if (!view.whole) {
                    ++m_failures->broken;
                    m_failures->Note("restarts: a broken quote");
                } else if (view.number <= m_last && m_any) {
                    ++m_failures->duplicated;
                    m_failures->Note("restarts: quote " + std::to_string(view.number) +
                                     " again or out of order");
                } else {
                    // Within one connection the quotes run without a gap; across a restart
                    // what was in flight is gone with the server.
                    if (!m_fresh && view.number != m_last + 1) {
                        m_failures->lost += view.number - m_last - 1;
                        m_failures->Note("restarts: a gap inside one connection");
                    }
                    m_fresh = false;
                    m_any = true;
                    m_last = view.number;
                    ++quotes;
                }
                break;
            }
            default:
                break;
        }
    }

    void Tick(Clock::time_point now) {
        if (m_server != nullptr) {
            const std::string m = Numbered(kQuoteType, 0, m_next++);
            m_server->SendBuffer(m.data(), int(m.size()));
            m_server->ForceSendBufferToClients();
            if (now - m_since > std::chrono::seconds(3)) {
                m_server.reset();  // every client goes with it
                m_since = now;
                ++restarts;
            }
        } else if (now - m_since > std::chrono::milliseconds(500)) {
            Start(m_port);
            m_since = now;
        }
    }

    unsigned restarts = 0;
    unsigned connections = 0;
    uint64_t quotes = 0;

  private:
    void Start(uint16_t port) {
        m_server = std::make_unique<Listener>("quotes", 1, 0, port, true, 0, 0, false);
        m_server->InvalidateSocket(true);
        if (!m_server->CreateSocket()) {
            m_server.reset();  // the port is not free yet: the next tick tries again
            return;
        }
        m_port = m_server->GetLocalPort();
        m_since = Clock::now();
    }

    Failures* m_failures;
    std::unique_ptr<Listener> m_server;
    std::unique_ptr<TCPReceiver> m_receiver;
    uint16_t m_port = 0;
    Clock::time_point m_since = Clock::now();
    uint32_t m_next = 0;
    uint32_t m_last = 0;
    bool m_any = false;
    bool m_fresh = true;
};

// ---- samples ----

struct Sample {
    double t;
    double rssKiB;
    double heapKiB;
    double descriptors;
};

double ResidentKiB() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1024.0;
}

// Least-squares slope per minute of one figure over the samples from `from` on.
double SlopePerMinute(const std::vector<Sample>& samples, size_t from, double Sample::*field) {
    const size_t n = samples.size() - from;
    if (n < 2) {
        return 0;
    }
    double st = 0, sy = 0, stt = 0, sty = 0;
    for (size_t i = from; i < samples.size(); ++i) {
        const double t = samples[i].t / 60.0;
        const double y = samples[i].*field;
        st += t;
        sy += y;
        stt += t * t;
        sty += t * y;
    }
    const double d = double(n) * stt - st * st;
    return d == 0 ? 0 : (double(n) * sty - st * sy) / d;
}

std::map<std::string, unsigned>* logCounts = nullptr;

// Records are counted by their text with every number as '#', so that the tally stays small.
void CountLog(void*, const char*, const char*, const char* text, const char*) {
    if (logCounts == nullptr || text == nullptr) {
        return;
    }
    char shape[128];
    size_t n = 0;
    for (const char* c = text; *c != '\0' && n + 1 < sizeof(shape); ++c) {
        const bool digit = *c >= '0' && *c <= '9';
        if (!digit || n == 0 || shape[n - 1] != '#') {
            shape[n++] = digit ? '#' : *c;
        }
    }
    shape[n] = '\0';
    ++(*logCounts)[shape];
}

template <class Done>
bool PumpUntil(EventLoop& loop, Done done, double seconds, Feed* feed) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        loop.ProcessEvents(2);
        if (feed != nullptr) {
            feed->ServeRepairs();
        }
    }
    return true;
}

int Run(double seconds) {
    char folder[] = "/tmp/veltonet-soak-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    setenv("VELTONET_LOG_DIR", folder, 1);
    std::map<std::string, unsigned> counts;
    logCounts = &counts;
    SetLogCallback(&CountLog, nullptr);
    ReceiverManager::Create();
    EventLoop& loop = ReceiverManager::Instance()->GetLoop();
    Failures failures;
    int status = 0;
    {
        FanOut fanOut(&failures);
        Feed feed(&failures);
        Rider rider(&failures);
        if (!PumpUntil(
                loop, [&] { return fanOut.Setup() && feed.Ready(); }, 10, &feed)) {
            std::fprintf(stderr,
                         "soak: the subscriptions (%s) or the repair link (%s) never came up\n",
                         fanOut.Subscribed() ? "up" : "down", feed.Ready() ? "up" : "down");
            return 2;
        }

        std::vector<Sample> samples;
        samples.reserve(size_t(seconds) + 16);
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        auto nextPublish = start;
        auto nextPacket = start;
        auto nextQuote = start;
        auto nextSample = start;
        for (auto now = start; now < end; now = Clock::now()) {
            loop.ProcessEvents(1);
            feed.ServeRepairs();
            now = Clock::now();
            if (now >= nextPublish) {
                fanOut.Publish();
                nextPublish += std::chrono::milliseconds(10);
            }
            while (now >= nextPacket) {
                feed.SendNext(true);
                nextPacket += std::chrono::microseconds(2000);
            }
            if (now >= nextQuote) {
                rider.Tick(now);
                nextQuote += std::chrono::milliseconds(5);
            }
            if (now >= nextSample) {
                const struct mallinfo2 heap = mallinfo2();
                samples.push_back({Seconds(now - start), ResidentKiB(),
                                   double(heap.uordblks + heap.hblkhd) / 1024.0,
                                   double(test::OpenDescriptors())});
                nextSample += std::chrono::seconds(1);
            }
        }

        // Close the last gap, then let everything arrive.
        for (int i = 0; i < 20; ++i) {
            feed.SendNext(false);
        }
        const bool drained = PumpUntil(
            loop, [&] { return fanOut.Drained() && feed.Drained(); }, 20, &feed);
        if (!drained) {
            failures.Note("the streams did not drain within 20 s");
        }
        fanOut.Finish();
        feed.Finish();
        const double ran = Seconds(Clock::now() - start);

        const size_t warm = std::min(samples.size() / 4, size_t(60));
        const double rssSlope = SlopePerMinute(samples, warm, &Sample::rssKiB);
        const double heapSlope = SlopePerMinute(samples, warm, &Sample::heapKiB);
        const double fdSlope = SlopePerMinute(samples, warm, &Sample::descriptors);
        const Sample& first = samples[warm];
        const Sample& last = samples.back();

        std::printf("soak: %.0f s on one thread\n", ran);
        std::printf("  fan-out : %u subscribers, %llu messages sent, %llu delivered\n",
                    kSubscribers, static_cast<unsigned long long>(fanOut.Messages()),
                    static_cast<unsigned long long>(fanOut.Deliveries()));
        std::printf(
            "  feed    : %u packets, %u dropped by the sender, %u repair requests answered, "
            "%u recovered, %u counted lost; %llu via the feed + %llu via repair\n",
            feed.Sent(), feed.Dropped(), feed.Repairs(), feed.Receiver().GetPacketsRecovered(),
            feed.Receiver().GetPacketsLost(),
            static_cast<unsigned long long>(feed.Consumer().fromFeed),
            static_cast<unsigned long long>(feed.Consumer().fromRepair));
        std::printf("  restarts: %u server restarts, %u connections, %llu quotes\n", rider.restarts,
                    rider.connections, static_cast<unsigned long long>(rider.quotes));
        std::printf(
            "  memory  : after %.0f s of warm-up, resident %.0f -> %.0f KiB (slope %+.1f "
            "KiB/min), heap %.0f -> %.0f KiB (slope %+.1f KiB/min)\n",
            first.t, first.rssKiB, last.rssKiB, rssSlope, first.heapKiB, last.heapKiB, heapSlope);
        std::printf("  files   : descriptors %.0f -> %.0f (slope %+.2f per min)\n",
                    first.descriptors, last.descriptors, fdSlope);
        std::printf("  records :");
        for (const auto& [text, n] : counts) {
            std::printf(" [%u x %s]", n, text.c_str());
        }
        std::printf("\n");

        // Every packet the sender dropped must have come back through the repair link.
        if (feed.Consumer().fromRepair < feed.Dropped()) {
            failures.Note("feed: fewer repaired packets than the sender dropped");
            ++failures.lost;
        }
        if (rider.restarts == 0 || rider.connections < rider.restarts) {
            failures.Note("restarts: the receiver did not come back after every restart");
            ++failures.broken;
        }
        // Flat: well under the figures a leak per message or per connection would give.
        if (rssSlope > 256 || heapSlope > 128) {
            failures.Note("memory grows after the warm-up");
            ++failures.broken;
        }
        // Descriptors come and go with the restarts: compare the peaks of the first and the
        // last third after the warm-up.
        const size_t third = (samples.size() - warm) / 3;
        double early = 0;
        double late = 0;
        for (size_t i = warm; i < warm + third; ++i) {
            early = std::max(early, samples[i].descriptors);
        }
        for (size_t i = samples.size() - third; i < samples.size(); ++i) {
            late = std::max(late, samples[i].descriptors);
        }
        if (late > early + 1) {
            failures.Note("descriptors grow after the warm-up");
            ++failures.broken;
        }
        std::printf("  checks  : lost %u, duplicated %u, broken %u\n", failures.lost,
                    failures.duplicated, failures.broken);
        for (const std::string& note : failures.notes) {
            std::printf("  FAIL: %s\n", note.c_str());
        }
        status = failures.lost + failures.duplicated + failures.broken != 0 ? 1 : 0;
        std::printf("soak: %s\n", status == 0 ? "passed" : "FAILED");
    }
    ReceiverManager::Destroy();
    SetLogCallback(nullptr, nullptr);
    logCounts = nullptr;
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
