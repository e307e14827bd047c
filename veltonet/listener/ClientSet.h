#pragma once

#include <set>

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

    Members m_clients;

  private:
    std::set<ClientIterator*> m_iterators;
    ClientIterator* m_ownIterator = nullptr;
    bool m_walking = false;
};

template <typename Visit>
void ClientSet::Walk(Visit&& visit) {
    const bool nested = m_walking;
    ClientIterator* iterator = nullptr;
    if (nested) {
        iterator = CreateIterator();
    } else {
        if (m_ownIterator == nullptr) {
            m_ownIterator = CreateIterator();
        }
        iterator = m_ownIterator;
        iterator->Reset();
    }
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
