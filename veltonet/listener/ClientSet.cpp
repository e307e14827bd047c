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
    ++m_changes;
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
    if (!InsertWithSpare(m_clients, client)) {
        return false;
    }
    ++m_changes;
    return true;
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
    ++m_changes;
    return true;
}

// The common delivery of a fan-out: bytes that fit a plain client's accumulation buffer,
// added without the virtual call, as Client::SendBuffer would add them (the client test
// compares the two). Everything else, and every subclass, goes through SendBuffer.
ClientSet::Delivery ClientSet::DeliveryTo(Client* client) {
    return {client, typeid(*client) == typeid(Client)};
}

void ClientSet::Deliver(const Delivery& delivery, const char* data, int length, bool flag) {
    if (delivery.plain && delivery.client->AccumulateIfRoom(data, length)) {
        return;
    }
    delivery.client->SendBuffer(data, length, flag);
}

// A fan-out reads the members from a flat list rather than stepping through the tree: one
// cache line fewer per member. The list holds only while the membership does; when a
// delivery changes it (a callback adds or removes a member), the walk goes on through the
// tree from the member after the last one served, exactly as the tree walk would have.
void ClientSet::SendBuffer(const char* data, int length, bool flag) {
    if (m_walking) {
        Walk([&](Client* client) { Deliver(DeliveryTo(client), data, length, flag); });
        return;
    }
    if (m_deliveriesAt != m_changes) {
        m_deliveries.clear();
        m_deliveries.reserve(m_clients.size());
        for (Client* client : m_clients) {
            m_deliveries.push_back(DeliveryTo(client));
        }
        m_deliveriesAt = m_changes;
    }
    const uint64_t changes = m_changes;
    Client* last = nullptr;
    m_walking = true;
    // Members' buffer state lies in as many cold cache lines: ask for them a few ahead.
    constexpr size_t kAhead = 4;
    const size_t count = m_deliveries.size();
    for (size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) {
            __builtin_prefetch(&m_deliveries[i + kAhead].client->m_dataLength);
        }
        const Delivery& delivery = m_deliveries[i];
        last = delivery.client;
        Deliver(delivery, data, length, flag);
        if (m_changes != changes) {
            break;
        }
    }
    m_walking = false;
    if (m_changes != changes) {
        WalkAfter(last, [&](Client* client) { Deliver(DeliveryTo(client), data, length, flag); });
    }
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
