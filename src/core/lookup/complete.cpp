// Completion, best first. The frontier holds two kinds of item: a whole subtree, ranked by
// the largest own count below it (TermIndex::best_below), and a single term, ranked by its
// own count. Items are taken largest value first, then smallest text, a term before the
// subtree it roots. No term inside a subtree ranks above the subtree's item (its count is
// at most the bound, its text at least the subtree's), so terms come out in the final
// order and the search ends after the n-th.
#include <algorithm>
#include <compare>

#include "core/lookup/lookup.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::lookup {

namespace {

// The text below the prefix as a tree of labels shared by the items: an item names the
// last label of its text; texts compare by climbing to their common ancestor.
struct PathNode {
    uint32_t label;
    uint32_t parent;
    uint32_t depth;
};

class Paths {
public:
    Paths() { nodes_.push_back({0, 0, 0}); }  // the prefix itself

    static constexpr uint32_t kPrefix = 0;

    uint32_t extend(uint32_t parent, uint32_t label) {
        nodes_.push_back({label, parent, nodes_[parent].depth + 1});
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    std::strong_ordering compare(uint32_t a, uint32_t b) const {
        if (a == b) return std::strong_ordering::equal;
        const uint32_t a_start = a;
        const uint32_t b_start = b;
        const uint32_t da = nodes_[a].depth;
        const uint32_t db = nodes_[b].depth;
        while (nodes_[a].depth > db) a = nodes_[a].parent;
        while (nodes_[b].depth > da) b = nodes_[b].parent;
        if (a == b) return da <=> db;  // one text starts the other: the shorter first
        while (nodes_[a].parent != nodes_[b].parent) {
            a = nodes_[a].parent;
            b = nodes_[b].parent;
        }
        const auto by_label = nodes_[a].label <=> nodes_[b].label;
        if (by_label != 0) return by_label;
        // Two children of one node with one label (a store not laid out by the package):
        // the texts part further down, or not at all.
        return compare_texts(a_start, b_start);
    }

    // Whole texts compared label by label: the slow way, for equal labels at a fork.
    std::strong_ordering compare_texts(uint32_t a, uint32_t b) const {
        std::vector<uint32_t> x, y;
        for (; a != kPrefix; a = nodes_[a].parent) x.push_back(nodes_[a].label);
        for (; b != kPrefix; b = nodes_[b].parent) y.push_back(nodes_[b].label);
        return std::lexicographical_compare_three_way(x.rbegin(), x.rend(), y.rbegin(), y.rend());
    }

    void append_text(uint32_t id, std::string& out) const {
        labels_.clear();
        for (; id != kPrefix; id = nodes_[id].parent) labels_.push_back(nodes_[id].label);
        for (auto it = labels_.rbegin(); it != labels_.rend(); ++it) utf8::append(out, *it);
    }

private:
    std::vector<PathNode> nodes_;
    mutable std::vector<uint32_t> labels_;
};

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

    const size_t nodes = store.node_count();
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
        const uint32_t v = item.node;
        if (v != 0 && store.has_payload[v]) push({index.own_count(store, v), v, item.path, true});
        const auto range = store.child_range(v);
        for (uint64_t pos = range.begin; pos < range.end; ++pos) {
            if (pos >= store.child_transitions.size()) return internal_error("a child list runs past its end");
            const uint32_t c = store.child_transitions[pos];
            if (c >= nodes) return internal_error("a child is not a node");
            const uint32_t label = store.child_labels[c];
            if (label == 0) continue;
            push({index.best_below(c), c, paths.extend(item.path, label), false});
        }
    }
    return out;
}

}  // namespace brindlex::lookup
