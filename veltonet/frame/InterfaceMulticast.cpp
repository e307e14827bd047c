// The R_ functions of multicast receivers and of sequencing and repair. Every receiver class
// answers the queries; only a multicast sequence receiver answers other than false or 0.

#include <new>

#include "veltonet/frame/Handles.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"
#include "veltonet/variants/MulticastReceiver.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"

using veltonet::HandleOf;
using veltonet::MulticastReceiver;
using veltonet::MulticastSequenceReceiver;
using veltonet::ReceiverOf;
using veltonet::TCPReceiver;

extern "C" {

R_API void* R_CALL R_CreateMulticastReceiver(const char* name, const char* group, uint16_t port,
                                             bool sequenced, uint32_t receiveBufferSize,
                                             uint32_t sendBufferSize) {
    if (veltonet::ReceiverManager::Instance() == nullptr) {
        return nullptr;  // a registered receiver needs the manager
    }
    return veltonet::NullOnFailure([&]() -> void* {
        TCPReceiver* receiver = sequenced
                                    ? static_cast<TCPReceiver*>(new MulticastSequenceReceiver(
                                          name, group, port, receiveBufferSize, sendBufferSize))
                                    : static_cast<TCPReceiver*>(new MulticastReceiver(
                                          name, group, port, receiveBufferSize, sendBufferSize));
        return HandleOf(receiver);
    });
}

R_API void R_CALL R_SetMulticastRepair(void* h, void* repair) {
    static_cast<MulticastSequenceReceiver*>(ReceiverOf(h))->SetRepairReceiver(ReceiverOf(repair));
}

R_API bool R_CALL R_CanRecoverLostMessages(void* h) {
    return ReceiverOf(h)->CanRecoverLostMessages();
}

R_API uint32_t R_CALL R_GetPacketsLost(void* h) {
    return ReceiverOf(h)->GetPacketsLost();
}

R_API uint32_t R_CALL R_GetPacketsRecovered(void* h) {
    return ReceiverOf(h)->GetPacketsRecovered();
}

R_API uint32_t R_CALL R_GetLastSequenceNumber(void* h) {
    return ReceiverOf(h)->GetLastSequenceNumber();
}

R_API uint32_t R_CALL R_GetMulticastPacketBeingProcessed(void* h) {
    return ReceiverOf(h)->GetMulticastPacketBeingProcessed();
}

R_API uint32_t R_CALL R_GetLastRecoveredPacket(void* h) {
    return ReceiverOf(h)->GetLastRecoveredPacket();
}

R_API uint32_t R_CALL R_GetFirstPacketBeingRecovered(void* h) {
    return ReceiverOf(h)->GetFirstPacketBeingRecovered();
}

}  // extern "C"
