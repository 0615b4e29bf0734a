// Building the reversed-term index (facts/reversed.hpp).
#include "core/facts/reversed.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace brindlex::facts {

namespace {

// Runs of at most this many terms are sorted by insertion.
constexpr uint32_t kShortRun = 24;

// One term with a payload, read backwards by climbing the forward trie: at depth d of
// the reversed trie its label is that of `at`, the node d levels above `node`.
struct Term {
    uint32_t node;  // the forward node
    uint32_t length;
    uint32_t at;
};

// A reached node's parent and label side by side: climbing reads one place, not two.
struct Up {
    uint32_t parent;
    uint32_t label;
};

// One pass over the nodes in number order: checks that this is the walk's order (a
// depth-first pre-order of the nodes a walk reaches, children in stored order), collects
// every term with a payload and each reached node's parent, and sums the terms' lengths.
// Returns false when the order is another or the terms would be too long in all.
// Requires a tree store (every read a walk makes in range, every node reached once).
bool collect_terms(const TrieStore& s, std::vector<Term>& terms, std::vector<Up>& up, uint64_t& total) {
    const size_t n = s.node_count();
    constexpr uint32_t kUnreached = UINT32_MAX;
    up.assign(n, {kUnreached, 0});
    struct Open {
        uint32_t node;
        uint64_t pos;  // next child position expected to be visited
        uint64_t end;
    };
    std::vector<Open> path;  // from the root to the node visited last
    // Marks v's labelled children, which must come after it; returns false otherwise.
    auto open = [&](uint32_t v) {
        const auto r = s.child_range(v);
        for (uint64_t pos = r.begin; pos < r.end; ++pos) {
            const uint32_t c = s.child_transitions[pos];
            if (s.child_labels[c] == 0) continue;
            if (c <= v) return false;
            up[c] = {v, s.child_labels[c]};
        }
        path.push_back({v, r.begin, r.end});
        return true;
    };
    total = 0;
    // Entry numbers are 32-bit, and there is at most one entry per label.
    const uint64_t budget = std::min<uint64_t>(kMaxLabelsPerNode * std::max<uint64_t>(n, 1), UINT32_MAX);
    if (!open(0)) return false;
    for (uint32_t v = 1; v < n; ++v) {
        if (up[v].parent == kUnreached) continue;
        while (path.back().node != up[v].parent) {
            path.pop_back();
            if (path.empty()) return false;  // v comes after a node that is not its ancestor's subtree
        }
        Open& up = path.back();
        while (up.pos < up.end && s.child_labels[s.child_transitions[up.pos]] == 0) ++up.pos;
        if (up.pos >= up.end || s.child_transitions[up.pos] != v) return false;  // a sibling out of order
        ++up.pos;
        if (!open(v)) return false;
        if (s.has_payload[v]) {
            total += path.size() - 1;
            if (total > budget) return false;
            terms.push_back({v, static_cast<uint32_t>(path.size() - 1), v});
        }
    }
    return true;
}

}  // namespace

bool build_reversed(const TrieStore& store, std::vector<Entry>& entries, uint32_t& root_count) {
    std::vector<Term> level;  // the terms of one depth, grouped by parent entry
    std::vector<Up> up;
    uint64_t labels = 0;  // the terms' total length
    if (!collect_terms(store, level, up, labels)) return false;

    // Breadth-first, one depth at a time. At depth d every term of `level` belongs to a
    // parent entry (group g, in entry order; the root at depth 0) and is longer than d.
    // The terms are sorted by (group, label d) with two stable counting passes, then each
    // run of equal (group, label) becomes one child entry. A term that ends at its new
    // entry makes it terminal; the others go on to the next depth, in the same order, so
    // that every entry's children are one run of entries.
    // At most one entry a label: reserved once, never moved. The pages beyond the last
    // entry are never touched, so they take no memory; copying to a tight array would
    // cost a second fresh array, and fresh pages are most of what building costs.
    entries.reserve(labels + 1);
    std::vector<uint32_t> group(level.size(), 0);
    std::vector<uint32_t> group_entry{0};  // per group: its entry (unused for the root)
    std::vector<uint32_t> group_size{static_cast<uint32_t>(level.size())};
    std::vector<uint32_t> key, order, by_label;  // per term of the depth
    // The next depth's terms and groups, made beside this depth's (read through `order`).
    std::vector<Term> next_level;
    std::vector<uint32_t> next_group;
    std::array<uint32_t, 256> tally{};

    for (uint64_t depth = 0; !level.empty(); ++depth) {
        const size_t n = level.size();
        key.resize(n);
        bool narrow = true;
        // Each term's label at this depth, and its climb to the next: scattered reads,
        // all independent.
        for (size_t i = 0; i < n; ++i) {
            const Up u = up[level[i].at];
            key[i] = u.label;
            level[i].at = u.parent;
            narrow = narrow && key[i] < tally.size();
        }
        // The order of (group, label). The terms of a group are one run of `level`, and
        // the runs come in group order, so each run is sorted by label on its own and
        // stably: short runs (most, below the first depths) by insertion, long ones by
        // counting, or by comparison when a label is too large to count.
        order.resize(n);
        for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
        size_t begin = 0;
        for (const uint32_t size : group_size) {
            const size_t end = begin + size;
            if (end > n) return false;
            uint32_t* run = order.data() + begin;
            if (size <= kShortRun) {
                for (uint32_t a = 1; a < size; ++a) {
                    const uint32_t item = run[a];
                    uint32_t b = a;
                    for (; b > 0 && key[run[b - 1]] > key[item]; --b) run[b] = run[b - 1];
                    run[b] = item;
                }
            } else if (narrow) {
                tally.fill(0);
                for (size_t i = begin; i < end; ++i) ++tally[key[i]];
                uint32_t at = 0;
                for (uint32_t& t : tally) at += std::exchange(t, at);
                by_label.resize(size);
                for (size_t i = begin; i < end; ++i) by_label[tally[key[i]]++] = static_cast<uint32_t>(i);
                std::copy(by_label.begin(), by_label.end(), run);
            } else {
                std::stable_sort(run, run + size, [&](uint32_t a, uint32_t b) { return key[a] < key[b]; });
            }
            begin = end;
        }
        if (begin != n) return false;
        // Runs of equal (group, label) become entries; the next depth's groups are the
        // new entries that keep terms going.
        // At most every term goes on: the arrays are sized once a depth and cut after.
        next_level.resize(n);
        next_group.resize(n);
        size_t going = 0;
        std::vector<uint32_t> next_entry;
        std::vector<uint32_t> next_size;
        size_t i = 0;
        while (i < n) {
            const uint32_t g = group[order[i]];
            const uint32_t label = key[order[i]];
            const uint32_t id = static_cast<uint32_t>(entries.size());
            if (depth == 0) {
                ++root_count;
            } else {
                // Every child lies past the root's run, so a first of 0 means none yet.
                Entry& parent = entries[group_entry[g]];
                if (parent.first == 0) parent.first = id;
            }
            uint64_t longest = 0;
            uint32_t ending = 0;
            uint32_t node = 0;
            const size_t continuing = going;
            size_t j = i;
            for (; j < n && group[order[j]] == g && key[order[j]] == label; ++j) {
                const Term& t = level[order[j]];
                longest = std::max<uint64_t>(longest, t.length);
                if (t.length == depth + 1) {
                    ++ending;
                    node = t.node;
                } else {
                    next_level[going] = t;
                    next_group[going++] = static_cast<uint32_t>(next_entry.size());
                }
            }
            if (ending > 1) return false;  // two nodes spell the same term
            const uint64_t height = std::min(longest - (depth + 1), uint64_t{kHeightUnknown});
            entries.push_back({label | (ending ? Entry::kPayloadBit : 0) | static_cast<uint32_t>(height) << Entry::kHeightShift, 0, node});
            if (going > continuing) {
                next_entry.push_back(id);
                next_size.push_back(static_cast<uint32_t>(going - continuing));
            }
            i = j;
        }
        next_level.resize(going);
        next_group.resize(going);
        level.swap(next_level);
        group.swap(next_group);
        group_entry = std::move(next_entry);
        group_size = std::move(next_size);
    }
    // The runs were made in the order of their parents, so a leaf's (empty) run starts
    // where the next run with children does, and the closing entry ends the last.
    const auto closing = static_cast<uint32_t>(entries.size());
    uint32_t next_first = closing;
    for (size_t i = entries.size(); i-- > 0;) {
        if (entries[i].first == 0) {
            entries[i].first = next_first;
        } else {
            next_first = entries[i].first;
        }
    }
    entries.push_back({0, closing, 0});
    return true;
}

}  // namespace brindlex::facts
