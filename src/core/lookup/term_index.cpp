#include "core/lookup/term_index.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>

#include "core/facts/facts.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::lookup {

namespace {

std::string node_text(uint64_t v) { return "node " + std::to_string(v); }

// Aggregation finishes nodes from the highest number down: a parent adds the totals of
// children numbered above it but the input counts of those numbered below. Subtracting
// the children's totals then misses what lies below such a child, so the own counts of
// parents with a child numbered below them are derived here, in rising node order (a
// lower child's own count is known before its parent's), and kept as fixes. The fixes
// given (counts a saturated total hides) win. Costs nothing when no such child exists.
std::vector<CountFix> with_backward_fixes(const TrieStore& store, std::vector<CountFix> given) {
    const size_t n = store.node_count();
    const auto& kids = store.child_transitions;
    auto each_child = [&](size_t v, auto visit) {
        const auto range = store.child_range(v);
        for (uint64_t pos = range.begin; pos < range.end && pos < kids.size(); ++pos) {
            const uint32_t c = kids[pos];
            if (c < n && c != v) visit(c);
        }
    };
    bool any = false;
    for (size_t v = 0; v < n && !any; ++v) each_child(v, [&](uint32_t c) { any = any || c < v; });
    if (!any) return given;

    std::vector<uint32_t> own(n, 0);
    std::vector<CountFix> derived;
    size_t g = 0;
    for (size_t v = 0; v < n; ++v) {
        while (g < given.size() && given[g].node < v) ++g;
        uint64_t below = 0;
        bool backward = false;
        each_child(v, [&](uint32_t c) {
            backward = backward || c < v;
            below += c < v ? own[c] : store.payloads.count(c);
        });
        const uint64_t total = store.payloads.count(v);
        own[v] = total > below ? static_cast<uint32_t>(total - below) : 0;
        if (g < given.size() && given[g].node == v) {
            own[v] = given[g].count;
        } else if (backward) {
            derived.push_back({static_cast<uint32_t>(v), own[v]});
        }
    }
    if (derived.empty()) return given;
    std::vector<CountFix> merged;
    merged.reserve(given.size() + derived.size());
    std::merge(given.begin(), given.end(), derived.begin(), derived.end(), std::back_inserter(merged),
               [](const CountFix& a, const CountFix& b) { return a.node < b.node; });
    return merged;
}

}  // namespace

Result<TermIndex> TermIndex::make(const TrieStore& store, std::vector<CountFix> fixes) {
    const size_t n = store.node_count();
    if (n == 0) return internal_error("the trie has no root node");
    if (n >= kNoNode) return internal_error("the trie has more nodes than node numbers");
    if (store.node_shifts.size() != n || store.has_payload.size() != n || store.payloads.size() != n) {
        return internal_error("the trie's per-node arrays differ in length");
    }
    for (size_t i = 0; i < fixes.size(); ++i) {
        if (fixes[i].node >= n || (i > 0 && fixes[i].node <= fixes[i - 1].node)) {
            return internal_error("count fixes out of order or beyond the last node");
        }
    }

    TermIndex index;
    index.fixes_ = with_backward_fixes(store, std::move(fixes));
    std::vector<uint32_t> best_of(n, 0);

    // Pre-order from the root over labelled edges, each node at most once; reversed, it
    // finishes every child before its parent.
    std::vector<uint8_t> reached(n, 0);
    std::vector<uint32_t> order;
    std::vector<uint32_t> stack{0};
    std::vector<uint32_t> labels;
    reached[0] = 1;
    while (!stack.empty()) {
        const uint32_t v = stack.back();
        stack.pop_back();
        order.push_back(v);
        const auto range = store.child_range(v);
        if (range.end > store.child_transitions.size()) {
            return internal_error("the children of " + node_text(v) + " run past the child list");
        }
        labels.clear();
        for (uint64_t pos = range.begin; pos < range.end; ++pos) {
            const uint32_t c = store.child_transitions[pos];
            if (c >= n) return internal_error("a child of " + node_text(v) + " is not a node");
            if (store.child_labels[c] == 0) continue;
            if (reached[c]) return internal_error(node_text(c) + " is reached twice: the trie is not a tree");
            reached[c] = 1;
            stack.push_back(c);
            labels.push_back(store.child_labels[c]);
        }
        // Laid out by the package, every list is in label order; others are checked whole.
        const auto out_of_order = [](uint32_t a, uint32_t b) { return a >= b; };
        if (std::adjacent_find(labels.begin(), labels.end(), out_of_order) != labels.end()) {
            std::sort(labels.begin(), labels.end());
            if (std::adjacent_find(labels.begin(), labels.end()) != labels.end()) index.distinct_labels_ = false;
        }
    }

    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const uint32_t v = *it;
        uint32_t best = 0;
        if (v != 0 && store.has_payload[v]) {
            best = index.own_count(store, v);
            ++index.terms_;
        }
        const auto range = store.child_range(v);
        for (uint64_t pos = range.begin; pos < range.end; ++pos) {
            const uint32_t c = store.child_transitions[pos];
            if (store.child_labels[c] != 0) best = std::max(best, best_of[c]);
        }
        best_of[v] = best;
        if (store.payloads.count(v) == UINT32_MAX) index.saturated_ = true;
    }
    index.best_ = std::move(best_of);
    return index;
}

TermIndexParts TermIndexParts::of(const TermIndex& index) {
    return {index.best_, index.fixes_, index.terms_, index.saturated_, index.distinct_labels_};
}

TermIndex TermIndexParts::make() && {
    TermIndex index;
    index.best_ = std::move(best);
    index.fixes_ = std::move(fixes);
    index.terms_ = terms;
    index.saturated_ = saturated;
    index.distinct_labels_ = distinct_labels;
    return index;
}

uint32_t TermIndex::subtracted_count(const TrieStore& store, uint32_t node) const {
    const size_t n = store.node_count();
    if (node >= n || node >= store.payloads.size()) return 0;
    uint64_t below = 0;
    const auto range = store.child_range(node);
    for (uint64_t pos = range.begin; pos < range.end && pos < store.child_transitions.size(); ++pos) {
        const uint32_t c = store.child_transitions[pos];
        if (c != node && c < store.payloads.size()) below += store.payloads.count(c);
    }
    const uint64_t total = store.payloads.count(node);
    return total > below ? static_cast<uint32_t>(total - below) : 0;
}

uint32_t TermIndex::own_count(const TrieStore& store, uint32_t node) const {
    if (node >= store.has_payload.size() || !store.has_payload[node]) return 0;
    if (!fixes_.empty()) {
        const auto it = std::lower_bound(fixes_.begin(), fixes_.end(), node,
                                         [](const CountFix& f, uint32_t v) { return f.node < v; });
        if (it != fixes_.end() && it->node == node) return it->count;
    }
    return subtracted_count(store, node);
}

namespace {

// Longer terms are looked up by walking (a rare case, kept off the stack).
constexpr size_t kExactTermMax = 64;

// Calls visit(node) for each node whose term is `term`, in walk order, until it returns
// true. Depth-first over every child whose label matches, so that a trie with two equal
// labels under one parent is still searched whole.
template <class Visit>
void each_spelling(const TrieStore& store, size_t nodes, std::span<const uint32_t> term, Visit visit) {
    if (term.empty()) {
        visit(uint32_t{0});
        return;
    }
    struct Step {
        uint64_t pos, end;
    };
    std::vector<Step> steps;
    steps.reserve(std::min<size_t>(term.size(), 64));
    auto open = [&](uint32_t v) {
        const auto r = store.child_range(v);
        steps.push_back({r.begin, std::min<uint64_t>(r.end, store.child_transitions.size())});
    };
    open(0);
    while (!steps.empty()) {
        Step& s = steps.back();
        const size_t depth = steps.size() - 1;
        bool descended = false;
        while (s.pos < s.end) {
            const uint32_t c = store.child_transitions[s.pos++];
            if (c >= nodes || store.child_labels[c] == 0 || store.child_labels[c] != term[depth]) continue;
            if (depth + 1 == term.size()) {
                if (visit(c)) return;
                continue;
            }
            open(c);  // `s` is not used again before the next round
            descended = true;
            break;
        }
        if (!descended) steps.pop_back();
    }
}

}  // namespace

uint32_t TermIndex::find(const TrieStore& store, std::span<const uint32_t> term) const {
    uint32_t found = kNoNode;
    if (term.empty()) return found;  // the root is never a term
    const facts::Facts& facts = facts::facts_of(store);
    if (const facts::Exact& exact = facts::exact_of(store); exact.usable && term.size() <= kExactTermMax &&
                                                              std::ranges::all_of(term, utf8::is_scalar)) {
        // The table holds the terms spelt in scalar values; a term with another value
        // (only a hand-made store has such labels) is looked up by walking.
        std::array<uint8_t, kExactTermMax * utf8::kMaxBytes> bytes;
        uint8_t* end = bytes.data();
        for (const uint32_t cp : term) end = utf8::write(end, cp);
        const uint32_t node = exact.find(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                                          static_cast<size_t>(end - bytes.data())));
        return node < best_.size() ? node : kNoNode;
    }
    if (distinct_labels_ && facts.tree) {
        // The walk's breadth-first copy holds each child list in one run, labels inline:
        // a step reads one run instead of a label scattered per child.
        const std::span<const facts::Entry> entries = facts.entries;
        uint64_t first = 0;
        uint64_t count = facts.root_count;
        const facts::Entry* at = nullptr;
        for (const uint32_t cp : term) {
            at = nullptr;
            const uint64_t end = std::min<uint64_t>(first + count, facts::entry_count(entries));
            for (uint64_t i = first; i < end; ++i) {
                if (entries[i].label() == cp) {
                    at = &entries[i];
                    break;
                }
            }
            if (!at) return kNoNode;
            first = at->first;
            count = facts::child_count(*at);
        }
        return at->has_payload() && at->node < best_.size() ? at->node : kNoNode;
    }
    each_spelling(store, best_.size(), term, [&](uint32_t v) {
        if (!store.has_payload[v]) return false;
        found = v;
        return true;
    });
    return found;
}

void TermIndex::spelling(const TrieStore& store, std::span<const uint32_t> prefix, std::vector<uint32_t>& out) const {
    each_spelling(store, best_.size(), prefix, [&](uint32_t v) {
        out.push_back(v);
        return false;
    });
}

}  // namespace brindlex::lookup
