// The split search over word tails (lookup/words_split.hpp).
//
// Split the query q into a head q1, its first (L + 1) / 2 characters, and the rest q2. A
// tail within k of q, for k of 1 or 2, has an optimal alignment that either spends at most
// k / 2 edits on q1 or none on q2 (cut it where q1 is consumed: the two costs add up to at
// most k). A swap of the last character of q1 with the first of q2 has no cut; it costs
// one, so what comes before it costs at most k - 1, for k <= 2 at most k / 2, and the
// forward half keeps it.
//
// Forward: the word trie descended as the engine's split search descends its store, with
// the head's cells capped at k / 2, so that near the root, where no bound prunes, only
// paths that (nearly) spell q1 are followed.
// Backward: a tail that ends in q2 exactly ends a term in q2, so the store's reversed-term
// index is followed along q2 reversed, exactly, and from there descended against q1
// reversed. Where that path holds a word start of some term (its last label, the tail's
// first character, is no separator, and a child's label is one), the tail is looked up in
// the word trie, whose node names the terms it is a tail of. Each half reports costs of
// real alignments, and every optimal alignment is kept by one of them, so the smaller of
// a term's reports is its distance.
#include "core/lookup/words_split.hpp"

#include <algorithm>

#include "core/facts/facts.hpp"
#include "core/lookup/words_cursor.hpp"
#include "core/lookup/words_descent.hpp"
#include "core/walk/descent.hpp"

namespace brindlex::lookup {

namespace {

using facts::Entry;
using word_descent::Rows;

// The entry of [lo, hi) labelled `label`, or hi: the labels of a run rise.
uint32_t find_label(std::span<const Entry> entries, uint32_t lo, uint32_t hi, uint32_t label) {
    const uint32_t end = hi;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (entries[mid].label() < label) lo = mid + 1; else hi = mid;
    }
    return lo < end && entries[lo].label() == label ? lo : end;
}

// The word node spelt by `text` (its children's labels rise), or none.
std::optional<uint32_t> word_node(const Words& words, std::span<const uint32_t> text) {
    uint32_t v = 0;
    for (const uint32_t c : text) {
        const auto next = words.child(v, c);
        if (!next) return std::nullopt;
        v = *next;
    }
    return v;
}

template <uint32_t Levels, bool Osa>
Result<void> forward(const Words& words, std::span<const uint32_t> query, uint64_t head, uint32_t bound,
                     std::vector<TailMatch>& out) {
    const walk::Query q{query.size(), walk::plan_table(query.size(), bound, words.max_depth()), true, UINT64_MAX};
    walk::LevelRows<Levels, true, Osa> rows(query, q.plan, {head, bound / 2});
    WordCursor cursor(words);
    auto found = walk::descend<NodeMatch>(cursor, rows, q);
    if (!found) return std::unexpected(std::move(found.error()));
    for (const NodeMatch& m : *found) out.push_back({static_cast<uint32_t>(m.node), m.distance});
    return {};
}

void backward(const Words& words, const facts::Reversed& rev, std::span<const uint32_t> query, uint64_t head,
              uint32_t bound, EditRule rule, std::vector<TailMatch>& out) {
    const std::span<const Entry> entries = rev.entries.span();
    uint32_t lo = 0, hi = rev.root_count;
    for (size_t i = query.size(); i-- > head;) {
        const uint32_t e = find_label(entries, lo, hi, query[i]);
        if (e == hi) return;
        lo = entries[e].first;
        hi = entries[e + 1].first;
    }
    const std::vector<uint32_t> q1(query.rend() - static_cast<std::ptrdiff_t>(head), query.rend());
    Rows rows(q1, bound, static_cast<uint32_t>(std::min<uint64_t>(UINT32_MAX, head + bound)), rule);
    // The tail as the word trie spells it: the path's labels from the deepest up, then q2.
    std::vector<uint32_t> path(size_t{rows.deepest()} + 1);
    std::vector<uint32_t> tail;
    struct Frame {
        uint32_t entry;
        uint32_t depth;
    };
    std::vector<Frame> stack;
    for (uint32_t e = hi; e-- > lo;) stack.push_back({e, 1});
    while (!stack.empty()) {
        const Frame f = stack.back();
        stack.pop_back();
        const Entry& e = entries[f.entry];
        const uint32_t height = e.height();
        if (f.depth > rows.deepest() ||
            (height != facts::kHeightUnknown && f.depth + uint64_t{height} + bound < q1.size())) {
            continue;
        }
        if (rows.fill(f.depth, e.label()) > bound) continue;
        path[f.depth] = e.label();
        const uint32_t first = e.first, end = entries[f.entry + 1].first;
        const uint32_t d = rows.last(f.depth);
        if (d <= bound && !words.is_separator(e.label()) &&
            std::any_of(entries.begin() + first, entries.begin() + end,
                        [&](const Entry& c) { return words.is_separator(c.label()); })) {
            tail.assign(path.rend() - f.depth - 1, path.rend() - 1);
            tail.insert(tail.end(), query.begin() + static_cast<std::ptrdiff_t>(head), query.end());
            if (const auto v = word_node(words, tail)) out.push_back({*v, d});
        }
        for (uint32_t c = end; c-- > first;) stack.push_back({c, f.depth + 1});
    }
}

}  // namespace

bool walk_tails(const TrieStore& store, const Words& words, std::span<const uint32_t> query, uint32_t bound,
                EditRule rule, std::vector<TailMatch>& out) {
    if (query.size() > walk::kMaxLevelTerm || bound > walk::kMaxLevelBound) return false;
    const facts::Reversed& rev = facts::reversed_of(store);
    const bool split = words.knows_separators() && rev.usable && bound >= 1 && bound <= 2 &&
                       query.size() >= 2 * uint64_t{bound} + 2;
    // Without the split, a head of nothing caps nothing: one walk of the whole query.
    const uint64_t head = split ? (query.size() + 1) / 2 : 0;
    const Result<void> ahead = with_kernel(bound, rule, [&]<uint32_t Levels, bool Osa>() {
        return forward<Levels, Osa>(words, query, head, bound, out);
    });
    if (!ahead) {
        out.clear();
        return false;
    }
    if (split) backward(words, rev, query, head, bound, rule, out);
    return true;
}

}  // namespace brindlex::lookup
