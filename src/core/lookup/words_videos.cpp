// Video ranking with word starts (lookup/words_videos.hpp).
//
// The word trie is descended once (twice when the prefix fallback runs, as the engine
// walks twice). A whole record is a term whose tail ends at a node within the bound; a
// prefix record is a term whose tail passes below a node within the bound, at the
// smallest distance of the nodes it passes. A descent stops where no cell of a row is
// within the bound, and no node deeper on that path is then within it: the subtree of
// such a node takes the distance of its nearest node above, so it is listed without rows.
#include "core/lookup/words_videos.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "core/lookup/words_descent.hpp"
#include "core/text/utf8.hpp"
#include "core/walk/walk.hpp"

namespace brindlex::lookup {

namespace {

using word_descent::descend;
using word_descent::Rows;

// How much a match at `distance` counts for a query of n characters, 0 when it is
// dropped: the engine's weight (core/ranking).
double match_weight(uint32_t distance, uint64_t n) {
    if (distance == 0) return 1.0;
    if (n == 0) return 0.0;
    const double w = (1.0 - static_cast<double>(distance) / static_cast<double>(n)) * kFuzzyMatchFactor;
    return w > 0.0 ? w : 0.0;
}

struct Record {
    uint32_t node;
    double weight;
};

// The records of one call, each node once at its best weight: kept in the order their
// nodes first came, found through an open-addressing table of record numbers.
class Records {
public:
    explicit Records(size_t expected) {
        list_.reserve(expected);
        allocate(std::bit_ceil(std::max<size_t>(64, 2 * expected)));
    }

    void offer(uint32_t node, double weight) {
        uint32_t& slot = find(node);
        if (slot != kEmpty) {
            list_[slot].weight = std::max(list_[slot].weight, weight);
            return;
        }
        if (2 * (list_.size() + 1) > slots_.size()) {
            allocate(2 * slots_.size());
            for (size_t k = 0; k < list_.size(); ++k) find(list_[k].node) = static_cast<uint32_t>(k);
            find(node) = static_cast<uint32_t>(list_.size());
        } else {
            slot = static_cast<uint32_t>(list_.size());
        }
        list_.push_back({node, weight});
    }

    const std::vector<Record>& list() const { return list_; }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;

    uint32_t& find(uint32_t node) {
        const size_t mask = slots_.size() - 1;
        size_t i = static_cast<size_t>((uint64_t{node} * 0x9E37'79B9'7F4A'7C15u) >> shift_);
        while (slots_[i] != kEmpty && list_[slots_[i]].node != node) i = (i + 1) & mask;
        return slots_[i];
    }

    void allocate(size_t count) {
        slots_.assign(count, kEmpty);
        shift_ = static_cast<unsigned>(64 - std::countr_zero(count));
    }

    std::vector<Record> list_;
    std::vector<uint32_t> slots_;
    unsigned shift_ = 0;
};

std::string node_message(uint64_t node, const char* what) {
    return "rank_videos: reached node " + std::to_string(node) + " " + what;
}

// The engine's records: its walk, weighed and checked as rank_videos weighs and checks
// them. Returns how many records the walk gave, kept or not.
Result<size_t> store_records(const TrieStore& store, std::string_view term, uint32_t max_dist, bool payload_only,
                             uint64_t n, Records& out) {
    auto walked = walk_nodes(store, term, max_dist, payload_only, std::nullopt);
    if (!walked) return std::unexpected(std::move(walked.error()));
    for (const NodeMatch& r : *walked) {
        double w = match_weight(r.distance, n);
        if (w == 0.0) continue;
        if (r.node >= store.has_payload.size()) return internal_error(node_message(r.node, "has no has_payload flag"));
        if (store.has_payload[r.node] == 0) w *= kPrefixNodeFactor;
        if (r.node >= store.payloads.size()) return internal_error(node_message(r.node, "has no payload slot"));
        out.offer(static_cast<uint32_t>(r.node), w);
    }
    return walked->size();
}

// The records of word starts within `bound`; with `prefixes`, prefix records too.
// Returns how many whole records there were, kept or not.
size_t word_records(const TrieStore& store, const Words& words, std::span<const uint32_t> query, uint32_t bound,
                    bool prefixes, Records& out) {
    const uint64_t n = query.size();
    size_t whole = 0;
    auto offer = [&](uint32_t term, double w) {
        if (w > 0.0 && term < store.has_payload.size()) out.offer(term, store.has_payload[term] ? w : w * kPrefixNodeFactor);
    };
    Rows rows(query, bound, words.max_depth(), EditRule::Levenshtein);
    // near[d]: the smallest last cell of the path's nodes at depths 1 to d (the root,
    // the empty beginning, is no record, as the engine never reports the root).
    std::vector<uint32_t> near(size_t{rows.deepest()} + 1, UINT32_MAX);
    std::vector<uint32_t> below;  // the subtree being listed
    descend(
        words, rows, bound,
        [&](uint32_t v, uint32_t depth) {
            if (depth == 0) return;
            const uint32_t d = rows.last(depth);
            near[depth] = std::min(near[depth - 1], d);
            const double as_whole = d <= bound ? match_weight(d, n) : 0.0;
            const uint32_t above = near[depth - 1];
            const double as_prefix = prefixes && above <= bound ? match_weight(above, n) * kPrefixNodeFactor : 0.0;
            const auto terms = words.terms_of(v);
            if (d <= bound) whole += terms.size();
            const double w = std::max(as_whole, as_prefix);
            if (w > 0.0) {
                for (const uint32_t t : terms) offer(t, w);
            }
        },
        [&](uint32_t c, uint32_t parent_depth) {
            if (!prefixes || near[parent_depth] > bound) return;
            const double w = match_weight(near[parent_depth], n) * kPrefixNodeFactor;
            if (!(w > 0.0)) return;
            below.assign(1, c);
            while (!below.empty()) {
                const uint32_t u = below.back();
                below.pop_back();
                for (const uint32_t t : words.terms_of(u)) offer(t, w);
                const uint32_t end = words.node(u + 1).first_child;
                for (uint32_t k = words.node(u).first_child; k < end; ++k) below.push_back(k);
            }
        },
        [&](uint32_t, uint32_t depth) { return prefixes && near[depth] <= bound; });
    return whole;
}

}  // namespace

Result<std::vector<ScoredVideo>> words_videos(const TrieStore& store, const Words& words, std::string_view term_utf8,
                                              uint32_t max_dist, std::optional<uint64_t> limit,
                                              std::optional<bool> include_prefix_nodes,
                                              std::optional<double> min_score) {
    const std::vector<uint32_t> query = utf8::decode(term_utf8);
    const uint64_t n = query.size();
    // No text is farther than max(L, its length) from the query: a larger bound finds
    // no more, and keeps the cap of the rows in range.
    const auto reach = static_cast<uint32_t>(std::min<uint64_t>(max_dist, std::max<uint64_t>(n, words.max_depth())));
    // Only a record nearer than n characters weighs anything (but an exact one): where
    // the count of records does not matter, the descent stops there.
    const uint32_t useful = n == 0 ? 0 : std::min<uint32_t>(reach, static_cast<uint32_t>(std::min<uint64_t>(n - 1, UINT32_MAX)));

    Records records(64);
    auto gather = [&](bool prefixes, bool counted) -> Result<size_t> {
        auto own = store_records(store, term_utf8, max_dist, !prefixes, n, records);
        if (!own) return own;
        if (words.empty() || (n == 0 && !counted)) return *own;
        return *own + word_records(store, words, query, counted ? reach : useful, prefixes, records);
    };
    if (include_prefix_nodes.has_value()) {
        if (auto r = gather(*include_prefix_nodes, false); !r) return std::unexpected(std::move(r.error()));
    } else {
        auto first = gather(false, true);
        if (!first) return std::unexpected(std::move(first.error()));
        // Nothing indexed within reach, through any word: the prefix nodes answer. The
        // first records are all dropped ones then, as the engine drops them.
        if (*first == 0) {
            records = Records(64);
            if (auto r = gather(true, false); !r) return std::unexpected(std::move(r.error()));
        }
    }

    // The sums, as rank_videos forms them: in record order and per payload in list order.
    std::vector<WeightedPayload> kept;
    kept.reserve(records.list().size());
    uint64_t listed = 0;
    for (const Record& r : records.list()) store.payloads.prefetch(r.node);
    for (const Record& r : records.list()) {
        if (!store.payloads.present(r.node)) continue;
        const PayloadView p = store.payloads.view(r.node);
        if (p.video_counts.size() < p.video_ids.size()) {
            return internal_error(node_message(r.node, "has fewer video counts than video ids"));
        }
        kept.push_back({r.weight, p});
        listed += p.video_ids.size();
    }
    return score_videos(store, kept, listed, limit, min_score);
}

}  // namespace brindlex::lookup
