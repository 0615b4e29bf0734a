// The split search over word tails, for the small bounds of suggest: two descents that
// neither fans out near the root, instead of one that does (words_split.cpp says why it
// finds every tail).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/lookup/words.hpp"
#include "core/store/store.hpp"
#include "core/walk/plan.hpp"

namespace brindlex::lookup {

struct TailMatch {
    uint32_t word;      // a word node: the tail it spells is a tail of each term it names
    uint32_t distance;  // the cost of that tail against the query, within the bound
};

// Appends to `out` each word node whose tail is within `bound` of `query`, perhaps several
// times and not always at its distance, but at least once at it. Returns false, with nothing
// appended, where the split does not serve (bounds other than 1 and 2, short queries, an
// index whose separators are not known, a store without its reversed-term index).
bool split_tails(const TrieStore& store, const Words& words, std::span<const uint32_t> query, uint32_t bound,
                 EditRule rule, std::vector<TailMatch>& out);

}  // namespace brindlex::lookup
