// The index of a store's terms spelt backwards, for the backward half of the split search
// (walk/walk.cpp): a trie over the reversed term of every node with a payload, laid out as
// walk entries (facts.hpp) in breadth-first order, whose terminal entries (payload bit
// set) name the forward node.
//
// Made only for trees whose node numbers rise in the walk's order (depth-first pre-order,
// children in stored order: the layout the index builder writes), so that the records of
// both halves go back into walk order by node number, and in which no two nodes with a
// payload spell the same term. Time and memory are linear in the total length of the
// terms, which may be at most kMaxLabelsPerNode times the node count (a deep chain of
// terms would make the index quadratic in its depth).
#pragma once

#include <cstdint>
#include <vector>

#include "core/store/store.hpp"
#include "core/facts/facts.hpp"

namespace brindlex::facts {

inline constexpr uint64_t kMaxLabelsPerNode = 16;

// Fills `entries` and `root_count` for a tree store (every read in range, every node
// reached once). Returns false, with the entries to be discarded, when the store does
// not qualify.
bool build_reversed(const TrieStore& store, std::vector<Entry>& entries, uint32_t& root_count);

}  // namespace brindlex::facts
