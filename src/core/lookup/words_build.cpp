// Making the word structures of a store (lookup/words.hpp), and checking them as read.
//
// Every term's text is gathered once from a depth-first pass, its tails are sorted as
// (term, start) pairs compared in place, and the sorted tails are folded into a trie,
// numbered breadth-first afterwards so that each node's children are consecutive.
#include <algorithm>
#include <numeric>

#include "core/lookup/children.hpp"
#include "core/lookup/words.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::lookup {

namespace {

struct Tail {
    uint32_t term;   // index into the gathered terms
    uint32_t start;  // its first scalar value, in the term's text
};

struct Gathered {
    std::vector<uint32_t> text;   // the terms' texts, back to back
    std::vector<uint64_t> begin;  // where each term's text begins in `text`, one more at the end
    std::vector<uint32_t> node;   // each term's node
    std::vector<Tail> tails;

    std::span<const uint32_t> tail(const Tail& t) const {
        const uint64_t b = begin[t.term] + t.start;
        return std::span<const uint32_t>(text).subspan(b, begin[t.term + 1] - b);
    }
};

// A temporary trie node: children as a list in rising label order.
struct Temp {
    uint32_t label;
    uint32_t first_child = UINT32_MAX;
    uint32_t last_child = UINT32_MAX;
    uint32_t next_sibling = UINT32_MAX;
};

}  // namespace

Words Words::from_parts(Parts p) {
    Words w;
    w.nodes_ = std::move(p.nodes);
    w.terms_ = std::move(p.terms);
    w.parents_ = std::move(p.parents);
    w.separators_ = std::move(p.separators);
    w.knows_separators_ = p.knows_separators;
    w.make_heights();
    return w;
}

// Children are numbered after their parents, so one pass from the last node up finds
// every child's height before its parent's.
void Words::make_heights() {
    const size_t count = node_count();
    heights_.assign(count, 0);
    for (size_t v = count; v-- > 0;) {
        uint8_t h = 0;
        for (uint32_t c = nodes_[v].first_child; c < nodes_[v + 1].first_child && c < count; ++c) {
            h = std::max<uint8_t>(h, heights_[c] == kTallest ? kTallest : static_cast<uint8_t>(heights_[c] + 1));
        }
        heights_[v] = h;
    }
}

Result<Words> make_words(const TrieStore& store, const TermIndex& index, std::span<const uint32_t> separators) {
    const size_t n = store.node_count();
    if (n == 0 || n >= kNoNode) return internal_error("no store to find words in");
    auto separator = [&](uint32_t cp) { return std::binary_search(separators.begin(), separators.end(), cp); };

    // Parents and the texts of the terms that have word starts past their first.
    std::vector<uint32_t> parents(n, 0);
    Gathered g;
    g.begin.push_back(0);
    std::vector<uint32_t> path;
    struct Frame {
        uint32_t node;
        uint32_t depth;
    };
    std::vector<Frame> stack{{0, 0}};
    while (!stack.empty()) {
        const Frame f = stack.back();
        stack.pop_back();
        path.resize(f.depth);
        if (f.node != 0) path.push_back(store.child_labels[f.node]);
        if (f.node != 0 && store.has_payload[f.node]) {
            bool any = false;
            for (size_t i = 1; i < path.size(); ++i) {
                if (separator(path[i - 1]) && !separator(path[i])) {
                    if (!any) {
                        g.node.push_back(f.node);
                        g.text.insert(g.text.end(), path.begin(), path.end());
                        g.begin.push_back(g.text.size());
                        any = true;
                    }
                    g.tails.push_back({static_cast<uint32_t>(g.node.size() - 1), static_cast<uint32_t>(i)});
                }
            }
        }
        const uint32_t depth = static_cast<uint32_t>(path.size());
        bool ordered = true;
        const auto fault = each_labelled_child(store, f.node, [&](uint32_t c, uint32_t) {
            if (c <= f.node) ordered = false;
            parents[c] = f.node;
            stack.push_back({c, depth});
        });
        if (fault) return internal_error(*fault);
        if (!ordered) return internal_error("the store's children are not numbered after their parents");
    }
    if (g.node.size() > kNoNode || g.tails.size() >= kNoNode) return internal_error("too many word starts");

    std::sort(g.tails.begin(), g.tails.end(), [&](const Tail& a, const Tail& b) {
        const auto x = g.tail(a);
        const auto y = g.tail(b);
        return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
    });

    // The sorted tails folded into a trie: each shares with the one before it its common
    // beginning. ends[i]: the node where tail i ends.
    std::vector<Temp> temp{{0}};
    std::vector<uint32_t> ends(g.tails.size());
    std::vector<uint32_t> chain{0};  // chain[d]: the node of the last tail's first d labels
    std::span<const uint32_t> last;
    uint32_t max_depth = 0;
    for (size_t i = 0; i < g.tails.size(); ++i) {
        const auto labels = g.tail(g.tails[i]);
        size_t common = 0;
        while (common < labels.size() && common < last.size() && labels[common] == last[common]) ++common;
        chain.resize(common + 1);
        for (size_t d = common; d < labels.size(); ++d) {
            const auto id = static_cast<uint32_t>(temp.size());
            if (id >= kNoNode - 1) return internal_error("too many word nodes");
            temp.push_back({labels[d]});
            Temp& parent = temp[chain.back()];
            if (parent.first_child == UINT32_MAX) {
                parent.first_child = id;
            } else {
                temp[parent.last_child].next_sibling = id;
            }
            parent.last_child = id;
            chain.push_back(id);
        }
        ends[i] = chain.back();
        max_depth = std::max(max_depth, static_cast<uint32_t>(labels.size()));
        last = labels;
    }

    // Breadth-first numbers: the children of each node consecutive, after it.
    const size_t count = temp.size();
    std::vector<uint32_t> order{0};  // temporary ids in breadth-first order
    order.reserve(count);
    std::vector<uint32_t> number(count, 0);
    std::vector<WordNode> nodes(count + 1);
    for (size_t k = 0; k < order.size(); ++k) {
        const Temp& t = temp[order[k]];
        nodes[k].label = t.label;
        nodes[k].first_child = static_cast<uint32_t>(order.size());
        for (uint32_t c = t.first_child; c != UINT32_MAX; c = temp[c].next_sibling) {
            number[c] = static_cast<uint32_t>(order.size());
            order.push_back(c);
        }
    }

    // Each node's terms, largest own count first (then by node, so that equal builds
    // give equal files).
    struct Named {
        uint32_t word;
        uint32_t count;
        uint32_t term;
    };
    std::vector<Named> named(g.tails.size());
    for (size_t i = 0; i < g.tails.size(); ++i) {
        const uint32_t term = g.node[g.tails[i].term];
        named[i] = {number[ends[i]], index.own_count(store, term), term};
    }
    std::sort(named.begin(), named.end(), [](const Named& a, const Named& b) {
        if (a.word != b.word) return a.word < b.word;
        if (a.count != b.count) return a.count > b.count;
        return a.term < b.term;
    });
    std::vector<uint32_t> terms(named.size());
    size_t at = 0;
    for (size_t v = 0; v < count; ++v) {
        nodes[v].first_term = static_cast<uint32_t>(at);
        nodes[v].best = 0;
        while (at < named.size() && named[at].word == v) {
            nodes[v].best = std::max(nodes[v].best, named[at].count);
            terms[at] = named[at].term;
            ++at;
        }
    }
    nodes[count] = {static_cast<uint32_t>(count), static_cast<uint32_t>(terms.size()), max_depth, 0};
    for (size_t v = count; v-- > 0;) {
        for (uint32_t c = nodes[v].first_child; c < nodes[v + 1].first_child; ++c) {
            nodes[v].best = std::max(nodes[v].best, nodes[c].best);
        }
    }

    Words w;
    w.nodes_ = std::move(nodes);
    w.terms_ = std::move(terms);
    w.parents_ = std::move(parents);
    std::vector<uint32_t> kept(separators.begin(), separators.end());
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    kept.erase(std::remove_if(kept.begin(), kept.end(), [](uint32_t c) { return c == 0 || !utf8::is_scalar(c); }),
               kept.end());
    w.separators_ = std::move(kept);
    w.knows_separators_ = true;
    w.make_heights();
    return w;
}

Result<void> check_words(std::span<const WordNode> nodes, std::span<const uint32_t> terms,
                         std::span<const uint32_t> parents, const StoreArrays& store) {
    const size_t n = store.labels.size();
    if (parents.size() != n || n == 0 || parents[0] != 0) return internal_error("the parents are not one per node");
    for (size_t v = 1; v < n; ++v) {
        if (parents[v] >= v) return internal_error("a parent is not numbered before its child");
    }
    for (size_t v = 0; v < n && v < store.shifts.size(); ++v) {
        const uint64_t b = store.shifts[v];
        const uint64_t e = v + 1 < store.shifts.size() ? store.shifts[v + 1] : store.transitions.size();
        for (uint64_t pos = b; pos < e && pos < store.transitions.size(); ++pos) {
            const uint32_t c = store.transitions[pos];
            if (c < n && store.labels[c] != 0 && parents[c] != v) return internal_error("a parent is wrong");
        }
    }
    if (nodes.size() < 2) return internal_error("no closing node");
    const size_t count = nodes.size() - 1;
    if (nodes[count].first_child != count || nodes[count].first_term != terms.size() ||
        nodes[0].first_child < 1 || nodes[0].first_term != 0) {
        return internal_error("the ranges do not end where they should");
    }
    for (size_t v = 0; v < count; ++v) {
        const WordNode& w = nodes[v];
        const WordNode& next = nodes[v + 1];
        if (w.first_child <= v || next.first_child < w.first_child || next.first_child > count ||
            next.first_term < w.first_term || next.first_term > terms.size()) {
            return internal_error("the ranges of node " + std::to_string(v) + " are out of order");
        }
        if (v != 0 && !utf8::is_scalar(w.label)) return internal_error("a label is no character");
        for (uint32_t i = w.first_term; i < next.first_term; ++i) {
            if (terms[i] == 0 || terms[i] >= n || terms[i] >= store.has_payload.size() || !store.has_payload[terms[i]]) {
                return internal_error("a word names a node that is no term");
            }
        }
    }
    return {};
}

void term_text(const TrieStore& store, const Words& words, uint32_t node, std::string& out) {
    thread_local std::vector<uint32_t> labels;
    labels.clear();
    for (uint32_t v = node; v != 0; v = words.parent(v)) labels.push_back(store.child_labels[v]);
    out.clear();
    for (auto it = labels.rbegin(); it != labels.rend(); ++it) utf8::append(out, *it);
}

}  // namespace brindlex::lookup
