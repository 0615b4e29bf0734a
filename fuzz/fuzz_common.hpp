// What both fuzz targets do with a store once they have one: run the queries with bounds
// taken from the input, hold the results against a plain model of the walk, and round-trip
// the store through the snapshot codec.
//
// A failed check aborts, so libFuzzer keeps the input as a crash.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/lookup/listing.hpp"
#include "core/lookup/lookup.hpp"
#include "core/ranking/ranking.hpp"
#include "core/text/video_id_text.hpp"
#include "core/text/utf8.hpp"
#include "core/facts/facts.hpp"
#include "core/facts/reversed.hpp"
#include "core/walk/walk.hpp"
#include "../tests/cpp/support.hpp"
#include "core/store/store.hpp"
#include "core/snapshot/snapshot.hpp"

namespace brindlex::fuzz {

inline void check(bool ok, const char* what, std::source_location at = std::source_location::current()) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed at %s:%u: %s\n", at.file_name(), static_cast<unsigned>(at.line()), what);
    std::abort();
}

// ---------------------------------------------------------------------------------------
// Query settings, from two input bytes

struct QuerySettings {
    uint32_t max_dist = 1;
    std::optional<uint64_t> limit;
    std::optional<bool> include_prefix_nodes;
    std::optional<double> min_score;
    uint8_t term_edit = 0;  // what is done to the term taken from the store (see query_terms)
    uint8_t path_turn = 0;  // which child the term's path takes at each level
};

inline QuerySettings settings_from(uint8_t a, uint8_t b) {
    // Mostly small bounds; the large ones reach the table sizing for huge max_dist.
    static constexpr uint32_t kMaxDist[8] = {0, 1, 1, 2, 3, 65535, 65536, UINT32_MAX};
    static constexpr std::optional<uint64_t> kLimit[4] = {std::nullopt, 0, 1, 4};
    static constexpr std::optional<bool> kPrefix[4] = {std::nullopt, true, false, std::nullopt};
    static const std::optional<double> kMinScore[4] = {std::nullopt, 0.0, 0.3, std::nan("")};
    QuerySettings q;
    q.max_dist = kMaxDist[a & 7];
    q.limit = kLimit[(a >> 3) & 3];
    q.include_prefix_nodes = kPrefix[(a >> 5) & 3];
    q.min_score = kMinScore[b & 3];
    q.term_edit = (b >> 2) & 3;
    q.path_turn = b >> 4;
    return q;
}

// ---------------------------------------------------------------------------------------
// Query terms

// A child the walk would look at and could enter: readable, labelled, with a node_shifts entry.
inline bool enterable(const TrieStore& s, uint64_t w) {
    return w < s.child_labels.size() && s.child_labels[w] != 0 && w < s.node_shifts.size();
}

// The labels of a path down from the root (at most `steps` long), choosing at each level
// a child by `turn`. Cycles are fine: the length is bounded.
inline std::vector<uint32_t> path_labels(const TrieStore& s, uint8_t turn, size_t steps) {
    std::vector<uint32_t> labels;
    if (s.node_shifts.empty()) return labels;
    uint64_t v = 0;
    for (size_t step = 0; step < steps; ++step) {
        const auto r = s.child_range(v);
        const uint64_t end = std::min<uint64_t>(r.end, s.child_transitions.size());
        std::vector<uint64_t> kids;
        for (uint64_t p = r.begin; p < end; ++p) {
            if (enterable(s, s.child_transitions[p])) kids.push_back(s.child_transitions[p]);
        }
        if (kids.empty()) break;
        v = kids[(turn + step) % kids.size()];
        labels.push_back(s.child_labels[v]);
    }
    return labels;
}

// Written independently of the walk's own UTF-8 helper, which the model checks.
inline std::string to_utf8(std::span<const uint32_t> chars) {
    return test::utf8_of(std::u32string(chars.begin(), chars.end()));
}

// Four terms: the empty one, one near a path of the store (so the walk goes deep), a run
// of one label (so cyclic and chain-like stores are walked far down), and the same run
// longer than a machine word (which the walk's row kernels treat differently).
inline std::vector<std::string> query_terms(const TrieStore& s, const QuerySettings& q) {
    std::vector<uint32_t> near = path_labels(s, q.path_turn, 6);
    switch (q.term_edit) {
        case 1:  // a substitution by a character outside the BMP
            if (!near.empty()) near.back() = 0x1F600;
            break;
        case 2:  // an insertion in front
            near.insert(near.begin(), 'x');
            break;
        case 3:  // a deletion
            if (!near.empty()) near.erase(near.begin());
            break;
        default:
            break;
    }
    const uint32_t c = near.empty() ? 'a' : near.front();
    const std::vector<uint32_t> run(12, c);
    const std::vector<uint32_t> long_run(70, c);
    return {std::string(), to_utf8(near), to_utf8(run), to_utf8(long_run)};
}

// ---------------------------------------------------------------------------------------
// Keeping walks small
//
// On a store whose child lists repeat a child or form a cycle, the walk follows every path,
// and paths multiply with depth. Queries are run only when an upper bound on their work
// (child positions looked at over all paths the walk may enter, ignoring pruning) is small.

inline constexpr uint64_t kWorkBudget = 10'000;
// Distance tables above this many cells are not allocated here (the rss limit would call
// them a finding); tables the walk refuses outright are still asked for.
inline constexpr uint64_t kTableCellBudget = uint64_t{1} << 22;

// Child positions looked at by a walk that enters every path down to `depth`, or
// kWorkBudget + 1 once that is exceeded.
inline uint64_t walk_work_bound(const TrieStore& s, uint64_t depth) {
    if (s.node_shifts.empty()) return 0;
    const size_t n = s.node_shifts.size();
    std::vector<uint64_t> ways(n, 0);
    std::vector<uint64_t> next_ways(n, 0);
    std::vector<size_t> frontier{0};
    std::vector<size_t> next;
    ways[0] = 1;
    uint64_t work = 0;
    for (uint64_t d = 0; d <= depth && !frontier.empty(); ++d) {
        next.clear();
        for (size_t v : frontier) {
            const uint64_t k = ways[v];
            ways[v] = 0;
            const auto r = s.child_range(v);
            const uint64_t size = s.child_transitions.size();
            const uint64_t end = std::min<uint64_t>(r.end, size);
            // The readable positions, and one more when the range runs past the end (the
            // walk stops with a failure there).
            const uint64_t looked = (end > r.begin ? end - r.begin : 0) + (r.end > r.begin && r.end > size ? 1 : 0);
            if (looked > (kWorkBudget + 1 - work) / k) return kWorkBudget + 1;
            work += looked * k;
            if (d == depth) continue;
            for (uint64_t p = r.begin; p < end; ++p) {
                const uint64_t w = s.child_transitions[p];
                if (!enterable(s, w)) continue;
                if (next_ways[w] == 0) next.push_back(w);
                next_ways[w] = std::min(next_ways[w] + k, kWorkBudget + 1);
            }
        }
        frontier.swap(next);
        ways.swap(next_ways);
    }
    return work;
}

// ---------------------------------------------------------------------------------------
// A plain model of the walk: every path down to L + max_dist (no deeper node can be within
// the bound), full rows in 64 bits, no pruning, no table sizing. Whenever the walk itself
// succeeds, the two must report the same: the model reads more of the store only inside
// subtrees the walk prunes, where nothing is within the bound.

struct ModelRecord {
    std::string term;
    uint64_t node;
    uint64_t distance;
};

inline std::vector<ModelRecord> model_walk(const TrieStore& s, std::span<const uint32_t> term, uint64_t max_dist,
                                           bool payload_only, std::optional<uint64_t> limit) {
    std::vector<ModelRecord> out;
    if (s.node_shifts.empty() || limit == uint64_t{0}) return out;
    const uint64_t L = term.size();
    const uint64_t width = L + 1;
    const uint64_t max_depth = L + max_dist;
    struct Frame {
        uint64_t node;
        uint64_t pos;
        uint64_t end;
    };
    std::vector<Frame> frames;    // frames[d]: the node entered at depth d
    std::vector<uint64_t> rows;   // row d at d * width
    std::vector<uint32_t> path;   // path[d - 1]: the label into the node at depth d
    auto enter = [&](uint64_t v) {
        const auto r = s.child_range(v);
        frames.push_back({v, r.begin, std::min<uint64_t>(r.end, s.child_transitions.size())});
    };
    rows.resize(width);
    for (uint64_t j = 0; j <= L; ++j) rows[j] = j;
    enter(0);
    while (!frames.empty()) {
        Frame& f = frames.back();
        const uint64_t depth = frames.size() - 1;
        if (f.pos >= f.end || depth >= max_depth) {
            frames.pop_back();
            if (!path.empty()) path.pop_back();
            continue;
        }
        const uint64_t w = s.child_transitions[f.pos++];
        if (w >= s.child_labels.size() || s.child_labels[w] == 0) continue;
        const uint32_t label = s.child_labels[w];
        rows.resize((depth + 2) * width);
        const uint64_t* prev = rows.data() + depth * width;
        uint64_t* row = rows.data() + (depth + 1) * width;
        row[0] = prev[0] + 1;
        for (uint64_t j = 1; j <= L; ++j) {
            row[j] = std::min({prev[j - 1] + (term[j - 1] != label ? 1 : 0), prev[j] + 1, row[j - 1] + 1});
        }
        const bool flagged = w < s.has_payload.size() && s.has_payload[w] != 0;
        if (row[L] <= max_dist && (!payload_only || flagged)) {
            path.push_back(label);
            std::string text = to_utf8(path);
            path.pop_back();
            out.push_back({std::move(text), w, row[L]});
            if (limit && out.size() >= *limit) return out;
        }
        if (w >= s.node_shifts.size()) continue;
        path.push_back(label);
        enter(w);
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Running the queries

// The walks of one term, checked against the model, and the ranking.
inline void query_term(const TrieStore& s, const std::string& term, const QuerySettings& q, bool must_succeed) {
    const std::vector<uint32_t> chars = utf8::decode(term);
    const uint64_t L = chars.size();
    const uint64_t reach = std::min<uint64_t>(L + q.max_dist, facts::facts_of(s).max_depth);
    const uint64_t cells = (reach + 2) * (L + 1);
    const bool refused = L + uint64_t{q.max_dist} + 2 > (uint64_t{1} << 32) / (L + 1) &&
                         facts::facts_of(s).max_depth == facts::Facts::kUnbounded;
    if (!refused && (cells > kTableCellBudget || walk_work_bound(s, reach) > kWorkBudget)) return;

    try {
        const auto terms = walk_terms(s, term, q.max_dist, q.limit);
        const auto nodes = walk_nodes(s, term, q.max_dist, true, q.limit);
        const auto all = walk_nodes(s, term, q.max_dist, false, q.limit);
        if (must_succeed) check(terms && nodes && all, "a walk on a built store fails");
        // Both forms share their core: same records, or both fail.
        check(terms.has_value() == nodes.has_value(), "walk_terms and walk_nodes disagree on failing");
        if (terms && nodes) {
            check(terms->size() == nodes->size(), "walk_terms and walk_nodes report different counts");
            for (size_t i = 0; i < terms->size(); ++i) {
                check((*terms)[i].node == (*nodes)[i].node && (*terms)[i].distance == (*nodes)[i].distance,
                      "walk_terms and walk_nodes report different records");
            }
            const auto model = model_walk(s, chars, q.max_dist, true, q.limit);
            check(model.size() == terms->size(), "walk_terms and the model report different counts");
            for (size_t i = 0; i < model.size(); ++i) {
                const TermMatch& t = (*terms)[i];
                check(t.node == model[i].node && t.distance == model[i].distance && t.term == model[i].term,
                      "walk_terms and the model report different records");
            }
        }
        if (all) {
            const auto model = model_walk(s, chars, q.max_dist, false, q.limit);
            check(model.size() == all->size(), "walk_nodes (all nodes) and the model report different counts");
            for (size_t i = 0; i < model.size(); ++i) {
                check((*all)[i].node == model[i].node && (*all)[i].distance == model[i].distance,
                      "walk_nodes (all nodes) and the model report different records");
            }
        }

        const auto ranked = rank_videos(s, term, q.max_dist, q.limit, q.include_prefix_nodes, q.min_score);
        if (must_succeed) check(ranked.has_value(), "rank_videos on a built store fails");
        if (ranked) {
            if (q.limit) check(ranked->size() <= *q.limit, "rank_videos returns more than the limit");
            const double threshold = q.min_score.value_or(kDefaultMinScore);
            std::array<char, kVideoIdTextMax> text{};
            for (size_t i = 0; i < ranked->size(); ++i) {
                const ScoredVideo& v = (*ranked)[i];
                check(v.score >= threshold, "rank_videos keeps a score below the threshold");
                if (i > 0) check((*ranked)[i - 1].score >= v.score, "rank_videos is not sorted by score");
                check(write_video_id_text(s, v.video, text).has_value(), "a ranked video has no id text");
            }
        }
    } catch (const std::bad_alloc&) {
        // A table the walk refuses to allocate (huge max_dist on a cyclic store).
    }
}

// The term lookups, where the store is a tree from the root (the only stores they take):
// completion of everything lists every term once, by count then text, and finds each
// again; suggestions come best first, within the bound, with their own counts.
inline void run_lookups(const TrieStore& s, const QuerySettings& q, const std::vector<std::string>& terms) {
    auto index = lookup::TermIndex::make(s, {});
    if (!index) return;
    const auto all = lookup::complete(s, *index, {}, UINT64_MAX);
    check(all.has_value(), "completion fails on a store the lookups took");
    check(all->size() == index->term_count(), "completion does not list every term");
    for (size_t i = 0; i < all->size(); ++i) {
        const auto& hit = (*all)[i];
        check(hit.count == index->own_count(s, hit.node), "a completion with a count not its own");
        check(index->find(s, utf8::decode(hit.term)) != lookup::kNoNode, "a listed term is not found");
        if (i > 0) {
            const auto& prev = (*all)[i - 1];
            check(prev.count > hit.count || (prev.count == hit.count && prev.term <= hit.term),
                  "completions out of order");
        }
    }
    // Listing everything, in chunks of a few terms, gives the same terms with the same
    // counts as completing everything.
    {
        const lookup::Spellings none;
        lookup::Listing listing(s, *index, none, {});
        lookup::ListedTerms chunk;
        std::vector<std::pair<std::string, uint32_t>> listed, completed;
        while (!listing.done()) {
            chunk.clear();
            check(listing.next(chunk, 1 + q.max_dist % 7).has_value(), "listing fails on a store the lookups took");
            for (size_t i = 0; i < chunk.size(); ++i) listed.emplace_back(chunk.term(i), chunk.counts[i]);
        }
        for (const auto& hit : *all) completed.emplace_back(hit.term, hit.count);
        std::sort(listed.begin(), listed.end());
        std::sort(completed.begin(), completed.end());
        check(listed == completed, "listing and completion differ");
    }
    const uint32_t bound = std::min<uint32_t>(q.max_dist, 3);
    for (const std::string& term : terms) {
        const auto hits = lookup::suggest(s, *index, term, bound, q.limit.value_or(5));
        check(hits.has_value(), "suggestions fail on a store the lookups took");
        for (size_t i = 0; i < hits->size(); ++i) {
            const auto& h = (*hits)[i];
            check(h.distance <= bound && h.count == index->own_count(s, h.node), "a suggestion out of bounds");
            if (i > 0) {
                const auto& p = (*hits)[i - 1];
                check(p.distance < h.distance || (p.distance == h.distance && p.count >= h.count),
                      "suggestions out of order");
            }
        }
    }
}

inline void run_queries(const TrieStore& s, const QuerySettings& q, bool must_succeed) {
    const auto terms = query_terms(s, q);
    for (const std::string& term : terms) query_term(s, term, q, must_succeed);
    run_lookups(s, q, terms);
}

// ---------------------------------------------------------------------------------------
// Snapshot round trip

// Encodes twice, over buffers of opposite fill, so that a byte the writer sized but never
// wrote shows up as a difference.
inline std::vector<std::byte> encode_checked(const TrieStore& s) {
    const size_t size = snapshot::encoded_size(s);
    std::vector<std::byte> zeros(size, std::byte{0x00});
    std::vector<std::byte> ones(size, std::byte{0xFF});
    snapshot::encode(s, zeros);
    snapshot::encode(s, ones);
    check(zeros == ones, "encode leaves a sized byte unwritten");
    return zeros;
}

// Making a store, decoding included, costs memory linear in its input whatever the child
// lists share: the walk entries never outnumber the child positions, and a decoded store
// stays within a fixed multiple of the bytes it came from. (A built store may not: the
// aggregation gives every node up to video_top_n videos of its subtree.)
inline void check_linear_size(const TrieStore& s, std::optional<size_t> input_bytes) {
    check(facts::entry_count(facts::facts_of(s).entries) <= s.child_transitions.size(), "more walk entries than child positions");
    // Made here if no query has made it yet: its cost counts too.
    check(facts::entry_count(facts::reversed_of(s).entries) <= facts::kMaxLabelsPerNode * s.node_count(),
          "more reversed-term entries than the budget per node");
    // A node can cost a few snapshot bytes and, derived, up to kMaxLabelsPerNode reversed
    // entries of 12 bytes.
    static constexpr size_t kBytesPerInputByte = 256;
    if (input_bytes) {
        check(facts::memory_bytes(s) <= kBytesPerInputByte * *input_bytes + 4096, "a store much larger than its input");
    }
}

inline void check_round_trip(const TrieStore& s) {
    const std::vector<std::byte> bytes = encode_checked(s);
    const auto again = snapshot::decode(bytes);
    check(again.has_value(), "a written snapshot does not decode");
    check(*again == s, "a written snapshot decodes to a different store");
    check(encode_checked(*again) == bytes, "re-encoding gives different bytes");
    // Every field is needed, so a snapshot cut short by one byte never decodes. The copy is
    // exactly that long, so a read past its end is caught.
    if (!bytes.empty()) {
        const std::vector<std::byte> cut(bytes.begin(), bytes.end() - 1);
        check(!snapshot::decode(cut).has_value(), "a snapshot cut short still decodes");
    }
}

}  // namespace brindlex::fuzz
