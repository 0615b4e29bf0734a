// The payload slots of a store, kept flat: one count and one presence byte per node, and
// all video lists end to end in two shared arrays with per-node end offsets. A node's
// lists are the entries between the previous node's end and its own.
//
// video_ids and video_counts keep separate offsets because a restored snapshot may give
// them different lengths; queries check for that instead of assuming it away.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "payload/payload.hpp"

namespace brindlex {

class PayloadTable {
public:
    size_t size() const { return present_.size(); }
    bool present(size_t v) const { return present_[v] != 0; }
    uint32_t count(size_t v) const { return counts_[v]; }

    // Requires v < size().
    PayloadView view(size_t v) const {
        const uint64_t ib = v == 0 ? 0 : ids_end_[v - 1];
        const uint64_t cb = v == 0 ? 0 : counts_end_[v - 1];
        return {counts_[v],
                std::span<const uint32_t>(video_ids_).subspan(ib, ids_end_[v] - ib),
                std::span<const uint32_t>(video_counts_).subspan(cb, counts_end_[v] - cb)};
    }

    void reserve(size_t slots, size_t entries) {
        present_.reserve(slots);
        counts_.reserve(slots);
        ids_end_.reserve(slots);
        counts_end_.reserve(slots);
        video_ids_.reserve(entries);
        video_counts_.reserve(entries);
    }

    void push_absent() { push_slot(false, 0); }

    void push(uint32_t count, std::span<const uint32_t> ids, std::span<const uint32_t> counts) {
        video_ids_.insert(video_ids_.end(), ids.begin(), ids.end());
        video_counts_.insert(video_counts_.end(), counts.begin(), counts.end());
        push_slot(true, count);
    }

    // Building a present slot element by element (the snapshot reader and the argument
    // converter append entries first, then close the slot).
    void append_video_id(uint32_t id) { video_ids_.push_back(id); }
    void append_video_count(uint32_t c) { video_counts_.push_back(c); }
    void close_present(uint32_t count) { push_slot(true, count); }
    // Drops entries appended since the last closed slot.
    void discard_open_entries() {
        video_ids_.resize(ids_end_.empty() ? 0 : ids_end_.back());
        video_counts_.resize(counts_end_.empty() ? 0 : counts_end_.back());
    }
    size_t open_video_ids() const { return video_ids_.size() - (ids_end_.empty() ? 0 : ids_end_.back()); }
    size_t open_video_counts() const {
        return video_counts_.size() - (counts_end_.empty() ? 0 : counts_end_.back());
    }

    size_t total_video_ids() const { return video_ids_.size(); }
    size_t total_video_counts() const { return video_counts_.size(); }

    size_t memory_bytes() const {
        return present_.capacity() + counts_.capacity() * 4 + (ids_end_.capacity() + counts_end_.capacity()) * 8 +
               (video_ids_.capacity() + video_counts_.capacity()) * 4;
    }

    friend bool operator==(const PayloadTable&, const PayloadTable&) = default;

private:
    void push_slot(bool present, uint32_t count) {
        present_.push_back(present ? 1 : 0);
        counts_.push_back(count);
        ids_end_.push_back(video_ids_.size());
        counts_end_.push_back(video_counts_.size());
    }

    std::vector<uint8_t> present_;
    std::vector<uint32_t> counts_;
    std::vector<uint64_t> ids_end_;
    std::vector<uint64_t> counts_end_;
    std::vector<uint32_t> video_ids_;
    std::vector<uint32_t> video_counts_;
};

}  // namespace brindlex
