// The term lookups a search back end asks for, over a store and its TermIndex:
// best-first suggestions for a misspelt query, and completion of a prefix by frequency.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "core/lookup/term_index.hpp"
#include "core/store/store.hpp"
#include "core/walk/walk.hpp"

namespace brindlex::lookup {

struct TermHit {
    std::string term;  // UTF-8, as the trie spells it
    uint32_t node;
    uint32_t distance;  // 0 for completions
    uint32_t count;     // the term's own count
};

// At most `n` terms within `max_dist` of `query` (valid UTF-8), best first: smaller
// distance, then larger count, then code-point order. Walks with bounds 0, 1, ... and
// stops at the first bound that already holds n terms, since every term it holds ranks
// above every term only a larger bound would add.
Result<std::vector<TermHit>> suggest(const TrieStore& store, const TermIndex& index, std::string_view query,
                                     uint32_t max_dist, uint64_t n, EditRule rule = EditRule::Levenshtein);

// At most `n` terms that start with `prefix` (scalar values; the prefix itself counts),
// most frequent first, then code-point order.
Result<std::vector<TermHit>> complete(const TrieStore& store, const TermIndex& index,
                                      std::span<const uint32_t> prefix, uint64_t n);

// At most `n` terms whose prefix edit distance from `prefix` (scalar values) is at most
// `max_dist`: the smallest distance from `prefix` to any beginning of the term, the whole
// term included. Best first: smaller distance, then larger count, then code-point order;
// found best first too, without listing every qualifying term (fuzzy_complete.cpp).
// Throws CapExceeded, as the walk does, when its table would pass the walk's cap.
Result<std::vector<TermHit>> fuzzy_complete(const TrieStore& store, const TermIndex& index,
                                            std::span<const uint32_t> prefix, uint32_t max_dist, uint64_t n,
                                            EditRule rule);

}  // namespace brindlex::lookup
