#include "veltonet/tcp/ReceiverSocket.h"

#include <new>

#include "veltonet/companion/MemoryPool.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/platform/WinsockErrors.h"
#include "veltonet/tcp/ErrorTexts.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

ReceiverSocket::ReceiverSocket(TCPReceiver* owner) : m_owner(owner), m_hasOwner(owner != nullptr) {}

ReceiverSocket::~ReceiverSocket() {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->EraseCondemnedSocket(this);
    }
}

void* ReceiverSocket::operator new(size_t size) {
    if (void* block = PoolAlloc(size)) {
        return block;
    }
    return ::operator new(size);
}

void ReceiverSocket::operator delete(void* block, size_t size) {
    if (block != nullptr && !PoolFree(block, size)) {
        ::operator delete(block);
    }
}

bool ReceiverSocket::SetSockOpt(int option, const void* value, int length, int level) {
    if (AsyncSocket::SetSockOpt(option, value, length, level)) {
        return true;
    }
    int error = GetLastSocketError();
    if (m_hasOwner) {
        m_owner->LogMessage(m_owner->GetName().c_str(), "ReceiverSocket::SetSockOpt()",
                            m_owner->GetIp());
        m_owner->LogMessage(m_owner->GetName().c_str(), SocketOptionErrorText(error),
                            m_owner->GetIp());
    }
    return false;
}

void ReceiverSocket::OnReceive(int error) {
    if (m_hasOwner) {
        m_owner->OnReceive(error);
    }
}

void ReceiverSocket::OnSend(int error) {
    if (m_hasOwner) {
        m_owner->OnSend(error);
    }
}

void ReceiverSocket::OnOutOfBandData(int error) {
    if (m_hasOwner) {
        m_owner->OnOutOfBandData(error);
    }
}

void ReceiverSocket::OnAccept(int error) {
    if (m_hasOwner) {
        m_owner->OnAccept(error);
    }
}

void ReceiverSocket::OnConnect(int error) {
    if (m_hasOwner) {
        m_owner->OnConnect(error);
    } else {
        delete this;  // an orphaned connect attempt cleans up after itself
    }
}

void ReceiverSocket::OnClose(int error) {
    if (m_hasOwner) {
        m_owner->OnClose(error);
    }
}

}  // namespace veltonet
