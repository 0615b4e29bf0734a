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
#include <tuple>
#include <unordered_set>

#include "core/lookup/words.hpp"
#include "core/lookup/words_descent.hpp"
#include "core/lookup/words_split.hpp"
#include "core/text/utf8.hpp"
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
std::vector<TermHit> merged(std::vector<TermHit> a, std::vector<TermHit> b, uint64_t n) {
    a.insert(a.end(), std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()));
    std::sort(a.begin(), a.end(), [](const TermHit& x, const TermHit& y) {
        return x.node != y.node ? x.node < y.node : x.distance < y.distance;
    });
    a.erase(std::unique(a.begin(), a.end(), [](const TermHit& x, const TermHit& y) { return x.node == y.node; }),
            a.end());
    std::sort(a.begin(), a.end(), better);
    if (a.size() > n) a.resize(n);
    return a;
}

TermHit hit_of(const TrieStore& store, const TermIndex& index, const Words& words, uint32_t node, uint32_t distance) {
    TermHit hit{{}, node, distance, index.own_count(store, node)};
    term_text(store, words, node, hit.term);
    return hit;
}

// The first n terms by (distance, count, text) among those with a tail within `bound` of
// the query, each once at its best such distance; the second member is how many terms
// were within the bound, or at least n when n or more were. Texts are climbed only for the terms
// that can be among the first n: those before the n-th by (distance, count), and those
// tied with it.
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
    if (split_tails(store, words, query, bound, rule, split)) {
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
    return {std::move(out), within};
}

// The first n terms by (word prefix distance, count, text) within `bound`, best first.
// A best-first search over items ranked by (distance, count): a node's terms one at a
// time (largest own count first), or a subtree all of whose terms take one distance,
// ranked by the largest own count below it. Terms come out in (distance, count) order;
// a run of equal keys is final, and put in text order, once the next item ranks after it.
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
    std::vector<Item> heap;
    auto push = [&](Item item) {
        heap.push_back(item);
        std::push_heap(heap.begin(), heap.end(), lower);
    };
    auto push_terms = [&](uint32_t v, uint32_t distance, uint32_t k) {
        const auto terms = words.terms_of(v);
        if (k < terms.size()) push({distance, index.own_count(store, terms[k]), v, k});
    };

    Rows rows(prefix, bound, words.max_depth(), rule);
    std::vector<uint32_t> nearest(rows.deepest() + 1);  // the path's smallest last cell, by depth
    nearest[0] = rows.last(0);
    descend(
        words, rows, bound,
        [&](uint32_t v, uint32_t depth) {
            if (depth > 0) nearest[depth] = std::min(nearest[depth - 1], rows.last(depth));
            if (nearest[depth] <= bound) push_terms(v, nearest[depth], 0);
        },
        [&](uint32_t c, uint32_t parent_depth) {
            if (nearest[parent_depth] <= bound) push({nearest[parent_depth], words.node(c).best, c, UINT32_MAX});
        },
        [&](uint32_t, uint32_t depth) { return nearest[depth] <= bound; });

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
            push_terms(item.node, item.distance, 0);
            const uint32_t end = words.node(item.node + 1).first_child;
            for (uint32_t c = words.node(item.node).first_child; c < end; ++c) {
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
