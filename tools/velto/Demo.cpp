// velto demo: the whole library on loopback in one process, checking every delivery.
//
// A listener publishes a quote feed (some of it as compressed aggregates) to three receivers
// with different subscriptions; halfway it restarts, dropping every client: the persistent
// receiver comes back by itself and subscribes again, the other two are reconnected by the
// demo. Beside it, a sequenced UDP feed loses 2% of its packets on purpose and a repair server
// makes them good over TCP.
//
// The check is exact. The server side records, for every client connection, each quote it
// handed to that client (it follows the subscriptions from the requests that reach the
// listener's observers); the receiving side records what arrived on each of its connections.
// Connections are matched by port, and the two lists must be equal: every quote published to
// a subscription while the receiver held it, in order, once. What is published while a
// receiver is away is not owed to it, and the summary says how much that was.

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "Codec.h"
#include "Commands.h"
#include "Console.h"
#include "DatagramFeed.h"
#include "QuoteFeed.h"
#include "Sequencer.h"
#include "SharedLibrary.h"
#include "Socket.h"
#include "Subscriber.h"
#include "veltonet/receiver.h"

namespace velto {

namespace {

constexpr uint32_t kMeasureMilliseconds = 1000;
constexpr unsigned kAggregateQuotes = 20;
constexpr double kAggregateEverySeconds = 0.25;
constexpr double kSequencedRate = 500;  // packets per second
constexpr double kDropPercent = 2;
constexpr uint32_t kNamedIdentifiers = 16;

// One connection of a receiver, as the receiving side saw it.
struct Connection {
    std::vector<uint64_t> quotes;  // instrument << 32 | sequence, in arrival order
    uint64_t bytes = 0;
};

// Rates of one receiver from its feed measure: bytes from the measure's period, messages
// counted here over the same period.
struct Rate {
    void* feed = nullptr;
    uint64_t messages = 0;
    uint64_t messagesAtSample = 0;
    double messagesPerSecond = 0;
    double bytesPerSecond = 0;

    void Sample() {
        const double seconds = R_GetFeedMilliseconds(feed) / 1000.0;
        bytesPerSecond = R_GetFeedPrevSizeReceived(feed) / seconds;
        messagesPerSecond = static_cast<double>(messages - messagesAtSample) / seconds;
        messagesAtSample = messages;
    }
};

struct DemoReceiver {
    std::string name;
    std::string description;
    bool persistent = false;
    std::unique_ptr<Subscriber> subscriber;
    std::vector<Connection> connections;
    Rate rate;
    uint64_t unmatched = 0;  // quotes of connections the server has no record of
};

std::string Rounded(double value) {
    char text[32];
    if (value >= 1e6) {
        std::snprintf(text, sizeof(text), "%.1fM", value / 1e6);
    } else if (value >= 1e3) {
        std::snprintf(text, sizeof(text), "%.1fk", value / 1e3);
    } else {
        std::snprintf(text, sizeof(text), "%.0f", value);
    }
    return text;
}

// Events as lines; the status line, when stdout is a terminal, is rewritten in place below
// them, otherwise printed as a line of its own.
class Screen {
  public:
    Screen() : m_terminal(Console::OutputIsTerminal()) {}
    void Event(const std::string& line) {
        if (!m_terminal || !m_status) {
            std::printf("%s\n", line.c_str());
            return;
        }
        // Above the status line, which is drawn again below it.
        std::printf("\r\033[K%s\n%s", line.c_str(), m_last.c_str());
        std::fflush(stdout);
    }
    void Status(const std::string& line) {
        if (m_terminal) {
            std::printf("\r\033[K%s", line.c_str());
            std::fflush(stdout);
            m_status = true;
            m_last = line;
        } else {
            std::printf("%s\n", line.c_str());
        }
    }
    void EndStatus() {
        if (m_terminal && m_status) {
            std::printf("\n");
            m_status = false;
        }
    }

  private:
    bool m_terminal;
    bool m_status = false;
    std::string m_last;
};

class Demo {
  public:
    Demo(const DemoOptions& options, Session& session)
        : m_options(options),
          m_session(session),
          m_serverWatcher([this](void* source, const MessageView& message) {
              OnServerMessage(source, message);
          }),
          m_measureWatcher(
              [this](void* source, const MessageView& message) { OnMeasure(source, message); }) {}

    ~Demo() {
        for (Rate* rate : Rates()) {
            if (rate->feed != nullptr) {
                m_measureWatcher.Unwatch(rate->feed);
            }
        }
        m_receivers.clear();
        m_datagrams.reset();
        m_sequencer.reset();
        if (m_listener != nullptr) {
            m_serverWatcher.Unwatch(m_listener);
            R_DeleteReceiver(m_listener);
        }
    }

    int Run();

  private:
    bool Setup();
    void AddReceiver(const std::string& name, const std::string& description,
                     std::vector<SubscriptionKey> keys, bool persistent);
    void Round();
    bool PumpUntil(const std::function<bool()>& done, double seconds);
    bool Drained() const;
    bool SequencedDone() const {
        return m_trades.size() >= m_sequencer->Trades() && !m_datagrams->isRepairing();
    }
    void Restart();
    void Relisten();
    void OnServerMessage(void* source, const MessageView& message);
    void OnMeasure(void* source, const MessageView& message);
    std::vector<Rate*> Rates();
    void ShowStatus(Clock::time_point now);
    bool Report();

    const DemoOptions& m_options;
    Session& m_session;
    Screen m_screen;
    Watcher m_serverWatcher;
    Watcher m_measureWatcher;
    Compressor m_compressor;
    std::string m_compressorWhy;
    void* m_listener = nullptr;
    uint16_t m_port = 0;
    std::unique_ptr<QuoteFeed> m_feed;
    std::vector<std::unique_ptr<DemoReceiver>> m_receivers;
    std::unique_ptr<Sequencer> m_sequencer;
    std::unique_ptr<DatagramFeed> m_datagrams;
    Rate m_datagramRate;
    Rate m_repairRate;
    std::vector<uint32_t> m_trades;  // trade numbers as they arrived, repaired ones included
    uint64_t m_tradesRepaired = 0;
    uint64_t m_tradeBytes = 0;
    bool m_sending = false;
    bool m_relistenFailed = false;
    unsigned m_restarts = 0;
    std::vector<uint32_t> m_aggregateCandidates;
    size_t m_nextAggregate = 0;
    Clock::time_point m_start{};
    Clock::time_point m_nextAggregateAt{};
    Clock::time_point m_nextStatus{};
};

std::vector<Rate*> Demo::Rates() {
    std::vector<Rate*> rates;
    for (auto& receiver : m_receivers) {
        rates.push_back(&receiver->rate);
    }
    rates.push_back(&m_datagramRate);
    rates.push_back(&m_repairRate);
    return rates;
}

void Demo::AddReceiver(const std::string& name, const std::string& description,
                       std::vector<SubscriptionKey> keys, bool persistent) {
    auto receiver = std::make_unique<DemoReceiver>();
    DemoReceiver* r = receiver.get();
    r->name = name;
    r->description = description;
    r->persistent = persistent;
    r->subscriber = std::make_unique<Subscriber>(
        name, AddressList{{"127.0.0.1"}, m_port}, persistent ? 1 : 0, std::move(keys),
        [this, r](uint16_t type, const std::string& text) {
            if (type == 60001) {
                r->connections.emplace_back();
            }
            if (type != 60012) {
                m_screen.Event(r->name + ": " + text);
            }
        },
        [r](const MessageView& message) {
            ++r->rate.messages;
            if (r->connections.empty()) {
                return;
            }
            Connection& connection = r->connections.back();
            connection.bytes += message.size;
            if (const std::optional<Quote> quote = DecodeQuote(message)) {
                connection.quotes.push_back(uint64_t(quote->instrument) << 32 | quote->sequence);
            }
        });
    m_receivers.push_back(std::move(receiver));
}

bool Demo::Setup() {
    if (m_compressor.Load(&m_compressorWhy)) {
        m_screen.Event("compression plug-in loaded: " + LibraryFileName("Codec") + " " +
                       std::string(R_GetCompressLibraryVersion()) + " (LZ4 " +
                       R_GetCompressLibraryBuild() + ")");
    } else {
        m_screen.Event("compression plug-in not loaded (" + m_compressorWhy +
                       "): no compressed aggregates");
    }
    // The restart listens on the same port again, so the port is chosen here, not by the
    // kernel at the first listen (see PickFreePort). Another program may take it meanwhile:
    // a few tries.
    for (int attempt = 0; attempt < 5 && m_port == 0; ++attempt) {
        const uint16_t port = PickFreePort();
        if (m_listener == nullptr) {
            m_listener = R_CreateListener("demo-server", m_options.instruments, kNamedIdentifiers,
                                          port, true, 0, 0, false);
            if (m_listener == nullptr || !m_serverWatcher.Watch(m_listener)) {
                break;
            }
        }
        R_SetPort(m_listener, port);
        if (port != 0 && R_ConnectReceiver(m_listener)) {
            m_port = port;
        }
    }
    if (m_port == 0) {
        m_session.Error("cannot start the listener");
        return false;
    }
    m_feed = std::make_unique<QuoteFeed>(m_listener, m_options.instruments, m_options.rate);
    m_feed->RecordExpectations(true);
    m_screen.Event("server: listening on 127.0.0.1:" + std::to_string(m_port) + ", " +
                   std::to_string(m_options.instruments) + " instruments, " +
                   Rounded(m_options.rate) + " quotes/s");

    std::vector<SubscriptionKey> first, second, third;
    for (uint32_t id = 0; id < 100; ++id) {
        first.push_back({id, std::nullopt});
    }
    for (uint32_t id = 0; id < m_options.instruments; id += 10) {
        second.push_back({id, std::nullopt});
    }
    second.push_back({5, "FX"});
    second.push_back({7, "FX"});
    for (uint32_t id = 200; id < 350; ++id) {
        third.push_back({id, std::nullopt});
    }
    AddReceiver("R1", "ids 0-99", first, false);
    AddReceiver("R2", "every 10th id, 5:\"FX\", 7:\"FX\"", second, false);
    AddReceiver("R3", "ids 200-349, persistent", third, true);
    for (uint32_t id : {0u, 200u, 10u, 210u, 50u, 250u, 90u, 340u}) {
        m_aggregateCandidates.push_back(id);
    }

    Sequencer::Options sequenced;
    sequenced.target = Endpoint{"127.0.0.1", 0};
    sequenced.rate = kSequencedRate;
    sequenced.dropPercent = kDropPercent;
    // Only the exceptional lines: the drops and repairs show as counts in the status line.
    m_sequencer = std::make_unique<Sequencer>(sequenced, [this](const std::string& line) {
        if (line.find("unanswered") != std::string::npos) {
            m_screen.Event("sequencer: " + line);
        }
    });
    std::string why;
    if (!m_sequencer->Start(&why)) {
        m_session.Error(why);
        return false;
    }
    DatagramFeed::Options datagrams;
    datagrams.sequenced = true;
    datagrams.repair = Endpoint{"127.0.0.1", m_sequencer->RepairPort()};
    m_datagrams = std::make_unique<DatagramFeed>(
        datagrams,
        [this](const std::string& line) {
            if (line.rfind("packets", 0) != 0) {
                m_screen.Event("seq: " + line);
            }
        },
        [this](const MessageView& message, bool repaired) {
            ++(repaired ? m_repairRate : m_datagramRate).messages;
            if (const std::optional<Trade> trade = DecodeTrade(message)) {
                m_trades.push_back(trade->number);
                m_tradeBytes += message.size;
                m_tradesRepaired += repaired ? 1 : 0;
            }
        });
    if (!m_datagrams->Start(&why)) {
        m_session.Error(why);
        return false;
    }
    m_sequencer->SetTarget(Endpoint{"127.0.0.1", m_datagrams->LocalPort()});
    m_screen.Event("sequencer: UDP to 127.0.0.1:" + std::to_string(m_datagrams->LocalPort()) +
                   ", repair server on port " + std::to_string(m_sequencer->RepairPort()) + ", " +
                   Rounded(kSequencedRate) + " packets/s, " + Rounded(kDropPercent) +
                   "% dropped on purpose");

    for (auto& receiver : m_receivers) {
        if (!receiver->subscriber->isValid() || !receiver->subscriber->Connect()) {
            m_session.Error("cannot connect " + receiver->name);
            return false;
        }
        receiver->rate.feed = R_AddFeed(receiver->subscriber->Handle(), kMeasureMilliseconds);
    }
    m_datagramRate.feed = R_AddFeed(m_datagrams->Handle(), kMeasureMilliseconds);
    m_repairRate.feed = R_AddFeed(m_datagrams->RepairHandle(), kMeasureMilliseconds);
    for (Rate* rate : Rates()) {
        if (rate->feed == nullptr || !m_measureWatcher.Watch(rate->feed)) {
            m_session.Error("cannot measure the feeds");
            return false;
        }
    }
    return true;
}

void Demo::OnServerMessage(void* source, const MessageView& message) {
    if (source != m_listener) {
        m_feed->OnClientMessage(source, message);
    }
}

void Demo::OnMeasure(void* source, const MessageView& message) {
    if (message.type != 60006) {
        return;
    }
    for (Rate* rate : Rates()) {
        if (rate->feed == source) {
            rate->Sample();
        }
    }
}

// Everything a loop round owes besides the library's own work.
void Demo::Round() {
    const Clock::time_point now = Clock::now();
    m_feed->PublishDue(now);
    if (m_compressor.isLoaded() && !m_feed->isPaused() && now >= m_nextAggregateAt) {
        const uint32_t instrument =
            m_aggregateCandidates[m_nextAggregate++ % m_aggregateCandidates.size()];
        m_feed->PublishAggregate(instrument, kAggregateQuotes, m_compressor);
        m_nextAggregateAt = After(now, kAggregateEverySeconds);
    }
    R_ListenerForceSendBufferToClients(m_listener);
    if (m_sending) {
        m_sequencer->SendDue(now);
    }
    m_sequencer->Flush();
    m_datagrams->Poll();
    if (m_start != Clock::time_point{} && now >= m_nextStatus) {
        ShowStatus(now);
        m_nextStatus = After(now, 1.0);
    }
}

bool Demo::PumpUntil(const std::function<bool()>& done, double seconds) {
    const Clock::time_point end = After(Clock::now(), seconds);
    while (!done()) {
        if (m_session.Interrupted() || Clock::now() >= end) {
            return false;
        }
        m_session.Pump(MillisecondsUntil(end, 5));
        Round();
    }
    return true;
}

// Every quote handed to a connected client has arrived at its receiver.
bool Demo::Drained() const {
    size_t expected = 0;
    for (const QuoteFeed::ClientRecord& record : m_feed->Records()) {
        expected += record.gone ? 0 : record.expected.size();
    }
    size_t received = 0;
    for (const auto& receiver : m_receivers) {
        if (receiver->subscriber->isConnected() && !receiver->connections.empty()) {
            received += receiver->connections.back().quotes.size();
        }
    }
    return expected == received;
}

void Demo::Restart() {
    // Quiet first, so that nothing handed to a client is still on its way when it is cut off.
    m_feed->Pause(Clock::now());
    R_ListenerForceSendBufferToClients(m_listener);
    PumpUntil([this] { return Drained(); }, 2.0);
    const uint32_t clients = R_GetListenerClientCount(m_listener);
    m_screen.Event("server: restarting: listener closed, " + std::to_string(clients) +
                   " clients dropped; the feed goes on with nobody to send to");
    R_Disconnect(m_listener, false);
    ++m_restarts;
    m_feed->Resume(Clock::now());
}

void Demo::Relisten() {
    if (!R_ConnectReceiver(m_listener)) {
        m_relistenFailed = true;
        m_screen.Event("server: cannot listen again on port " + std::to_string(m_port));
        return;
    }
    m_screen.Event("server: listening again on port " + std::to_string(m_port) +
                   "; the demo reconnects R1 and R2, R3 reconnects by itself");
    for (auto& receiver : m_receivers) {
        if (!receiver->persistent) {
            receiver->subscriber->Connect();
        }
    }
}

void Demo::ShowStatus(Clock::time_point now) {
    const double t = m_start == Clock::time_point{} ? 0.0 : SecondsBetween(m_start, now);
    char head[32];
    std::snprintf(head, sizeof(head), "%5.1f s", t);
    std::string line = head;
    for (const auto& receiver : m_receivers) {
        line += " | " + receiver->name + " ";
        if (!receiver->subscriber->isConnected()) {
            line += "down";
            continue;
        }
        line += Rounded(receiver->rate.messagesPerSecond) + " msg/s " +
                Rounded(receiver->rate.bytesPerSecond) + " B/s";
    }
    line += " | seq " + Rounded(m_datagramRate.messagesPerSecond) + " msg/s " +
            Rounded(m_datagramRate.bytesPerSecond) + " B/s, lost " +
            std::to_string(m_datagrams->Lost()) + ", recovered " +
            std::to_string(m_datagrams->Recovered()) + " | " +
            std::to_string(R_GetListenerClientCount(m_listener)) + " clients, " +
            std::to_string(m_feed->SubscriptionCount()) + " subscriptions";
    m_screen.Status(line);
}

int Demo::Run() {
    if (!Setup()) {
        return kExitFailure;
    }
    size_t memberships = 0;
    for (const auto& receiver : m_receivers) {
        memberships += receiver->subscriber->Subscriptions().size();
    }
    // Start publishing once the server holds every subscription and repair is attached.
    if (!PumpUntil(
            [&] {
                return m_feed->MembershipCount() == memberships && m_datagrams->isRepairAttached();
            },
            5.0)) {
        m_screen.EndStatus();
        m_session.Error(m_session.Interrupted() ? "interrupted"
                                                : "the receivers did not subscribe in time");
        return kExitFailure;
    }
    m_start = Clock::now();
    m_feed->Start(m_start);
    m_sequencer->Begin(m_start);
    m_sending = true;
    m_nextAggregateAt = m_start;
    m_screen.Event("feeds started");

    const double seconds = m_options.seconds;
    const Clock::time_point restartAt = After(m_start, 0.35 * seconds);
    const double downtime = std::clamp(0.15 * seconds, 0.5, 1.5);
    const Clock::time_point endAt = After(m_start, seconds);
    // A persistent receiver that is not back by the end gets a few more seconds.
    const Clock::time_point latest = After(endAt, 5.0);
    enum class Phase { Before, Down, After } phase = Phase::Before;
    Clock::time_point downUntil{};
    Clock::time_point persistentBackAt{};
    DemoReceiver& persistent = *m_receivers.back();
    while (!m_session.Interrupted()) {
        m_session.Pump(5);
        Round();
        const Clock::time_point now = Clock::now();
        if (phase == Phase::Before && now >= restartAt) {
            Restart();
            phase = Phase::Down;
            downUntil = After(Clock::now(), downtime);
        } else if (phase == Phase::Down && now >= downUntil) {
            Relisten();
            phase = Phase::After;
        }
        if (phase == Phase::After && persistentBackAt == Clock::time_point{} &&
            persistent.subscriber->Connections() >= 2 && persistent.subscriber->isSubscribed()) {
            persistentBackAt = now;
        }
        const bool persistentBack =
            persistentBackAt != Clock::time_point{} && now >= After(persistentBackAt, 0.3);
        if (now >= latest || (now >= endAt && persistentBack) || m_relistenFailed) {
            break;
        }
    }
    // Stop the feeds and let everything in flight arrive: the last packet is never dropped,
    // so the receiver sees every gap and repairs it.
    m_feed->Pause(Clock::now());
    m_sending = false;
    // A last packet lost on the way (a full socket buffer) would hide the gaps before it:
    // while the feed is incomplete, another last packet follows every half second.
    for (int attempt = 0; attempt < 10 && !m_session.Interrupted(); ++attempt) {
        m_sequencer->Finish();
        if (PumpUntil([this] { return Drained() && SequencedDone(); }, 0.5)) {
            break;
        }
    }
    ShowStatus(Clock::now());
    m_screen.EndStatus();
    return Report() ? kExitOk : kExitFailure;
}

bool Demo::Report() {
    bool ok = true;
    std::vector<std::string> problems;
    std::printf("\n%-4s %-36s %5s %9s %10s %8s  %s\n", "feed", "subscriptions", "conns", "messages",
                "bytes", "missed", "check");
    std::vector<bool> recordUsed(m_feed->Records().size(), false);
    for (auto& receiver : m_receivers) {
        uint64_t quotes = 0;
        uint64_t bytes = 0;
        uint64_t missed = 0;
        std::string check = "ok";
        const std::vector<Connection>& connections = receiver->connections;
        const std::set<SubscriptionKey> keys(receiver->subscriber->Subscriptions().begin(),
                                             receiver->subscriber->Subscriptions().end());
        for (size_t c = 0; c < connections.size(); ++c) {
            const Connection& connection = connections[c];
            quotes += connection.quotes.size();
            bytes += connection.bytes;
            // The server's record of this connection: the next one, in the order the server
            // saw them, that made exactly this receiver's subscriptions. (Ports would do, but
            // the library reports a stale local port after a reconnection on a renewed
            // socket.)
            const QuoteFeed::ClientRecord* record = nullptr;
            for (size_t i = 0; i < m_feed->Records().size() && record == nullptr; ++i) {
                const QuoteFeed::ClientRecord& candidate = m_feed->Records()[i];
                if (!recordUsed[i] && candidate.keys == keys) {
                    record = &candidate;
                    recordUsed[i] = true;
                }
            }
            const std::vector<uint64_t> none;
            const std::vector<uint64_t>& expected = record != nullptr ? record->expected : none;
            if (connection.quotes != expected) {
                size_t at = 0;
                while (at < expected.size() && at < connection.quotes.size() &&
                       expected[at] == connection.quotes[at]) {
                    ++at;
                }
                check = "FAILED";
                problems.push_back(receiver->name + " connection " + std::to_string(c + 1) +
                                   ": got " + std::to_string(connection.quotes.size()) +
                                   " quotes, the server handed it " +
                                   std::to_string(expected.size()) + "; first difference at " +
                                   std::to_string(at));
            }
            // What went by while it was away: per instrument, the sequence numbers between
            // the last quote of one connection and the first of the next.
            if (c + 1 < connections.size()) {
                std::map<uint32_t, uint32_t> last;
                for (uint64_t q : connection.quotes) {
                    last[uint32_t(q >> 32)] = uint32_t(q);
                }
                std::map<uint32_t, uint32_t> first;
                for (uint64_t q : connections[c + 1].quotes) {
                    first.emplace(uint32_t(q >> 32), uint32_t(q));
                }
                for (const auto& [instrument, sequence] : first) {
                    auto before = last.find(instrument);
                    if (before != last.end() && sequence > before->second + 1) {
                        missed += sequence - before->second - 1;
                    }
                }
            }
        }
        if (quotes == 0) {
            check = "FAILED";
            problems.push_back(receiver->name + " received no quotes");
        }
        if (receiver->persistent && connections.size() < 2) {
            check = "FAILED";
            problems.push_back(receiver->name + " did not come back after the restart");
        }
        ok = ok && check == "ok";
        std::printf("%-4s %-36s %5zu %9llu %10llu %8llu  %s\n", receiver->name.c_str(),
                    receiver->description.c_str(), connections.size(),
                    static_cast<unsigned long long>(quotes), static_cast<unsigned long long>(bytes),
                    static_cast<unsigned long long>(missed), check.c_str());
    }
    for (size_t i = 0; i < m_feed->Records().size(); ++i) {
        const QuoteFeed::ClientRecord& record = m_feed->Records()[i];
        if (!recordUsed[i] && !record.expected.empty()) {
            ok = false;
            problems.push_back("the server handed " + std::to_string(record.expected.size()) +
                               " quotes to " + record.address + ", which no receiver had");
        }
    }

    // The sequenced feed: every trade once and in order, live or repaired.
    std::string tradeCheck = "ok";
    const uint32_t trades = m_sequencer->Trades();
    bool inOrder = m_trades.size() == trades;
    for (size_t i = 0; inOrder && i < m_trades.size(); ++i) {
        inOrder = m_trades[i] == i + 1;
    }
    if (!inOrder) {
        tradeCheck = "FAILED";
        problems.push_back("seq: " + std::to_string(m_trades.size()) + " trades arrived of " +
                           std::to_string(trades) + ", not each once in order");
    }
    const uint32_t lost = m_datagrams->Lost();
    const uint32_t recovered = m_datagrams->Recovered();
    if (lost != recovered || m_sequencer->DroppedUnrequested() != 0 ||
        m_sequencer->Dropped() == 0) {
        tradeCheck = "FAILED";
        problems.push_back(
            "seq: " + std::to_string(m_sequencer->Dropped()) + " packets dropped on purpose, " +
            std::to_string(lost) + " lost, " + std::to_string(recovered) + " recovered, " +
            std::to_string(m_sequencer->DroppedUnrequested()) + " dropped ones never asked for");
    }
    ok = ok && tradeCheck == "ok";
    const std::string where =
        "UDP 127.0.0.1:" + std::to_string(m_datagrams->LocalPort()) + ", TCP repair";
    std::printf(
        "%-4s %-36s %5s %9zu %10llu %8llu  %s\n", "seq", where.c_str(), "-", m_trades.size(),
        static_cast<unsigned long long>(m_tradeBytes),
        static_cast<unsigned long long>(trades > m_trades.size() ? trades - m_trades.size() : 0),
        tradeCheck.c_str());
    std::printf("\nquotes: %llu published, %llu handed to clients",
                static_cast<unsigned long long>(m_feed->QuotesPublished()),
                static_cast<unsigned long long>(m_feed->QuotesDelivered()));
    if (m_compressor.isLoaded()) {
        std::printf("; %llu compressed aggregates (%llu quotes, %llu bytes as %llu)",
                    static_cast<unsigned long long>(m_feed->AggregatesSent()),
                    static_cast<unsigned long long>(m_feed->QuotesInAggregates()),
                    static_cast<unsigned long long>(m_feed->AggregateRawBytes()),
                    static_cast<unsigned long long>(m_feed->AggregateBytes()));
    } else {
        std::printf("; no compressed aggregates (%s)", m_compressorWhy.c_str());
    }
    std::printf(
        "\nserver restarts: %u; every receiver was owed the quotes published while it "
        "was subscribed, and 'missed' counts those published while it was away\n",
        m_restarts);
    std::printf(
        "sequenced feed: %u packets, %u trades; %llu packets dropped on purpose, %u lost, "
        "%u recovered over TCP (%llu trades delivered through the repair connection)\n",
        m_sequencer->Packets(), trades, static_cast<unsigned long long>(m_sequencer->Dropped()),
        lost, recovered, static_cast<unsigned long long>(m_tradesRepaired));
    if (lost > m_sequencer->Dropped()) {
        // A receiver that falls behind loses datagrams in its socket buffer too; they are
        // repaired like the others.
        std::printf("  (%llu of the lost packets were dropped on the way, not on purpose)\n",
                    static_cast<unsigned long long>(lost - m_sequencer->Dropped()));
    }
    if (m_compressor.isLoaded() && m_feed->AggregatesSent() == 0) {
        ok = false;
        problems.push_back("no compressed aggregate was sent");
    }
    if (m_session.Interrupted()) {
        ok = false;
        problems.push_back("interrupted before the end");
    }
    for (const std::string& problem : problems) {
        std::printf("problem: %s\n", problem.c_str());
    }
    std::printf("%s\n", ok ? "demo: all checks passed" : "demo: FAILED");
    return ok;
}

}  // namespace

int RunDemo(const DemoOptions& options) {
    Session session("demo");
    if (!session.Start(options.common)) {
        return kExitFailure;
    }
    Demo demo(options, session);
    return demo.Run();
}

}  // namespace velto
