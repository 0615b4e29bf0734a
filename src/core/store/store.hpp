// The trie store: the whole state of one index, as flat arrays indexed by node number.
//
// Node 0 is the root. The children of node v are child_transitions[node_shifts[v] ..
// end(v)), where end(v) is node_shifts[v + 1], or child_transitions.size() for the last
// node; a start at or past the end means no children. child_labels[v] is the character on
// the edge into v (0: no label, the walks never visit such a child).
//
// Stores built from flat arrays satisfy the invariants checked at construction; stores
// restored from a snapshot are taken as they are, so every reader checks its indexes.
// Either way a store is finished (finish_store) once its fields are final.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/store/array.hpp"
#include "core/store/payload_table.hpp"

namespace brindlex {

enum class IdMode : uint8_t { Uuid = 0, Int32 = 1 };

using VideoUuid = std::array<uint8_t, 16>;

struct TrieStore {
    // The eight fields, in the order the snapshot writes them.
    Array<uint32_t> node_shifts;
    Array<uint32_t> child_labels;
    Array<uint32_t> child_transitions;
    PayloadTable payloads;
    Array<VideoUuid> video_uuids;
    Array<uint32_t> video_int_ids;
    IdMode id_mode = IdMode::Uuid;
    Array<uint8_t> has_payload;  // 0 or 1 per node

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

    // Bytes of the eight fields held in memory of the store's own (what is derived from
    // them is counted by the layer that derives it).
    size_t memory_bytes() const;
    // Bytes they view in memory a keeper owns (a mapped index file): shared, not held.
    size_t borrowed_bytes() const;

    // Equal fields; whatever is derived from them follows.
    friend bool operator==(const TrieStore& a, const TrieStore& b);

    // What a layer above derives from the final fields and reads with them: held for the
    // store's life and shared by its copies, opaque to the store itself.
    const std::shared_ptr<const void>& derived() const { return derived_; }
    void set_derived(std::shared_ptr<const void> derived) { derived_ = std::move(derived); }

private:
    std::shared_ptr<const void> derived_;
};

}  // namespace brindlex
