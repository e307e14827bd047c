#include "veltonet/companion/Observable.h"

#include <algorithm>

#include "veltonet/companion/Observer.h"

namespace veltonet {

namespace {

// The position of one walk over an observable's slots. Null slots (observers removed while a
// Notify is running) are skipped.
struct ObserverIterator {
    size_t next = 0;
};

}  // namespace

Observable::~Observable() {
    for (Observer* observer : m_observers) {
        if (observer != nullptr) {
            std::erase(observer->m_observables, this);
        }
    }
    // Tell the innermost running Notify (it tells the ones outside it) that this object is gone.
    if (m_destroyedFlag != nullptr) {
        *m_destroyedFlag = true;
    }
}

bool Observable::Add(Observer* observer) {
    if (observer == nullptr || HasObserver(observer)) {
        return false;
    }
    // Appended even while a Notify runs: the walk stops at the size it started with, so a new
    // observer gets the next message, not the current one.
    m_observers.push_back(observer);
    observer->m_observables.push_back(this);
    return true;
}

bool Observable::Remove(Observer* observer) {
    if (observer == nullptr || !HasObserver(observer)) {
        return false;
    }
    Forget(observer);
    std::erase(observer->m_observables, this);
    return true;
}

void Observable::Forget(Observer* observer) {
    auto slot = std::find(m_observers.begin(), m_observers.end(), observer);
    if (slot == m_observers.end()) {
        return;
    }
    if (m_notifyDepth > 0) {
        *slot = nullptr;  // a walk holds indexes into m_observers; compacted when it ends
        m_hasHoles = true;
    } else {
        m_observers.erase(slot);
    }
}

void Observable::Compact() {
    std::erase(m_observers, nullptr);
    m_hasHoles = false;
}

void Observable::Notify(const Message* message, const Message*, Observable*) {
    bool destroyed = false;
    bool* outerFlag = m_destroyedFlag;
    m_destroyedFlag = &destroyed;
    ++m_notifyDepth;

    const size_t end = m_observers.size();
    for (size_t i = 0; i < end; ++i) {
        Observer* observer = m_observers[i];
        if (observer == nullptr) {
            continue;
        }
        observer->OnMessage(message, this);
        if (destroyed) {
            // An observer destroyed this observable: its members are gone. Pass the news on
            // to the Notify calls further out on the stack, and leave without touching this.
            if (outerFlag != nullptr) {
                *outerFlag = true;
            }
            return;
        }
    }

    m_destroyedFlag = outerFlag;
    if (--m_notifyDepth == 0 && m_hasHoles) {
        Compact();
    }
}

bool Observable::HasObserver(const Observer* observer) const {
    return observer != nullptr &&
           std::find(m_observers.begin(), m_observers.end(), observer) != m_observers.end();
}

size_t Observable::GetObserverCount() const {
    return m_observers.size() - std::count(m_observers.begin(), m_observers.end(), nullptr);
}

void* Observable::CreateObserverIterator() const {
    return new ObserverIterator;
}

void Observable::StartIteration(void* iterator) const {
    if (iterator != nullptr) {
        static_cast<ObserverIterator*>(iterator)->next = 0;
    }
}

Observer* Observable::GetNextObserver(void* iterator) const {
    if (iterator == nullptr) {
        return nullptr;
    }
    auto* walk = static_cast<ObserverIterator*>(iterator);
    while (walk->next < m_observers.size()) {
        Observer* observer = m_observers[walk->next++];
        if (observer != nullptr) {
            return observer;
        }
    }
    return nullptr;
}

void Observable::DestroyObserverIterator(void* iterator) const {
    delete static_cast<ObserverIterator*>(iterator);
}

}  // namespace veltonet
