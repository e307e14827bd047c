#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Address.h"
#include "Host.h"

namespace velto {

// A TCP receiver of a listener's data: connects to an address list (rotating through it on
// every reconnect when persistent), subscribes once the listener has accepted it, and again
// after every reconnection, since a new connection starts with no subscription.
//
// Connection events reach onEvent with a one-line description ("connected to
// 127.0.0.1:5000, local port 51000"); every other message reaches onData.
class Subscriber {
  public:
    using EventHandler = std::function<void(uint16_t type, const std::string& text)>;
    using DataHandler = std::function<void(const MessageView& message)>;

    Subscriber(const std::string& name, const AddressList& addresses, uint32_t reconnectSeconds,
               std::vector<SubscriptionKey> subscriptions, EventHandler onEvent,
               DataHandler onData);
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    bool isValid() const { return m_handle != nullptr && m_watcher.isValid(); }
    void* Handle() const { return m_handle; }
    // False when the attempt could not even start (a name that does not resolve, no socket).
    bool Connect();
    // Ends the connection, if there is one, without a reconnection.
    void Disconnect();

    bool isConnected() const;
    // Neither connected nor trying, and no reconnect timer running: nothing more will happen.
    bool isIdle() const;
    bool isSubscribed() const { return m_subscribed; }
    unsigned Connections() const { return m_connections; }
    unsigned Failures() const { return m_failures; }
    uint16_t LocalPort() const { return m_localPort; }
    const std::vector<SubscriptionKey>& Subscriptions() const { return m_subscriptions; }

  private:
    void OnMessage(const MessageView& message);
    void Subscribe();

    std::vector<SubscriptionKey> m_subscriptions;
    EventHandler m_onEvent;
    DataHandler m_onData;
    Watcher m_watcher;
    void* m_handle = nullptr;
    bool m_subscribed = false;
    unsigned m_connections = 0;
    unsigned m_failures = 0;
    uint16_t m_localPort = 0;
};

// "1, 2, 3:"X"".
std::string DescribeAll(const std::vector<SubscriptionKey>& keys);

}  // namespace velto
