#include "ClientRoster.h"

#include "Host.h"
#include "veltonet/listener/Client.h"
#include "veltonet/listener/Listener.h"
#include "veltonet/receiver.h"

namespace velto {

namespace {

const veltonet::Listener* ListenerOf(void* handle) {
    return static_cast<const veltonet::Listener*>(static_cast<veltonet::TCPReceiver*>(handle));
}

}  // namespace

std::vector<ClientRoster::Arrival> ClientRoster::Refresh() {
    std::vector<Arrival> arrivals;
    auto see = [&](void* client, bool pending) {
        if (m_known.count(client) != 0) {
            return;
        }
        R_UpdateClientRemoteAddress(client);
        const std::string address = AddressOf(client);
        m_known[client] = address;
        arrivals.push_back(Arrival{client, address, pending});
    };
    for (void* client : Pending()) {
        see(client, true);
    }
    void* iterator = R_CreateListenerClientIterator(m_listener);
    while (void* client = R_GetCurrentClientAndIncrement(iterator)) {
        see(client, false);
    }
    R_DestroyListenerClientIterator(m_listener, iterator);
    return arrivals;
}

std::string ClientRoster::Forget(void* client) {
    auto found = m_known.find(client);
    if (found == m_known.end()) {
        return {};
    }
    std::string address = found->second;
    m_known.erase(found);
    return address;
}

std::string ClientRoster::See(void* client, bool* arrived) {
    auto found = m_known.find(client);
    *arrived = found == m_known.end();
    if (!*arrived) {
        return found->second;
    }
    R_UpdateClientRemoteAddress(client);
    return m_known[client] = AddressOf(client);
}

std::vector<void*> ClientRoster::Pending() const {
    std::vector<void*> pending;
    for (veltonet::Client* client : ListenerOf(m_listener)->GetPendingClients()) {
        pending.push_back(static_cast<veltonet::TCPReceiver*>(client));
    }
    return pending;
}

}  // namespace velto
