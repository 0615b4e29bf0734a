// The bounded edit-distance walk over a trie store: a depth-first descent that carries one
// row of the Levenshtein table per depth and abandons a subtree as soon as no cell of its
// row is within the bound. Two forms share one core: walk_terms (terms with payloads,
// with their text) and walk_nodes (node numbers only, prefix nodes optional).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "core/store/store.hpp"

namespace brindlex {

struct TermMatch {
    std::string term;  // UTF-8
    uint64_t node;
    uint32_t distance;
};

struct NodeMatch {
    uint64_t node;
    uint32_t distance;
};

// Which walk runs. All give the same records. Fastest splits the term in two for small
// bounds where the store allows (see walk.cpp); OneWay is the fastest single descent,
// kept to measure what the split gains; Reference is the plain row-per-child table with
// no subtree skipping, kept to test the fast paths against.
enum class WalkKernel { Fastest, OneWay, Reference };

// What an edit is: Levenshtein (insertion, deletion, substitution; the engine's rule), or
// the optimal string alignment distance, which also counts a swap of two neighbouring
// characters as one edit (no character edited twice).
enum class EditRule { Levenshtein, Transpositions };

// term must be valid UTF-8. Records come in depth-first pre-order, siblings in stored
// order; with a limit, the walk stops after that many records (a limit of 0 gives none).
// Throws std::bad_alloc when the distance table cannot be allocated (also when its size
// would not fit in memory at all).
Result<std::vector<TermMatch>> walk_terms(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          std::optional<uint64_t> limit, WalkKernel kernel = WalkKernel::Fastest,
                                          EditRule rule = EditRule::Levenshtein);

// Labelled nodes within max_dist of `term`, a payload of its own or not, with their
// texts, in the order of walk_terms: the beginnings of terms within reach (completion of
// a mistyped prefix). The walk may leave out the nodes below one whose last cell is the
// smallest of its row: none of them is nearer than that node.
Result<std::vector<TermMatch>> walk_prefixes(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                             EditRule rule);

Result<std::vector<NodeMatch>> walk_nodes(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          bool payload_only, std::optional<uint64_t> limit,
                                          WalkKernel kernel = WalkKernel::Fastest,
                                          EditRule rule = EditRule::Levenshtein);

}  // namespace brindlex
