// A node's payload: the weight of its term and the videos found under it, each with a
// count. Video numbers are positions in the store's video id list.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace brindlex {

// A read-only look at one payload, wherever it is kept.
struct PayloadView {
    uint32_t count = 0;
    std::span<const uint32_t> video_ids;
    std::span<const uint32_t> video_counts;
};

// An owned payload, used while payloads are being summed.
struct Payload {
    uint32_t count = 0;
    std::vector<uint32_t> video_ids;
    std::vector<uint32_t> video_counts;

    PayloadView view() const { return {count, video_ids, video_counts}; }
};

inline constexpr uint32_t kCountMax = 0xFFFF'FFFFu;

inline uint32_t saturating_add(uint32_t a, uint32_t b) {
    uint32_t sum = a + b;
    return sum < a ? kCountMax : sum;
}

// Working memory of merge, reused across calls so that merging allocates only while
// it grows.
struct MergeScratch {
    std::vector<std::pair<uint32_t, uint64_t>> entries;  // (video number, 64-bit sum)

    // Optional, for merge_all: sums indexed by video number, for video numbers below
    // their size, and the call that last touched each (so nothing is cleared between
    // calls). Summing into them takes one step per entry instead of a sort.
    std::vector<uint64_t> sums;
    std::vector<uint32_t> touched_in;
    uint32_t call = 0;

    // Sets up the indexed sums for video numbers below `videos`.
    void index_videos(size_t videos) {
        sums.assign(videos, 0);
        touched_in.assign(videos, 0);
        call = 0;
    }
};

// Adds `other` into `self`: counts add with saturation, each video appears once with
// its summed count, and the lists come out sorted by that sum, largest first (ties by
// video number, so results are reproducible). Sums above 2^32-1 saturate when stored.
// Precondition: in both payloads video_counts is at least as long as video_ids (the
// aggregation pass checks this before calling).
void merge(Payload& self, const PayloadView& other, MergeScratch& scratch);

// The same as merging each of `others` into `self` in turn and then keeping the first
// `keep` entries, in one pass when no sum can exceed 32 bits (the order of saturating
// additions then cannot matter).
void merge_all(Payload& self, std::span<const PayloadView> others, MergeScratch& scratch, uint64_t keep);

}  // namespace brindlex
