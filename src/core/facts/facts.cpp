// Deriving the walk's facts: heights and max_depth, the tree decision, the breadth-first
// entries, the reversed-term index. Linear in the store's size: every node and child position is looked at a
// bounded number of times, and no node is copied twice.
#include "core/facts/facts.hpp"

#include "core/facts/reversed.hpp"
#include "core/memory/fresh_pages.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

namespace brindlex {

namespace facts {

namespace {

// The usual layout numbers every child after its parent; then one backward pass gives
// every height, and no cycle is possible. Returns false when the layout is anything else
// (or a read would fail), leaving the search from the root to decide.
bool heights_backward(const TrieStore& s, std::vector<uint64_t>& height) {
    const size_t n = s.node_shifts.size();
    height = fresh_vector<uint64_t>(n);
    for (size_t v = n; v-- > 0;) {
        const auto r = s.child_range(v);
        if (r.end > s.child_transitions.size() && r.begin < r.end) return false;
        uint64_t h = 0;
        for (uint64_t pos = r.begin; pos < r.end; ++pos) {
            const size_t w = s.child_transitions[pos];
            if (w >= s.child_labels.size()) return false;
            const uint32_t label = s.child_labels[w];
            if (label == 0) continue;
            if (label > Entry::kLabelMask || w <= v || w >= n) return false;
            h = std::max(h, height[w] + 1);
        }
        height[v] = h;
    }
    return true;
}

// Walks the child lists from the root through labelled edges only, as the walks do,
// filling `height`. Unreadable entries are not followed; they make the store unsound
// (`readable` false). Returns false when a child list leads back onto the current path,
// a cycle.
bool heights_from_root(const TrieStore& s, std::vector<uint64_t>& height, bool& readable) {
    const size_t n = s.node_shifts.size();
    enum : uint8_t { kNew = 0, kOpen = 1, kDone = 2 };
    std::vector<uint8_t> state(n, kNew);
    height.assign(n, 0);
    struct Frame {
        size_t node;
        uint64_t pos;
        uint64_t end;
    };
    std::vector<Frame> stack;
    readable = true;

    auto push = [&](size_t v) {
        state[v] = kOpen;
        const auto r = s.child_range(v);
        if (r.end > s.child_transitions.size()) readable = false;
        stack.push_back({v, r.begin, std::min<uint64_t>(r.end, s.child_transitions.size())});
    };
    push(0);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.pos < f.end) {
            const size_t w = s.child_transitions[f.pos++];
            if (w >= s.child_labels.size()) {
                readable = false;
                continue;
            }
            if (s.child_labels[w] == 0) continue;
            if (s.child_labels[w] > Entry::kLabelMask) readable = false;
            uint64_t h = 0;
            if (w < n) {
                if (state[w] == kOpen) return false;
                if (state[w] == kNew) {
                    push(w);
                    continue;
                }
                h = height[w];
            } else {
                readable = false;
            }
            height[f.node] = std::max(height[f.node], h + 1);
            continue;
        }
        const size_t done = f.node;
        stack.pop_back();
        state[done] = kDone;
        if (!stack.empty()) {
            const size_t parent = stack.back().node;
            height[parent] = std::max(height[parent], height[done] + 1);
        }
    }
    return true;
}

// Breadth-first copy of the labelled child lists of a readable store. Returns false, with
// the entries left incomplete, as soon as a node is reached a second time (a shared child,
// a list that returns to the root): the store is no tree. In a tree every reachable
// position gets one entry, so the entries never outnumber child_transitions, and entry
// numbers fit in 32 bits because nodes do.
bool copy_tree(const TrieStore& s, const std::vector<uint64_t>& height, Facts& facts) {
    std::vector<Entry> entries;
    std::vector<uint8_t> reached(s.node_shifts.size(), 0);
    reached[0] = 1;
    reserve_fresh(entries, s.child_transitions.size() + 1);
    auto append_children = [&](size_t v) {
        const auto r = s.child_range(v);
        for (uint64_t pos = r.begin; pos < r.end; ++pos) {
            const uint32_t w = s.child_transitions[pos];
            const uint32_t label = s.child_labels[w];
            if (label == 0) continue;
            if (reached[w]) return false;
            reached[w] = 1;
            const auto h = static_cast<uint32_t>(std::min<uint64_t>(height[w], kHeightUnknown));
            entries.push_back({label | (s.has_payload[w] ? Entry::kPayloadBit : 0) | h << Entry::kHeightShift, 0, w});
        }
        return true;
    };
    auto rises = [&](size_t begin, size_t end) {
        for (size_t i = begin + 1; i < end; ++i) {
            if (entries[i - 1].label() >= entries[i].label()) return false;
        }
        return true;
    };
    if (!append_children(0)) return false;
    facts.root_count = static_cast<uint32_t>(entries.size());
    bool rising = rises(0, entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t before = entries.size();
        if (!append_children(entries[i].node)) return false;
        entries[i].first = static_cast<uint32_t>(before);
        rising = rising && rises(before, entries.size());
    }
    entries.push_back({0, static_cast<uint32_t>(entries.size()), 0});  // the closing entry
    facts.entries = std::move(entries);
    facts.rising = rising;
    return true;
}

// Every fact at once for a store numbered in depth-first pre-order with every node's
// children in list order, the index builder's numbering, which is checked on the way:
// node v's parent is then the nearest open node on the path to v, and the next child its
// list names must be v. Every node is reached, and no list names a node twice. Nodes of
// one level then come in breadth-first order, so breadth-first order is the nodes sorted
// by level, ties by number, and two passes in number order make the entries without
// reading any node's fields out of order:
//   1. the path from the root kept on a stack: each node's level, its children, and the
//      heights, each final when its node leaves the path;
//   2. each node's entry written into its level's run, each run filled front to back.
// Returns false, having set nothing, for any other store (the breadth-first copy then
// decides).
bool derive_preorder(const TrieStore& s, Facts& facts) {
    const size_t n = s.node_shifts.size();
    const uint64_t positions = s.child_transitions.size();
    if (s.has_payload.size() < n || s.child_labels.size() < n || n >= UINT32_MAX || positions != n - 1) return false;
    const uint32_t* const shifts = s.node_shifts.data();
    const uint32_t* const transitions = s.child_transitions.data();
    const uint32_t* const labels = s.child_labels.data();
    // Every node but the root is some list's child, so all must carry a label the
    // entries can hold.
    uint32_t unfit = 0;
    for (size_t v = 1; v < n; ++v) unfit |= static_cast<uint32_t>(labels[v] - 1 >= Entry::kLabelMask);
    if (unfit != 0) return false;
    std::vector<uint32_t> depth_of = fresh_vector<uint32_t>(n);
    std::vector<uint8_t> height_of = fresh_vector<uint8_t>(n);
    uint32_t* const depth = depth_of.data();
    uint8_t* const height = height_of.data();
    struct Open {
        uint32_t node;
        uint32_t next;  // the position of the next child its list names
        uint32_t end;
    };
    std::vector<Open> path;
    std::vector<uint64_t> level_size{1};
    bool rising = true;
    auto range_of = [&](size_t v) {
        const uint32_t begin = shifts[v];
        const uint32_t end = v + 1 < n ? shifts[v + 1] : static_cast<uint32_t>(positions);
        return Open{static_cast<uint32_t>(v), begin, std::max(begin, end)};
    };
    // Closes the node on top of the path: its height is final and raises its parent's.
    auto close = [&] {
        const uint32_t done = path.back().node;
        path.pop_back();
        if (!path.empty()) {
            uint8_t& above = height[path.back().node];
            const auto raised = static_cast<uint8_t>(std::min<uint32_t>(height[done] + 1u, kHeightUnknown));
            above = std::max(above, raised);
        }
    };
    path.push_back(range_of(0));
    if (path.back().end > positions) return false;
    for (size_t v = 1; v < n; ++v) {
        while (!path.empty() && path.back().next == path.back().end) close();
        if (path.empty() || transitions[path.back().next] != v) return false;
        Open& parent = path.back();
        // Labels of one list rise when each child's label is above the one before it.
        if (parent.next != shifts[parent.node]) rising = rising && labels[transitions[parent.next - 1]] < labels[v];
        ++parent.next;
        const auto d = static_cast<uint32_t>(path.size());
        depth[v] = d;
        if (d == level_size.size()) level_size.push_back(0);
        ++level_size[d];
        path.push_back(range_of(v));
        if (path.back().end > positions) return false;
    }
    // Lists that overlap share a position, which only one of them had consumed: the node
    // it names is the other's child too.
    while (!path.empty()) {
        if (path.back().next != path.back().end) return false;
        close();
    }
    // Level d's run starts at start[d]; the root (level 0) has no entry.
    const size_t levels = level_size.size();
    std::vector<uint64_t> start(levels + 1, 0);
    for (size_t d = 1; d < levels; ++d) start[d + 1] = start[d] + level_size[d];
    const uint64_t total = start[levels];
    std::vector<Entry> entries = fresh_vector<Entry>(total + 1);
    // filled[d]: entries of level d written; listed[d]: the children of those nodes (a
    // node's run of children starts where its level's earlier runs end).
    std::vector<uint64_t> filled(levels, 0), listed(levels, 0);
    for (size_t v = 0; v < n; ++v) {
        const uint32_t d = depth[v];
        const auto first = static_cast<uint32_t>(start[d + 1] + listed[d]);
        const Open r = range_of(v);
        listed[d] += r.end - r.next;
        if (v == 0) continue;
        entries[start[d] + filled[d]++] = {labels[v] | (s.has_payload[v] ? Entry::kPayloadBit : 0) |
                                               uint32_t{height[v]} << Entry::kHeightShift,
                                           first, static_cast<uint32_t>(v)};
    }
    entries[total] = {0, static_cast<uint32_t>(total), 0};  // the closing entry
    facts.max_depth = levels - 1;
    facts.root_count = static_cast<uint32_t>(levels > 1 ? level_size[1] : 0);
    facts.entries = std::move(entries);
    facts.rising = rising;
    facts.tree = true;
    return true;
}

void derive(const TrieStore& s, Facts& facts) {
    const size_t n = s.node_shifts.size();
    if (n == 0) {
        facts.max_depth = 0;
        return;
    }
    if (derive_preorder(s, facts)) return;
    std::vector<uint64_t> height;
    bool readable = true;
    if (!heights_backward(s, height) && !heights_from_root(s, height, readable)) return;  // a cycle
    facts.max_depth = height[0];
    // Entries hold node numbers in 32 bits and read has_payload for every reachable node.
    if (!readable || s.has_payload.size() < n || n >= (uint64_t{1} << 32)) return;
    if (copy_tree(s, height, facts)) {
        facts.tree = true;
    } else {
        facts.entries = {};
        facts.root_count = 0;
        facts.rising = false;
    }
}

}  // namespace

const Facts& facts_of(const TrieStore& store) {
    static const Facts kUnknown;
    const auto* facts = static_cast<const Facts*>(store.derived().get());
    return facts ? *facts : kUnknown;
}

const Reversed& reversed_of(const TrieStore& store) {
    const Facts& facts = facts_of(store);
    if (!facts.tree) {
        static const Reversed kNone;
        return kNone;
    }
    // Nothing leaves the lambda: a failure to allocate leaves the index unusable, the
    // queries take the one-way walk with the same answers, and no exception ever passes
    // through call_once.
    std::call_once(facts.reversed_once, [&]() noexcept {
        try {
            Reversed made;
            std::vector<Entry> entries;
            made.usable = build_reversed(store, entries, made.root_count);
            made.entries = std::move(entries);
            if (made.usable) facts.reversed = std::move(made);
        } catch (const std::bad_alloc&) {
            facts.reversed = Reversed{};
        }
    });
    return facts.reversed;
}

size_t memory_bytes(const TrieStore& store) {
    const Facts& f = facts_of(store);
    return store.memory_bytes() + (f.entries.capacity() + f.reversed.entries.size()) * sizeof(Entry) +
           f.exact.slots.size() * sizeof(ExactSlot) + f.exact.texts.size();
}

size_t borrowed_bytes(const TrieStore& store) {
    const Facts& f = facts_of(store);
    return store.borrowed_bytes() + f.entries.borrowed_bytes() + f.reversed.entries.borrowed_bytes() +
           f.exact.slots.borrowed_bytes() + f.exact.texts.borrowed_bytes();
}

}  // namespace facts

void finish_store(TrieStore& store) {
    auto facts = std::make_shared<facts::Facts>();
    facts::derive(store, *facts);
    store.set_derived(std::move(facts));
}

void finish_store(TrieStore& store, facts::Reversed&& reversed) {
    auto facts = std::make_shared<facts::Facts>();
    facts::derive(store, *facts);
    // reversed_of keeps only a usable index: an unusable one is taken as none.
    if (facts->tree) facts->set_reversed(reversed.usable ? std::move(reversed) : facts::Reversed{});
    store.set_derived(std::move(facts));
}

void adopt_facts(TrieStore& store, std::shared_ptr<const facts::Facts> facts) { store.set_derived(std::move(facts)); }

}  // namespace brindlex
