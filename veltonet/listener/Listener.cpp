#include "veltonet/listener/Listener.h"

#include <new>
#include <string>

#include "veltonet/companion/Message.h"
#include "veltonet/listener/AcceptErrors.h"
#include "veltonet/listener/AllClientSet.h"
#include "veltonet/listener/Client.h"
#include "veltonet/listener/ClientSet.h"
#include "veltonet/platform/WinsockErrors.h"
#include "veltonet/tcp/ReceiverSocket.h"

namespace veltonet {

namespace {
constexpr int kListenBacklog = 5;
// Trailing numbers of the accept records; the last one has all its bits set.
constexpr unsigned int kAcceptRecordNumber = 0xFFFFFFFFu;
}  // namespace

// Sets the sending guard for one walk and restores the value it found, so that a walk nested
// in another (a callback that sends again) leaves the outer one guarded.
class Listener::SendingGuard {
  public:
    explicit SendingGuard(Listener* listener)
        : m_listener(listener), m_previous(listener->m_sending) {
        listener->m_sending = true;
    }
    ~SendingGuard() { m_listener->m_sending = m_previous; }
    SendingGuard(const SendingGuard&) = delete;
    SendingGuard& operator=(const SendingGuard&) = delete;

  private:
    Listener* m_listener;
    bool m_previous;
};

Listener::Listener(const char* name, unsigned int identifierCount,
                   unsigned int namedIdentifierCount, unsigned short port, bool autoAccept,
                   unsigned int receiveBufferSize, unsigned int sendBufferSize,
                   bool supportOutOfBand)
    : TCPReceiver(name, "", port, 0, false, receiveBufferSize, sendBufferSize, 0, false),
      m_autoAccept(autoAccept),
      m_allClients(new AllClientSet),
      m_identifierSets(identifierCount, nullptr),
      m_namedIdentifierMaps(namedIdentifierCount, nullptr),
      m_receiveBufferSize(receiveBufferSize),
      m_sendBufferSize(sendBufferSize),
      m_observerIterator(CreateObserverIterator()),
      m_supportOutOfBand(supportOutOfBand) {}

Listener::~Listener() {
    DestroyObserverIterator(m_observerIterator);
    m_observerIterator = nullptr;
    Listener::Disconnect();
    for (ClientSet* set : m_identifierSets) {
        delete set;
    }
    for (NamedSetMap* map : m_namedIdentifierMaps) {
        if (map != nullptr) {
            for (auto& entry : *map) {
                delete entry.second;
            }
            delete map;
        }
    }
}

// ---- listening and accepting ----

bool Listener::SocketCreationOk() {
    // With port 0 the kernel picked the port: report the one actually bound.
    std::string address;
    uint16_t bound = 0;
    const bool named = m_socket->GetSockName(address, bound);
    StoreLocalPort(named ? bound : GetConnectionPort());
    UpdateTcpBufferSizes();
    const bool listening = m_socket->Listen(kListenBacklog);
    SetConnectedFlag(listening);
    return listening;
}

void Listener::OnAccept(int error) {
    if (error != 0) {
        const std::string text = "OnAccept Error on Entry: " + std::to_string(error);
        LogMessage("OnAccept", text.c_str(), nullptr, 0, -1, kAcceptRecordNumber);
        return;
    }
    if (m_socket == nullptr) {
        return;
    }
    Client* client = nullptr;
    try {
        client = new Client(this, m_receiveBufferSize, m_sendBufferSize, m_supportOutOfBand);
    } catch (const std::bad_alloc&) {
        return;  // the connection waits; the next accept notification tries again
    }
    client->SetNotifyDataReceivedCount(m_notifyDataReceivedCount);
    if (!m_socket->Accept(*client->GetSocket(), &client->m_remoteAddress.address,
                          &client->m_remoteAddress.port)) {
        const int last = GetLastSocketError();
        LogMessage("OnAccept", AcceptErrorText(last), client->GetIp(), 0, -1, kAcceptRecordNumber);
        delete client;
        return;
    }
    AddPendingClient(client);
    StartIteration(m_observerIterator);
    while (Observer* observer = GetNextObserver(m_observerIterator)) {
        client->Add(observer);
    }
    SendAcceptance(client);
}

// The acceptance goes to the socket at once, also for a client admitted a moment ago: in its
// (still empty) accumulation buffer it would wait for the next flush, and a peer that waits
// for it before subscribing would wait with it. Nothing is queued yet, so the order of the
// bytes on the wire is the same either way.
void Listener::SendAcceptance(Client* client) {
    const HeaderMessage accepted(kMsgAccepted);
    client->TCPReceiver::SendBuffer(reinterpret_cast<const char*>(accepted.Bytes()),
                                    accepted.GetSize(), false);
    // A failed send has deleted the client: nothing may touch it here.
}

void Listener::AddPendingClient(Client* client) {
    m_pendingClients.insert(client);
    if (m_autoAccept) {
        AddClient(client);
    }
}

void Listener::RemovePendingClient(Client* client) {
    m_pendingClients.erase(client);
}

bool Listener::AddClient(Client* client) {
    if (m_pendingClients.erase(client) == 0) {
        return false;
    }
    client->m_pending = false;
    client->m_sniffer = false;
    m_allClients->Add(client);
    return true;
}

bool Listener::RemoveClient(Client* client) {
    client->UnsubscribeAll();
    client->m_pending = true;
    client->DeallocateBuffer();
    return m_allClients->Remove(client);
}

unsigned int Listener::GetClientCount() const {
    return m_allClients->GetCount();
}

unsigned int Listener::GetPendingClientCount() const {
    return static_cast<unsigned int>(m_pendingClients.size());
}

const ClientSet& Listener::GetActiveClients() const {
    return *m_allClients;
}

ClientIterator* Listener::CreateClientIterator() {
    return m_allClients->CreateIterator();
}

void Listener::DestroyClientIterator(ClientIterator* iterator) {
    m_allClients->DestroyIterator(iterator);
}

// ---- what is handed on to the clients ----

bool Listener::Add(Observer* observer) {
    const bool added = TCPReceiver::Add(observer);
    m_allClients->AddObserver(observer);
    return added;
}

bool Listener::Remove(Observer* observer) {
    const bool removed = TCPReceiver::Remove(observer);
    m_allClients->RemoveObserver(observer);
    return removed;
}

void Listener::SetSupportOutOfBand(bool on) {
    if (on == m_supportOutOfBand) {
        return;
    }
    m_supportOutOfBand = on;
    m_allClients->SetSupportOutOfBand(on);
}

void Listener::IncrementNotifyDataReceived() {
    ++m_notifyDataReceivedCount;
    m_allClients->IncrementNotifyDataReceived();
}

void Listener::DecrementNotifyDataReceived() {
    if (m_notifyDataReceivedCount != 0) {
        --m_notifyDataReceivedCount;
    }
    m_allClients->DecrementNotifyDataReceived();
}

void Listener::ResetMeasure() {
    m_allClients->ResetMeasure();
}

FeedMeasure* Listener::AddFeedMeasure(unsigned int milliseconds) {
    m_allClients->AddFeedMeasure(milliseconds);
    return nullptr;
}

void Listener::ClearFeedMeasures() {
    m_allClients->ClearFeedMeasures();
}

// ---- sending ----

bool Listener::SendBuffer(const char* data, int length, bool flag) {
    if (m_allClients->GetCount() != 0) {
        DoSendBufferToClients(m_allClients.get(), data, length, flag);
    }
    return true;
}

void Listener::SendBufferToClients(ClientSet* set, const char* data, int length, bool flag) {
    if (set != nullptr && set->GetCount() != 0) {
        DoSendBufferToClients(set, data, length, flag);
    }
}

void Listener::DoSendBufferToClients(ClientSet* set, const char* data, int length, bool flag) {
    if (set == nullptr) {
        return;
    }
    // A client's disconnection may delete the listener: not before the walk is over.
    BusyScope busy(this);
    SendingGuard guard(this);
    set->SendBuffer(data, length, flag);
}

void Listener::ForceSendBufferToClients() {
    BusyScope busy(this);
    SendingGuard guard(this);
    m_allClients->ForceSendBufferToClients();
}

// ---- disconnection ----

bool Listener::Disconnect() {
    LogMessage(GetName().c_str(), "Listener::Disconnect", GetIp());
    // One at a time from the set itself: an observer of a client's disconnected notification
    // may admit or drop the others meanwhile.
    while (!m_pendingClients.empty()) {
        Client* client = *m_pendingClients.begin();
        m_pendingClients.erase(m_pendingClients.begin());
        client->DeleteByListener();
    }
    m_allClients->Clear();
    return TCPReceiver::Disconnect();
}

}  // namespace veltonet
