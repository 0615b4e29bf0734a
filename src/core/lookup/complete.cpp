// Completion, best first. The frontier holds two kinds of item: a whole subtree, ranked by
// the largest own count below it (TermIndex::best_below), and a single term, ranked by its
// own count. Items are taken largest value first, then smallest text, a term before the
// subtree it roots. No term inside a subtree ranks above the subtree's item (its count is
// at most the bound, its text at least the subtree's), so terms come out in the final
// order and the search ends after the n-th.
#include <algorithm>
#include <compare>

#include "core/lookup/children.hpp"
#include "core/lookup/lookup.hpp"
#include "core/lookup/paths.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::lookup {

namespace {

struct Item {
    uint32_t value;
    uint32_t node;
    uint32_t path;
    bool term;
};

}  // namespace

Result<std::vector<TermHit>> complete(const TrieStore& store, const TermIndex& index,
                                      std::span<const uint32_t> prefix, uint64_t n) {
    std::vector<TermHit> out;
    if (n == 0) return out;
    std::vector<uint32_t> starts;
    index.spelling(store, prefix, starts);
    if (starts.empty()) return out;

    std::string prefix_text;
    for (const uint32_t cp : prefix) utf8::append(prefix_text, cp);

    Paths paths;
    // The heap's comparator says which item ranks lower; the best item is on top.
    auto lower = [&](const Item& a, const Item& b) {
        if (a.value != b.value) return a.value < b.value;
        const auto by_text = paths.compare(a.path, b.path);
        if (by_text != 0) return by_text > 0;
        return !a.term && b.term;
    };
    std::vector<Item> heap;
    auto push = [&](Item item) {
        heap.push_back(item);
        std::push_heap(heap.begin(), heap.end(), lower);
    };
    for (const uint32_t v : starts) push({index.best_below(v), v, Paths::kPrefix, false});

    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), lower);
        const Item item = heap.back();
        heap.pop_back();
        if (item.term) {
            TermHit hit{prefix_text, item.node, 0, item.value};
            paths.append_text(item.path, hit.term);
            out.push_back(std::move(hit));
            if (out.size() >= n) break;
            continue;
        }
        uint32_t v = item.node;
        uint32_t path = item.path;
        // Down a chain (nodes that are no term, of one labelled child each) the item stands
        // for the same terms: it is followed there without a turn through the heap. Every
        // item it would have let pass first still does, as each one pushed ranks after it.
        while (v == 0 || !store.has_payload[v]) {
            uint32_t only = 0, label = 0, labelled = 0;
            const auto fault = each_labelled_child(store, v, [&](uint32_t c, uint32_t l) {
                if (++labelled == 1) {
                    only = c;
                    label = l;
                }
            });
            if (fault) return internal_error(*fault);
            if (labelled != 1) break;
            v = only;
            path = paths.extend(path, label);
        }
        if (v != 0 && store.has_payload[v]) push({index.own_count(store, v), v, path, true});
        const auto fault = each_labelled_child(store, v, [&](uint32_t c, uint32_t label) {
            push({index.best_below(c), c, paths.extend(path, label), false});
        });
        if (fault) return internal_error(*fault);
    }
    return out;
}

}  // namespace brindlex::lookup
