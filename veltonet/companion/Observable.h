#pragma once

#include <cstddef>
#include <vector>

#include "veltonet/Export.h"

namespace veltonet {

class Message;
class Observer;

// Publishes messages to registered observers, synchronously and re-entrantly: an observer may
// add or remove observers (itself included), or destroy other observers, during Notify; a
// removed observer is not called afterwards, none is called twice for one message, and an
// observer added during Notify gets the next message. Destroying the observable leaves its
// observers usable; an observer may even destroy it during Notify, which then calls no one else.
class VELTONET_EXPORT Observable {
  public:
    Observable() = default;
    // Copies start with no observers: registrations belong to one object.
    Observable(const Observable&) : Observable() {}
    Observable& operator=(const Observable&) { return *this; }
    virtual ~Observable();

    // False when already registered (Add) or not registered (Remove).
    virtual bool Add(Observer* observer);
    virtual bool Remove(Observer* observer);

    // Publishes message to every observer. second and observable are kept for the interface;
    // observers receive this object as the source.
    void Notify(const Message* message, const Message* second = nullptr,
                Observable* observable = nullptr);

    bool HasObserver(const Observer* observer) const;
    size_t GetObserverCount() const;

    // A walk over the registered observers (used to hand them on to new objects).
    void* CreateObserverIterator() const;
    void StartIteration(void* iterator) const;
    Observer* GetNextObserver(void* iterator) const;
    void DestroyObserverIterator(void* iterator) const;

  private:
    friend class Observer;
    void Forget(Observer* observer);  // called by a dying observer
    void Compact();

    std::vector<Observer*> m_observers;  // null entries while a Notify is running
    int m_notifyDepth = 0;
    bool m_hasHoles = false;          // a removal during Notify left null slots to compact
    bool* m_destroyedFlag = nullptr;  // set when destroyed inside its own Notify
};

}  // namespace veltonet
