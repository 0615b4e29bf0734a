#include "core/check/check.hpp"

#include <algorithm>
#include <string>

namespace brindlex::check {

namespace {

std::string num(uint64_t v) { return std::to_string(v); }

// The parent of each child position, and which nodes have a child numbered no higher.
struct Family {
    std::vector<uint32_t> times;    // how many child lists name each node
    std::vector<uint8_t> backward;  // the node has a child numbered no higher than itself
};

}  // namespace

Report check_store(const TrieStore& s) {
    Report r;
    const size_t n = s.node_count();
    r.nodes = n;
    r.terms = static_cast<uint64_t>(std::count(s.has_payload.begin(), s.has_payload.end(), uint8_t{1}));
    r.videos = s.video_count();
    if (n == 0) {
        r.notes.push_back("the store has no nodes: every query answers nothing");
        return r;
    }
    bool uneven = false;
    auto length = [&](const char* name, size_t size) {
        if (size == n) return;
        uneven = true;
        r.damage.push_back(std::string(name) + " has " + num(size) + " entries for " + num(n) + " nodes");
    };
    length("node_shifts", s.node_shifts.size());
    length("payloads", s.payloads.size());
    length("has_payload", s.has_payload.size());
    const size_t unused = s.id_mode == IdMode::Uuid ? s.video_int_ids.size() : s.video_uuids.size();
    if (unused) {
        r.damage.push_back(num(unused) + " ids of the kind that id mode " +
                           (s.id_mode == IdMode::Uuid ? "uuid" : "int32") + " does not use");
    }
    if (uneven) return r;

    // The child lists: every entry a node, every non-empty list within the array.
    const auto& kids = s.child_transitions;
    for (size_t pos = 0; pos < kids.size(); ++pos) {
        if (kids[pos] >= n) {
            r.damage.push_back("child_transitions[" + num(pos) + "] is " + num(kids[pos]) + ", not a node");
            return r;
        }
    }
    Family f{std::vector<uint32_t>(n, 0), std::vector<uint8_t>(n, 0)};
    for (size_t v = 0; v < n; ++v) {
        const auto range = s.child_range(v);
        if (range.end > kids.size()) {
            r.damage.push_back("the children of node " + num(v) + " run past the end of child_transitions");
            return r;
        }
        for (uint64_t pos = range.begin; pos < range.end; ++pos) {
            const uint32_t c = kids[pos];
            if (f.times[c] < UINT32_MAX) ++f.times[c];
            if (c <= v) f.backward[v] = 1;
        }
    }
    const auto first_backward = std::find(f.backward.begin(), f.backward.end(), uint8_t{1});
    if (first_backward != f.backward.end()) {
        r.notes.push_back("node " + num(static_cast<size_t>(first_backward - f.backward.begin())) +
                          " has a child numbered no higher than itself: the counts there are not checked, "
                          "and a walk may come back to a node");
    }
    size_t unreached = 0;
    size_t first_unreached = 0;
    for (size_t c = 1; c < n; ++c) {
        if (f.times[c] == 0 && unreached++ == 0) first_unreached = c;
    }
    if (unreached) {
        r.notes.push_back(num(unreached) + " node" + (unreached == 1 ? "" : "s") +
                          " no child list names, never reached by a query (the first: node " +
                          num(first_unreached) + ")");
    }
    for (size_t c = 0; c < n; ++c) {
        if (f.times[c] > 1) {
            r.notes.push_back("node " + num(c) + " is reached " + num(f.times[c]) +
                              " times from the root: queries list it once a path");
            break;
        }
    }
    for (size_t c = 1; c < n; ++c) {
        if (s.child_labels[c] == 0) {
            r.notes.push_back("node " + num(c) + " has no label: queries never reach it or what lies below it");
            break;
        }
    }

    for (size_t v = 0; v < n; ++v) {
        if (!s.payloads.present(v)) {
            r.damage.push_back("node " + num(v) + " has no payload");
            return r;
        }
    }
    if (s.has_payload[0]) r.notes.push_back("the root has a payload of its own, which no query reports");

    // The video lists.
    bool listed_uneven = false;
    bool beyond = false;
    std::string unordered;  // reported after the counts
    for (size_t v = 0; v < n; ++v) {
        const PayloadView p = s.payloads.view(v);
        if (!listed_uneven && p.video_ids.size() != p.video_counts.size()) {
            listed_uneven = true;
            r.damage.push_back("the payload of node " + num(v) + " has " + num(p.video_ids.size()) + " videos but " +
                               num(p.video_counts.size()) + " counts");
        }
        if (!beyond && std::any_of(p.video_ids.begin(), p.video_ids.end(), [&](uint32_t id) { return id >= r.videos; })) {
            beyond = true;
            r.notes.push_back("the payload of node " + num(v) + " names a video beyond the " + num(r.videos) +
                              " ids, which queries skip");
        }
        const auto range = s.child_range(v);
        if (unordered.empty() && range.begin < range.end &&
            std::adjacent_find(p.video_counts.begin(), p.video_counts.end(), std::less<>()) != p.video_counts.end()) {
            unordered = "the videos of node " + num(v) + " are not in descending order of count";
        }
    }

    // Counts, where the aggregation had finished every child before its parent.
    bool smaller = false;
    bool unsummed = false;
    for (size_t v = 0; v < n && !(smaller && unsummed); ++v) {
        if (f.backward[v]) continue;
        const uint64_t count = s.payloads.count(v);
        uint64_t sum = 0;
        const auto range = s.child_range(v);
        for (uint64_t pos = range.begin; pos < range.end; ++pos) {
            const uint32_t c = kids[pos];
            const uint64_t child = s.payloads.count(c);
            sum += child;
            if (!smaller && child > count) {
                smaller = true;
                r.damage.push_back("node " + num(v) + " counts " + num(count) + ", less than its child " + num(c) +
                                   " (" + num(child) + ")");
            }
        }
        sum = std::min<uint64_t>(sum, UINT32_MAX);
        const bool prefix = !s.has_payload[v];
        if (!unsummed && (prefix ? count != sum : count < sum)) {
            unsummed = true;
            r.damage.push_back(prefix ? "node " + num(v) + " is a prefix node counting " + num(count) +
                                            ", not the sum of its children's counts (" + num(sum) + ")"
                                      : "node " + num(v) + " counts " + num(count) +
                                            ", less than the sum of its children's counts (" + num(sum) + ")");
        }
    }
    if (!unordered.empty()) r.damage.push_back(std::move(unordered));
    return r;
}

}  // namespace brindlex::check
