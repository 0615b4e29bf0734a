#include "core/ranking/ranking.hpp"

#include <algorithm>
#include <string>

#include "core/ranking/score_map.hpp"
#include "core/text/utf8.hpp"
#include "core/walk/walk.hpp"

namespace brindlex {

namespace {

Result<std::vector<NodeMatch>> collect_records(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                               std::optional<bool> include_prefix_nodes) {
    if (include_prefix_nodes.has_value()) {
        return walk_nodes(store, term, max_dist, !*include_prefix_nodes, std::nullopt);
    }
    auto indexed = walk_nodes(store, term, max_dist, true, std::nullopt);
    if (!indexed || !indexed->empty()) return indexed;
    // Nothing indexed within reach: the term may be the start of indexed terms, so let
    // the prefix nodes answer for them.
    return walk_nodes(store, term, max_dist, false, std::nullopt);
}

// How much a match at `distance` counts for a query of n characters; nullopt drops it.
std::optional<double> match_weight(uint32_t distance, uint64_t n) {
    if (distance == 0) return 1.0;
    if (n == 0) return std::nullopt;
    const double w = (1.0 - static_cast<double>(distance) / static_cast<double>(n)) * kFuzzyMatchFactor;
    if (!(w > 0.0)) return std::nullopt;
    return w;
}

std::string node_message(const NodeMatch& r, const char* what) {
    return "rank_videos: reached node " + std::to_string(r.node) + " " + what;
}

// One match record's contribution, nullopt when the record is dropped. The index checks
// come after the weight test, so a dropped record is never checked.
Result<std::optional<WeightedPayload>> weigh(const TrieStore& store, const NodeMatch& r, uint64_t n) {
    std::optional<double> w = match_weight(r.distance, n);
    if (!w) return std::nullopt;
    if (r.node >= store.has_payload.size()) return internal_error(node_message(r, "has no has_payload flag"));
    if (store.has_payload[r.node] == 0) *w *= kPrefixNodeFactor;
    if (r.node >= store.payloads.size()) return internal_error(node_message(r, "has no payload slot"));
    if (!store.payloads.present(r.node)) return std::nullopt;
    const PayloadView p = store.payloads.view(r.node);
    if (p.video_counts.size() < p.video_ids.size()) {
        return internal_error(node_message(r, "has fewer video counts than video ids"));
    }
    return WeightedPayload{*w, p};
}

// Limits up to this keep a heap of the best while the scores are listed; longer ones
// select from all of them at once.
constexpr uint64_t kHeapLimit = 64;

// Best first; equal scores by video number, so that the order is total and a call with
// limit n returns the first n videos of the same call without a limit.
bool ranks_before(const ScoredVideo& a, const ScoredVideo& b) {
    if (a.score != b.score) return a.score > b.score;
    return a.video < b.video;
}

}  // namespace

Result<std::vector<ScoredVideo>> rank_videos(const TrieStore& store, std::string_view term_utf8, uint32_t max_dist,
                                             std::optional<uint64_t> limit, std::optional<bool> include_prefix_nodes,
                                             std::optional<double> min_score) {
    auto records = collect_records(store, term_utf8, max_dist, include_prefix_nodes);
    if (!records) return std::unexpected(std::move(records.error()));
    const uint64_t n = utf8::count_scalars(term_utf8);

    // First, every record is checked before anything is summed, and the kept payloads
    // are listed with their weights. The slots of all records are asked for at once:
    // they lie scattered through the store, and fetched one after another their misses
    // would dominate a short query.
    for (const NodeMatch& r : *records) {
        if (r.node < store.has_payload.size()) __builtin_prefetch(store.has_payload.data() + r.node);
        if (r.node < store.payloads.size()) store.payloads.prefetch(r.node);
    }
    std::vector<WeightedPayload> kept;
    kept.reserve(records->size());
    uint64_t listed = 0;
    for (const NodeMatch& r : *records) {
        auto weighed = weigh(store, r, n);
        if (!weighed) return std::unexpected(std::move(weighed.error()));
        if (!*weighed) continue;
        kept.push_back(**weighed);
        listed += kept.back().payload.video_ids.size();
    }
    // A list of a few entries often ends past the cache line it starts in.
    for (const WeightedPayload& k : kept) {
        const std::span<const uint32_t> ids = k.payload.video_ids;
        const std::span<const uint32_t> counts = k.payload.video_counts;
        __builtin_prefetch(ids.data());
        __builtin_prefetch(counts.data());
        if (!ids.empty()) __builtin_prefetch(&ids.back());
        if (!counts.empty()) __builtin_prefetch(&counts.back());
    }

    return score_videos(store, kept, listed, limit, min_score);
}

std::vector<ScoredVideo> score_videos(const TrieStore& store, std::span<const WeightedPayload> kept, uint64_t listed,
                                      std::optional<uint64_t> limit, std::optional<double> min_score) {
    // Distinct videos are at most the listed entries, and at most the id list's length
    // when every video number has an id, so the map is sized once and never grows for a
    // sound store.
    ScoreMap scores(std::min<uint64_t>(listed, store.video_count()));
    double total_weight = 0.0;
    for (const auto& [w, p] : kept) {
        total_weight += static_cast<double>(p.count) * w;
        for (size_t i = 0; i < p.video_ids.size(); ++i) {
            scores.add(p.video_ids[i], static_cast<double>(p.video_counts[i]) * w);
        }
    }

    std::vector<ScoredVideo> ranked;
    if (!(total_weight > 0.0)) return ranked;

    const double threshold = min_score.value_or(kDefaultMinScore);
    // A short limit among many videos: the best `limit` seen so far are kept in a heap
    // whose top is the worst of them, so most videos cost one comparison and none is
    // stored. The order is total, so this keeps the same videos as a full selection.
    const bool heap = limit && *limit < scores.size() && *limit <= kHeapLimit;
    const size_t keep = heap ? static_cast<size_t>(*limit) : 0;
    ranked.reserve(heap ? keep : scores.size());
    scores.for_each([&](uint32_t video, double raw) {
        const ScoredVideo v{video, raw / total_weight};
        if (!(v.score >= threshold)) return;
        if (!heap || ranked.size() < keep) {
            ranked.push_back(v);
            if (heap) std::push_heap(ranked.begin(), ranked.end(), ranks_before);
        } else if (keep > 0 && ranks_before(v, ranked.front())) {
            std::pop_heap(ranked.begin(), ranked.end(), ranks_before);
            ranked.back() = v;
            std::push_heap(ranked.begin(), ranked.end(), ranks_before);
        }
    });
    if (limit && *limit < ranked.size()) {
        const auto cut = static_cast<std::ptrdiff_t>(*limit);
        std::nth_element(ranked.begin(), ranked.begin() + cut, ranked.end(), ranks_before);
        ranked.erase(ranked.begin() + cut, ranked.end());
    }
    std::sort(ranked.begin(), ranked.end(), ranks_before);

    // Only now are video numbers without an id dropped: they keep their places in the
    // top `limit`, so the result may come out shorter than the limit.
    const size_t known = store.video_count();
    std::erase_if(ranked, [known](const ScoredVideo& s) { return s.video >= known; });
    return ranked;
}

}  // namespace brindlex
