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
//
// Each kernel comes in two rules, chosen at compile time (Osa): Levenshtein, and the
// optimal string alignment distance, where a swap of two neighbouring characters costs
// one edit: cell (d, j) may also come from cell (d - 2, j - 2) plus one when label d is
// term character j - 1 and label d - 1 is term character j. That needs the row two
// levels up, which the kernels keep anyway (one row per depth of the current path), and
// the label one level up, which they keep beside it. No row minimum ever falls from one
// row to the next under either rule (the swap's source cell is at most one below cell
// (d - 1, j - 1)), so pruning and look-ahead stay sound.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "core/walk/band_row.hpp"
#include "core/walk/plan.hpp"
#include "core/walk/wanted.hpp"

namespace brindlex::walk {

inline constexpr uint32_t kFar = UINT32_MAX;


// The banded table, for a bound small beside the term (walk/band_row.hpp): 2 * bound + 1
// cells a row, however long the term, and a walk costs (rows filled) x (2 * bound + 1).
template <class Cell, bool Osa = false>
class BandRows {
public:
    BandRows(std::span<const uint32_t> term, const TablePlan& plan)
        : shape_{term.data(), term.size(), plan.bound, plan.band},
          table_(std::make_unique_for_overwrite<Cell[]>(plan.rows * plan.band)) {
        if constexpr (Osa) labels_ = std::make_unique<uint32_t[]>(plan.rows);
        first_band_row(shape_, table_.get());
    }

    bool fill(uint64_t row, uint32_t label, uint32_t& distance) {
        const uint64_t band = shape_.band;
        const Cell* swap = nullptr;
        uint32_t up_label = 0;
        if constexpr (Osa) {
            labels_[row] = label;
            if (row >= 2) {
                swap = table_.get() + (row - 2) * band;
                up_label = labels_[row - 1];
            }
        }
        const BandCells cells = fill_band_row<Cell, Osa>(shape_, table_.get() + (row - 1) * band, swap,
                                                         table_.get() + row * band, row, label, up_label);
        if (cells.row_min > shape_.bound) return false;
        distance = cells.at_end <= shape_.bound ? static_cast<uint32_t>(cells.at_end) : kFar;
        return true;
    }

    bool reaches(uint64_t, int64_t) const { return true; }

private:
    BandShape shape_;
    std::unique_ptr<Cell[]> table_;
    std::unique_ptr<uint32_t[]> labels_;  // the label of each row's node (Osa only)
};

// The plain table: L + 1 cells a row, the row minimum gathered while the row is filled.
// It serves every term and bound; it is also the reference the faster kernel is tested
// against.
template <class Cell, bool Osa = false>
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
        if constexpr (Osa) labels_ = std::make_unique<uint32_t[]>(plan.rows);
        for (uint64_t j = 0; j <= length_; ++j) table_[j] = static_cast<Cell>(j);
    }

    bool fill(uint64_t row, uint32_t label, uint32_t& distance) {
        const Cell* prev = table_.get() + (row - 1) * width_;
        Cell* cur = table_.get() + row * width_;
        const Cell* swap = nullptr;  // row - 2, for a swap of the last two labels
        uint32_t up_label = 0;
        if constexpr (Osa) {
            labels_[row] = label;
            if (row >= 2) {
                swap = table_.get() + (row - 2) * width_;
                up_label = labels_[row - 1];
            }
        }
        Wide left = static_cast<Wide>(row);  // cell j - 1 of the new row; cell 0 is the depth
        Wide diag = prev[0];
        Wide row_min = left;
        cur[0] = static_cast<Cell>(left);
        for (uint64_t j = 1; j <= length_; ++j) {
            const Wide up = prev[j];
            Wide c = diag + (term_[j - 1] != label ? 1 : 0);  // substitution or match
            if (up + 1 < c) c = up + 1;                       // deletion
            if (left + 1 < c) c = left + 1;                   // insertion
            if constexpr (Osa) {
                if (swap && j >= 2 && term_[j - 2] == label && term_[j - 1] == up_label &&
                    Wide{swap[j - 2]} + 1 < c) {
                    c = Wide{swap[j - 2]} + 1;  // transposition
                }
            }
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
    std::unique_ptr<uint32_t[]> labels_;  // the label of each row's node (Osa only)
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
// With Osa, a swap adds (S''_{e-1} << 2 & T) to level e, S'' being the row two levels up
// and T the positions j whose character j - 1 is the label and character j the label one
// level up: T = (M << 1) & M_up.
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
template <uint32_t FixedLevels, bool Capped = false, bool Osa = false>
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
        if constexpr (Osa) row_masks_ = std::make_unique<uint64_t[]>(plan.rows);
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
        if constexpr (Osa) {
            row_masks_[row] = match;
            // Row 0 has no label: a swap needs two labels on the path.
            const uint64_t swaps = row >= 2 ? (match << 1) & row_masks_[row - 1] : 0;
            const uint64_t* older = rows_.get() + (row >= 2 ? row - 2 : 0) * n;
            for (uint32_t e = 1; e < n; ++e) {
                const uint64_t v = ((old[e] << 1) & match) | (old[e - 1] << 1) | old[e - 1] | (below << 1) |
                                   ((older[e - 1] << 2) & swaps);
                cur[e] = capped(e, v, cur);
                below = cur[e];
            }
        } else {
            for (uint32_t e = 1; e < n; ++e) {
                const uint64_t v = ((old[e] << 1) & match) | (old[e - 1] << 1) | old[e - 1] | (below << 1);
                cur[e] = capped(e, v, cur);
                below = cur[e];
            }
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
        // A swap needs nothing more: it gives a child cell j at level e from cell j - 2 at
        // level e - 1 two rows up, which puts cell j - 2 of this row within level e, so
        // the swap's character j - 1 is among the positions already.
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

    // Whether the row's last cell is within the bound and is its smallest: then no node
    // below has a smaller last cell, since no row minimum falls going down. The lowest
    // level that holds any cell is the row minimum.
    bool settled(uint64_t row) const {
        const uint32_t n = levels();
        const uint64_t* cur = rows_.get() + row * n;
        for (uint32_t e = 0; e < n; ++e) {
            const uint64_t level = cur[e] & valid_;
            if (level != 0) return ((level >> length_) & 1) != 0;
        }
        return false;
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
    std::unique_ptr<uint64_t[]> row_masks_;  // the term positions of each row's label (Osa only)
};

// A kernel for the beginnings of terms (walk_prefixes): it enters no node below one
// whose row is settled, since every node there is at least as far from the term.
template <class Kernel>
class SettledRows : public Kernel {
public:
    using Kernel::Kernel;

    bool reaches(uint64_t row, int64_t threshold) const {
        return !Kernel::settled(row) && Kernel::reaches(row, threshold);
    }
};

}  // namespace brindlex::walk
