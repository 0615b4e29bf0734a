#include "prefix/trie/store.hpp"

#include <algorithm>

namespace brindlex {

namespace {

// Height of the subtree a walk can enter below `root`: children are followed through
// labelled edges only, and unreadable entries are not followed (a walk that meets them
// fails there). A child list that leads back onto the current path means a cycle.
uint64_t walkable_height(const TrieStore& s, size_t root) {
    const size_t n = s.node_shifts.size();
    enum : uint8_t { kNew = 0, kOpen = 1, kDone = 2 };
    std::vector<uint8_t> state(n, kNew);
    std::vector<uint64_t> height(n, 0);
    struct Frame {
        size_t node;
        uint64_t pos;
        uint64_t end;
    };
    std::vector<Frame> stack;

    auto push = [&](size_t v) {
        state[v] = kOpen;
        const auto r = s.child_range(v);
        stack.push_back({v, r.begin, std::min<uint64_t>(r.end, s.child_transitions.size())});
    };
    push(root);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.pos < f.end) {
            const size_t w = s.child_transitions[f.pos++];
            if (w >= s.child_labels.size() || s.child_labels[w] == 0) continue;
            uint64_t h = 0;
            if (w < n) {
                if (state[w] == kOpen) return DerivedFacts::kUnbounded;
                if (state[w] == kNew) {
                    push(w);
                    continue;
                }
                h = height[w];
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
    return height[root];
}

}  // namespace

void derive_facts(TrieStore& store) {
    store.facts = DerivedFacts{};
    if (!store.node_shifts.empty()) store.facts.max_depth = walkable_height(store, 0);
}

}  // namespace brindlex
