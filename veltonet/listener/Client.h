#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "veltonet/Export.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

class Listener;

// One connection accepted by a Listener. It frames and publishes messages like any receiver,
// takes subscribe (60004) and unsubscribe (60005) requests from its peer into its listener's
// subscription tables, and, once admitted, gathers outgoing bytes in an accumulation buffer
// that is flushed when the next send does not fit, or on demand.
//
// Ownership: owned by its listener, never registered with the manager, pool-allocated.
// While the listener walks a set of clients (its sending guard), a client never leaves a set
// and is never deleted: Disconnect and DisconnectAndNotify only mark it, and the listener
// reaps it later. Its destructor publishes the disconnected notification (60002) once.
//
// Accumulation buffer, made when first needed while the client is active:
//
//   m_buffer                    m_buffer + m_dataLength        m_buffer + m_bufferLength
//   | bytes waiting, in the      | free                          |
//   | order of the SendBuffer    |                               |
//   | calls, back to back        |                               |
//
// Invariant: 0 <= m_dataLength <= m_bufferLength; a flush hands all waiting bytes to the
// send path as one buffer, so many small sends cost one socket send.
class VELTONET_EXPORT Client : public TCPReceiver {
  public:
    using IdentifierSet = std::set<uint32_t>;
    using NamedIdentifierMap = std::map<std::string, IdentifierSet, std::less<>>;

    // Peer of the accepted connection, filled by the listener's accept.
    struct RemoteAddress {
        std::string address;  // dotted decimal
        uint16_t port = 0;
    };

    Client(Listener* listener, unsigned int receiveBufferSize, unsigned int sendBufferSize,
           bool supportOutOfBand);
    ~Client() override;

    // Pool first, the heap when the pool has nothing.
    static void* operator new(size_t size);
    static void* operator new(size_t /*size*/, void* place) noexcept { return place; }
    static void operator delete(void* block, size_t size);
    static void operator delete(void* /*block*/, void* /*place*/) noexcept {}

    // ---- overrides, in slot order ----
    bool isAccepted() const override { return true; }
    void SetPersistent(unsigned int /*seconds*/) override {}
    // Pending: straight to the send path. Active: into the accumulation buffer, flushing
    // first when the bytes do not fit; bytes larger than the whole buffer go to the send path
    // after the flush.
    bool SendBuffer(const char* data, int length, bool flag = false) override;
    // Withdraws the client from its listener and deletes it (at once, or at the end of its
    // own notification); under the listener's sending guard only marks it. Always true.
    bool Disconnect() override;
    void DisconnectAndNotify(bool reconnect) override;
    bool isSniffer() const override { return m_sniffer; }
    // Shows the accepted peer's address and port as the client's address list and port.
    void UpdateRemoteAddress() override;
    bool AddToListener() override;
    void OnConnect(int /*error*/) override {}
    // A marked client reaps itself on its next read notification: it reads nothing while
    // marked, and unread bytes would otherwise notify again on every round.
    void OnReceive(int error) override;
    void OnClose(int error) override;

  protected:
    const Message* Parse(const char* data, unsigned int size) override;

  public:
    // ---- accumulation buffer ----
    // False when the bytes do not fit, or there is no buffer.
    bool AddData(const char* data, unsigned int length);
    void ClearBuffer() { m_dataLength = 0; }
    // An admitted client's buffer (made here if no bytes were gathered yet); null while pending.
    const char* GetClientBuffer() const;
    unsigned int GetDataLength() const { return m_dataLength; }
    unsigned int GetBufferLength() const { return m_bufferLength; }
    bool HasData() const { return m_dataLength != 0; }
    // Hands the waiting bytes to the send path; false (bytes kept) when it refuses them.
    bool ForceSendBuffer();

    bool isPending() const { return m_pending; }
    Listener* GetListener() const { return m_listener; }
    const RemoteAddress& GetRemoteAddress() const { return m_remoteAddress; }
    void SetNotifyDataReceivedCount(unsigned int count) { SetNotifyDataReceivedCountValue(count); }

    // Leaves every subscription this client holds; its records are emptied.
    void UnsubscribeAll();
    const IdentifierSet& GetIdentifiers() const { return m_identifiers; }
    const NamedIdentifierMap& GetNamedIdentifiers() const { return m_namedIdentifiers; }

  protected:
    void AllocateBuffer();
    void DeallocateBuffer();

  private:
    friend class AllClientSet;
    friend class ClientSet;
    friend class Listener;

    // What SendBuffer does with bytes that fit the accumulation buffer of an admitted client,
    // without a virtual call: true when they were added; false leaves the decision to
    // SendBuffer (pending, no buffer, nothing to add, or no room).
    bool AccumulateIfRoom(const char* data, int length) {
        if (m_pending || m_buffer == nullptr || length < 1 || data == nullptr ||
            static_cast<unsigned int>(length) > m_bufferLength - m_dataLength) {
            return false;
        }
        std::memcpy(m_buffer + m_dataLength, data, static_cast<unsigned int>(length));
        m_dataLength += static_cast<unsigned int>(length);
        return true;
    }

    // Active, with its accumulation buffer (made now if need be): bytes may be gathered.
    bool ReadyToGather();

    // The listener keeps these records in step with its subscription sets, so that a
    // subscription made by any path is undone when the client goes.
    void RecordSubscription(uint32_t identifier, const char* name);
    void ForgetSubscription(uint32_t identifier, const char* name);
    // The nameless records: false when there was nothing to change.
    bool RecordIdentifier(uint32_t identifier);
    bool ForgetIdentifier(uint32_t identifier);
    bool isListenerSending() const;
    // Leaves the listener's pending and active sets and every subscription.
    void Unlink();
    // Unlinks and deletes (or marks); logs delayedText when the deletion waits for the end of
    // the receive processing. The object may be gone on return.
    void Withdraw(const char* delayedText);
    // The listener's way to delete a client: at once, or, when the client is inside one of
    // its own notifications (an observer dropped the listener), unlinked now and detached
    // from the listener, which may be gone by the time the client deletes itself.
    void DeleteByListener();

    Listener* m_listener;  // null only on the way to a deferred deletion
    RemoteAddress m_remoteAddress;
    IdentifierSet m_identifiers;
    NamedIdentifierMap m_namedIdentifiers;
    unsigned int m_bufferLength;
    unsigned int m_dataLength = 0;
    char* m_buffer = nullptr;
    bool m_pending = true;
    bool m_sniffer = true;
};

}  // namespace veltonet
