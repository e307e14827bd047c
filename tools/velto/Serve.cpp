// velto serve: a listener that shows its clients and, on request, feeds them quotes.

#include <cstdio>
#include <memory>
#include <sstream>

#include "ClientRoster.h"
#include "Commands.h"
#include "EventText.h"
#include "QuoteFeed.h"
#include "Socket.h"
#include "Traffic.h"
#include "veltonet/receiver.h"

namespace velto {

namespace {

class Server {
  public:
    Server(const ServeOptions& options, Traffic& traffic)
        : m_options(options),
          m_traffic(traffic),
          m_watcher(
              [this](void* source, const MessageView& message) { OnMessage(source, message); }) {}

    ~Server() {
        if (m_listener != nullptr) {
            m_watcher.Unwatch(m_listener);
            R_DeleteReceiver(m_listener);
        }
    }

    bool Start(Session& session, uint16_t port) {
        m_listener = R_CreateListener("velto-serve", m_options.ids, m_options.names, port,
                                      !m_options.manualAccept, 0, 0, false);
        // Observers first: a client gets the listener's observers of the moment it arrives.
        if (m_listener == nullptr || !m_watcher.Watch(m_listener)) {
            session.Error("cannot create the listener");
            return false;
        }
        m_roster = std::make_unique<ClientRoster>(m_listener);
        if (!R_ConnectReceiver(m_listener)) {
            session.Error(PortBusy(port, true) ? "port " + std::to_string(port) + " is busy"
                                               : "cannot listen on port " + std::to_string(port));
            return false;
        }
        std::printf(
            "listening on port %u: %u identifiers, %u named, clients %s\n",
            R_GetReceiverLocalPort(m_listener), m_options.ids, m_options.names,
            m_options.manualAccept ? "wait for 'accept' on standard input" : "admitted at once");
        if (m_options.feed > 0) {
            m_feed = std::make_unique<QuoteFeed>(m_listener, m_options.ids, m_options.feed);
            m_feed->Start(Clock::now());
            std::printf("feed: %g quotes per second over identifiers 0-%u\n", m_options.feed,
                        m_options.ids == 0 ? 0 : m_options.ids - 1);
        }
        return true;
    }

    // After each loop round: quotes due, accumulated bytes out, arrivals shown.
    void Round(Clock::time_point now) {
        if (m_feed) {
            m_feed->PublishDue(now);
        }
        R_ListenerForceSendBufferToClients(m_listener);
        for (const ClientRoster::Arrival& arrival : m_roster->Refresh()) {
            Arrived(arrival.address, arrival.pending);
        }
        if (m_feed && SecondsBetween(m_lastReport, now) >= 5.0) {
            std::printf(
                "feed: %llu quotes published, %llu delivered; %u clients, %zu "
                "subscriptions\n",
                static_cast<unsigned long long>(m_feed->QuotesPublished()),
                static_cast<unsigned long long>(m_feed->QuotesDelivered()),
                R_GetListenerClientCount(m_listener), m_feed->SubscriptionCount());
            m_lastReport = now;
        }
    }

    void Command(const std::string& line) {
        std::istringstream words(line);
        std::string verb, target;
        words >> verb >> target;
        if (verb.empty()) {
            return;
        }
        if (verb == "list") {
            for (void* client : m_roster->Pending()) {
                std::printf("  %s pending\n", AddressOf(client).c_str());
            }
            void* iterator = R_CreateListenerClientIterator(m_listener);
            while (void* client = R_GetCurrentClientAndIncrement(iterator)) {
                std::printf("  %s admitted\n", AddressOf(client).c_str());
            }
            R_DestroyListenerClientIterator(m_listener, iterator);
        } else if (verb == "accept" && !target.empty()) {
            for (void* client : m_roster->Pending()) {
                if (target == "all" || target == AddressOf(client)) {
                    if (R_AddClientToListener(client)) {
                        std::printf("client %s admitted\n", AddressOf(client).c_str());
                    }
                }
            }
        } else if (verb == "drop" && !target.empty()) {
            std::vector<void*> chosen = m_roster->Pending();
            void* iterator = R_CreateListenerClientIterator(m_listener);
            while (void* client = R_GetCurrentClientAndIncrement(iterator)) {
                chosen.push_back(client);
            }
            R_DestroyListenerClientIterator(m_listener, iterator);
            for (void* client : chosen) {
                if (target == "all" || target == AddressOf(client)) {
                    R_Disconnect(client, false);  // the client's 60002 reports the departure
                }
            }
        } else if (verb == "help") {
            std::printf("commands: list | accept ADDRESS:PORT|all | drop ADDRESS:PORT|all\n");
        } else {
            std::printf("unknown command '%s' (try help)\n", line.c_str());
        }
    }

    void Final() const {
        std::printf("stopped: %llu clients served", static_cast<unsigned long long>(m_served));
        if (m_feed) {
            std::printf(", %llu quotes published, %llu delivered",
                        static_cast<unsigned long long>(m_feed->QuotesPublished()),
                        static_cast<unsigned long long>(m_feed->QuotesDelivered()));
        }
        std::printf("\n");
    }

  private:
    void Arrived(const std::string& address, bool pending) {
        ++m_served;
        std::printf("client %s arrived%s\n", address.c_str(), pending ? " (pending)" : "");
    }

    void OnMessage(void* source, const MessageView& message) {
        if (source == m_listener) {
            if (message.type == 60002) {
                std::printf("listener closed\n");
            }
            return;
        }
        bool arrived = false;
        const std::string client = m_roster->See(source, &arrived);
        if (arrived) {
            bool pending = false;
            for (void* waiting : m_roster->Pending()) {
                pending = pending || waiting == source;
            }
            Arrived(client, pending);
        }
        if (m_feed) {
            m_feed->OnClientMessage(source, message);
        }
        if (message.type == 60002) {
            m_roster->Forget(source);
            std::printf("client %s left\n", client.c_str());
            return;
        }
        if (const std::optional<SubscriptionKey> key = DecodeSubscriptionRequest(message)) {
            std::printf("client %s %s %s\n", client.c_str(),
                        message.type == 60004 ? "subscribed to" : "unsubscribed from",
                        Describe(*key).c_str());
            return;
        }
        if (IsNotification(message.type)) {
            return;
        }
        m_traffic.Record(message, "client " + client + " ");
        if (m_options.relay) {
            R_SendBuffer(m_listener, message.bytes, message.size, false);
        }
    }

    const ServeOptions& m_options;
    Traffic& m_traffic;
    Watcher m_watcher;
    void* m_listener = nullptr;
    std::unique_ptr<ClientRoster> m_roster;
    std::unique_ptr<QuoteFeed> m_feed;
    Clock::time_point m_lastReport = Clock::now();
    uint64_t m_served = 0;
};

}  // namespace

int RunServe(const ServeOptions& options) {
    const uint16_t port = ParsePort(options.port, true);
    Session session("serve");
    if (!session.Start(options.common)) {
        return kExitFailure;
    }
    const Clock::time_point start = Clock::now();
    Traffic traffic(Traffic::ParseMode(options.print), start);
    Server server(options, traffic);
    if (!server.Start(session, port)) {
        return kExitFailure;
    }
    if (options.manualAccept) {
        session.WatchInput([&](const std::string& line) { server.Command(line); });
    }
    const Clock::time_point end = After(start, options.seconds);
    // Short rounds while feeding, so that quotes go out evenly rather than in bursts.
    const int round = options.feed > 0 ? 5 : 200;
    while (!session.Interrupted() && (options.seconds <= 0 || Clock::now() < end)) {
        session.Pump(options.seconds > 0 ? MillisecondsUntil(end, round) : round);
        const Clock::time_point now = Clock::now();
        server.Round(now);
        traffic.Tick(now);
    }
    server.Final();
    return kExitOk;
}

}  // namespace velto
