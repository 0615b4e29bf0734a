// The bounded descent of the word trie (lookup/words.hpp) that the word lookups share:
// one row of the edit table per depth, subtrees left out once no cell of their row is
// within the bound.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/lookup/words.hpp"
#include "core/walk/plan.hpp"

namespace brindlex::lookup::word_descent {

// The rows of a descent: row d holds the distances of the path's first d labels to every
// beginning of the query, row 0 those of the empty text. Sized once for the deepest row
// the bound lets the descent fill (a cell of row d is at least d - L). Cells are capped at
// bound + 1, which keeps every value within the bound exact, and only the band of cells
// j with |j - d| <= bound is filled: the others are above the bound on every path, so
// they keep the cap they start with.
class Rows {
public:
    Rows(std::span<const uint32_t> query, uint32_t bound, uint32_t max_depth, EditRule rule)
        : query_(query), width_(query.size() + 1), bound_(bound), cap_(bound + 1), rule_(rule) {
        deepest_ = static_cast<uint32_t>(std::min<uint64_t>(max_depth, query.size() + uint64_t{bound}));
        const uint64_t rows = uint64_t{deepest_} + 1;
        if (rows * (width_ + 1) > walk::kMaxWalkBytes / sizeof(uint32_t)) {
            throw CapExceeded("a word search of " + std::to_string(query.size()) +
                              " characters would take more memory than one query may");
        }
        cells_.assign(rows * width_, cap_);
        labels_.resize(rows);
        lows_.assign(rows, 0);
        for (size_t j = 0; j < width_; ++j) cells_[j] = static_cast<uint32_t>(std::min<uint64_t>(j, cap_));
    }

    uint32_t deepest() const { return deepest_; }
    // The fewest labels a path needs for a cell of its last column to be within the bound.
    uint64_t shortest() const { return width_ - 1 > bound_ ? width_ - 1 - bound_ : 0; }
    uint32_t last(uint32_t d) const { return cells_[d * width_ + width_ - 1]; }

    // Fills row d (1 <= d <= deepest) for the label on the edge into depth d; returns the
    // row's smallest cell, below which no row deeper on this path falls.
    uint32_t fill(uint32_t d, uint32_t label) {
        labels_[d] = label;
        const uint32_t* prev = &cells_[(d - 1) * width_];
        uint32_t* cur = &cells_[d * width_];
        const uint32_t* two_up = d >= 2 ? &cells_[(d - 2) * width_] : nullptr;
        const bool swaps = rule_ == EditRule::Transpositions && d >= 2;
        cur[0] = std::min(d, cap_);
        uint32_t low = cur[0];
        const size_t lo = d > bound_ ? d - bound_ : 1;
        const size_t hi = std::min<uint64_t>(width_ - 1, uint64_t{d} + bound_);
        for (size_t j = lo; j <= hi; ++j) {
            uint32_t v = std::min(prev[j] + 1, cur[j - 1] + 1);
            v = std::min(v, prev[j - 1] + (query_[j - 1] != label ? 1u : 0u));
            if (swaps && j >= 2 && label == query_[j - 2] && labels_[d - 1] == query_[j - 1]) {
                v = std::min(v, two_up[j - 2] + 1);
            }
            v = std::min(v, cap_);
            cur[j] = v;
            low = std::min(low, v);
        }
        lows_[d] = low;
        return low;
    }

    // The labels a child of a node at depth d may have and keep a cell within the bound,
    // when no cell of row d is below the bound (else false: any label may): a cell of the
    // child's row then stays within the bound only through a match from a cell of row d
    // within it. (A swap from row d - 1 needs a cell there below the bound, and the cell
    // beside it in row d is then within the bound too, naming the same label.) Written to
    // `out`, sorted, distinct.
    bool only_labels(uint32_t d, std::vector<uint32_t>& out) const {
        if (lows_[d] < bound_) return false;
        out.clear();
        const uint32_t* row = &cells_[d * width_];
        for (size_t j = 1; j < width_; ++j) {
            if (row[j - 1] <= bound_) out.push_back(query_[j - 1]);
        }
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return true;
    }

private:
    std::span<const uint32_t> query_;
    size_t width_;
    uint32_t bound_;
    uint32_t cap_;
    EditRule rule_;
    uint32_t deepest_;
    std::vector<uint32_t> cells_;
    std::vector<uint32_t> labels_;
    std::vector<uint32_t> lows_;  // the smallest cell of each row
};

// The descent: visit(node, depth, rows) for each node whose row holds a cell within the
// bound, pruned(child, depth of its parent) for each child left out. Where the caller
// does not need every child left out (every_child(node, depth) false), a node whose row
// has no cell below the bound has only the children of a few labels looked up: the
// labels of a node's children rise, as the sorted tails were folded in. Subtrees whose
// tails are all shorter than rows.shortest() are left out unseen: no cell of the last
// column is within the bound on them, which every caller needs below a node it keeps.
template <class Visit, class Pruned, class EveryChild>
void descend(const Words& words, Rows& rows, uint32_t bound, Visit&& visit, Pruned&& pruned,
             EveryChild&& every_child) {
    struct Frame {
        uint32_t node;
        uint32_t depth;
    };
    std::vector<Frame> stack{{0, 0}};
    std::vector<uint32_t> wanted;
    const uint64_t shortest = rows.shortest();
    if (words.node_count() == 0 || !words.reaches(0, 0, shortest)) return;
    while (!stack.empty()) {
        const Frame f = stack.back();
        stack.pop_back();
        if (f.depth > 0) {
            if (f.depth > rows.deepest() || rows.fill(f.depth, words.node(f.node).label) > bound) {
                pruned(f.node, f.depth - 1);
                continue;
            }
        }
        visit(f.node, f.depth);
        const uint32_t begin = words.node(f.node).first_child;
        const uint32_t end = words.node(f.node + 1).first_child;
        if (f.depth < rows.deepest() && !every_child(f.node, f.depth) && rows.only_labels(f.depth, wanted)) {
            for (auto it = wanted.rbegin(); it != wanted.rend(); ++it) {
                if (const auto c = words.child(f.node, *it); c && words.reaches(*c, f.depth + 1, shortest)) {
                    stack.push_back({*c, f.depth + 1});
                }
            }
            continue;
        }
        for (uint32_t c = end; c-- > begin;) {
            if (words.reaches(c, f.depth + 1, shortest)) stack.push_back({c, f.depth + 1});
        }
    }
}

}  // namespace brindlex::lookup::word_descent
