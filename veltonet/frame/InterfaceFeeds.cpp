// The R_ functions of traffic measurement: a receiver's byte counts and its feed measures.

#include "veltonet/frame/Handles.h"
#include "veltonet/measure/FeedMeasure.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"

using veltonet::FeedOf;
using veltonet::HandleOf;
using veltonet::ReceiverOf;

extern "C" {

R_API uint32_t R_CALL R_GetReceiverSizeSent(void* h) {
    return h != nullptr ? ReceiverOf(h)->GetSizeSent() : 0;
}

R_API uint32_t R_CALL R_GetReceiverSizeReceived(void* h) {
    return h != nullptr ? ReceiverOf(h)->GetSizeReceived() : 0;
}

R_API uint32_t R_CALL R_GetReceiverPrevSizeSent(void* h) {
    return h != nullptr ? ReceiverOf(h)->GetPrevSizeSent() : 0;
}

R_API uint32_t R_CALL R_GetReceiverPrevSizeReceived(void* h) {
    return h != nullptr ? ReceiverOf(h)->GetPrevSizeReceived() : 0;
}

R_API void* R_CALL R_AddFeed(void* h, uint32_t milliseconds) {
    if (h == nullptr) {
        return nullptr;
    }
    return veltonet::NullOnFailure(
        [&] { return static_cast<void*>(ReceiverOf(h)->AddFeedMeasure(milliseconds)); });
}

// The feed's destructor detaches it from its receiver and from the manager's timers.
R_API void R_CALL R_RemoveFeed(void* f) {
    delete FeedOf(f);
}

R_API void R_CALL R_ClearFeeds(void* h) {
    ReceiverOf(h)->ClearFeedMeasures();
}

R_API uint32_t R_CALL R_GetFeedMilliseconds(void* f) {
    return FeedOf(f)->GetMilliseconds();
}

R_API void R_CALL R_SetFeedMilliseconds(void* f, uint32_t milliseconds) {
    FeedOf(f)->SetMilliseconds(milliseconds);
}

R_API uint32_t R_CALL R_GetFeedSizeSent(void* f) {
    return FeedOf(f)->GetSizeSent();
}

R_API uint32_t R_CALL R_GetFeedSizeReceived(void* f) {
    return FeedOf(f)->GetSizeReceived();
}

R_API uint32_t R_CALL R_GetFeedPrevSizeSent(void* f) {
    return FeedOf(f)->GetPrevSizeSent();
}

R_API uint32_t R_CALL R_GetFeedPrevSizeReceived(void* f) {
    return FeedOf(f)->GetPrevSizeReceived();
}

R_API void* R_CALL R_GetFeedOwner(void* f) {
    return f != nullptr ? HandleOf(FeedOf(f)->GetOwner()) : nullptr;
}

}  // extern "C"
