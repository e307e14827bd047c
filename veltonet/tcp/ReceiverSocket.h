#pragma once

#include <cstddef>

#include "veltonet/platform/AsyncSocket.h"

namespace veltonet {

class TCPReceiver;

// The socket a receiver owns; forwards the six notifications to it. Allocated from the memory
// pool first, the heap when the pool has nothing.
class ReceiverSocket : public AsyncSocket {
  public:
    explicit ReceiverSocket(TCPReceiver* owner);
    ~ReceiverSocket() override;

    static void* operator new(size_t size);
    static void operator delete(void* block, size_t size);

    // Sets an option; a failure is written to the owner's log with the option-error text.
    bool SetSockOpt(int option, const void* value, int length, int level = 0xFFFF);

    TCPReceiver* GetOwner() const { return m_owner; }

    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnOutOfBandData(int error) override;
    void OnAccept(int error) override;
    void OnConnect(int error) override;
    void OnClose(int error) override;

  private:
    TCPReceiver* m_owner;
    bool m_hasOwner;
};

}  // namespace veltonet
