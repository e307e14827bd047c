#include "Subscriber.h"

#include "EventText.h"
#include "veltonet/receiver.h"

namespace velto {

std::string DescribeAll(const std::vector<SubscriptionKey>& keys) {
    // Runs of consecutive identifiers without a name read as "200-349"; a long list keeps
    // its ends and the count.
    std::vector<std::string> items;
    for (size_t i = 0; i < keys.size();) {
        size_t end = i + 1;
        while (!keys[i].name && end < keys.size() && !keys[end].name &&
               keys[end].identifier == keys[i].identifier + (end - i)) {
            ++end;
        }
        if (end - i >= 3) {
            items.push_back(std::to_string(keys[i].identifier) + "-" +
                            std::to_string(keys[end - 1].identifier));
            i = end;
        } else {
            items.push_back(Describe(keys[i++]));
        }
    }
    constexpr size_t kHead = 6;
    constexpr size_t kTail = 4;
    if (items.size() > kHead + kTail + 2) {
        items.erase(items.begin() + kHead, items.end() - kTail);
        items.insert(items.begin() + kHead, "...");
    }
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    if (items.size() != keys.size()) {
        text += " (" + std::to_string(keys.size()) + " subscriptions)";
    }
    return text;
}

Subscriber::Subscriber(const std::string& name, const AddressList& addresses,
                       uint32_t reconnectSeconds, std::vector<SubscriptionKey> subscriptions,
                       EventHandler onEvent, DataHandler onData)
    : m_subscriptions(std::move(subscriptions)),
      m_onEvent(std::move(onEvent)),
      m_onData(std::move(onData)),
      m_watcher([this](void*, const MessageView& message) { OnMessage(message); }) {
    m_handle = R_CreateTCPReceiver(name.c_str(), addresses.hosts.front().c_str(), addresses.port,
                                   reconnectSeconds, 0, 0, 0, 0, false);
    if (m_handle == nullptr) {
        return;
    }
    for (size_t i = 1; i < addresses.hosts.size(); ++i) {
        R_AddIp(m_handle, addresses.hosts[i].c_str());
    }
    m_watcher.Watch(m_handle);
}

Subscriber::~Subscriber() {
    if (m_handle != nullptr) {
        m_watcher.Unwatch(m_handle);
        R_DeleteReceiver(m_handle);
    }
}

bool Subscriber::Connect() {
    return R_ConnectReceiver(m_handle);
}

void Subscriber::Disconnect() {
    // Not connected: nothing to end, and no "disconnected" to report. A reconnect timer, if
    // any, goes with the receiver.
    if (R_IsReceiverConnected(m_handle) != 0 || R_IsReceiverConnecting(m_handle) != 0) {
        R_Disconnect(m_handle, false);
    }
}

bool Subscriber::isConnected() const {
    return R_IsReceiverConnected(m_handle) != 0;
}

bool Subscriber::isIdle() const {
    return R_IsReceiverConnected(m_handle) == 0 && R_IsReceiverConnecting(m_handle) == 0 &&
           R_GetCurrentReconnectSeconds(m_handle) == 0;
}

void Subscriber::OnMessage(const MessageView& message) {
    switch (message.type) {
        case 60012:
            m_onEvent(message.type, "connecting to " + AddressOf(m_handle));
            return;
        case 60001:
            ++m_connections;
            m_subscribed = false;
            m_localPort = R_GetReceiverLocalPort(m_handle);
            m_onEvent(message.type, "connected to " + AddressOf(m_handle) + ", local port " +
                                        std::to_string(m_localPort));
            return;
        case 60009:
            ++m_failures;
            m_onEvent(message.type, "connect failed: " + AddressOf(m_handle) + ": " +
                                        SocketErrorText(static_cast<int>(message.Value())));
            return;
        case 60011:
            m_onEvent(message.type, "accepted by the listener");
            Subscribe();
            return;
        case 60002:
            m_subscribed = false;
            m_onEvent(message.type, "disconnected");
            return;
        default:
            break;
    }
    if (IsNotification(message.type)) {
        m_onEvent(message.type, NotificationName(message.type));
        return;
    }
    m_onData(message);
}

void Subscriber::Subscribe() {
    if (m_subscriptions.empty()) {
        return;
    }
    std::vector<SubscriptionKey> refused;
    for (const SubscriptionKey& key : m_subscriptions) {
        if (!R_ClientSubscribe(m_handle, key.identifier, key.name ? key.name->c_str() : nullptr)) {
            refused.push_back(key);
        }
    }
    m_subscribed = refused.empty();
    if (refused.empty()) {
        m_onEvent(60004, "subscription requests sent: " + DescribeAll(m_subscriptions));
    } else {
        m_onEvent(60004, "subscription requests not sent: " + DescribeAll(refused));
    }
}

}  // namespace velto
