#include "veltonet/listener/ClientSet.h"

#include <typeinfo>

#include "veltonet/listener/Client.h"
#include "veltonet/listener/SpareNode.h"

namespace veltonet {

ClientSet::~ClientSet() {
    for (ClientIterator* iterator : m_iterators) {
        delete iterator;
    }
}

void ClientSet::Clear() {
    m_clients.clear();
    for (ClientIterator* iterator : m_iterators) {
        iterator->m_current = m_clients.end();
    }
}

void ClientSet::IncrementNotifyDataReceived() {
    for (Client* client : m_clients) {
        client->IncrementNotifyDataReceived();
    }
}

void ClientSet::DecrementNotifyDataReceived() {
    for (Client* client : m_clients) {
        client->DecrementNotifyDataReceived();
    }
}

bool ClientSet::Add(Client* client) {
    if (client == nullptr) {
        return false;
    }
    // An insertion invalidates no position of a tree set: the iterators need nothing.
    return InsertWithSpare(m_clients, client);
}

bool ClientSet::Remove(Client* client) {
    const auto found = m_clients.find(client);
    if (found == m_clients.end()) {
        return false;
    }
    for (ClientIterator* iterator : m_iterators) {
        if (iterator->m_current == found) {
            ++iterator->m_current;
        }
    }
    EraseToSpare(m_clients, found);
    return true;
}

void ClientSet::SendBuffer(const char* data, int length, bool flag) {
    // The common delivery of a fan-out: bytes that fit a plain client's accumulation buffer,
    // added without the virtual call, as Client::SendBuffer would add them (the client test
    // compares the two). Everything else, and every subclass, goes through SendBuffer. The
    // type test compares addresses: no string comparison per member of a subclass.
    const std::type_info* const plain = &typeid(Client);
    Walk([&](Client* client) {
        if (&typeid(*client) == plain && client->AccumulateIfRoom(data, length)) {
            return;
        }
        client->SendBuffer(data, length, flag);
    });
}

void ClientSet::SetSupportOutOfBand(bool on) {
    for (Client* client : m_clients) {
        client->SetSupportOutOfBand(on);
    }
}

ClientIterator* ClientSet::CreateIterator() {
    auto* iterator = new ClientIterator(m_clients);
    m_iterators.insert(iterator);
    return iterator;
}

void ClientSet::DestroyIterator(ClientIterator* iterator) {
    if (iterator == nullptr || m_iterators.erase(iterator) == 0) {
        return;
    }
    if (iterator == m_ownIterator) {
        m_ownIterator = nullptr;
    }
    delete iterator;
}

}  // namespace veltonet
