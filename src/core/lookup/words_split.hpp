// The word tails within a bound of a whole query, on the walk's row kernels: for the
// small bounds of suggest, the split search, two descents of which neither fans out near
// the root, instead of one that does (words_split.cpp says why it finds every tail).
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
// times and not always at its distance, but at least once at it: by the split search for
// bounds 1 and 2 where it serves (queries of 2 * bound + 2 characters or more, an index
// whose separators are known, a store with its reversed-term index), else by one walk of
// the whole query. Returns false, with nothing appended, for queries or bounds beyond the
// walk's row kernels (the caller descends as it can).
bool walk_tails(const TrieStore& store, const Words& words, std::span<const uint32_t> query, uint32_t bound,
                EditRule rule, std::vector<TailMatch>& out);

}  // namespace brindlex::lookup
