// The R_ functions of the iterators over the registered receivers, a receiver's IP list and a
// receiver's feed measures.

#include <string>

#include "veltonet/frame/DataIterator.h"
#include "veltonet/frame/Handles.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/measure/FeedMeasure.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"

using veltonet::DataIterator;
using veltonet::FeedMeasure;
using veltonet::ReceiverOf;
using veltonet::TCPReceiver;

namespace {

using ReceiverIterator = veltonet::SetIteratorPtr<TCPReceiver>;
using IpIterator = veltonet::ListIterator<std::string>;
using FeedIterator = veltonet::SetIteratorPtr<FeedMeasure>;

// Iterator handles are DataIterator addresses; each GetNext function must be given an
// iterator of its own kind.
DataIterator* IteratorOf(void* iterator) {
    return static_cast<DataIterator*>(iterator);
}
void* HandleOf(DataIterator* iterator) {
    return static_cast<void*>(iterator);
}

}  // namespace

extern "C" {

R_API void* R_CALL R_CreateReceiverIterator(void) {
    veltonet::ReceiverManager* manager = veltonet::ReceiverManager::Instance();
    if (manager == nullptr) {
        return nullptr;
    }
    return HandleOf(new (std::nothrow) ReceiverIterator(&manager->GetReceivers()));
}

R_API void* R_CALL R_CreateIpIterator(void* h) {
    return HandleOf(new (std::nothrow) IpIterator(&ReceiverOf(h)->GetIps()));
}

R_API void* R_CALL R_CreateFeedIterator(void* h) {
    return HandleOf(new (std::nothrow) FeedIterator(&ReceiverOf(h)->GetFeedMeasureSet()));
}

R_API void R_CALL R_StartIteration(void* iterator, int32_t skip) {
    IteratorOf(iterator)->StartIteration(skip);
}

R_API void* R_CALL R_GetNextReceiver(void* iterator) {
    return veltonet::HandleOf(static_cast<ReceiverIterator*>(IteratorOf(iterator))->GetNext());
}

R_API const char* R_CALL R_GetNextIp(void* iterator) {
    const std::string* ip = static_cast<IpIterator*>(IteratorOf(iterator))->GetNext();
    return ip != nullptr ? ip->c_str() : nullptr;
}

R_API void* R_CALL R_GetNextFeed(void* iterator) {
    return static_cast<void*>(static_cast<FeedIterator*>(IteratorOf(iterator))->GetNext());
}

R_API void R_CALL R_DestroyIterator(void* iterator) {
    delete IteratorOf(iterator);
}

}  // extern "C"
