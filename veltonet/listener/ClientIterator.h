#pragma once

#include <set>

#include "veltonet/Export.h"

namespace veltonet {

class Client;
class ClientSet;

// One position in a ClientSet, kept valid by the set while members come and go: a member
// added anywhere does not disturb it, and when the member it stands on leaves, it steps on
// to the next one first. Made and deleted only by its set (CreateIterator, DestroyIterator);
// the set deletes every iterator it still holds when it goes.
class VELTONET_EXPORT ClientIterator {
  public:
    using Members = std::set<Client*>;

    ClientIterator(const ClientIterator&) = delete;
    ClientIterator& operator=(const ClientIterator&) = delete;

    // Returns the member it stands on and moves to the next one. A walk returns every member
    // once in address order, then null once; the call after the null starts over at the first
    // member. Over an empty set it always returns null.
    Client* GetCurrentAndIncrement();
    // Back to the first member.
    void Reset();
    // The member it stands on; null at the end.
    Client* GetCurrentClient() const;

  private:
    friend class ClientSet;

    explicit ClientIterator(const Members& members);
    // GetCurrentAndIncrement, inlined into the set's own walks.
    Client* Step() {
        if (m_current == m_members.end()) {
            m_current = m_members.begin();
            return nullptr;
        }
        return *m_current++;
    }
    ~ClientIterator() = default;

    const Members& m_members;
    Members::const_iterator m_current;
};

}  // namespace veltonet
