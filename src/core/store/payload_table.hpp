// The payload slots of a store, kept flat: one count and one presence byte per node, and
// all video lists end to end in two shared arrays with per-node end offsets. A node's
// lists are the entries between the previous node's end and its own.
//
// A restored snapshot may give a slot's video_ids and video_counts different lengths;
// the table keeps them as they are, and queries check for that instead of assuming it
// away.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/payload/payload.hpp"

namespace brindlex {

class PayloadTable {
public:
    size_t size() const { return present_.size(); }
    bool present(size_t v) const { return present_[v] != 0; }
    uint32_t count(size_t v) const { return counts_[v]; }

    // Requires v < size().
    PayloadView view(size_t v) const {
        const uint64_t ib = v == 0 ? 0 : ids_end(v - 1);
        const uint64_t cb = v == 0 ? 0 : counts_end(v - 1);
        return {counts_[v], std::span<const uint32_t>(video_ids_).subspan(ib, ids_end(v) - ib),
                std::span<const uint32_t>(video_counts_).subspan(cb, counts_end(v) - cb)};
    }

    void reserve(size_t slots, size_t entries) {
        present_.reserve(slots);
        counts_.reserve(slots);
        ends32_.reserve(slots);
        video_ids_.reserve(entries);
        video_counts_.reserve(entries);
    }

    // A whole table at once, as pushing slot by slot would make it: slot v is present
    // when present[v], with count counts[v] and the list entries up to ends[v]. Requires
    // one entry of present, counts and ends per slot, ends non-decreasing up to
    // ids.size(), ids and video_counts of one length, at most UINT32_MAX.
    static PayloadTable whole(std::vector<uint8_t> present, std::vector<uint32_t> counts, std::vector<uint32_t> ends,
                              std::vector<uint32_t> ids, std::vector<uint32_t> video_counts) {
        PayloadTable t;
        t.present_ = std::move(present);
        t.counts_ = std::move(counts);
        t.ends32_ = std::move(ends);
        t.video_ids_ = std::move(ids);
        t.video_counts_ = std::move(video_counts);
        return t;
    }

    void push_absent() { push_slot(false, 0); }

    void push(uint32_t count, std::span<const uint32_t> ids, std::span<const uint32_t> counts) {
        video_ids_.insert(video_ids_.end(), ids.begin(), ids.end());
        video_counts_.insert(video_counts_.end(), counts.begin(), counts.end());
        push_slot(true, count);
    }

    // Building a present slot element by element (the snapshot reader appends entries
    // first, then closes the slot).
    void append_video_id(uint32_t id) { video_ids_.push_back(id); }
    void append_video_count(uint32_t c) { video_counts_.push_back(c); }
    void close_present(uint32_t count) { push_slot(true, count); }
    // All entries of all slots (the sum of the video_ids lengths).
    size_t total_video_ids() const { return video_ids_.size(); }

    size_t memory_bytes() const {
        return present_.capacity() + (counts_.capacity() + ends32_.capacity()) * sizeof(uint32_t) +
               (ends64_.capacity() + counts_ends_.capacity()) * sizeof(uint64_t) +
               (video_ids_.capacity() + video_counts_.capacity()) * sizeof(uint32_t);
    }

    friend bool operator==(const PayloadTable& a, const PayloadTable& b) {
        if (a.present_ != b.present_ || a.counts_ != b.counts_ || a.video_ids_ != b.video_ids_ ||
            a.video_counts_ != b.video_counts_) {
            return false;
        }
        for (size_t v = 0; v < a.size(); ++v) {
            if (a.ids_end(v) != b.ids_end(v) || a.counts_end(v) != b.counts_end(v)) return false;
        }
        return true;
    }

private:
    // End offsets: one array shared by both lists while every slot's two lists have the
    // same length (always, for stores built from sequences), 32 bits wide while the
    // offsets fit. A snapshot may break either; the table then widens or splits.
    uint64_t ids_end(size_t v) const { return ends64_.empty() ? ends32_[v] : ends64_[v]; }
    uint64_t counts_end(size_t v) const { return split_ ? counts_ends_[v] : ids_end(v); }

    void push_slot(bool present, uint32_t count) {
        const uint64_t ids = video_ids_.size();
        const uint64_t cnts = video_counts_.size();
        if (!split_ && ids != cnts) {
            split_ = true;
            counts_ends_.reserve(size() + 1);
            for (size_t v = 0; v < size(); ++v) counts_ends_.push_back(ids_end(v));
        }
        if (ends64_.empty() && ids > UINT32_MAX) {
            // Widen once; the 32-bit offsets are of no further use.
            ends64_.assign(ends32_.begin(), ends32_.end());
            ends32_ = {};
        }
        if (ends64_.empty()) {
            ends32_.push_back(static_cast<uint32_t>(ids));
        } else {
            ends64_.push_back(ids);
        }
        if (split_) counts_ends_.push_back(cnts);
        present_.push_back(present ? 1 : 0);
        counts_.push_back(count);
    }

    std::vector<uint8_t> present_;
    std::vector<uint32_t> counts_;
    std::vector<uint32_t> ends32_;
    std::vector<uint64_t> ends64_;
    std::vector<uint64_t> counts_ends_;
    bool split_ = false;
    std::vector<uint32_t> video_ids_;
    std::vector<uint32_t> video_counts_;
};

}  // namespace brindlex
