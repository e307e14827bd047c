#pragma once

#include <iterator>
#include <list>
#include <set>
#include <utility>

namespace veltonet {

// The iterators handed to the host as untyped handles: only DataIterator pointers cross the
// C interface, and R_DestroyIterator deletes through the virtual destructor.
//
// An iterator does not own its container and does not follow changes to it: after an element
// is added or removed the host starts the iteration again. It must be destroyed before the
// container is.
class DataIterator {
  public:
    DataIterator() = default;
    DataIterator(const DataIterator&) = delete;
    DataIterator& operator=(const DataIterator&) = delete;
    virtual ~DataIterator() = default;

    // Stands on the first element, then skips `skip` elements taken as an unsigned count,
    // stopping at the end: a negative skip leaves the iterator at the end.
    virtual void StartIteration(int skip) = 0;
    virtual unsigned int GetCount() const = 0;
};

template <class T>
class STLIterator : public DataIterator {
  public:
    // The next element's result, then one step on; null at the end, and it stays there.
    virtual T* GetNext() = 0;
};

// The walk shared by both result kinds. Before the first StartIteration both positions are
// value-initialised and compare equal, so GetNext on a fresh iterator answers null.
template <class T, class Container>
class ContainerWalk : public STLIterator<T> {
  public:
    explicit ContainerWalk(Container* container) : m_container(container) {}

    void StartIteration(int skip) override {
        m_current = std::begin(*m_container);
        m_end = std::end(*m_container);
        for (unsigned int n = static_cast<unsigned int>(skip); n != 0 && m_current != m_end; --n) {
            ++m_current;
        }
    }
    unsigned int GetCount() const override {
        return static_cast<unsigned int>(m_container->size());
    }

  protected:
    using Position = decltype(std::begin(std::declval<Container&>()));

    Container* m_container;  // not owned
    Position m_current{};
    Position m_end{};
};

// GetNext yields the address of the element itself.
template <class T, class Container>
class ValueIterator : public ContainerWalk<T, Container> {
  public:
    using ContainerWalk<T, Container>::ContainerWalk;

    T* GetNext() override {
        if (this->m_current == this->m_end) {
            return nullptr;
        }
        T* result = &*this->m_current;
        ++this->m_current;
        return result;
    }
};

// GetNext yields the pointer stored in the element.
template <class T, class Container>
class ValueIteratorPtr : public ContainerWalk<T, Container> {
  public:
    using ContainerWalk<T, Container>::ContainerWalk;

    T* GetNext() override {
        if (this->m_current == this->m_end) {
            return nullptr;
        }
        T* result = *this->m_current;
        ++this->m_current;
        return result;
    }
};

// Over a receiver's IP list: yields the strings themselves (read-only).
template <class T>
class ListIterator : public ValueIterator<const T, const std::list<T>> {
  public:
    using ValueIterator<const T, const std::list<T>>::ValueIterator;
};

// Over an ordered set of pointers (receivers, feed measures): ascending address order.
template <class T>
class SetIteratorPtr : public ValueIteratorPtr<T, const std::set<T*>> {
  public:
    using ValueIteratorPtr<T, const std::set<T*>>::ValueIteratorPtr;
};

}  // namespace veltonet
