#include "veltonet/listener/ClientIterator.h"

namespace veltonet {

ClientIterator::ClientIterator(const Members& members)
    : m_members(members), m_current(members.begin()) {}

Client* ClientIterator::GetCurrentAndIncrement() {
    return Step();
}

void ClientIterator::Reset() {
    m_current = m_members.begin();
}

Client* ClientIterator::GetCurrentClient() const {
    return m_current == m_members.end() ? nullptr : *m_current;
}

}  // namespace veltonet
