// The term lookups over word starts (lookup/words.hpp): a bounded descent of the word
// trie with one row of the edit table per depth, then the merge with the store's own
// answer.
//
// Merging: the best n terms by (distance, count, text), with each term's distance the
// smaller of its own and its word distance, are among the best n by its own distance and
// the best n by its word distance: a term that ranks k-th in the merged order ranks at
// most k-th in the order of whichever distance it takes, since every term before it there
// comes before it in the merged order too. So each side is asked for n and the two lists
// are merged.
#include <algorithm>
#include <iterator>
#include <tuple>
#include <unordered_set>

#include "core/lookup/words.hpp"
#include "core/lookup/words_cursor.hpp"
#include "core/lookup/words_descent.hpp"
#include "core/lookup/words_split.hpp"
#include "core/text/utf8.hpp"
#include "core/walk/descent.hpp"
#include "core/walk/plan.hpp"

namespace brindlex::lookup {

namespace {

using word_descent::descend;
using word_descent::Rows;

std::vector<uint32_t> scalars_of(std::string_view text) { return utf8::decode(text); }

bool better(const TermHit& a, const TermHit& b) {
    if (a.distance != b.distance) return a.distance < b.distance;
    if (a.count != b.count) return a.count > b.count;
    return a.term < b.term;  // UTF-8 byte order is code-point order
}

// The first n of the two lists taken together, each term once at its smaller distance.
// Each list names a term once and comes best first, so the two are merged, not sorted.
std::vector<TermHit> merged(std::vector<TermHit> a, std::vector<TermHit> b, uint64_t n) {
    std::vector<std::pair<uint32_t, uint32_t>> in_a(a.size());  // (node, position in a)
    for (size_t i = 0; i < a.size(); ++i) in_a[i] = {a[i].node, static_cast<uint32_t>(i)};
    std::sort(in_a.begin(), in_a.end());
    std::vector<uint8_t> nearer_in_b(a.size(), 0);
    std::erase_if(b, [&](const TermHit& h) {
        const auto it = std::lower_bound(in_a.begin(), in_a.end(), std::pair<uint32_t, uint32_t>{h.node, 0});
        if (it == in_a.end() || it->first != h.node) return false;
        if (h.distance >= a[it->second].distance) return true;
        nearer_in_b[it->second] = 1;
        return false;
    });
    size_t kept = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (nearer_in_b[i]) continue;
        if (kept != i) a[kept] = std::move(a[i]);
        ++kept;
    }
    a.resize(kept);
    std::vector<TermHit> out;
    out.reserve(a.size() + b.size());
    std::merge(std::make_move_iterator(a.begin()), std::make_move_iterator(a.end()), std::make_move_iterator(b.begin()),
               std::make_move_iterator(b.end()), std::back_inserter(out), better);
    if (out.size() > n) out.resize(n);
    return out;
}

TermHit hit_of(const TrieStore& store, const TermIndex& index, const Words& words, uint32_t node, uint32_t distance) {
    TermHit hit{{}, node, distance, index.own_count(store, node)};
    term_text(store, words, node, hit.term);
    return hit;
}

// The first n terms by (distance, count, text) among those with a tail within `bound` of
// the query, each once at its best such distance; the second member is how many terms
// were within the bound, or at least n when n or more were. Texts are climbed only for
// the terms that can be among the first n: those before the n-th by (distance, count),
// and those tied with it.
//
// A word node's terms come largest own count first, so of a node found at distance d only
// the first n and those tied with the n-th can rank among the first n: every other term
// of it ranks after those n, whichever distance it takes (at most d) and wherever else it
// is found. A tail that ends thousands of titles then costs n of them.
std::pair<std::vector<TermHit>, size_t> tails_within(const TrieStore& store, const TermIndex& index,
                                                     const Words& words, std::span<const uint32_t> query,
                                                     uint32_t bound, uint64_t n, EditRule rule) {
    struct Found {
        uint32_t term;
        uint32_t distance;
        uint32_t count;
    };
    std::vector<Found> found;
    auto take = [&](uint32_t v, uint32_t d) {
        const auto terms = words.terms_of(v);
        size_t kept = terms.size();
        if (n < kept) {
            const uint32_t last = index.own_count(store, terms[n - 1]);
            kept = n;
            while (kept < terms.size() && index.own_count(store, terms[kept]) == last) ++kept;
        }
        for (size_t i = 0; i < kept; ++i) found.push_back({terms[i], d, 0});
    };
    std::vector<TailMatch> split;
    if (walk_tails(store, words, query, bound, rule, split)) {
        for (const TailMatch& m : split) take(m.word, m.distance);
    } else {
        Rows rows(query, bound, words.max_depth(), rule);
        descend(
            words, rows, bound,
            [&](uint32_t v, uint32_t depth) {
                if (depth == 0) return;
                const uint32_t d = rows.last(depth);
                if (d <= bound) take(v, d);
            },
            [](uint32_t, uint32_t) {}, [](uint32_t, uint32_t) { return false; });
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.term != b.term ? a.term < b.term : a.distance < b.distance;
    });
    found.erase(std::unique(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.term == b.term; }),
                found.end());
    const size_t within = found.size();
    for (Found& f : found) f.count = index.own_count(store, f.term);
    auto before = [](const Found& a, const Found& b) {
        return a.distance != b.distance ? a.distance < b.distance : a.count > b.count;
    };
    size_t keep = found.size();
    if (n < found.size()) {
        const auto cut = found.begin() + static_cast<std::ptrdiff_t>(n);
        std::nth_element(found.begin(), cut - 1, found.end(), before);
        const Found last = *(cut - 1);
        // Those tied with the n-th go to the front of the rest, then the cut is made.
        const auto tied = std::partition(cut, found.end(), [&](const Found& f) { return !before(last, f); });
        keep = static_cast<size_t>(tied - found.begin());
    }
    std::vector<TermHit> out;
    out.reserve(keep);
    for (size_t i = 0; i < keep; ++i) out.push_back(hit_of(store, index, words, found[i].term, found[i].distance));
    std::sort(out.begin(), out.end(), better);
    return {std::move(out), within};
}

// The word nodes within `bound` of the prefix ("seeds"), with their distances, in walk
// order: every word node whose tail beginning is within the bound lies at or below one,
// at the distance of the nearest above it. The walk's own settled descent where its row
// kernels serve (it enters nothing below a node nearer than all below it), else the
// banded one. The root is never one, nor needs to be: were its empty text within the
// bound (L <= bound), every child of it would be, at most max(1, L) away, and with L = 0
// every term is a whole term's completion too.
struct Seed {
    uint32_t node;
    uint32_t distance;
    bool claimed = false;
};

template <uint32_t Levels, bool Osa>
Result<std::vector<NodeMatch>> settled_walk(const Words& words, std::span<const uint32_t> prefix, uint32_t bound) {
    const walk::Query q{prefix.size(), walk::plan_table(prefix.size(), bound, words.max_depth()), false, UINT64_MAX};
    walk::SettledRows<walk::LevelRows<Levels, false, Osa>> rows(prefix, q.plan);
    WordCursor cursor(words);
    return walk::descend<NodeMatch>(cursor, rows, q);
}

std::vector<Seed> seeds_of(const Words& words, std::span<const uint32_t> prefix, uint32_t bound, EditRule rule) {
    std::vector<Seed> seeds;
    if (prefix.size() <= walk::kMaxLevelTerm && bound <= walk::kMaxLevelBound) {
        auto found = with_kernel(bound, rule, [&]<uint32_t Levels, bool Osa>() {
            return settled_walk<Levels, Osa>(words, prefix, bound);
        });
        if (found) {
            for (const NodeMatch& m : *found) seeds.push_back({static_cast<uint32_t>(m.node), m.distance});
            return seeds;
        }
    }
    Rows rows(prefix, bound, words.max_depth(), rule);
    descend(
        words, rows, bound,
        [&](uint32_t v, uint32_t depth) {
            if (depth > 0 && rows.last(depth) <= bound) seeds.push_back({v, rows.last(depth)});
        },
        [](uint32_t, uint32_t) {}, [](uint32_t, uint32_t) { return false; });
    return seeds;
}

// The first n terms by (word prefix distance, count, text) within `bound`, best first.
// A best-first search from every seed at once, over items ranked by (distance, count): a
// node's terms one at a time (largest own count first), or a subtree, ranked by the
// largest own count below it, whose terms take its distance but below a nearer seed, which
// is left to its own item. A seed reached from one at least as near is covered by it:
// whichever of its items comes first claims it, and the other is dropped. Terms come out
// in (distance, count) order; a run of equal keys is final, and put in text order, once
// the next item ranks after it.
std::vector<TermHit> tails_best(const TrieStore& store, const TermIndex& index, const Words& words,
                                std::span<const uint32_t> prefix, uint32_t bound, uint64_t n, EditRule rule) {
    struct Item {
        uint32_t distance;
        uint32_t value;
        uint32_t node;
        uint32_t next;  // for a node's terms: the next one; UINT32_MAX for a subtree
    };
    auto lower = [](const Item& a, const Item& b) {  // a ranks below b
        return a.distance != b.distance ? a.distance > b.distance : a.value < b.value;
    };
    std::vector<Seed> seeds = seeds_of(words, prefix, bound, rule);
    std::sort(seeds.begin(), seeds.end(), [](const Seed& a, const Seed& b) {
        return a.node != b.node ? a.node < b.node : a.distance < b.distance;
    });
    seeds.erase(std::unique(seeds.begin(), seeds.end(), [](const Seed& a, const Seed& b) { return a.node == b.node; }),
                seeds.end());
    auto seed_of = [&](uint32_t v) -> Seed* {
        const auto it = std::lower_bound(seeds.begin(), seeds.end(), v, [](const Seed& s, uint32_t x) { return s.node < x; });
        return it != seeds.end() && it->node == v ? &*it : nullptr;
    };

    std::vector<Item> heap;
    heap.reserve(seeds.size());
    for (const Seed& s : seeds) heap.push_back({s.distance, words.node(s.node).best, s.node, UINT32_MAX});
    std::make_heap(heap.begin(), heap.end(), lower);
    auto push = [&](Item item) {
        heap.push_back(item);
        std::push_heap(heap.begin(), heap.end(), lower);
    };
    auto push_terms = [&](uint32_t v, uint32_t distance, uint32_t k) {
        const auto terms = words.terms_of(v);
        if (k < terms.size()) push({distance, index.own_count(store, terms[k]), v, k});
    };

    std::vector<TermHit> out;
    std::vector<TermHit> run;  // terms of one key, waiting for the next item to rank after them
    std::unordered_set<uint32_t> seen;
    auto close_run = [&] {
        std::sort(run.begin(), run.end(), better);
        for (TermHit& h : run) {
            if (out.size() >= n) break;
            out.push_back(std::move(h));
        }
        run.clear();
    };
    while (out.size() < n) {
        if (!run.empty() && (heap.empty() || heap.front().distance > run.back().distance ||
                             (heap.front().distance == run.back().distance && heap.front().value < run.back().count))) {
            close_run();
            continue;
        }
        if (heap.empty()) break;
        std::pop_heap(heap.begin(), heap.end(), lower);
        const Item item = heap.back();
        heap.pop_back();
        if (item.next == UINT32_MAX) {
            uint32_t v = item.node;
            if (Seed* seed = seed_of(v)) {
                if (seed->claimed) continue;
                seed->claimed = true;
            }
            // Down a chain (nodes without terms, of one child each, no seed) the item
            // stands for the same terms: it is followed there without a turn through the heap.
            while (words.node(v).first_term == words.node(v + 1).first_term &&
                   words.node(v).first_child + 1 == words.node(v + 1).first_child &&
                   seed_of(words.node(v).first_child) == nullptr) {
                v = words.node(v).first_child;
            }
            push_terms(v, item.distance, 0);
            const uint32_t end = words.node(v + 1).first_child;
            for (uint32_t c = words.node(v).first_child; c < end; ++c) {
                if (const Seed* seed = seed_of(c); seed && seed->distance < item.distance) continue;
                push({item.distance, words.node(c).best, c, UINT32_MAX});
            }
            continue;
        }
        const uint32_t term = words.terms_of(item.node)[item.next];
        push_terms(item.node, item.distance, item.next + 1);
        // The first time a term comes out is at its smallest distance: items come out by
        // distance first.
        if (!seen.insert(term).second) continue;
        if (!run.empty() && (run.back().distance != item.distance || run.back().count != item.value)) close_run();
        run.push_back(hit_of(store, index, words, term, item.distance));
    }
    return out;
}

}  // namespace

Result<std::vector<TermHit>> words_suggest(const TrieStore& store, const TermIndex& index, const Words& words,
                                           std::string_view query, uint32_t max_dist, uint64_t n, EditRule rule) {
    auto own = suggest(store, index, query, max_dist, n, rule);
    if (!own || n == 0) return own;
    const std::vector<uint32_t> q = scalars_of(query);
    // When the store's own answer is full, a term farther than its last ranks after all
    // of it: no tail beyond that distance can enter.
    const uint32_t top = own->size() >= n ? std::min(max_dist, own->back().distance) : max_dist;
    // Bounds grow as suggest grows them: every term within a bound ranks above every
    // term beyond it, so the first bound that holds n terms holds the best n.
    std::vector<TermHit> tails;
    uint32_t bound = n == 1 ? 0 : std::min<uint32_t>(1, top);
    while (true) {
        size_t within = 0;
        std::tie(tails, within) = tails_within(store, index, words, q, bound, n, rule);
        if (bound == top || within >= n) break;
        const uint32_t next = bound < 3 ? bound + 1 : bound * 2;
        bound = next > bound && next < top ? next : top;
    }
    return merged(std::move(*own), std::move(tails), n);
}

Result<std::vector<TermHit>> words_complete(const TrieStore& store, const TermIndex& index, const Words& words,
                                            std::span<const uint32_t> prefix, uint32_t max_dist, uint64_t n,
                                            EditRule rule) {
    auto own = fuzzy_complete(store, index, prefix, max_dist, n, rule);
    if (!own || n == 0) return own;
    // Every tail is within L of the prefix (its empty beginning): a larger bound finds no
    // more; nor one beyond the last of a full answer of the store's own (see words_suggest).
    auto top = static_cast<uint32_t>(std::min<uint64_t>(max_dist, prefix.size()));
    if (own->size() >= n) top = std::min(top, own->back().distance);
    std::vector<TermHit> tails;
    for (uint32_t b = 0;; b = b < 3 ? b + 1 : static_cast<uint32_t>(std::min<uint64_t>(uint64_t{b} * 2, top))) {
        b = std::min(b, top);
        tails = tails_best(store, index, words, prefix, b, n, rule);
        if (b == top || tails.size() >= n) break;
    }
    return merged(std::move(*own), std::move(tails), n);
}

}  // namespace brindlex::lookup
