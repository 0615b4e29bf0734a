#include "core/store/store.hpp"

#include <algorithm>

namespace brindlex {

namespace {

void finish_facts(const TrieStore& s, DerivedFacts& facts, const std::vector<uint64_t>& height, bool sound);

// The usual layout numbers every child after its parent; then one backward pass gives
// every height, and no cycle is possible. Returns false when the layout is anything else
// (or a read would fail), leaving the search from the root to decide.
bool heights_backward(const TrieStore& s, std::vector<uint64_t>& height) {
    const size_t n = s.node_shifts.size();
    height.assign(n, 0);
    for (size_t v = n; v-- > 0;) {
        const auto r = s.child_range(v);
        if (r.end > s.child_transitions.size() && r.begin < r.end) return false;
        uint64_t h = 0;
        for (uint64_t pos = r.begin; pos < r.end; ++pos) {
            const size_t w = s.child_transitions[pos];
            if (w >= s.child_labels.size()) return false;
            const uint32_t label = s.child_labels[w];
            if (label == 0) continue;
            if (label > DerivedFacts::kLabelMask || w <= v || w >= n) return false;
            h = std::max(h, height[w] + 1);
        }
        height[v] = h;
    }
    return true;
}

// Walks the child lists from the root through labelled edges only, as the walks do, and
// fills the facts. Unreadable entries are not followed; they make the store unsound. A
// child list that leads back onto the current path is a cycle.
void derive_walk_facts(const TrieStore& s, DerivedFacts& facts) {
    const size_t n = s.node_shifts.size();
    std::vector<uint64_t> backward;
    if (heights_backward(s, backward)) {
        finish_facts(s, facts, backward, true);
        return;
    }
    enum : uint8_t { kNew = 0, kOpen = 1, kDone = 2 };
    std::vector<uint8_t> state(n, kNew);
    std::vector<uint64_t> height(n, 0);
    struct Frame {
        size_t node;
        uint64_t pos;
        uint64_t end;
    };
    std::vector<Frame> stack;
    bool sound = true;

    auto push = [&](size_t v) {
        state[v] = kOpen;
        const auto r = s.child_range(v);
        if (r.end > s.child_transitions.size()) sound = false;
        stack.push_back({v, r.begin, std::min<uint64_t>(r.end, s.child_transitions.size())});
    };
    push(0);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.pos < f.end) {
            const size_t w = s.child_transitions[f.pos++];
            if (w >= s.child_labels.size()) {
                sound = false;
                continue;
            }
            if (s.child_labels[w] == 0) continue;
            if (s.child_labels[w] > DerivedFacts::kLabelMask) sound = false;
            uint64_t h = 0;
            if (w < n) {
                if (state[w] == kOpen) {
                    facts.max_depth = DerivedFacts::kUnbounded;
                    facts.sound = false;
                    return;
                }
                if (state[w] == kNew) {
                    push(w);
                    continue;
                }
                h = height[w];
            } else {
                sound = false;
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
    finish_facts(s, facts, height, sound);
}

void finish_facts(const TrieStore& s, DerivedFacts& facts, const std::vector<uint64_t>& height, bool sound) {
    const size_t n = s.node_shifts.size();
    facts.max_depth = height[0];
    // The walk entries hold node numbers and labels in 32 and 21 bits.
    sound = sound && s.has_payload.size() >= n && n < (uint64_t{1} << 32);
    facts.sound = sound;
    if (!sound) return;
    facts.height.resize(n);
    for (size_t v = 0; v < n; ++v) {
        facts.height[v] = static_cast<uint8_t>(std::min<uint64_t>(height[v], DerivedFacts::kHeightUnknown));
    }
    // Breadth-first copy of the labelled child lists, made only for a tree: a node reached
    // a second time (a shared child, a list that returns to the root) would have to be
    // copied once per path, which can be exponential in the depth. Such a store keeps no
    // copy and is walked by the checked descent. In a tree every reachable position gets
    // one entry, so the entries never outnumber child_transitions.
    auto& entries = facts.entries;
    std::vector<uint8_t> reached(n, 0);
    reached[0] = 1;
    entries.reserve(s.child_transitions.size());
    auto append_children = [&](size_t v) {
        const auto r = s.child_range(v);
        for (uint64_t pos = r.begin; pos < r.end; ++pos) {
            const uint32_t w = s.child_transitions[pos];
            const uint32_t label = s.child_labels[w];
            if (label == 0) continue;
            if (reached[w]) return false;
            reached[w] = 1;
            entries.push_back({label | (s.has_payload[w] ? DerivedFacts::kPayloadBit : 0) |
                                   uint32_t{facts.height[w]} << DerivedFacts::kHeightShift,
                               0, 0, w});
        }
        return true;
    };
    auto give_up = [&] {
        facts.sound = false;
        facts.entries = {};
        facts.height = {};
    };
    facts.transitions_seen = s.child_transitions.size();
    if (!append_children(0)) return give_up();
    facts.root_count = static_cast<uint32_t>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t before = entries.size();
        // Entry numbers are 32-bit; n < 2^32 and one entry per node keep them in range.
        if (!append_children(entries[i].node)) return give_up();
        entries[i].first = static_cast<uint32_t>(before);
        entries[i].count = static_cast<uint32_t>(entries.size() - before);
    }
}

}  // namespace

void derive_facts(TrieStore& store) {
    store.facts = DerivedFacts{};
    if (!store.node_shifts.empty()) derive_walk_facts(store, store.facts);
}

}  // namespace brindlex
