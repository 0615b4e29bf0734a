// Video ranking over the terms and their word starts alike (lookup/words.hpp).
//
// The match records are those of the engine's walk over the store, plus one for each
// term reached through a word start: its tail within the bound of the query (a whole
// record, at the tail's distance) or, where prefix nodes are ranked, a beginning of its
// tail within the bound (a prefix record, at that beginning's distance). Records are
// weighed as the engine weighs them (core/ranking), each node of the store once at the
// best weight it takes, and scored, cut and sorted as the engine does. With no record
// from a word start the answer is the engine's, to the last bit.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "core/lookup/words.hpp"
#include "core/ranking/ranking.hpp"
#include "core/store/store.hpp"

namespace brindlex::lookup {

// rank_videos (core/ranking/ranking.hpp) with the records of word starts; the same
// arguments, the same failures. term_utf8 must be valid UTF-8.
Result<std::vector<ScoredVideo>> words_videos(const TrieStore& store, const Words& words, std::string_view term_utf8,
                                              uint32_t max_dist, std::optional<uint64_t> limit,
                                              std::optional<bool> include_prefix_nodes,
                                              std::optional<double> min_score);

}  // namespace brindlex::lookup
