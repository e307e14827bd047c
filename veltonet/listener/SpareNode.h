#pragma once

#include <utility>
#include <vector>

namespace veltonet {

// Subscriptions come and go in pairs on a hot path: the nodes of removed set members wait in
// a small stock, one per set type, and the next insertion into any set of that type takes
// one instead of allocating. The sets' order and contents are exactly those of plain insert
// and erase. Single-threaded, as the library is.
template <typename Set>
class SpareNodes {
  public:
    static constexpr size_t kLimit = 32;

    // Null once the stock is gone at exit: sets that outlive it allocate as usual.
    static std::vector<typename Set::node_type>* Get() {
        static SpareNodes stock;
        return s_gone ? nullptr : &stock.m_nodes;
    }

  private:
    SpareNodes() { m_nodes.reserve(kLimit); }
    ~SpareNodes() { s_gone = true; }

    std::vector<typename Set::node_type> m_nodes;
    static inline bool s_gone = false;
};

// Inserts value, in a spare node when there is one. False when value was already there.
template <typename Set>
bool InsertWithSpare(Set& set, const typename Set::value_type& value) {
    auto* stock = SpareNodes<Set>::Get();
    if (stock == nullptr || stock->empty()) {
        return set.insert(value).second;
    }
    auto& spares = *stock;
    typename Set::node_type& node = spares.back();
    node.value() = value;
    auto result = set.insert(std::move(node));
    spares.pop_back();
    if (!result.inserted) {
        spares.push_back(std::move(result.node));
    }
    return result.inserted;
}

// Removes the element at position, keeping its node when the stock has room.
template <typename Set>
void EraseToSpare(Set& set, typename Set::const_iterator position) {
    auto* stock = SpareNodes<Set>::Get();
    if (stock != nullptr && stock->size() < SpareNodes<Set>::kLimit) {
        stock->push_back(set.extract(position));
    } else {
        set.erase(position);
    }
}

}  // namespace veltonet
