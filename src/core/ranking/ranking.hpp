// Video ranking: which videos best match a query term that may be misspelt or cut short.
//
// Every node the edit-distance walk reaches is weighed by how closely it matches; its
// payload (the video counts of its whole subtree) adds count x weight to a total and each
// video count x weight to that video's raw score. A video's score is its raw score over
// the total. The best videos come back first.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "core/store/store.hpp"

namespace brindlex {

// Weight of a near miss at distance d for a query of n characters: (1 - d/n) x this.
// An exact match weighs 1.
inline constexpr double kFuzzyMatchFactor = 0.05;
// Extra factor for a node that ends no indexed term (a prefix node).
inline constexpr double kPrefixNodeFactor = 0.85;
// Score threshold when the caller gives none.
inline constexpr double kDefaultMinScore = 0.01;

struct ScoredVideo {
    uint32_t video;  // a position in the store's video id list
    double score;
};

// A kept match record: its weight and its node's payload.
struct WeightedPayload {
    double weight;
    PayloadView payload;
};

// term_utf8 must be valid UTF-8.
//
// include_prefix_nodes: true ranks every node within max_dist, false only nodes that end
// an indexed term; unset does the latter and, when no such node is within reach, falls
// back to the former. min_score unset means kDefaultMinScore; a video is kept when its
// score >= min_score (NaN keeps none). limit unset means no limit.
//
// The result is sorted by score, highest first, and equal scores by video number; it is
// cut to `limit` first, and only then are video numbers with no entry in the id list
// dropped, so it can hold fewer than `limit` videos.
//
// Fails when a reached node has no has_payload flag or no payload slot, or when its
// payload lists fewer video counts than video ids (stores restored without checks).
// Throws std::bad_alloc when memory runs out, like the walk it runs.
Result<std::vector<ScoredVideo>> rank_videos(const TrieStore& store, std::string_view term_utf8, uint32_t max_dist,
                                             std::optional<uint64_t> limit, std::optional<bool> include_prefix_nodes,
                                             std::optional<double> min_score);

// The ranking's last steps over kept records: the sums (in record order, per payload in
// list order, so every score is reproducible to the last bit), the threshold, the cut to
// `limit`, the order, and the drop of video numbers without an id; as rank_videos
// describes them. `listed` is the number of video entries the payloads list, which
// sizes the score map once.
std::vector<ScoredVideo> score_videos(const TrieStore& store, std::span<const WeightedPayload> kept, uint64_t listed,
                                      std::optional<uint64_t> limit, std::optional<double> min_score);

}  // namespace brindlex
