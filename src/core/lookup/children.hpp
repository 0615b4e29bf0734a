// The labelled children of a node, every read checked: the step both completions take
// from an item to the items below it (lookup/complete.cpp, lookup/fuzzy_complete.cpp).
#pragma once

#include <cstdint>
#include <optional>

#include "core/store/store.hpp"

namespace brindlex::lookup {

// Calls visit(child, label) for each child of v with a label, in stored order. Returns
// what is wrong when a read would leave the store's arrays, after the children before it.
template <class Visit>
std::optional<const char*> each_labelled_child(const TrieStore& store, uint32_t v, Visit&& visit) {
    const size_t nodes = store.node_count();
    const auto range = store.child_range(v);
    for (uint64_t pos = range.begin; pos < range.end; ++pos) {
        if (pos >= store.child_transitions.size()) return "a child list runs past its end";
        const uint32_t c = store.child_transitions[pos];
        if (c >= nodes) return "a child is not a node";
        const uint32_t label = store.child_labels[c];
        if (label != 0) visit(c, label);
    }
    return std::nullopt;
}

}  // namespace brindlex::lookup
