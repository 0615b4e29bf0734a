#include "core/build/term_table.hpp"

#include <algorithm>
#include <numeric>

#include "core/payload/payload.hpp"

namespace brindlex::build {

uint32_t TermTable::add_term(std::string_view term, uint32_t count) {
    bool added = false;
    const uint32_t t = terms_.intern(term, added);
    if (added) {
        counts_.push_back(count);
    } else {
        counts_[t] = saturating_add(counts_[t], count);
    }
    return t;
}

namespace {

// One term's rows, in the order given: summed per video into the first row naming it,
// then ordered by count, largest first, stably. Returns the length kept.
size_t merge_group(std::span<uint32_t> ids, std::span<uint32_t> counts, std::vector<uint32_t>& order) {
    const size_t n = ids.size();
    size_t kept = 0;
    if (n <= 16) {
        for (size_t i = 0; i < n; ++i) {
            size_t j = 0;
            while (j < kept && ids[j] != ids[i]) ++j;
            if (j < kept) {
                counts[j] = saturating_add(counts[j], counts[i]);
            } else {
                ids[kept] = ids[i];
                counts[kept] = counts[i];
                ++kept;
            }
        }
    } else {
        // Long lists: positions sorted by (video, position) find each video's first row.
        order.resize(n);
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return ids[a] != ids[b] ? ids[a] < ids[b] : a < b; });
        std::vector<uint8_t> first(n, 0);
        for (size_t k = 0; k < n;) {
            const uint32_t head = order[k];
            first[head] = 1;
            for (++k; k < n && ids[order[k]] == ids[head]; ++k) counts[head] = saturating_add(counts[head], counts[order[k]]);
        }
        for (size_t i = 0; i < n; ++i) {
            if (first[i]) {
                ids[kept] = ids[i];
                counts[kept] = counts[i];
                ++kept;
            }
        }
    }
    if (kept > 1) {
        order.resize(kept);
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return counts[a] > counts[b]; });
        std::vector<uint32_t> sorted_ids(kept);
        std::vector<uint32_t> sorted_counts(kept);
        for (size_t k = 0; k < kept; ++k) {
            sorted_ids[k] = ids[order[k]];
            sorted_counts[k] = counts[order[k]];
        }
        std::copy(sorted_ids.begin(), sorted_ids.end(), ids.begin());
        std::copy(sorted_counts.begin(), sorted_counts.end(), counts.begin());
    }
    return kept;
}

}  // namespace

TermTable::Lists TermTable::take_lists() {
    const size_t terms = terms_.size();
    Lists out;
    // Rows grouped by term, stably (a counting sort), then each group merged in place.
    std::vector<uint64_t> at(terms + 1, 0);
    for (const Row& r : rows_) ++at[r.term + 1];
    for (size_t t = 0; t < terms; ++t) at[t + 1] += at[t];
    out.ids.resize(rows_.size());
    out.counts.resize(rows_.size());
    {
        std::vector<uint64_t> next(at.begin(), at.end() - 1);
        for (const Row& r : rows_) {
            const uint64_t k = next[r.term]++;
            out.ids[k] = r.video;
            out.counts[k] = r.count;
        }
    }
    rows_ = {};
    out.starts.resize(terms + 1);
    std::vector<uint32_t> order;
    uint64_t w = 0;
    for (size_t t = 0; t < terms; ++t) {
        out.starts[t] = w;
        const uint64_t b = at[t];
        const uint64_t len = at[t + 1] - b;
        const size_t kept = merge_group(std::span<uint32_t>(out.ids).subspan(b, len),
                                        std::span<uint32_t>(out.counts).subspan(b, len), order);
        std::copy_n(out.ids.begin() + static_cast<ptrdiff_t>(b), kept, out.ids.begin() + static_cast<ptrdiff_t>(w));
        std::copy_n(out.counts.begin() + static_cast<ptrdiff_t>(b), kept, out.counts.begin() + static_cast<ptrdiff_t>(w));
        w += kept;
    }
    out.starts[terms] = w;
    out.ids.resize(w);
    out.counts.resize(w);
    out.ids.shrink_to_fit();
    out.counts.shrink_to_fit();
    return out;
}

size_t TermTable::memory_bytes() const {
    return terms_.memory_bytes() + counts_.capacity() * sizeof(uint32_t) + videos_.memory_bytes() +
           rows_.capacity() * sizeof(Row);
}

}  // namespace brindlex::build
