#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "veltonet/Export.h"
#include "veltonet/listener/ClientIterator.h"

namespace veltonet {

class Client;
class Observer;

// A set of clients in address order, with iterators that stay valid while members come and
// go. A listener keeps one per subscription; its active clients are an AllClientSet.
//
// Ownership: the set owns its iterators (the own one included) but not its clients.
// Membership changes are logarithmic in the set size, plus a look at each registered
// iterator on a removal.
class VELTONET_EXPORT ClientSet {
  public:
    using Members = ClientIterator::Members;

    ClientSet() = default;
    virtual ~ClientSet();
    ClientSet(const ClientSet&) = delete;
    ClientSet& operator=(const ClientSet&) = delete;

    // ---- virtual operations, in slot order ----
    // Empties the set; every iterator then stands at the (empty) end.
    virtual void Clear();
    virtual void AddObserver(Observer* /*observer*/) {}
    virtual void RemoveObserver(Observer* /*observer*/) {}
    virtual void IncrementNotifyDataReceived();
    virtual void DecrementNotifyDataReceived();
    virtual void ForceSendBufferToClients() {}
    virtual void ResetMeasure() {}
    virtual void AddFeedMeasure(unsigned int /*milliseconds*/) {}
    virtual void ClearFeedMeasures() {}

    // False when the client is null or already a member.
    bool Add(Client* client);
    // False when the client is not a member. Iterators standing on it move to the next member.
    bool Remove(Client* client);
    bool Contains(Client* client) const { return m_clients.count(client) != 0; }
    unsigned int GetCount() const { return static_cast<unsigned int>(m_clients.size()); }
    const Members& GetClients() const { return m_clients; }

    // The fan-out: SendBuffer on each member, in address order. The walk has moved past a
    // member before calling it, so a member that leaves during its own call does not disturb
    // it. The caller (the listener) holds its sending guard, under which no member leaves.
    void SendBuffer(const char* data, int length, bool flag);
    void SetSupportOutOfBand(bool on);

    ClientIterator* CreateIterator();
    // Null, and iterators of other sets, are ignored.
    void DestroyIterator(ClientIterator* iterator);

  protected:
    // Calls visit(client) for each member through a registered iterator, so that members may
    // join or leave during the walk. The own iterator serves the outermost walk, made once and
    // reused; a walk nested in another (a callback that sends again) gets a temporary one.
    template <typename Visit>
    void Walk(Visit&& visit);
    // Walk from the first member after the given one.
    template <typename Visit>
    void WalkAfter(Client* last, Visit&& visit);

    Members m_clients;

  private:
    // A member as the fan-out sees it: whether it is a plain Client (no subclass), whose
    // bytes may be added without the virtual call, is worked out once per membership.
    struct Delivery {
        Client* client;
        bool plain;
    };
    static Delivery DeliveryTo(Client* client);
    void Deliver(const Delivery& delivery, const char* data, int length, bool flag);

    // The members in order as a flat list, for fan-outs: rebuilt at the first fan-out after
    // a change of membership (m_changes counts them).
    std::vector<Delivery> m_deliveries;
    uint64_t m_changes = 0;
    uint64_t m_deliveriesAt = ~uint64_t(0);
    std::set<ClientIterator*> m_iterators;
    ClientIterator* m_ownIterator = nullptr;
    bool m_walking = false;
};

template <typename Visit>
void ClientSet::Walk(Visit&& visit) {
    WalkAfter(nullptr, visit);
}

template <typename Visit>
void ClientSet::WalkAfter(Client* last, Visit&& visit) {
    const bool nested = m_walking;
    ClientIterator* iterator = nullptr;
    if (nested) {
        iterator = CreateIterator();
    } else {
        if (m_ownIterator == nullptr) {
            m_ownIterator = CreateIterator();
        }
        iterator = m_ownIterator;
    }
    iterator->m_current = last == nullptr ? m_clients.begin() : m_clients.upper_bound(last);
    m_walking = true;
    while (Client* client = iterator->Step()) {
        visit(client);
    }
    m_walking = nested;
    if (nested) {
        DestroyIterator(iterator);
    }
}

}  // namespace veltonet
