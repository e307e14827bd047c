// The R_ functions that forward to one TCPReceiver operation: addressing and identity,
// connection control and state, sending and buffers, data-received notifiers. Only the
// functions with a documented null answer test the handle.

#include <cstring>

#include "veltonet/companion/Message.h"
#include "veltonet/frame/Handles.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"

using veltonet::Message;
using veltonet::ReceiverOf;
using veltonet::ToBOOL;

namespace {

// No-delay is a TCP-level option; every other option is read and set at the socket level.
constexpr int32_t kTcpNoDelay = 1;
constexpr int kTcpLevel = 6;
constexpr int kSocketLevel = 0xFFFF;

int LevelOf(int32_t option) {
    return option == kTcpNoDelay ? kTcpLevel : kSocketLevel;
}

}  // namespace

extern "C" {

// ---- addressing and identity ----

R_API void R_CALL R_SetIp(void* h, const char* ip) {
    ReceiverOf(h)->SetIp(ip);
}

R_API void R_CALL R_AddIp(void* h, const char* ip) {
    ReceiverOf(h)->AddIp(ip);
}

R_API void R_CALL R_RemoveIp(void* h, const char* ip) {
    ReceiverOf(h)->RemoveIp(ip);
}

R_API const char* R_CALL R_GetReceiverIp(void* h) {
    return ReceiverOf(h)->GetIp();
}

R_API uint32_t R_CALL R_GetIpCount(void* h) {
    return static_cast<uint32_t>(ReceiverOf(h)->GetIps().size());
}

R_API void R_CALL R_SetPort(void* h, uint16_t port) {
    ReceiverOf(h)->SetPort(port);
}

R_API uint16_t R_CALL R_GetReceiverPort(void* h) {
    return ReceiverOf(h)->GetPort();
}

R_API void R_CALL R_SetLocalPort(void* h, uint16_t port) {
    ReceiverOf(h)->SetLocalPort(port);
}

R_API uint16_t R_CALL R_GetReceiverLocalPort(void* h) {
    return ReceiverOf(h)->GetLocalPort();
}

R_API uint16_t R_CALL R_GetReceiverLocalPortToBindTo(void* h) {
    return ReceiverOf(h)->GetLocalPortToBindTo();
}

R_API BOOL R_CALL R_ReceiverHasIpPort(void* h, const char* ip, uint16_t port) {
    const veltonet::TCPReceiver* receiver = ReceiverOf(h);
    return ToBOOL(std::strcmp(receiver->GetIp(), ip != nullptr ? ip : "") == 0 &&
                  receiver->GetPort() == port);
}

R_API BOOL R_CALL R_SameReceiverIpPort(void* h, void* other) {
    const veltonet::TCPReceiver* a = ReceiverOf(h);
    const veltonet::TCPReceiver* b = ReceiverOf(other);
    return ToBOOL(std::strcmp(a->GetIp(), b->GetIp()) == 0 && a->GetPort() == b->GetPort());
}

R_API const char* R_CALL R_GetReceiverName(void* h) {
    return ReceiverOf(h)->GetName().c_str();
}

R_API const char* R_CALL R_GetReceiverType(void* h) {
    return ReceiverOf(h)->GetDisplayType();
}

// ---- connection control and state ----

R_API bool R_CALL R_ConnectReceiver(void* h) {
    veltonet::TCPReceiver* receiver = ReceiverOf(h);
    receiver->InvalidateSocket(true);
    return receiver->CreateSocket();
}

R_API void R_CALL R_Disconnect(void* h, bool reconnect) {
    ReceiverOf(h)->DisconnectAndNotify(reconnect);
}

R_API void R_CALL R_SetPersistent(void* h, uint32_t reconnectSeconds) {
    ReceiverOf(h)->SetPersistent(reconnectSeconds);
}

R_API BOOL R_CALL R_IsPersistent(void* h) {
    return ToBOOL(ReceiverOf(h)->isPersistent());
}

R_API uint32_t R_CALL R_GetReconnectSeconds(void* h) {
    return ReceiverOf(h)->GetReconnectSeconds();
}

R_API uint32_t R_CALL R_GetCurrentReconnectSeconds(void* h) {
    return h != nullptr ? ReceiverOf(h)->GetCurrentReconnectSeconds() : 0;
}

R_API BOOL R_CALL R_IsReceiverInitialized(void* h) {
    return h != nullptr ? ToBOOL(ReceiverOf(h)->isInitialized()) : 0;
}

R_API BOOL R_CALL R_IsReceiverConnected(void* h) {
    return h != nullptr ? ToBOOL(ReceiverOf(h)->isConnected()) : 0;
}

R_API BOOL R_CALL R_IsReceiverConnecting(void* h) {
    return h != nullptr ? ToBOOL(ReceiverOf(h)->isConnecting()) : 0;
}

R_API BOOL R_CALL R_IsReceiverReceiving(void* h) {
    return h != nullptr ? ToBOOL(ReceiverOf(h)->isReceiving()) : 0;
}

R_API BOOL R_CALL R_IsReceiverAccepted(void* h) {
    return h != nullptr ? ToBOOL(ReceiverOf(h)->isAccepted()) : 0;
}

R_API bool R_CALL R_IsReceiverSniffer(void* h) {
    return ReceiverOf(h)->isSniffer();
}

R_API BOOL R_CALL R_IsTifSupported(void* h, const char* tif, uint32_t value) {
    return h != nullptr ? ToBOOL(ReceiverOf(h)->isTifSupported(tif, value)) : 1;
}

R_API void R_CALL R_SetReceiverLog(void* h, const char* logName, const char* folder) {
    ReceiverOf(h)->SetLog(logName, folder);
}

R_API void R_CALL R_SetSupportOutOfBand(void* h, bool on) {
    ReceiverOf(h)->SetSupportOutOfBand(on);
}

// ---- sending and buffers ----

R_API BOOL R_CALL R_SendRequest(void* h, const void* request, const void* second, bool flag) {
    if (h == nullptr) {
        return 0;
    }
    return ToBOOL(ReceiverOf(h)->SendRequest(static_cast<const Message*>(request),
                                             static_cast<const Message*>(second), flag));
}

R_API BOOL R_CALL R_SendBuffer(void* h, const void* data, int32_t length, bool flag) {
    if (h == nullptr) {
        return 0;
    }
    return ToBOOL(ReceiverOf(h)->SendBuffer(static_cast<const char*>(data), length, flag));
}

R_API BOOL R_CALL R_IsReceiverSendBufferEmpty(void* h) {
    return h != nullptr ? ToBOOL(ReceiverOf(h)->isSendBufferEmpty()) : 0;
}

R_API uint32_t R_CALL R_GetSendListCount(void* h) {
    return ReceiverOf(h)->GetSendListCount();
}

R_API uint32_t R_CALL R_GetFirstSendBufferLength(void* h) {
    return ReceiverOf(h)->GetFirstSendBufferLength();
}

R_API uint32_t R_CALL R_GetLastSendBufferLength(void* h) {
    return ReceiverOf(h)->GetLastSendBufferLength();
}

R_API uint32_t R_CALL R_GetBufferSize(void* h) {
    return ReceiverOf(h)->GetBufferSize();
}

R_API uint32_t R_CALL R_GetPendingReadDataSize(void* h) {
    return ReceiverOf(h)->GetPendingReadDataSize();
}

R_API int32_t R_CALL R_GetSockOpt(void* h, int32_t option, void* value, int32_t* length) {
    return ReceiverOf(h)->GetSockOpt(option, value, length, LevelOf(option));
}

R_API int32_t R_CALL R_SetSockOpt(void* h, int32_t option, const void* value, int32_t length) {
    return ReceiverOf(h)->SetSockOpt(option, value, length, LevelOf(option));
}

R_API uint32_t R_CALL R_GetReceiveBufferSize(void* h) {
    return ReceiverOf(h)->GetReceiveBufferSize();
}

R_API uint32_t R_CALL R_GetSendBufferSize(void* h) {
    return ReceiverOf(h)->GetSendBufferSize();
}

// ---- data-received notifiers ----

R_API uint32_t R_CALL R_GetDataReceivedNotifierCount(void* h) {
    return ReceiverOf(h)->GetNotifyDataReceivedCount();
}

R_API void R_CALL R_AddDataReceivedNotifier(void* h) {
    if (h != nullptr) {
        ReceiverOf(h)->IncrementNotifyDataReceived();
    }
}

R_API void R_CALL R_RemoveDataReceivedNotifier(void* h) {
    if (h != nullptr) {
        ReceiverOf(h)->DecrementNotifyDataReceived();
    }
}

}  // extern "C"
