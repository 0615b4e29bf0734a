#include "core/payload/payload.hpp"

#include <algorithm>

namespace brindlex {

namespace {

void add_entries(std::vector<std::pair<uint32_t, uint64_t>>& out, std::span<const uint32_t> ids,
                 std::span<const uint32_t> counts) {
    for (size_t i = 0; i < ids.size(); ++i) out.emplace_back(ids[i], counts[i]);
}

// Orders the (video, sum) pairs, each video once, as merging orders them, keeps the best
// `keep` and writes them into `self`.
void order_into(Payload& self, std::vector<std::pair<uint32_t, uint64_t>>& e, uint64_t keep) {
    const auto better = [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    };
    if (keep < e.size()) {
        std::nth_element(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(keep), e.end(), better);
        e.resize(static_cast<size_t>(keep));
    }
    std::sort(e.begin(), e.end(), better);
    self.video_ids.resize(e.size());
    self.video_counts.resize(e.size());
    for (size_t i = 0; i < e.size(); ++i) {
        self.video_ids[i] = e[i].first;
        self.video_counts[i] = e[i].second > kCountMax ? kCountMax : static_cast<uint32_t>(e[i].second);
    }
}

// Sums repeated video numbers and orders the sums (count descending, then video number),
// keeping at most `keep` of them; writes the result into `self`.
void fold_into(Payload& self, std::vector<std::pair<uint32_t, uint64_t>>& e, uint64_t keep) {
    std::sort(e.begin(), e.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    size_t out = 0;
    for (size_t i = 0; i < e.size();) {
        uint64_t sum = 0;
        const uint32_t id = e[i].first;
        for (; i < e.size() && e[i].first == id; ++i) sum += e[i].second;
        e[out++] = {id, sum};
    }
    e.resize(out);
    order_into(self, e, keep);
}

uint64_t list_total(std::span<const uint32_t> counts, size_t n) {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += counts[i];
    return sum;
}

}  // namespace

void merge(Payload& self, const PayloadView& other, MergeScratch& scratch) {
    self.count = saturating_add(self.count, other.count);
    // Summing by video number: sort by number and fold runs. Lists are short (cut to
    // video_top_n at every node), so this beats a hash map and needs no hashing.
    auto& e = scratch.entries;
    e.clear();
    add_entries(e, self.video_ids, self.video_counts);
    add_entries(e, other.video_ids, other.video_counts);
    fold_into(self, e, UINT64_MAX);
}

namespace {

// The indexed sums of merge_all in one pass over the lists, which also totals the counts.
// Returns false, leaving `self` as it was, when some video number has no indexed sum or
// some sum might saturate (then the order of the additions shows); the stamps left
// behind are those of this call, which no later call reads.
bool merge_indexed(Payload& self, std::span<const PayloadView> others, MergeScratch& scratch, uint64_t keep) {
    if (++scratch.call == 0) {
        std::fill(scratch.touched_in.begin(), scratch.touched_in.end(), 0);
        scratch.call = 1;
    }
    const uint32_t call = scratch.call;
    const size_t limit = scratch.sums.size();
    uint32_t* touched = scratch.touched_in.data();
    uint64_t* sums = scratch.sums.data();
    auto& e = scratch.entries;
    e.clear();
    uint64_t total = 0;
    auto add = [&](std::span<const uint32_t> ids, const uint32_t* counts) {
        for (size_t i = 0; i < ids.size(); ++i) {
            const uint32_t id = ids[i];
            if (id >= limit) return false;
            if (touched[id] != call) {
                touched[id] = call;
                sums[id] = 0;
                e.emplace_back(id, 0);
            }
            sums[id] += counts[i];
            total += counts[i];
        }
        return true;
    };
    if (!add(self.video_ids, self.video_counts.data())) return false;
    for (const PayloadView& o : others) {
        if (!add(o.video_ids, o.video_counts.data())) return false;
    }
    if (total > kCountMax) return false;
    for (const PayloadView& o : others) self.count = saturating_add(self.count, o.count);
    for (auto& [id, sum] : e) sum = sums[id];
    order_into(self, e, keep);
    return true;
}

}  // namespace

void merge_all(Payload& self, std::span<const PayloadView> others, MergeScratch& scratch, uint64_t keep) {
    // The same sums without sorting by video: each video's sum is indexed by its number.
    if (!scratch.sums.empty() && merge_indexed(self, others, scratch, keep)) return;
    uint64_t total = list_total(self.video_counts, self.video_ids.size());
    for (const PayloadView& o : others) total += list_total(o.video_counts, o.video_ids.size());
    if (total > kCountMax) {
        // Some sum may saturate, and then the order of the additions shows: merge in turn.
        for (const PayloadView& o : others) merge(self, o, scratch);
        if (self.video_ids.size() > keep) {
            self.video_ids.resize(static_cast<size_t>(keep));
            self.video_counts.resize(static_cast<size_t>(keep));
        }
        return;
    }
    auto& e = scratch.entries;
    e.clear();
    add_entries(e, self.video_ids, self.video_counts);
    for (const PayloadView& o : others) {
        self.count = saturating_add(self.count, o.count);
        add_entries(e, o.video_ids, o.video_counts);
    }
    fold_into(self, e, keep);
}

}  // namespace brindlex
