// Row kernels of the walk. A kernel keeps the rows of the current path (row d belongs to
// the node at depth d) and fills row d + 1 from row d for a child's label. Its interface,
// all the descent needs:
//
//   bool fill(uint64_t row, uint32_t label, uint32_t& distance)
//       fills `row` from row - 1 for `label`. Returns false when every cell of the new
//       row exceeds the bound (the child is pruned); otherwise sets `distance` to the
//       row's last cell, or kFar when that cell exceeds the bound.
//   bool reaches(uint64_t row, int64_t threshold) const
//       whether a node at most h levels below the row just filled can still be within
//       the bound, where threshold = L - bound - h; a kernel that cannot tell returns true.
//
// A kernel may also offer
//
//   uint64_t wanted_positions(uint64_t row) const
//   uint32_t wanted_labels(uint64_t positions, Wanted& out) const
//       the term positions whose characters alone can give a child of the node of
//       `row` a row within the bound (none: no child can), or kAnyPosition when any
//       label can; then those characters, ascending (see LevelRows).
//
// Row 0 (the root's row, cells 0..L) is set up by the constructor, which takes the term
// and the table plan. A kernel that masks some error levels needs nothing more.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "core/walk/plan.hpp"
#include "core/walk/wanted.hpp"

namespace brindlex::walk {

inline constexpr uint32_t kFar = UINT32_MAX;


// The banded table, for a bound small beside the term. A cell (d, j) with |d - j| above
// the bound exceeds it whatever the labels, so row d keeps only the cells j from
// d - bound to d + bound: 2 * bound + 1 cells a row, however long the term, and a walk
// costs (rows filled) x (2 * bound + 1). Cell values are capped at bound + 1 ("far"),
// which changes no decision: pruning and reporting only compare cells with the bound,
// and the recurrence keeps min(value, far) exact. Cell (d, j) sits at index
// j - d + bound of row d; cells of columns outside 0..L read as far.
template <class Cell>
class BandRows {
    using Wide = std::conditional_t<sizeof(Cell) <= 2, uint32_t, uint64_t>;

public:
    BandRows(std::span<const uint32_t> term, const TablePlan& plan)
        : term_(term.data()),
          length_(term.size()),
          bound_(plan.bound),
          band_(plan.band),
          table_(std::make_unique_for_overwrite<Cell[]>(plan.rows * plan.band)) {
        const Wide far = bound_ + 1;
        for (uint64_t i = 0; i < band_; ++i) {
            const int64_t j = static_cast<int64_t>(i) - static_cast<int64_t>(bound_);
            table_[i] = static_cast<Cell>(j < 0 || static_cast<uint64_t>(j) > length_ ? far : static_cast<Wide>(j));
        }
    }

    bool fill(uint64_t row, uint32_t label, uint32_t& distance) {
        const Cell* prev = table_.get() + (row - 1) * band_;
        Cell* cur = table_.get() + row * band_;
        const Wide far = bound_ + 1;
        // Column of index 0 in this row; index i is column first + i.
        const int64_t first = static_cast<int64_t>(row) - static_cast<int64_t>(bound_);
        Wide left = far;  // cell (row, j - 1)
        Wide row_min = far;
        for (uint64_t i = 0; i < band_; ++i) {
            const int64_t j = first + static_cast<int64_t>(i);
            Wide c = far;
            if (j == 0) {
                c = row < far ? static_cast<Wide>(row) : far;
            } else if (j > 0 && static_cast<uint64_t>(j) <= length_) {
                const Wide diag = prev[i];                         // (row - 1, j - 1)
                const Wide up = i + 1 < band_ ? prev[i + 1] : far;  // (row - 1, j)
                c = diag + (term_[j - 1] != label ? 1 : 0);
                if (up + 1 < c) c = up + 1;
                if (left + 1 < c) c = left + 1;
                if (c > far) c = far;
            }
            cur[i] = static_cast<Cell>(c);
            if (c < row_min) row_min = c;
            left = c;
        }
        if (row_min > bound_) return false;
        const int64_t last = static_cast<int64_t>(length_) - first;  // index of column L
        const Wide at_end = last >= 0 && static_cast<uint64_t>(last) < band_ ? cur[last] : far;
        distance = at_end <= bound_ ? static_cast<uint32_t>(at_end) : kFar;
        return true;
    }

    bool reaches(uint64_t, int64_t) const { return true; }

private:
    const uint32_t* term_;
    uint64_t length_;
    uint64_t bound_;
    uint64_t band_;
    std::unique_ptr<Cell[]> table_;
};

// The plain table: L + 1 cells a row, the row minimum gathered while the row is filled.
// It serves every term and bound; it is also the reference the faster kernel is tested
// against.
template <class Cell>
class CellRows {
    using Wide = std::conditional_t<sizeof(Cell) <= 2, uint32_t, uint64_t>;

public:
    CellRows(std::span<const uint32_t> term, const TablePlan& plan)
        : term_(term.data()),
          length_(term.size()),
          width_(plan.width),
          bound_(plan.bound),
          // Rows beyond 0 are always written before they are read: no zero fill needed.
          table_(std::make_unique_for_overwrite<Cell[]>(plan.rows * plan.width)) {
        for (uint64_t j = 0; j <= length_; ++j) table_[j] = static_cast<Cell>(j);
    }

    bool fill(uint64_t row, uint32_t label, uint32_t& distance) {
        const Cell* prev = table_.get() + (row - 1) * width_;
        Cell* cur = table_.get() + row * width_;
        Wide left = static_cast<Wide>(row);  // cell j - 1 of the new row; cell 0 is the depth
        Wide diag = prev[0];
        Wide row_min = left;
        cur[0] = static_cast<Cell>(left);
        for (uint64_t j = 1; j <= length_; ++j) {
            const Wide up = prev[j];
            Wide c = diag + (term_[j - 1] != label ? 1 : 0);  // substitution or match
            if (up + 1 < c) c = up + 1;                       // deletion
            if (left + 1 < c) c = left + 1;                   // insertion
            cur[j] = static_cast<Cell>(c);
            if (c < row_min) row_min = c;
            left = c;
            diag = up;
        }
        if (row_min > bound_) return false;
        distance = left <= bound_ ? static_cast<uint32_t>(left) : kFar;
        return true;
    }

    // The lists of this kernel are not looked ahead; every child within the bound is
    // entered.
    bool reaches(uint64_t, int64_t) const { return true; }

private:
    const uint32_t* term_;
    uint64_t length_;
    uint64_t width_;
    Wide bound_;
    std::unique_ptr<Cell[]> table_;
};

// Bit-parallel rows, one machine word per error level: bit j of level e of a row is set
// when cell j of that row is at most e. For terms of at most kMaxLevelTerm characters
// and bounds of at most kMaxLevelBound, a row costs (bound + 1) short word updates
// instead of L + 1 cell updates. With S the sets of the parent row and S' those of the
// new row, for a label matching the term positions in M:
//   S'_e = (S_e << 1 & M)          a match
//        | S_{e-1} << 1            a substitution
//        | S_{e-1}                 a label with no term character (deletion)
//        | S'_{e-1} << 1           a term character with no label (insertion)
//        | {0} when depth <= e     cell 0 holds the depth
// The row minimum is within the bound exactly when S'_bound is not empty, and the last
// cell is the first level whose bit L is set.
inline constexpr uint64_t kMaxLevelTerm = 63;  // bits 0..L of one 64-bit word
inline constexpr uint32_t kMaxLevelBound = 31;
inline constexpr uint64_t kAnyPosition = ~uint64_t{0};

// Where each term character occurs, as bit masks (bit j for character j, from 1).
class TermMasks {
public:
    explicit TermMasks(std::span<const uint32_t> term) {
        latin_.fill(0);
        for (size_t j = 1; j <= term.size(); ++j) {
            const uint32_t c = term[j - 1];
            if (c < latin_.size()) {
                latin_[c] |= uint64_t{1} << j;
                continue;
            }
            size_t k = 0;
            while (k < others_ && other_chars_[k] != c) ++k;
            if (k == others_) {
                other_chars_[others_] = c;
                other_masks_[others_++] = 0;
            }
            other_masks_[k] |= uint64_t{1} << j;
        }
    }

    uint64_t operator()(uint32_t label) const {
        if (label < latin_.size()) [[likely]] return latin_[label];
        for (size_t k = 0; k < others_; ++k) {
            if (other_chars_[k] == label) return other_masks_[k];
        }
        return 0;
    }

private:
    std::array<uint64_t, 256> latin_;
    std::array<uint32_t, kMaxLevelTerm> other_chars_{};
    std::array<uint64_t, kMaxLevelTerm> other_masks_{};
    size_t others_ = 0;
};

// A cap on the errors spent in the first `head` term characters, for the two halves of
// the split search (walk/walk.cpp): cells j < head may hold at most `errors`. An alignment
// that breaks the cap is dropped, so the rows hold the best cost of those that keep it.
struct HeadCap {
    uint64_t head = 0;  // at most kMaxLevelTerm
    uint32_t errors = 0;
};

// Levels is the number of error levels (bound + 1); a fixed count lets the compiler
// unroll the level loop for the common small bounds, 0 means "given at run time". With
// Capped, a level above the cap keeps a cell j < head only where the cap level holds it.
template <uint32_t FixedLevels, bool Capped = false>
class LevelRows {
public:
    LevelRows(std::span<const uint32_t> term, const TablePlan& plan, HeadCap cap = {})
        : masks_(term),
          length_(term.size()),
          levels_(FixedLevels != 0 ? FixedLevels : plan.bound + 1),
          valid_(length_ >= kMaxLevelTerm ? ~uint64_t{0} : (uint64_t{1} << (length_ + 1)) - 1),
          cap_(cap.errors),
          free_(~((uint64_t{1} << cap.head) - 1)),
          rows_(std::make_unique_for_overwrite<uint64_t[]>(plan.rows * levels())) {
        std::copy_n(term.begin(), std::min<size_t>(term.size(), term_.size()), term_.begin());
        for (uint32_t e = 0; e < levels(); ++e) rows_[e] = capped(e, ((uint64_t{2} << e) - 1) & valid_, rows_.get());
    }

    bool fill(uint64_t row, uint32_t label, uint32_t& distance) {
        const uint32_t n = levels();
        const uint64_t match = masks_(label);
        const uint64_t* old = rows_.get() + (row - 1) * n;
        uint64_t* cur = rows_.get() + row * n;
        // Bits above L may appear from the shifts; they only ever move further up, so
        // they are masked off where a row is judged instead of at every level. Cell 0
        // (the depth) needs no care near the root: it is within level e exactly when it
        // was within level e - 1 a row up, which the deletion term (old[e - 1]) carries,
        // and row 0 starts with it in every level.
        uint64_t below = (old[0] << 1) & match;
        cur[0] = below;
        for (uint32_t e = 1; e < n; ++e) {
            const uint64_t v = ((old[e] << 1) & match) | (old[e - 1] << 1) | old[e - 1] | (below << 1);
            cur[e] = capped(e, v, cur);
            below = cur[e];
        }
        if ((below & valid_) == 0) return false;
        distance = kFar;
        if ((below >> length_) & 1) {
            for (uint32_t e = 0; e < n; ++e) {
                if ((cur[e] >> length_) & 1) {
                    distance = e;
                    break;
                }
            }
        }
        return true;
    }

    // The term positions whose characters a child of the node of `row` needs to stay
    // within the bound (bit j for character j), or kAnyPosition when any label can. A
    // child whose label matches none of the positions j with bit j - 1 set in some level
    // of the row gets the same row as a label found nowhere in the term; when that row
    // exceeds the bound everywhere, only the characters at those positions can matter,
    // and with no such position no child can. Capping keeps this: equal rows are capped
    // alike.
    uint64_t wanted_positions(uint64_t row) const {
        const uint32_t n = levels();
        const uint64_t* old = rows_.get() + row * n;
        // The row of a label found nowhere in the term, capped like any other.
        std::array<uint64_t, kMaxLevelBound + 1> any;
        if (n > any.size()) return kAnyPosition;
        any[0] = 0;
        for (uint32_t e = 1; e < n; ++e) any[e] = capped(e, (old[e - 1] << 1) | old[e - 1] | (any[e - 1] << 1), any.data());
        if ((any[n - 1] & valid_) != 0) return kAnyPosition;
        uint64_t positions = 0;
        for (uint32_t e = 0; e < n; ++e) positions |= old[e] << 1;
        return positions & valid_ & ~uint64_t{1};
    }

    // The distinct characters at `positions` (from wanted_positions), ascending, into
    // `out`; how many, or Wanted::kAny when they are more than Wanted::kMax (scanning the
    // children is then no dearer).
    uint32_t wanted_labels(uint64_t positions, Wanted& out) const {
        uint32_t count = 0;
        for (; positions != 0; positions &= positions - 1) {
            const uint32_t c = term_[std::countr_zero(positions) - 1];
            uint32_t at = 0;
            while (at < count && out.labels[at] < c) ++at;
            if (at < count && out.labels[at] == c) continue;
            if (count == Wanted::kMax) return Wanted::kAny;
            for (uint32_t k = count; k > at; --k) out.labels[k] = out.labels[k - 1];
            out.labels[at] = c;
            ++count;
        }
        out.next = 0;
        return count;
    }

    // Whether the row just filled can still lead to a match below it: some cell j within
    // level e must leave room for the remaining term, j >= threshold + e, where threshold
    // is L - bound - (the deepest the subtree goes below this row). A descendant at most
    // that deep is at least C[j] + (L - j - its depth) away for every j.
    bool reaches(uint64_t row, int64_t threshold) const {
        const uint32_t n = levels();
        const uint64_t* cur = rows_.get() + row * n;
        for (uint32_t e = 0; e < n; ++e) {
            const int64_t from = threshold + static_cast<int64_t>(e);
            const uint64_t level = cur[e] & valid_;
            if (from <= 0 ? level != 0 : from <= static_cast<int64_t>(length_) && (level >> from) != 0) return true;
        }
        return false;
    }

private:
    uint32_t levels() const {
        if constexpr (FixedLevels != 0) return FixedLevels;
        return levels_;
    }

    // Level e of a row without the head cells that break the cap (the levels up to the
    // cap, filled first, say which head cells keep it).
    uint64_t capped(uint32_t e, uint64_t v, const uint64_t* row) const {
        if constexpr (Capped) {
            if (e > cap_) return v & (free_ | row[cap_]);
        }
        return v;
    }

    TermMasks masks_;
    std::array<uint32_t, kMaxLevelTerm> term_{};
    uint64_t length_;
    uint32_t levels_;
    uint64_t valid_;  // bits 0..L
    uint32_t cap_;
    uint64_t free_;  // bits head..63: the cells the cap leaves alone
    std::unique_ptr<uint64_t[]> rows_;
};

}  // namespace brindlex::walk
