#pragma once

#include <utility>

namespace veltonet {

// Subscriptions come and go in pairs on a hot path: a tree set that keeps the node of its
// last removal inserts the next member without allocating. At most one node is kept per
// spare, and the set's order and contents are exactly those of plain insert and erase.

// Inserts value, in spare's node when there is one. False when value was already there.
template <typename Set>
bool InsertWithSpare(Set& set, typename Set::node_type& spare,
                     const typename Set::value_type& value) {
    if (spare.empty()) {
        return set.insert(value).second;
    }
    spare.value() = value;
    auto result = set.insert(std::move(spare));
    if (!result.inserted) {
        spare = std::move(result.node);
    }
    return result.inserted;
}

// Removes the element at position and keeps its node as the spare.
template <typename Set>
void EraseToSpare(Set& set, typename Set::node_type& spare, typename Set::const_iterator position) {
    spare = set.extract(position);
}

}  // namespace veltonet
