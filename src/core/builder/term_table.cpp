#include "core/builder/term_table.hpp"

#include <algorithm>
#include <numeric>

#include "core/payload/payload.hpp"

namespace brindlex::build {

uint32_t TermTable::add_term(std::string_view term, uint32_t count) {
    bool added = false;
    const uint32_t t = terms_.intern(term, added);
    if (added) {
        counts_.push_back(count);
    } else if (counts_[t] == kCountMax) {
        // At the top before (saturated, or exactly there): the exact sum goes on where it
        // is kept, starting there when the top was reached exactly.
        beyond_.try_emplace(t, kCountMax).first->second += count;
    } else {
        const uint64_t exact = uint64_t{counts_[t]} + count;
        counts_[t] = saturating_add(counts_[t], count);
        if (exact > kCountMax) beyond_.emplace(t, exact);
    }
    return t;
}

uint64_t TermTable::exact_count(uint32_t t) const {
    if (counts_[t] != kCountMax) return counts_[t];
    const auto it = beyond_.find(t);
    return it != beyond_.end() ? it->second : kCountMax;
}

namespace {

// Working memory of merge_group, reused from term to term.
struct GroupScratch {
    std::vector<uint32_t> order;
    std::vector<uint8_t> first;
    std::vector<uint32_t> ids;
    std::vector<uint32_t> counts;
};

// One term's rows, in the order given: summed per video into the first row naming it,
// then ordered by count, largest first, stably. Returns the length kept.
size_t merge_group(std::span<uint32_t> ids, std::span<uint32_t> counts, GroupScratch& s) {
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
        s.order.resize(n);
        std::iota(s.order.begin(), s.order.end(), 0u);
        std::sort(s.order.begin(), s.order.end(),
                  [&](uint32_t a, uint32_t b) { return ids[a] != ids[b] ? ids[a] < ids[b] : a < b; });
        s.first.assign(n, 0);
        for (size_t k = 0; k < n;) {
            const uint32_t head = s.order[k];
            s.first[head] = 1;
            for (++k; k < n && ids[s.order[k]] == ids[head]; ++k) {
                counts[head] = saturating_add(counts[head], counts[s.order[k]]);
            }
        }
        for (size_t i = 0; i < n; ++i) {
            if (s.first[i]) {
                ids[kept] = ids[i];
                counts[kept] = counts[i];
                ++kept;
            }
        }
    }
    bool ordered = true;
    for (size_t k = 1; k < kept && ordered; ++k) ordered = counts[k - 1] >= counts[k];
    if (!ordered) {
        s.order.resize(kept);
        std::iota(s.order.begin(), s.order.end(), 0u);
        const auto larger = [&](uint32_t a, uint32_t b) { return counts[a] > counts[b]; };
        if (kept <= 16) {
            // Most terms list a few videos: insertion, stable as the long sort is, and
            // without the buffer a stable sort takes.
            for (size_t a = 1; a < kept; ++a) {
                const uint32_t item = s.order[a];
                size_t b = a;
                for (; b > 0 && larger(item, s.order[b - 1]); --b) s.order[b] = s.order[b - 1];
                s.order[b] = item;
            }
        } else {
            std::stable_sort(s.order.begin(), s.order.end(), larger);
        }
        s.ids.resize(kept);
        s.counts.resize(kept);
        for (size_t k = 0; k < kept; ++k) {
            s.ids[k] = ids[s.order[k]];
            s.counts[k] = counts[s.order[k]];
        }
        std::copy(s.ids.begin(), s.ids.end(), ids.begin());
        std::copy(s.counts.begin(), s.counts.end(), counts.begin());
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
    GroupScratch scratch;
    uint64_t w = 0;
    for (size_t t = 0; t < terms; ++t) {
        out.starts[t] = w;
        const uint64_t b = at[t];
        const uint64_t len = at[t + 1] - b;
        const size_t kept = merge_group(std::span<uint32_t>(out.ids).subspan(b, len),
                                        std::span<uint32_t>(out.counts).subspan(b, len), scratch);
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
