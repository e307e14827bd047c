#include "veltonet/companion/Observer.h"

#include "veltonet/companion/Observable.h"

namespace veltonet {

Observer::~Observer() {
    DetachFromAll();
}

void Observer::DetachFromAll() {
    // Forget, not the virtual Remove: an observable that fans registrations out to others
    // (a listener to its clients) has registered this observer with each of them, so each
    // is in m_observables already.
    while (!m_observables.empty()) {
        Observable* observable = m_observables.back();
        m_observables.pop_back();
        observable->Forget(this);
    }
}

}  // namespace veltonet
