// Sizing of the walk's distance table (internal to the walk; exposed for its tests).
//
// A cell of row d (d labels against j term characters) is at most max(d, j) <= max(d, L).
// With the store's derived max_depth D finite, no row deeper than D is ever filled, so
// every cell is at most max(L, D): a bound above that reports the same as max(L, D), and
// the walk enters no node deeper than min(L + bound, D). The table therefore needs only
// min(L + max_dist, D) + 2 rows, and its cells fit in 16 bits whenever L and the deepest
// row that may be filled do. For a cyclic store (D unbounded) the plain sizing applies:
// L + max_dist + 2 rows, bound max_dist.
#pragma once

#include <cstdint>

#include "core/failure.hpp"

namespace brindlex::walk {

// The most memory one walk may take, in bytes: its decoded term, its rows, and its
// per-row lists and path. A walk that would need more is refused with CapExceeded. An
// ordinary query needs kilobytes; a term of 100,000 characters within 40 edits of a
// 100,000-deep chain about 17 MB.
inline constexpr uint64_t kMaxWalkBytes = uint64_t{1} << 30;

// Bytes a walk keeps per row beyond its cells: the cursor's list and the path entry.
inline constexpr uint64_t kRowOverheadBytes = 32;

struct TablePlan {
    uint64_t width;     // cells per row: L + 1
    uint64_t band;      // cells per banded row: min(width, 2 * bound + 1) (kernels.hpp, BandRows)
    uint64_t rows;      // rows allocated
    uint64_t last_row;  // deepest row the walk may fill (<= rows - 1, and <= D when D is finite)
    uint32_t bound;     // the bound compared with the cells; same results as max_dist
    bool narrow;        // 16-bit cells suffice: every cell value is <= max(L, last_row) <= 65535

    friend bool operator==(const TablePlan&, const TablePlan&) = default;
};

// Whether the banded rows serve this plan: when they are narrower than whole rows.
inline bool banded(const TablePlan& p) { return p.band < p.width; }

// term_length is L (scalar values); max_depth is the store's derived max_depth (facts/facts.hpp), possibly
// facts::Facts::kUnbounded. Throws CapExceeded when the walk, its rows banded where that helps,
// would take more than kMaxWalkBytes. All arithmetic is overflow-free for every input.
TablePlan plan_table(uint64_t term_length, uint32_t max_dist, uint64_t max_depth);

}  // namespace brindlex::walk
