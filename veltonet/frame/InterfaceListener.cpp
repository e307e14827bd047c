// The R_ functions of listeners and their clients, and the subscription requests that a
// receiver sends to a listener of another process.

#include <cstring>
#include <memory>
#include <new>

#include "veltonet/companion/Message.h"
#include "veltonet/frame/Handles.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/listener/Client.h"
#include "veltonet/listener/ClientIterator.h"
#include "veltonet/listener/Listener.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"

using veltonet::Client;
using veltonet::ClientIterator;
using veltonet::HandleOf;
using veltonet::Listener;
using veltonet::ReceiverOf;
using veltonet::TCPReceiver;

namespace {

Listener* ListenerOf(void* h) {
    return static_cast<Listener*>(ReceiverOf(h));
}
Client* ClientOf(void* h) {
    return static_cast<Client*>(ReceiverOf(h));
}
ClientIterator* ClientIteratorOf(void* iterator) {
    return static_cast<ClientIterator*>(iterator);
}

// Header (size, type), the identifier, then the name without its NUL.
constexpr size_t kRequestHeaderLength = 8;
constexpr size_t kMaxNameLength = 0xFFFF - kRequestHeaderLength;

// A subscription request, once the listener has accepted the connection. A name that would
// not fit the 16-bit size is refused rather than sent with a wrapped size. True once the
// record was handed to the send path, whatever the send path answered.
bool SendSubscriptionRequest(void* h, uint16_t type, uint32_t identifier, const char* name) {
    if (h == nullptr) {
        return false;
    }
    TCPReceiver* receiver = ReceiverOf(h);
    if (!receiver->isConnected() || !receiver->isAccepted()) {
        return false;
    }
    const size_t nameLength = name != nullptr ? std::strlen(name) : 0;
    if (nameLength > kMaxNameLength) {
        return false;
    }
    const auto length = static_cast<uint16_t>(kRequestHeaderLength + nameLength);
    std::unique_ptr<char[]> record(new (std::nothrow) char[length]);
    if (record == nullptr) {
        return false;
    }
    veltonet::Message::WriteHeader(record.get(), length, type);
    veltonet::Message::WriteU32(record.get() + 4, identifier);
    if (nameLength != 0) {
        std::memcpy(record.get() + kRequestHeaderLength, name, nameLength);
    }
    receiver->SendBuffer(record.get(), length, false);
    return true;
}

}  // namespace

extern "C" {

R_API void* R_CALL R_CreateListener(const char* name, uint32_t identifierCount,
                                    uint32_t namedIdentifierCount, uint16_t port, bool autoAccept,
                                    uint32_t receiveBufferSize, uint32_t sendBufferSize,
                                    bool supportOutOfBand) {
    if (veltonet::ReceiverManager::Instance() == nullptr) {
        return nullptr;  // a registered receiver needs the manager
    }
    return veltonet::NullOnFailure([&]() -> void* {
        TCPReceiver* listener =
            new Listener(name, identifierCount, namedIdentifierCount, port, autoAccept,
                         receiveBufferSize, sendBufferSize, supportOutOfBand);
        return HandleOf(listener);
    });
}

// ---- listener ----

R_API uint32_t R_CALL R_GetListenerClientCount(void* h) {
    return ListenerOf(h)->GetClientCount();
}

R_API uint32_t R_CALL R_GetListenerClientPendingCount(void* h) {
    return ListenerOf(h)->GetPendingClientCount();
}

R_API bool R_CALL R_ListenerSubscriptionExists(void* h, uint32_t identifier, const char* name) {
    return ListenerOf(h)->SubscriptionExists(identifier, name);
}

R_API bool R_CALL R_ListenerSendSubscription(void* h, uint32_t identifier, const char* name,
                                             const void* data, int32_t length) {
    return ListenerOf(h)->SendSubscription(identifier, name, static_cast<const char*>(data),
                                           length);
}

R_API void R_CALL R_ListenerForceSendBufferToClients(void* h) {
    ListenerOf(h)->ForceSendBufferToClients();
}

R_API void* R_CALL R_CreateListenerClientIterator(void* h) {
    return veltonet::NullOnFailure(
        [&] { return static_cast<void*>(ListenerOf(h)->CreateClientIterator()); });
}

R_API void R_CALL R_DestroyListenerClientIterator(void* h, void* iterator) {
    if (iterator != nullptr) {
        ListenerOf(h)->DestroyClientIterator(ClientIteratorOf(iterator));
    }
}

R_API void* R_CALL R_GetCurrentClientAndIncrement(void* iterator) {
    Client* client = ClientIteratorOf(iterator)->GetCurrentAndIncrement();
    return client != nullptr ? HandleOf(client) : nullptr;
}

// ---- subscription requests, sent by a receiver connected to a listener ----

R_API bool R_CALL R_ClientSubscribe(void* h, uint32_t identifier, const char* name) {
    return SendSubscriptionRequest(h, veltonet::kMsgSubscribe, identifier, name);
}

R_API bool R_CALL R_ClientUnsubscribe(void* h, uint32_t identifier, const char* name) {
    return SendSubscriptionRequest(h, veltonet::kMsgUnsubscribe, identifier, name);
}

// ---- client ----

R_API bool R_CALL R_ClientForceSendBuffer(void* h) {
    return ClientOf(h)->ForceSendBuffer();
}

R_API uint32_t R_CALL R_GetClientDataLength(void* h) {
    return ClientOf(h)->GetDataLength();
}

R_API void R_CALL R_UpdateClientRemoteAddress(void* h) {
    ReceiverOf(h)->UpdateRemoteAddress();
}

R_API bool R_CALL R_AddClientToListener(void* h) {
    return ReceiverOf(h)->AddToListener();
}

}  // extern "C"
