// The walk's entry points: decode the term, size the table, pick the row kernel and the
// child cursor that fit the store, and run the one descent (walk/descent.hpp).
#include "core/walk/walk.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <type_traits>

#include "core/text/utf8.hpp"
#include "core/walk/descent.hpp"
#include "core/facts/facts.hpp"

namespace brindlex {

namespace {

using walk::Query;

// The breadth-first entries for a tree store and the fastest walk; the checked arrays
// otherwise.
template <class Record, class Kernel>
Result<std::vector<Record>> with_cursor(const TrieStore& store, const facts::Facts& facts, Kernel& kernel,
                                        const Query& q, bool fast) {
    if (fast && facts.tree) {
        walk::EntryCursor cursor(facts.entries, {0, facts.root_count}, facts.rising);
        return walk::descend<Record>(cursor, kernel, q);
    }
    walk::CheckedCursor cursor(store);
    return walk::descend<Record>(cursor, kernel, q);
}

// The split search, for small bounds (Mihov and Schulz, "Fast approximate search in large
// dictionaries", 2004). Split the term q into a head q1, its first `head` characters,
// and a tail q2. A term w within k of q splits as w1 w2 with d(q1, w1) + d(q2, w2) <= k
// (cut an optimal alignment where it has just consumed q1), so d(q1, w1) <= k / 2 or
// d(q2, w2) <= k - k / 2 - 1. The forward walk keeps the alignments of the first kind
// (a cap on the head cells), the backward walk over the reversed terms with the reversed
// term those of the second; each reports the best cost among the alignments it keeps,
// and every optimal alignment is kept by one of them, so the smaller of the two is the
// distance. With the head or the tail matched (nearly) exactly, neither walk fans out
// near the root, where no bound prunes.
//
// Swaps keep it exact. An alignment whose swap takes term characters head and head + 1
// has no cut; say it costs c before the swap. Were c > k / 2 and the cost after the swap
// above k - k / 2 - 1, the whole would cost at least k / 2 + 1 + 1 + k - k / 2 > k. So
// the forward walk keeps it (its cells before column head hold at most c) or the
// backward one does.
//
// Node numbers rise in walk order in every store with the index, so sorting the records
// of both halves by number restores the order of one walk, and the limit cuts after.
constexpr uint32_t kMaxSplitBound = 3;

// Short terms have so many matches that two walks over them cost more than one: the
// split pays from 2 * bound + 2 characters on (measured on a 350,000-word list).
bool split_fits(const facts::Facts& facts, uint64_t term_length, uint32_t bound, bool payload_only) {
    return payload_only && facts.tree && bound >= 1 && bound <= kMaxSplitBound &&
           term_length >= 2 * uint64_t{bound} + 2 && term_length <= walk::kMaxLevelTerm;
}

template <class Record, uint32_t Levels, bool Osa>
Result<std::vector<Record>> split_search(const facts::Facts& facts, const facts::Reversed& reversed_terms,
                                         std::span<const uint32_t> term, const Query& q) {
    Query all = q;
    all.limit = std::numeric_limits<uint64_t>::max();
    const uint64_t length = term.size();
    const uint64_t head = (length + 1) / 2;
    const uint32_t bound = q.plan.bound;

    walk::LevelRows<Levels, true, Osa> forward_rows(term, q.plan, {head, bound / 2});
    walk::EntryCursor forward(facts.entries, {0, facts.root_count}, facts.rising);
    auto found = walk::descend<Record>(forward, forward_rows, all);
    if (!found) return found;

    const std::vector<uint32_t> reversed(term.rbegin(), term.rend());
    walk::LevelRows<Levels, true, Osa> backward_rows(reversed, q.plan, {length - head, bound - bound / 2 - 1});
    walk::EntryCursor backward(reversed_terms.entries, {0, reversed_terms.root_count}, true);
    all.backward = true;
    auto more = walk::descend<Record>(backward, backward_rows, all);
    if (!more) return more;

    std::vector<Record>& out = *found;
    out.insert(out.end(), std::make_move_iterator(more->begin()), std::make_move_iterator(more->end()));
    std::sort(out.begin(), out.end(), [](const Record& a, const Record& b) {
        return a.node != b.node ? a.node < b.node : a.distance < b.distance;
    });
    // Of a node found by both halves, the first record has the smaller distance.
    out.erase(std::unique(out.begin(), out.end(), [](const Record& a, const Record& b) { return a.node == b.node; }),
              out.end());
    if (out.size() > q.limit) out.erase(out.begin() + static_cast<std::ptrdiff_t>(q.limit), out.end());
    return std::move(out);
}

// Settle: the walk enters no node below one whose last cell is its row's minimum (for
// walk_prefixes, where the beginnings of a term nearer than any node below are enough).
template <class Record, bool Osa, bool Settle = false>
Result<std::vector<Record>> run(const TrieStore& store, std::string_view text, uint32_t max_dist,
                                bool payload_only, std::optional<uint64_t> limit, WalkKernel choice) {
    const uint64_t cap = limit.value_or(std::numeric_limits<uint64_t>::max());
    // A limit of 0 and a store without nodes give an empty result without a look at
    // anything else.
    if (cap == 0 || store.node_shifts.empty()) return std::vector<Record>{};
    // A whole term at bound 0: one probe of the exact-term table instead of a walk.
    if (max_dist == 0 && payload_only && choice == WalkKernel::Fastest && !text.empty()) {
        if (const facts::Exact& exact = facts::exact_of(store); exact.usable) {
            std::vector<Record> out;
            if (const uint32_t node = exact.find(text); node != facts::kNotFound) {
                if constexpr (std::is_same_v<Record, TermMatch>) {
                    out.push_back({std::string(text), node, 0});
                } else {
                    out.push_back({node, 0});
                }
            }
            return out;
        }
    }
    const std::vector<uint32_t> term = utf8::decode(text);
    // No node of a tree store lies deeper than max_depth, and a node at depth d is at
    // least L - d from the term: a term longer than that plus the bound matches nothing,
    // however large a table it would otherwise need.
    const facts::Facts& facts = facts::facts_of(store);
    if (facts.tree && term.size() > facts.max_depth + uint64_t{max_dist}) return std::vector<Record>{};
    const Query q{term.size(), walk::plan_table(term.size(), max_dist, facts.max_depth), payload_only, cap};
    const bool fast = choice != WalkKernel::Reference;
    if (choice == WalkKernel::Fastest && split_fits(facts, term.size(), q.plan.bound, q.payload_only)) {
        if (const facts::Reversed& rev = facts::reversed_of(store); rev.usable) {
            switch (q.plan.bound) {
                case 1: return split_search<Record, 2, Osa>(facts, rev, term, q);
                case 2: return split_search<Record, 3, Osa>(facts, rev, term, q);
                default: return split_search<Record, 4, Osa>(facts, rev, term, q);
            }
        }
    }
    if (fast && term.size() <= walk::kMaxLevelTerm && q.plan.bound <= walk::kMaxLevelBound) {
        auto with = [&]<uint32_t Levels>() {
            if constexpr (Settle) {
                walk::SettledRows<walk::LevelRows<Levels, false, Osa>> kernel(term, q.plan);
                return with_cursor<Record>(store, facts, kernel, q, true);
            } else {
                walk::LevelRows<Levels, false, Osa> kernel(term, q.plan);
                return with_cursor<Record>(store, facts, kernel, q, true);
            }
        };
        switch (q.plan.bound) {
            case 0: return with.template operator()<1>();
            case 1: return with.template operator()<2>();
            case 2: return with.template operator()<3>();
            case 3: return with.template operator()<4>();
            default: return with.template operator()<0>();
        }
    }
    if (fast && walk::banded(q.plan)) {
        if (q.plan.bound < 0xFFFF) {
            walk::BandRows<uint16_t, Osa> kernel(term, q.plan);
            return with_cursor<Record>(store, facts, kernel, q, fast);
        }
        walk::BandRows<uint32_t, Osa> kernel(term, q.plan);
        return with_cursor<Record>(store, facts, kernel, q, fast);
    }
    if (q.plan.narrow) {
        walk::CellRows<uint16_t, Osa> kernel(term, q.plan);
        return with_cursor<Record>(store, facts, kernel, q, fast);
    }
    walk::CellRows<uint32_t, Osa> kernel(term, q.plan);
    return with_cursor<Record>(store, facts, kernel, q, fast);
}

}  // namespace

Result<std::vector<TermMatch>> walk_terms(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          std::optional<uint64_t> limit, WalkKernel kernel, EditRule rule) {
    if (rule == EditRule::Transpositions) return run<TermMatch, true>(store, term, max_dist, true, limit, kernel);
    return run<TermMatch, false>(store, term, max_dist, true, limit, kernel);
}

Result<std::vector<TermMatch>> walk_prefixes(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                             EditRule rule) {
    if (rule == EditRule::Transpositions) {
        return run<TermMatch, true, true>(store, term, max_dist, false, std::nullopt, WalkKernel::Fastest);
    }
    return run<TermMatch, false, true>(store, term, max_dist, false, std::nullopt, WalkKernel::Fastest);
}

Result<std::vector<NodeMatch>> walk_nodes(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          bool payload_only, std::optional<uint64_t> limit, WalkKernel kernel,
                                          EditRule rule) {
    if (rule == EditRule::Transpositions) {
        return run<NodeMatch, true>(store, term, max_dist, payload_only, limit, kernel);
    }
    return run<NodeMatch, false>(store, term, max_dist, payload_only, limit, kernel);
}

}  // namespace brindlex
