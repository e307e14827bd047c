#include "veltonet/listener/Client.h"

#include <cstring>
#include <new>
#include <string_view>

#include "veltonet/companion/MemoryPool.h"
#include "veltonet/companion/Message.h"
#include "veltonet/listener/Listener.h"
#include "veltonet/listener/SpareNode.h"
#include "veltonet/tcp/ReceiverSocket.h"

namespace veltonet {

namespace {

constexpr unsigned int kDefaultBufferLength = 65535;
// Header, then the 32-bit identifier; a name, when present, follows.
constexpr unsigned int kRequestHeaderLength = 8;

unsigned int BufferLengthFor(unsigned int sendBufferSize) {
    if (sendBufferSize == 0) {
        return kDefaultBufferLength;
    }
    const unsigned int length = sendBufferSize / 4;
    return length == 0 ? 1 : length;
}

}  // namespace

Client::Client(Listener* listener, unsigned int receiveBufferSize, unsigned int sendBufferSize,
               bool supportOutOfBand)
    : TCPReceiver("Client", "", 0, 0, true, receiveBufferSize, sendBufferSize, 0, supportOutOfBand),
      m_listener(listener),
      m_bufferLength(BufferLengthFor(sendBufferSize)) {
    // The listener's accept fills this socket; the client never runs the connect path.
    m_socket = new ReceiverSocket(this);
    SetConnectedFlag(true);
    SetInitializedFlag(true);
}

Client::~Client() {
    BeginDestruction();
    DeallocateBuffer();
    Unlink();
    Publish(kMsgDisconnected);
}

void* Client::operator new(size_t size) {
    if (void* block = PoolAlloc(size)) {
        return block;
    }
    return ::operator new(size);
}

void Client::operator delete(void* block, size_t size) {
    if (block != nullptr && !PoolFree(block, size)) {
        ::operator delete(block);
    }
}

// ---- sending ----

bool Client::SendBuffer(const char* data, int length, bool flag) {
    if (!ReadyToGather()) {
        return TCPReceiver::SendBuffer(data, length, flag);
    }
    if (length < 1) {
        return true;
    }
    if (data == nullptr) {
        return false;
    }
    const auto size = static_cast<unsigned int>(length);
    if (AddData(data, size)) {
        return true;
    }
    // After a failed flush the object may be gone: return without touching it.
    if (!ForceSendBuffer()) {
        return false;
    }
    if (size > m_bufferLength) {
        // Can never wait in the buffer; the flush has kept the order of the bytes.
        return TCPReceiver::SendBuffer(data, length, false);
    }
    return AddData(data, size);
}

bool Client::AddData(const char* data, unsigned int length) {
    if (!ReadyToGather() || length > m_bufferLength - m_dataLength) {
        return false;
    }
    if (length != 0) {
        std::memcpy(m_buffer + m_dataLength, data, length);
        m_dataLength += length;
    }
    return true;
}

bool Client::ForceSendBuffer() {
    if (m_dataLength == 0) {
        return true;
    }
    if (m_buffer == nullptr) {
        return false;
    }
    if (!TCPReceiver::SendBuffer(m_buffer, static_cast<int>(m_dataLength), false)) {
        return false;
    }
    m_dataLength = 0;
    return true;
}

// An admitted client gets its buffer with the first bytes to gather, not at admission: an
// idle client never touches it. Without memory for it, sends go to the socket directly.
void Client::AllocateBuffer() {
    if (m_buffer == nullptr) {
        m_buffer = new (std::nothrow) char[m_bufferLength];
    }
}

const char* Client::GetClientBuffer() const {
    if (!m_pending) {
        const_cast<Client*>(this)->AllocateBuffer();
    }
    return m_buffer;
}

bool Client::ReadyToGather() {
    if (m_pending) {
        return false;
    }
    AllocateBuffer();
    return m_buffer != nullptr;
}

void Client::DeallocateBuffer() {
    delete[] m_buffer;
    m_buffer = nullptr;
}

// ---- requests from the peer ----

const Message* Client::Parse(const char* data, unsigned int size) {
    const Message* message = Message::At(data);
    const uint16_t type = message->GetType();
    if (type != kMsgSubscribe && type != kMsgUnsubscribe) {
        return message;
    }
    if (size < kRequestHeaderLength) {
        return nullptr;  // no complete identifier: consumed
    }
    if (m_listener == nullptr) {
        return nullptr;
    }
    const bool subscribe = type == kMsgSubscribe;
    const uint32_t identifier = message->ReadU32(4);

    if (size == kRequestHeaderLength) {
        if (subscribe) {
            if (!RecordIdentifier(identifier)) {
                return nullptr;  // a repeated subscribe
            }
            return m_listener->JoinSet(this, identifier, nullptr) ? message : nullptr;
        }
        if (!ForgetIdentifier(identifier)) {
            return nullptr;  // an unsubscribe of nothing
        }
        return m_listener->LeaveSet(this, identifier, nullptr) ? message : nullptr;
    }

    // The name runs to the first NUL or to the end of the message, never beyond.
    const char* nameStart = data + kRequestHeaderLength;
    const size_t available = size - kRequestHeaderLength;
    const void* nul = std::memchr(nameStart, '\0', available);
    const size_t nameLength =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - nameStart) : available;
    const std::string name(nameStart, nameLength);

    auto entry = m_namedIdentifiers.find(name);
    const bool known = entry != m_namedIdentifiers.end() && entry->second.count(identifier) != 0;
    if (known == subscribe) {
        return nullptr;
    }
    if (subscribe) {
        if (entry == m_namedIdentifiers.end()) {
            entry = m_namedIdentifiers.emplace(name, IdentifierSet{}).first;
        }
        entry->second.insert(identifier);
        return m_listener->Subscribe(this, identifier, name.c_str()) ? message : nullptr;
    }
    entry->second.erase(identifier);
    if (entry->second.empty()) {
        m_namedIdentifiers.erase(entry);
    }
    return m_listener->Unsubscribe(this, identifier, name.c_str()) ? message : nullptr;
}

bool Client::RecordIdentifier(uint32_t identifier) {
    return InsertWithSpare(m_identifiers, identifier);
}

bool Client::ForgetIdentifier(uint32_t identifier) {
    const auto found = m_identifiers.find(identifier);
    if (found == m_identifiers.end()) {
        return false;
    }
    EraseToSpare(m_identifiers, found);
    return true;
}

void Client::RecordSubscription(uint32_t identifier, const char* name) {
    if (name == nullptr) {
        RecordIdentifier(identifier);
    } else {
        m_namedIdentifiers[name].insert(identifier);
    }
}

void Client::ForgetSubscription(uint32_t identifier, const char* name) {
    if (name == nullptr) {
        ForgetIdentifier(identifier);
        return;
    }
    const auto entry = m_namedIdentifiers.find(std::string_view(name));
    if (entry != m_namedIdentifiers.end()) {
        entry->second.erase(identifier);
        if (entry->second.empty()) {
            m_namedIdentifiers.erase(entry);
        }
    }
}

void Client::UnsubscribeAll() {
    // Taken out first: each Unsubscribe also clears the record it undoes.
    const IdentifierSet identifiers = std::move(m_identifiers);
    const NamedIdentifierMap named = std::move(m_namedIdentifiers);
    m_identifiers.clear();
    m_namedIdentifiers.clear();
    if (m_listener == nullptr) {
        return;
    }
    for (uint32_t identifier : identifiers) {
        m_listener->Unsubscribe(this, identifier, nullptr);
    }
    for (const auto& [name, set] : named) {
        for (uint32_t identifier : set) {
            m_listener->Unsubscribe(this, identifier, name.c_str());
        }
    }
}

// ---- disconnection ----

bool Client::isListenerSending() const {
    return m_listener != nullptr && m_listener->m_sending;
}

void Client::Unlink() {
    if (m_listener != nullptr) {
        m_listener->RemovePendingClient(this);
        m_listener->RemoveClient(this);
    }
}

bool Client::Disconnect() {
    if (isListenerSending()) {
        MarkToDestroy();
        return true;
    }
    Withdraw("Client destruction delayed");
    return true;
}

void Client::DisconnectAndNotify(bool /*reconnect*/) {
    if (isListenerSending()) {
        LogMessage(GetName().c_str(), "Client::DisconnectAndNotify() m_listener->m_sending",
                   GetIp());
        MarkToDestroy();
        return;
    }
    Withdraw("Client::DisconnectAndNotify Client destruction delayed");
}

void Client::Withdraw(const char* delayedText) {
    Unlink();
    // The listener may be deleted before a deferred deletion runs.
    m_listener = nullptr;
    // DelayedDestroy also defers while any notification of this client is on the stack; only
    // a deferral to the end of the receive processing is worth a record.
    if (DelayedDestroy() && (isReceiving() || isConnecting())) {
        LogMessage(GetName().c_str(), delayedText, GetIp());
    }
}

void Client::DeleteByListener() {
    Unlink();
    m_listener = nullptr;
    DelayedDestroy();
}

void Client::OnReceive(int error) {
    if (toDestroy() && !isListenerSending()) {
        DisconnectAndNotify(true);
        return;
    }
    TCPReceiver::OnReceive(error);
}

void Client::OnClose(int /*error*/) {
    DisconnectAndNotify(true);
}

// ---- listener ----

void Client::UpdateRemoteAddress() {
    SetPort(m_remoteAddress.port);
    if (!m_remoteAddress.address.empty()) {
        ClearIps();
        AddIp(m_remoteAddress.address.c_str());
    }
}

bool Client::AddToListener() {
    return m_listener != nullptr && m_listener->AddClient(this);
}

}  // namespace veltonet
