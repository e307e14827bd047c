#pragma once

#include <new>

#include "veltonet/receiver.h"

namespace veltonet {

class FeedMeasure;
class TCPReceiver;

static_assert(sizeof(BOOL) == 4, "BOOL is a 32-bit 1 or 0");
static_assert(sizeof(bool) == 1, "bool is one byte");

// Receiver handles are TCPReceiver addresses: every receiver, whatever its class, is handed
// out as its TCPReceiver base and taken back the same way. Nothing here tests the type.
inline TCPReceiver* ReceiverOf(void* h) {
    return static_cast<TCPReceiver*>(h);
}
inline void* HandleOf(TCPReceiver* receiver) {
    return static_cast<void*>(receiver);
}
inline FeedMeasure* FeedOf(void* f) {
    return static_cast<FeedMeasure*>(f);
}

inline BOOL ToBOOL(bool value) {
    return value ? 1 : 0;
}

// Runs make() and answers its object, or null when it throws: no exception crosses the C
// interface, and running out of memory gives a null handle.
template <class Make>
auto NullOnFailure(Make make) noexcept -> decltype(make()) {
    try {
        return make();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace veltonet
