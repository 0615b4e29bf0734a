// Lays out a trie of merged terms as the store's arrays and builds the store through the
// engine's own construction (construct/build_store), aggregation pass included.
//
// * node 0 is the root, with label 0 and no payload;
// * nodes are numbered in depth-first pre-order with every node's children in code point
//   order, so a node's number is its rank among all prefixes in code point order, every
//   child comes after its parent and node_shifts never decreases;
// * a term's payload is its summed count and its video list (TermTable::take_lists);
// * video numbers are the TermTable's, in the order the entries first named them.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "core/builder/term_table.hpp"
#include "core/construct/construct.hpp"
#include "core/lookup/term_index.hpp"
#include "core/store/store.hpp"

namespace brindlex::build {

struct LaidOut {
    StoreParts parts;
    std::vector<uint32_t> term_nodes;  // by term number
};

// Fails with a message when the trie would have more nodes than 32-bit numbers hold, or
// when the videos mix both id sizes. Consumes the table's video rows.
std::expected<LaidOut, std::string> lay_out(TermTable& terms);

struct Built {
    TrieStore store;
    std::vector<uint32_t> term_nodes;           // by term number
    std::vector<uint32_t> term_counts;          // by term number: the merged counts
    std::vector<lookup::CountFix> count_fixes;  // sorted by node
};

// lay_out, then the store; where a subtree total saturated, the terms whose own count
// the store can no longer give by subtraction are listed with it. The table is released
// before the store is aggregated.
std::expected<Built, std::string> build_store_of(TermTable&& terms, uint64_t video_top_n);

}  // namespace brindlex::build
