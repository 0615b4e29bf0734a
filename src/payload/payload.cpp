#include "payload/payload.hpp"

#include <algorithm>

namespace brindlex {

namespace {

void add_entries(std::vector<std::pair<uint32_t, uint64_t>>& out, std::span<const uint32_t> ids,
                 std::span<const uint32_t> counts) {
    for (size_t i = 0; i < ids.size(); ++i) out.emplace_back(ids[i], counts[i]);
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
    std::sort(e.begin(), e.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    size_t out = 0;
    for (size_t i = 0; i < e.size();) {
        uint64_t sum = 0;
        const uint32_t id = e[i].first;
        for (; i < e.size() && e[i].first == id; ++i) sum += e[i].second;
        e[out++] = {id, sum};
    }
    e.resize(out);
    std::sort(e.begin(), e.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });

    self.video_ids.resize(e.size());
    self.video_counts.resize(e.size());
    for (size_t i = 0; i < e.size(); ++i) {
        self.video_ids[i] = e[i].first;
        self.video_counts[i] = e[i].second > kCountMax ? kCountMax : static_cast<uint32_t>(e[i].second);
    }
}

}  // namespace brindlex
