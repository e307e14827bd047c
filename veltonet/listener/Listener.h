#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "veltonet/Export.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

class AllClientSet;
class Client;
class ClientIterator;
class ClientSet;

// The server side: a receiver whose socket listens on a TCP port. Every connection is
// accepted into a Client, pending until admitted (at once when auto-accepting, else through
// Client::AddToListener). The listener hands its observers to its clients, so what they
// publish reaches the listener's observers; sends a buffer to all active clients or to the
// members of one subscription; and keeps the subscription tables, whose length is fixed at
// construction.
//
// Ownership: the listener owns its clients (pending and active), the AllClientSet, every
// subscription set and every name map. Subscription sets live until the listener goes, even
// when empty.
//
// Sending guard: while the listener walks a set of clients (m_sending), a client whose send
// fails only marks itself; ForceSendBufferToClients reaps the marked ones. Runs on the loop
// thread only.
class VELTONET_EXPORT Listener : public TCPReceiver {
  public:
    using ClientPointerSet = std::set<Client*>;
    using NamedSetMap = std::map<std::string, ClientSet*, std::less<>>;

    Listener(const char* name, unsigned int identifierCount, unsigned int namedIdentifierCount,
             unsigned short port, bool autoAccept, unsigned int receiveBufferSize,
             unsigned int sendBufferSize, bool supportOutOfBand);
    ~Listener() override;
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // ---- overrides, in slot order ----
    // The observer is also added to (removed from) every active client.
    bool Add(Observer* observer) override;
    bool Remove(Observer* observer) override;
    bool isServer() const override { return true; }
    void SetPersistent(unsigned int /*seconds*/) override {}
    // The whole buffer to every active client; true whatever the clients answer.
    bool SendBuffer(const char* data, int length, bool flag = false) override;
    // Deletes every client, pending and active, then closes the listening socket.
    bool Disconnect() override;
    unsigned short GetConnectionPort() const override { return GetPort(); }
    void OnConnect(int /*error*/) override {}
    void OnClose(int /*error*/) override {}
    void OnAccept(int error) override;
    void ResetMeasure() override;
    FeedMeasure* AddFeedMeasure(unsigned int milliseconds) override;
    FeedMeasure* RemoveFeedMeasure(FeedMeasure* /*feed*/) override { return nullptr; }
    void ClearFeedMeasures() override;
    bool isSupportOutOfBand() const override { return m_supportOutOfBand; }
    void SetSupportOutOfBand(bool on) override;
    unsigned int GetNotifyDataReceivedCount() const override { return m_notifyDataReceivedCount; }
    void IncrementNotifyDataReceived() override;
    void DecrementNotifyDataReceived() override;

  protected:
    // Listens (backlog 5) on the socket just bound to the listening port.
    bool SocketCreationOk() override;

  public:
    unsigned int GetClientCount() const;
    unsigned int GetPendingClientCount() const;
    // Over the active clients; valid until DestroyClientIterator or the listener's end.
    ClientIterator* CreateClientIterator();
    void DestroyClientIterator(ClientIterator* iterator);
    // Flushes every active client and reaps those marked for destruction.
    void ForceSendBufferToClients();
    bool isSending() const { return m_sending; }
    const ClientPointerSet& GetPendingClients() const { return m_pendingClients; }
    const ClientSet& GetActiveClients() const;

    // ---- subscriptions ----
    // A null name selects the table without names; any other name (even "") the named one.
    // Subscribe is false for an identifier beyond its table, a null client or one that is
    // already a member. The client's own records follow, so its end undoes the subscription.
    bool Subscribe(Client* client, unsigned int identifier, const char* name);
    bool Unsubscribe(Client* client, unsigned int identifier, const char* name);
    const ClientSet* FindSubscription(unsigned int identifier, const char* name) const;
    bool SubscriptionExists(unsigned int identifier, const char* name) const;
    // False before the listener has a socket, or for a subscription never made.
    bool SendSubscription(unsigned int identifier, const char* name, const char* data, int length);

  protected:
    void AddPendingClient(Client* client);
    void RemovePendingClient(Client* client);
    // Admission: false when the client is not pending.
    bool AddClient(Client* client);
    // Withdrawal: unsubscribes the client, marks it pending, frees its buffer; true when it
    // was active.
    bool RemoveClient(Client* client);
    void SendBufferToClients(ClientSet* set, const char* data, int length, bool flag);
    void DoSendBufferToClients(ClientSet* set, const char* data, int length, bool flag);

  private:
    friend class Client;
    class SendingGuard;

    ClientSet* FindSet(unsigned int identifier, const char* name) const;
    // Subscribe and Unsubscribe without the client's records, for a client that keeps them
    // itself (its request path).
    bool JoinSet(Client* client, unsigned int identifier, const char* name);
    bool LeaveSet(Client* client, unsigned int identifier, const char* name);
    void SendAcceptance(Client* client);

    bool m_autoAccept;
    ClientPointerSet m_pendingClients;
    std::unique_ptr<AllClientSet> m_allClients;  // owned, so a constructor that throws frees it
    std::vector<ClientSet*> m_identifierSets;
    std::vector<NamedSetMap*> m_namedIdentifierMaps;
    unsigned int m_receiveBufferSize;
    unsigned int m_sendBufferSize;
    void* m_observerIterator;
    bool m_sending = false;
    bool m_supportOutOfBand;
    unsigned int m_notifyDataReceivedCount = 0;
};

}  // namespace veltonet
