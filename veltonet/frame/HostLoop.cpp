// Start-up, shut-down and the functions through which a host pumps the library's loop.
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/receiver.h"

using veltonet::ReceiverManager;

extern "C" {

R_API void R_CALL R_ReceiverInitialize(void) {
    ReceiverManager::Create(nullptr);
}

R_API void R_CALL R_ReceiverTerminate(void) {
    ReceiverManager::Destroy();
}

// A termination asked for by a handler during the round runs once the round is over.
R_API int R_CALL RX_ProcessEvents(int timeoutMs) {
    ReceiverManager* manager = ReceiverManager::Instance();
    if (manager == nullptr) {
        return -1;
    }
    const int ran = manager->GetLoop().ProcessEvents(timeoutMs);
    ReceiverManager::FinishPendingDestroy();
    return ran;
}

R_API void R_CALL RX_RunEventLoop(void) {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->GetLoop().Run();
        ReceiverManager::FinishPendingDestroy();
    }
}

R_API void R_CALL RX_StopEventLoop(void) {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->GetLoop().Stop();
    }
}

R_API int R_CALL RX_GetEventFd(void) {
    ReceiverManager* manager = ReceiverManager::Instance();
    return manager != nullptr ? manager->GetLoop().EventFd() : -1;
}

}  // extern "C"
