#pragma once

#include <cstddef>
#include <vector>

#include "veltonet/Export.h"
#include "veltonet/companion/Observer.h"

namespace veltonet {

class Message;

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

    // A run of Notify calls with the bookkeeping of one: a receiver's framing loop publishes
    // every message of a read through one Burst, because entering and leaving Notify cost
    // more than the delivery itself. Each Publish keeps every guarantee of Notify (the
    // receive path test compares the two). Lives on the stack of one call only.
    class Burst {
      public:
        explicit Burst(Observable& source) : m_source(source), m_outerFlag(source.m_destroyedFlag) {
            source.m_destroyedFlag = &m_destroyed;
            ++source.m_notifyDepth;
        }
        ~Burst() {
            if (m_destroyed) {
                if (m_outerFlag != nullptr) {
                    *m_outerFlag = true;
                }
                return;
            }
            m_source.m_destroyedFlag = m_outerFlag;
            if (--m_source.m_notifyDepth == 0 && m_source.m_hasHoles) {
                m_source.Compact();
            }
        }
        Burst(const Burst&) = delete;
        Burst& operator=(const Burst&) = delete;

        // Notify(message). False when an observer destroyed the source: the caller must not
        // touch it again.
        bool Publish(const Message* message) {
            const size_t end = m_source.m_observers.size();
            for (size_t i = 0; i < end; ++i) {
                Observer* observer = m_source.m_observers[i];
                if (observer == nullptr) {
                    continue;
                }
                observer->OnMessage(message, &m_source);
                if (m_destroyed) {
                    return false;
                }
            }
            return true;
        }

      private:
        Observable& m_source;
        bool* m_outerFlag;
        bool m_destroyed = false;
    };

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
