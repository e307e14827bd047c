// The listener's subscription tables: one ClientSet per identifier without a name, and per
// identifier and name, made on the first subscription and kept until the listener goes.
#include <string_view>

#include "veltonet/listener/Client.h"
#include "veltonet/listener/ClientSet.h"
#include "veltonet/listener/Listener.h"

namespace veltonet {

ClientSet* Listener::FindSet(unsigned int identifier, const char* name) const {
    if (name == nullptr) {
        return identifier < m_identifierSets.size() ? m_identifierSets[identifier] : nullptr;
    }
    if (identifier >= m_namedIdentifierMaps.size() ||
        m_namedIdentifierMaps[identifier] == nullptr) {
        return nullptr;
    }
    const NamedSetMap& map = *m_namedIdentifierMaps[identifier];
    const auto found = map.find(std::string_view(name));
    return found != map.end() ? found->second : nullptr;
}

const ClientSet* Listener::FindSubscription(unsigned int identifier, const char* name) const {
    return FindSet(identifier, name);
}

bool Listener::SubscriptionExists(unsigned int identifier, const char* name) const {
    const ClientSet* set = FindSet(identifier, name);
    return set != nullptr && set->GetCount() != 0;
}

bool Listener::Subscribe(Client* client, unsigned int identifier, const char* name) {
    if (!JoinSet(client, identifier, name)) {
        return false;
    }
    client->RecordSubscription(identifier, name);
    return true;
}

bool Listener::Unsubscribe(Client* client, unsigned int identifier, const char* name) {
    if (!LeaveSet(client, identifier, name)) {
        return false;
    }
    client->ForgetSubscription(identifier, name);
    return true;
}

bool Listener::JoinSet(Client* client, unsigned int identifier, const char* name) {
    // A client of another listener would outlive its membership here.
    if (client == nullptr || client->m_listener != this) {
        return false;
    }
    ClientSet* set = nullptr;
    if (name == nullptr) {
        if (identifier >= m_identifierSets.size()) {
            return false;
        }
        ClientSet*& entry = m_identifierSets[identifier];
        if (entry == nullptr) {
            entry = new ClientSet;
        }
        set = entry;
    } else {
        if (identifier >= m_namedIdentifierMaps.size()) {
            return false;
        }
        NamedSetMap*& map = m_namedIdentifierMaps[identifier];
        if (map == nullptr) {
            map = new NamedSetMap;
        }
        auto found = map->find(std::string_view(name));
        if (found == map->end()) {
            found = map->emplace(name, new ClientSet).first;
        }
        set = found->second;
    }
    return set->Add(client);
}

bool Listener::LeaveSet(Client* client, unsigned int identifier, const char* name) {
    ClientSet* set = FindSet(identifier, name);
    return set != nullptr && set->Remove(client);
}

bool Listener::SendSubscription(unsigned int identifier, const char* name, const char* data,
                                int length) {
    if (!isInitialized()) {
        return false;
    }
    ClientSet* set = FindSet(identifier, name);
    if (set == nullptr) {
        return false;
    }
    // Active members gather the bytes in their accumulation buffers; pending ones send now.
    DoSendBufferToClients(set, data, length, false);
    return true;
}

}  // namespace veltonet
