// The trie store: the whole state of one index, as flat arrays indexed by node number.
//
// Node 0 is the root. The children of node v are child_transitions[node_shifts[v] ..
// end(v)), where end(v) is node_shifts[v + 1], or child_transitions.size() for the last
// node; a start at or past the end means no children. child_labels[v] is the character on
// the edge into v (0: no label, the walks never visit such a child).
//
// Stores built from flat arrays satisfy the invariants checked at construction; stores
// restored from a snapshot are taken as they are, so every reader checks its indexes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/store/payload_table.hpp"

namespace brindlex {

enum class IdMode : uint8_t { Uuid = 0, Int32 = 1 };

using VideoUuid = std::array<uint8_t, 16>;

// Facts derived from the eight fields once, when a store is made; never stored in a
// snapshot.
struct DerivedFacts {
    // Depth of the deepest node a walk can enter (labelled edges only), or kUnbounded
    // when the child lists reachable from the root contain a cycle.
    static constexpr uint64_t kUnbounded = UINT64_MAX;
    uint64_t max_depth = 0;

    // True when every read a walk can make from the root is in range and every node is
    // reached at most once from the root (the reachable child lists form a tree). Only
    // then may a walk skip subtrees by `height`, since skipping must never hide a read
    // that would have failed, and only then are the walk entries below made.
    bool sound = false;

    // Per node: how many labelled levels lie below it (0 for a leaf), capped at
    // kHeightUnknown, which means "at least that many". Filled only for sound stores.
    static constexpr uint8_t kHeightUnknown = 255;
    std::vector<uint8_t> height;

    // For sound stores only: the labelled children of every reachable node, copied in
    // breadth-first order, so that the nodes near the root, which almost every query
    // visits, sit together in memory, and each child list is one run of entries. `info`
    // packs the label (bits 0-20), has_payload (bit 21) and the capped height (bits
    // 22-29); the entry's own children are entries [first, first + count); `node` is the
    // child's number in the store. Entries [0, root_count) are the root's children.
    struct Entry {
        uint32_t info;
        uint32_t first;
        uint32_t count;
        uint32_t node;
        friend bool operator==(const Entry&, const Entry&) = default;
    };
    static constexpr uint32_t kLabelMask = (1u << 21) - 1;
    static constexpr uint32_t kPayloadBit = 1u << 21;
    static constexpr unsigned kHeightShift = 22;
    std::vector<Entry> entries;
    uint32_t root_count = 0;
    // The length of child_transitions the entries were made from: a cheap guard against
    // facts that no longer describe the store.
    uint64_t transitions_seen = 0;

    friend bool operator==(const DerivedFacts&, const DerivedFacts&) = default;
};

struct TrieStore {
    // The eight fields, in the order the snapshot writes them.
    std::vector<uint32_t> node_shifts;
    std::vector<uint32_t> child_labels;
    std::vector<uint32_t> child_transitions;
    PayloadTable payloads;
    std::vector<VideoUuid> video_uuids;
    std::vector<uint32_t> video_int_ids;
    IdMode id_mode = IdMode::Uuid;
    std::vector<uint8_t> has_payload;  // 0 or 1 per node

    DerivedFacts facts;

    size_t node_count() const { return child_labels.size(); }

    size_t video_count() const {
        return id_mode == IdMode::Uuid ? video_uuids.size() : video_int_ids.size();
    }

    // The half-open child range of v as positions into child_transitions, or an empty
    // range when start >= end. The end is not clamped to child_transitions: callers check
    // each position they read. Requires v < node_shifts.size().
    struct Range {
        uint64_t begin;
        uint64_t end;
    };
    Range child_range(size_t v) const {
        const uint64_t b = node_shifts[v];
        const uint64_t e = v + 1 < node_shifts.size() ? node_shifts[v + 1] : child_transitions.size();
        return b < e ? Range{b, e} : Range{b, b};
    }

    size_t memory_bytes() const {
        return node_shifts.capacity() * 4 + child_labels.capacity() * 4 + child_transitions.capacity() * 4 +
               payloads.memory_bytes() + video_uuids.capacity() * 16 + video_int_ids.capacity() * 4 +
               has_payload.capacity() + facts.height.capacity() +
               facts.entries.capacity() * sizeof(DerivedFacts::Entry);
    }

    friend bool operator==(const TrieStore&, const TrieStore&) = default;
};

// Fills store.facts; call once after the eight fields are final.
void derive_facts(TrieStore& store);

}  // namespace brindlex
