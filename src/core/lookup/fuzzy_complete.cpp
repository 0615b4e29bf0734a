// Completion of a mistyped prefix, best first. A term's prefix edit distance is the
// smallest distance from the prefix to any beginning of the term, so the terms within
// the bound are those below the nodes within the bound of the prefix ("seeds"), and a
// term's distance is the smallest of the seeds on its path. The walk finds the seeds
// (walk_prefixes: the descent with the row kernels, which abandons a subtree as soon as
// its row minimum exceeds the bound, with swaps as one edit or not).
//
// Then a best-first search from every seed at once, as exact completion does: a subtree
// item ranked by (its distance, the largest own count below it, its text), a term by
// (distance, own count, text). Every term below a subtree ranks at or after the
// subtree's item, so terms come out in the final order and the search stops after the
// n-th. A subtree's terms take its seed's distance, except below a seed nearer still:
// such a seed is left to its own item, and a seed reached from one at least as near is
// covered by it (whichever of the two items comes first claims the seed; the other is
// dropped), so every term comes out once, with its distance.
#include <algorithm>
#include <string>

#include "core/lookup/children.hpp"
#include "core/lookup/lookup.hpp"
#include "core/lookup/paths.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::lookup {

namespace {

struct Item {
    uint32_t distance;
    uint32_t value;  // own count of a term, largest own count below a subtree
    uint32_t node;
    uint32_t path;
    bool term;
};

struct Seed {
    uint32_t node;
    uint32_t distance;
    bool claimed;
};

// The texts of the seeds as paths from the root, sharing their common beginnings: the
// seeds come in walk order, so each shares with the one before all it shares with any
// earlier one. Returns the path of each seed.
std::vector<uint32_t> seed_paths(Paths& paths, const std::vector<TermMatch>& found) {
    std::vector<uint32_t> out;
    out.reserve(found.size());
    std::vector<uint32_t> chain{Paths::kPrefix};  // chain[d]: the path of the last text's first d labels
    std::vector<uint32_t> last;                   // the last text's labels
    for (const TermMatch& m : found) {
        const std::vector<uint32_t> labels = utf8::decode(m.term);
        size_t common = 0;
        while (common < labels.size() && common < last.size() && labels[common] == last[common]) ++common;
        chain.resize(common + 1);
        for (size_t d = common; d < labels.size(); ++d) chain.push_back(paths.extend(chain.back(), labels[d]));
        out.push_back(chain.back());
        last = labels;
    }
    return out;
}

// The first n terms within `bound` (at least 1) of the prefix (its UTF-8 text), best first.
Result<std::vector<TermHit>> within(const TrieStore& store, const TermIndex& index, std::string_view text,
                                    uint32_t bound, uint64_t n, EditRule rule) {
    std::vector<TermHit> out;
    auto found = walk_prefixes(store, text, bound, rule);
    if (!found) return std::unexpected(std::move(found.error()));

    Paths paths;
    const std::vector<uint32_t> at = seed_paths(paths, *found);
    // The root is never a seed, nor needs to be: were its empty text within the bound
    // (L <= bound), every child of it would be, at most max(1, L) away.
    std::vector<Seed> seeds;
    seeds.reserve(found->size());
    for (const TermMatch& m : *found) seeds.push_back({static_cast<uint32_t>(m.node), m.distance, false});

    auto lower = [&](const Item& a, const Item& b) {  // a ranks below b; the best is on top
        if (a.distance != b.distance) return a.distance > b.distance;
        if (a.value != b.value) return a.value < b.value;
        const auto by_text = paths.compare(a.path, b.path);
        if (by_text != 0) return by_text > 0;
        return !a.term && b.term;  // a term before the subtree it roots
    };
    std::vector<Item> heap;
    heap.reserve(seeds.size());
    for (size_t i = 0; i < seeds.size(); ++i) {
        heap.push_back({seeds[i].distance, index.best_below(seeds[i].node), seeds[i].node, at[i], false});
    }
    std::make_heap(heap.begin(), heap.end(), lower);
    auto push = [&](Item item) {
        heap.push_back(item);
        std::push_heap(heap.begin(), heap.end(), lower);
    };
    // The seeds by node, for the lookups of the search.
    std::vector<uint32_t> by_node(seeds.size());
    for (uint32_t i = 0; i < by_node.size(); ++i) by_node[i] = i;
    std::sort(by_node.begin(), by_node.end(), [&](uint32_t a, uint32_t b) { return seeds[a].node < seeds[b].node; });
    auto seed_of = [&](uint32_t node) -> Seed* {
        auto it = std::lower_bound(by_node.begin(), by_node.end(), node,
                                   [&](uint32_t i, uint32_t v) { return seeds[i].node < v; });
        return it != by_node.end() && seeds[*it].node == node ? &seeds[*it] : nullptr;
    };

    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), lower);
        const Item item = heap.back();
        heap.pop_back();
        if (item.term) {
            TermHit hit{{}, item.node, item.distance, item.value};
            paths.append_text(item.path, hit.term);
            out.push_back(std::move(hit));
            if (out.size() >= n) break;
            continue;
        }
        const uint32_t v = item.node;
        if (Seed* seed = seed_of(v)) {
            if (seed->claimed) continue;
            seed->claimed = true;
        }
        if (v != 0 && store.has_payload[v]) push({item.distance, index.own_count(store, v), v, item.path, true});
        const auto fault = each_labelled_child(store, v, [&](uint32_t c, uint32_t label) {
            // A nearer seed is left to its own item (which would claim it first anyway).
            if (const Seed* seed = seed_of(c); seed && seed->distance < item.distance) return;
            push({item.distance, index.best_below(c), c, paths.extend(item.path, label), false});
        });
        if (fault) return internal_error(*fault);
    }
    return out;
}

}  // namespace

// Bounds 0, 1, 2, ... in turn, as suggest does: every term within a bound ranks above
// every term beyond it, so the first bound that holds n terms holds the best n, and a
// prefix that completes as typed costs an exact completion.
Result<std::vector<TermHit>> fuzzy_complete(const TrieStore& store, const TermIndex& index,
                                            std::span<const uint32_t> prefix, uint32_t max_dist, uint64_t n,
                                            EditRule rule) {
    if (n == 0) return std::vector<TermHit>{};
    // Every term is within L of the prefix (its empty beginning): a larger bound finds
    // no more.
    const auto bound = static_cast<uint32_t>(std::min<uint64_t>(max_dist, prefix.size()));
    auto exact = complete(store, index, prefix, n);
    if (!exact || bound == 0 || exact->size() >= n) return exact;
    std::string text;
    for (const uint32_t cp : prefix) utf8::append(text, cp);
    for (uint32_t b = 1;; b = b < 3 ? b + 1 : static_cast<uint32_t>(std::min<uint64_t>(uint64_t{b} * 2, bound))) {
        b = std::min(b, bound);
        auto found = within(store, index, text, b, n, rule);
        if (!found || b == bound || found->size() >= n) return found;
    }
}

}  // namespace brindlex::lookup
