// The R_ functions of the registry and library-wide state, and the making and deleting of
// TCP receivers. Start-up and shut-down themselves live with the host loop.

#include <string>

#include "veltonet/frame/Handles.h"
#include "veltonet/frame/PluginLoader.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"

using veltonet::HandleOf;
using veltonet::ReceiverManager;
using veltonet::ReceiverOf;
using veltonet::TCPReceiver;
using veltonet::ToBOOL;

extern "C" {

R_API void R_CALL R_DestroyAllReceivers(void) {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->DestroyAllReceivers();
    }
}

R_API void R_CALL R_DisconnectAll(void) {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->DisconnectAll();
    }
}

R_API BOOL R_CALL R_Logout(uint32_t timeoutMs) {
    ReceiverManager* manager = ReceiverManager::Instance();
    return manager == nullptr ? 1 : ToBOOL(manager->Logout(timeoutMs));
}

R_API BOOL R_CALL R_IsExiting(void) {
    ReceiverManager* manager = ReceiverManager::Instance();
    return manager != nullptr ? ToBOOL(manager->isExiting()) : 0;
}

R_API uint32_t R_CALL R_GetReceiverCount(void) {
    ReceiverManager* manager = ReceiverManager::Instance();
    return manager != nullptr ? static_cast<uint32_t>(manager->GetReceivers().size()) : 0;
}

R_API void* R_CALL R_FindReceiver(const char* name) {
    ReceiverManager* manager = ReceiverManager::Instance();
    if (manager == nullptr) {
        return nullptr;
    }
    return veltonet::NullOnFailure(
        [&] { return HandleOf(manager->FindReceiver(name != nullptr ? name : "")); });
}

R_API bool R_CALL R_IsReceiverHandleValid(void* h) {
    return ReceiverOf(h)->LookupHandle();
}

R_API bool R_CALL R_IsReceiverCondemned(void* h) {
    return ReceiverOf(h)->isCondemned();
}

R_API uint32_t R_CALL R_GetCondemnedSocketCount(void) {
    ReceiverManager* manager = ReceiverManager::Instance();
    return manager != nullptr ? static_cast<uint32_t>(manager->GetCondemnedSocketCount()) : 0;
}

R_API void* R_CALL R_GetMeasureObservable(void) {
    ReceiverManager* manager = ReceiverManager::Instance();
    return manager != nullptr ? static_cast<void*>(static_cast<veltonet::Observable*>(manager))
                              : nullptr;
}

R_API uint32_t R_CALL R_GetMeasureTimeSpan(void) {
    ReceiverManager* manager = ReceiverManager::Instance();
    return manager != nullptr ? manager->GetMeasureTimeSpan() : 0;
}

R_API void R_CALL R_SetMeasureTimeSpan(uint32_t seconds) {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->SetMeasureTimeSpan(seconds);
    }
}

R_API void* R_CALL R_CreateTCPReceiver(const char* name, const char* ip, uint16_t port,
                                       uint32_t reconnectSeconds, uint32_t receiveBufferSize,
                                       uint32_t sendBufferSize, uint32_t extra,
                                       uint16_t localPortToBindTo, bool supportOutOfBand) {
    if (ReceiverManager::Instance() == nullptr) {
        return nullptr;  // a registered receiver needs the manager
    }
    return veltonet::NullOnFailure([&]() -> void* {
        TCPReceiver* receiver = veltonet::ExternalReceiverPlugin::Instance().Create(
            name, ip, port, reconnectSeconds, receiveBufferSize, sendBufferSize, extra,
            localPortToBindTo, supportOutOfBand);
        if (receiver == nullptr) {
            receiver = new TCPReceiver(name, ip, port, reconnectSeconds, false, receiveBufferSize,
                                       sendBufferSize, localPortToBindTo, supportOutOfBand);
        }
        return HandleOf(receiver);
    });
}

R_API void R_CALL R_DeleteReceiver(void* h) {
    TCPReceiver* receiver = ReceiverOf(h);
    if (receiver == nullptr) {
        return;
    }
    // A receiver whose own processing is further up the stack (a host deleting a repair
    // receiver from a message its packet released) is deleted as soon as that processing ends.
    if (receiver->isBusy()) {
        receiver->DelayedDestroy();
    } else {
        delete receiver;
    }
}

}  // extern "C"
