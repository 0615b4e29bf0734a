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

// Every fact at once, for the usual numbering: the index builder's depth-first pre-order,
// or any numbering in which the nodes of one level, taken in number order, are that level
// in breadth-first order. Breadth-first order is then the nodes sorted by level, ties by
// number, so every read is a sequential one where the breadth-first copy reads each
// node's fields wherever its parent's list points:
//   1. in number order, each reached node gives its labelled children the next level,
//      checking every read the walks will make, and counts its children;
//   2. in number order, each reached node writes its entry into its level's run, each
//      run filled front to back;
//   3. backwards over the entries, whose children always follow them, the heights.
// Only nodes reached from the root are looked at, as the walks look at them; the facts
// of the other stores, which this returns false for having set nothing, are the same
// whichever way they are made.
bool derive_forward(const TrieStore& s, Facts& facts) {
    const size_t n = s.node_shifts.size();
    if (s.has_payload.size() < n || s.child_labels.size() < n || n >= UINT32_MAX) return false;
    constexpr uint32_t kUnreached = UINT32_MAX;
    std::vector<uint32_t> depth_of = fresh_vector<uint32_t>(n, kUnreached);
    std::vector<uint32_t> children_of = fresh_vector<uint32_t>(n);
    // last[d]: the latest node given level d (0 for none, as no child is the root), so
    // that each level's numbers rise in the order its parents list them, which makes
    // number order the breadth-first order.
    std::vector<uint32_t> last{0};
    std::vector<uint64_t> level_size{1};
    bool rising = true;
    // Raw pointers: the stores into the depths would otherwise make every array be
    // read again through its vector after each one.
    uint32_t* const depth = depth_of.data();
    uint32_t* const children = children_of.data();
    const uint32_t* const shifts = s.node_shifts.data();
    const uint32_t* const transitions = s.child_transitions.data();
    const uint32_t* const labels = s.child_labels.data();
    const uint64_t positions = s.child_transitions.size();
    depth[0] = 0;
    for (size_t v = 0; v < n; ++v) {
        const uint32_t d = depth[v];
        if (d == kUnreached) continue;
        if (d + 1 == last.size()) {
            last.push_back(0);
            level_size.push_back(0);
        }
        const uint64_t begin = shifts[v];
        const uint64_t end = v + 1 < n ? shifts[v + 1] : positions;
        if (begin >= end) continue;
        if (end > positions) return false;
        uint32_t labelled = 0, previous = 0;
        uint32_t latest = last[d + 1];
        for (uint64_t pos = begin; pos < end; ++pos) {
            const uint32_t w = transitions[pos];
            if (w >= n) return false;
            const uint32_t label = labels[w];
            if (label == 0) continue;
            // Out of range, numbered before its parent, reached twice, or out of
            // breadth-first order: the general route decides.
            if (label > Entry::kLabelMask || w <= v || w <= latest || depth[w] != kUnreached) return false;
            rising = rising && (labelled == 0 || previous < label);
            previous = label;
            depth[w] = d + 1;
            latest = w;
            ++labelled;
        }
        last[d + 1] = latest;
        level_size[d + 1] += labelled;
        children[v] = labelled;
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
        if (d == kUnreached) continue;
        const auto first = static_cast<uint32_t>(start[d + 1] + listed[d]);
        listed[d] += children[v];
        if (v == 0) continue;
        entries[start[d] + filled[d]++] = {labels[v] | (s.has_payload[v] ? Entry::kPayloadBit : 0), first,
                                           static_cast<uint32_t>(v)};
    }
    entries[total] = {0, static_cast<uint32_t>(total), 0};  // the closing entry
    for (size_t i = total; i-- > 0;) {
        uint32_t h = 0;
        for (uint32_t c = entries[i].first; c < entries[i + 1].first; ++c) h = std::max(h, entries[c].height() + 1);
        entries[i].info |= std::min(h, kHeightUnknown) << Entry::kHeightShift;
    }
    // The nodes of the deepest level opened one more, which stayed empty.
    facts.max_depth = levels - 2;
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
    if (derive_forward(s, facts)) return;
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
