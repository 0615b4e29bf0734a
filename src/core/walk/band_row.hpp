// One row of the banded distance table, filled from the row above (walk/kernels.hpp,
// BandRows), Levenshtein or with swaps.
//
// A cell (d, j) with |d - j| above the bound exceeds it whatever the labels, so row d
// keeps only the cells j from d - bound to d + bound, cell (d, j) at index j - d + bound.
// Cell values are capped at bound + 1 ("far"), which changes no decision against the
// bound, and cells of columns outside 0..L read as far. With Osa, cell (d, j) may also
// come from (d - 2, j - 2) plus one when label d is term character j - 1 and label d - 1
// is term character j (a swap); that cell has index j - d + bound in its own row too.
#pragma once

#include <cstdint>
#include <type_traits>

namespace brindlex::walk {

struct BandShape {
    const uint32_t* term;
    uint64_t length;  // L
    uint64_t bound;
    uint64_t band;  // cells a row: min(L + 1, 2 * bound + 1) or more
};

struct BandCells {
    uint64_t row_min;  // the smallest cell, at most bound + 1
    uint64_t at_end;   // cell (d, L), or bound + 1 when it lies outside the band
};

// Row 0: cell j is j.
template <class Cell>
void first_band_row(const BandShape& s, Cell* cur) {
    const uint64_t far = s.bound + 1;
    for (uint64_t i = 0; i < s.band; ++i) {
        const int64_t j = static_cast<int64_t>(i) - static_cast<int64_t>(s.bound);
        cur[i] = static_cast<Cell>(j < 0 || static_cast<uint64_t>(j) > s.length ? far : static_cast<uint64_t>(j));
    }
}

// Row `row` (>= 1) into cur, from prev (row - 1) for `label`; with Osa, swap is row - 2
// (nullptr for row 1) and up_label the label of row - 1.
template <class Cell, bool Osa>
BandCells fill_band_row(const BandShape& s, const Cell* prev, const Cell* swap, Cell* cur, uint64_t row,
                        uint32_t label, uint32_t up_label) {
    using Wide = std::conditional_t<sizeof(Cell) <= 2, uint32_t, uint64_t>;
    const Wide far = static_cast<Wide>(s.bound + 1);
    // Column of index 0 in this row; index i is column first + i.
    const int64_t first = static_cast<int64_t>(row) - static_cast<int64_t>(s.bound);
    Wide left = far;  // cell (row, j - 1)
    Wide row_min = far;
    for (uint64_t i = 0; i < s.band; ++i) {
        const int64_t j = first + static_cast<int64_t>(i);
        Wide c = far;
        if (j == 0) {
            c = row < far ? static_cast<Wide>(row) : far;
        } else if (j > 0 && static_cast<uint64_t>(j) <= s.length) {
            const Wide diag = prev[i];                           // (row - 1, j - 1)
            const Wide up = i + 1 < s.band ? prev[i + 1] : far;  // (row - 1, j)
            c = diag + (s.term[j - 1] != label ? 1 : 0);
            if (up + 1 < c) c = up + 1;
            if (left + 1 < c) c = left + 1;
            if constexpr (Osa) {
                if (swap && j >= 2 && s.term[j - 2] == label && s.term[j - 1] == up_label && Wide{swap[i]} + 1 < c) {
                    c = Wide{swap[i]} + 1;
                }
            }
            if (c > far) c = far;
        }
        cur[i] = static_cast<Cell>(c);
        if (c < row_min) row_min = c;
        left = c;
    }
    const int64_t last = static_cast<int64_t>(s.length) - first;  // index of column L
    const Wide at_end = last >= 0 && static_cast<uint64_t>(last) < s.band ? Wide{cur[last]} : far;
    return {row_min, at_end};
}

}  // namespace brindlex::walk
