// The host extension functions through which a host that is not written in C++ observes
// receivers, feed measures and the measure observable, and sees every log record.

#include "veltonet/companion/Log.h"
#include "veltonet/companion/Message.h"
#include "veltonet/companion/Observable.h"
#include "veltonet/companion/Observer.h"
#include "veltonet/receiver.h"

#include <new>

namespace veltonet {
namespace {

// An observer that forwards each message to a C callback. The callback may destroy this
// observer (RX_DestroyObserver) while it runs, so nothing is touched after it returns.
class CallbackObserver final : public Observer {
  public:
    CallbackObserver(RX_MessageCallback callback, void* context)
        : m_callback(callback), m_context(context) {}

    void OnMessage(const Message* message, Observable* source) override {
        m_callback(m_context, static_cast<void*>(source), static_cast<const void*>(message));
    }

  private:
    RX_MessageCallback m_callback;
    void* m_context;
};

// Every observable handle (receiver, feed measure, the measure observable) points at an
// object whose first base is Observable, so the handle is the Observable's address. The
// handle is not tested for type, as with every handle of this interface.
Observable* ObservableOf(void* handle) {
    return static_cast<Observable*>(handle);
}
Observer* ObserverOf(void* handle) {
    return static_cast<Observer*>(handle);
}

}  // namespace
}  // namespace veltonet

using veltonet::CallbackObserver;
using veltonet::ObservableOf;
using veltonet::ObserverOf;

extern "C" {

// Null when callback is null: an observer that calls nothing has no use.
R_API void* R_CALL RX_CreateObserver(RX_MessageCallback callback, void* context) {
    if (callback == nullptr) {
        return nullptr;
    }
    veltonet::Observer* observer = new (std::nothrow) CallbackObserver(callback, context);
    return static_cast<void*>(observer);
}

R_API void R_CALL RX_DestroyObserver(void* observer) {
    // The destructor detaches it from every observable that it is registered with.
    delete ObserverOf(observer);
}

R_API int R_CALL RX_AddObserver(void* observable, void* observer) {
    if (observable == nullptr || observer == nullptr) {
        return 0;
    }
    return ObservableOf(observable)->Add(ObserverOf(observer)) ? 1 : 0;
}

R_API int R_CALL RX_RemoveObserver(void* observable, void* observer) {
    if (observable == nullptr || observer == nullptr) {
        return 0;
    }
    return ObservableOf(observable)->Remove(ObserverOf(observer)) ? 1 : 0;
}

R_API void R_CALL RX_SetLogCallback(RX_LogCallback callback, void* context) {
    veltonet::SetLogCallback(callback, context);
}

}  // extern "C"
