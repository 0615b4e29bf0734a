// Completion of a mistyped prefix, best first. A term's prefix edit distance is the
// smallest distance from the prefix to any beginning of the term. Below a node v at depth
// d, with R its row of the distance table (the banded rows of walk/band_row.hpp, the
// walk's own rule) and m the smallest last cell on the path down to v:
//   - v's own term is at exactly m;
//   - every term below is at least min(m, min R): its beginnings up to v give m, the
//     longer ones a last cell of a deeper row, and no row minimum falls going down;
//   - when m <= min R that bound is exact for the whole subtree, which needs no rows.
// Items are subtrees ranked by (that bound, the largest own count below, their text) and
// terms by (distance, own count, text); every term below a subtree ranks at or after the
// subtree's item, so terms come out in the final order and the search stops after the
// n-th. A child's row is filled only when its item reaches the top, ranked until then
// by its parent's bound (never above its own), so children that rank too low to matter
// are never filled.
#include <algorithm>
#include <limits>
#include <string>

#include "core/facts/facts.hpp"
#include "core/lookup/lookup.hpp"
#include "core/lookup/paths.hpp"
#include "core/text/utf8.hpp"
#include "core/walk/band_row.hpp"
#include "core/walk/plan.hpp"

namespace brindlex::lookup {

namespace {

enum class Kind : uint8_t { Term, Subtree, Unfilled };

struct Item {
    uint32_t distance;  // exact for terms, a lower bound for subtrees
    uint32_t value;     // own count of a term, largest own count below a subtree
    uint32_t node;
    uint32_t path;
    Kind kind;
};

constexpr uint32_t kNoRow = std::numeric_limits<uint32_t>::max();

[[noreturn]] void refuse(uint64_t length, uint32_t bound, uint64_t bytes) {
    throw CapExceeded("completing a prefix of " + std::to_string(length) + " characters within " +
                      std::to_string(bound) + " edits needs more than " + std::to_string(bytes) +
                      " bytes, more than the cap of " + std::to_string(walk::kMaxWalkBytes) + " bytes");
}

template <class Cell, bool Osa>
class Search {
public:
    Search(const TrieStore& store, const TermIndex& index, std::span<const uint32_t> prefix, uint32_t bound)
        : store_(store),
          index_(index),
          shape_{prefix.data(), prefix.size(), bound, 2 * uint64_t{bound} + 1},
          bound_(bound) {}

    Result<std::vector<TermHit>> run(uint64_t n) {
        std::vector<TermHit> out;
        // The root: row 0, bound 0.
        grow();
        walk::first_band_row(shape_, cells_.data());
        // Bound 0 never comes here, so L >= 1 and the root's bound (0) is never exact.
        rows_.push_back(0);
        reach_.push_back(shape_.length <= bound_ ? static_cast<uint32_t>(shape_.length) : bound_ + 1);
        push({0, index_.best_below(0), 0, Paths::kPrefix, Kind::Subtree});

        const size_t nodes = store_.node_count();
        while (!heap_.empty()) {
            std::pop_heap(heap_.begin(), heap_.end(), lower_);
            Item item = heap_.back();
            heap_.pop_back();
            if (item.kind == Kind::Term) {
                TermHit hit{{}, item.node, item.distance, item.value};
                paths_.append_text(item.path, hit.term);
                out.push_back(std::move(hit));
                if (out.size() >= n) break;
                continue;
            }
            if (item.kind == Kind::Unfilled) {
                const uint32_t at_least = fill(item.path);
                if (at_least > bound_) continue;
                if (at_least > item.distance) {
                    item.distance = at_least;
                    item.kind = Kind::Subtree;
                    push(item);
                    continue;
                }
            }
            // A subtree at the top: its own term, and its children ranked by its bound.
            const uint32_t v = item.node;
            const uint32_t reach = reach_[item.path];
            if (v != 0 && store_.has_payload[v] && reach <= bound_) {
                push({reach, index_.own_count(store_, v), v, item.path, Kind::Term});
            }
            const auto range = store_.child_range(v);
            for (uint64_t pos = range.begin; pos < range.end; ++pos) {
                if (pos >= store_.child_transitions.size()) return internal_error("a child list runs past its end");
                const uint32_t c = store_.child_transitions[pos];
                if (c >= nodes) return internal_error("a child is not a node");
                const uint32_t label = store_.child_labels[c];
                if (label == 0) continue;
                if (paths_.size() >= kMaxPaths) refuse(shape_.length, bound_, bytes());
                const uint32_t path = paths_.extend(item.path, label);
                rows_.push_back(kNoRow);
                reach_.push_back(reach);
                // Below a subtree whose bound is exact, every child has that distance.
                const Kind kind = rows_[item.path] == kNoRow ? Kind::Subtree : Kind::Unfilled;
                push({item.distance, index_.best_below(c), c, path, kind});
            }
        }
        return out;
    }

private:
    // Fills the row of `path` from its parent's and returns the bound of its subtree;
    // keeps the row only when the bound is not exact.
    uint32_t fill(uint32_t path) {
        const uint32_t parent = paths_.parent(path);
        const uint64_t band = shape_.band;
        const uint64_t depth = paths_.depth(path);
        const uint32_t row = grow();
        const Cell* swap = nullptr;
        uint32_t up_label = 0;
        if constexpr (Osa) {
            if (depth >= 2) {
                // The grandparent was filled: its child was.
                swap = cells_.data() + uint64_t{rows_[paths_.parent(parent)]} * band;
                up_label = paths_.label(parent);
            }
        }
        const auto cells = walk::fill_band_row<Cell, Osa>(shape_, cells_.data() + uint64_t{rows_[parent]} * band, swap,
                                                          cells_.data() + uint64_t{row} * band, depth,
                                                          paths_.label(path), up_label);
        const uint32_t reach = std::min<uint32_t>(reach_[parent], static_cast<uint32_t>(cells.at_end));
        reach_[path] = reach;
        const uint32_t at_least = std::min<uint32_t>(reach, static_cast<uint32_t>(cells.row_min));
        if (at_least == reach || at_least > bound_) {
            cells_.resize(cells_.size() - band);  // exact or out of bounds: the row is never read
        } else {
            rows_[path] = row;
        }
        return at_least;
    }

    // A new row at the end of the kept ones; its number.
    uint32_t grow() {
        const uint64_t band = shape_.band;
        if ((cells_.size() / band + 1) * band > kRowBytes / sizeof(Cell)) refuse(shape_.length, bound_, bytes());
        const auto row = static_cast<uint32_t>(cells_.size() / band);
        cells_.resize(cells_.size() + band);
        return row;
    }

    void push(const Item& item) {
        if (heap_.size() >= kMaxItems) refuse(shape_.length, bound_, bytes());
        heap_.push_back(item);
        std::push_heap(heap_.begin(), heap_.end(), lower_);
    }

    uint64_t bytes() const {
        return cells_.size() * sizeof(Cell) + heap_.size() * sizeof(Item) + paths_.size() * kPathBytes;
    }

    // Every node is one path and one item at most; rows take the rest of the walk's cap.
    static constexpr uint64_t kPathBytes = 12 + 2 * sizeof(uint32_t);
    static constexpr uint64_t kMaxItems = walk::kMaxWalkBytes / 4 / sizeof(Item);
    static constexpr uint64_t kMaxPaths = walk::kMaxWalkBytes / 4 / kPathBytes;
    static constexpr uint64_t kRowBytes = walk::kMaxWalkBytes / 2;

    const TrieStore& store_;
    const TermIndex& index_;
    walk::BandShape shape_;
    uint32_t bound_;
    Paths paths_;
    std::vector<Cell> cells_;      // the rows kept, band cells each
    std::vector<uint32_t> rows_;   // per path: its row, or kNoRow when its bound is exact
    std::vector<uint32_t> reach_;  // per path: the smallest last cell down to it (at most bound + 1)
    std::vector<Item> heap_;
    // Which item ranks lower; the best is on top.
    struct Lower {
        const Paths* paths;
        bool operator()(const Item& a, const Item& b) const {
            if (a.distance != b.distance) return a.distance > b.distance;
            if (a.value != b.value) return a.value < b.value;
            const auto by_text = paths->compare(a.path, b.path);
            if (by_text != 0) return by_text > 0;
            return a.kind != Kind::Term && b.kind == Kind::Term;  // a term before the subtree it roots
        }
    } lower_{&paths_};
};

template <class Cell>
Result<std::vector<TermHit>> search(const TrieStore& store, const TermIndex& index, std::span<const uint32_t> prefix,
                                    uint32_t bound, uint64_t n, EditRule rule) {
    if (rule == EditRule::Transpositions) return Search<Cell, true>(store, index, prefix, bound).run(n);
    return Search<Cell, false>(store, index, prefix, bound).run(n);
}

}  // namespace

Result<std::vector<TermHit>> fuzzy_complete(const TrieStore& store, const TermIndex& index,
                                            std::span<const uint32_t> prefix, uint32_t max_dist, uint64_t n,
                                            EditRule rule) {
    if (n == 0) return std::vector<TermHit>{};
    // Every term is within L of the prefix (its empty beginning): a larger bound finds
    // no more, and bound 0 is exact completion.
    const uint64_t length = prefix.size();
    const auto bound = static_cast<uint32_t>(std::min<uint64_t>(max_dist, length));
    if (bound == 0) return complete(store, index, prefix, n);
    // A term at depth d is at least L - d from the prefix.
    const facts::Facts& facts = facts::facts_of(store);
    if (facts.tree && length > facts.max_depth + uint64_t{bound}) return std::vector<TermHit>{};
    if (bound < 0xFF) return search<uint8_t>(store, index, prefix, bound, n, rule);
    if (bound < 0xFFFF) return search<uint16_t>(store, index, prefix, bound, n, rule);
    return search<uint32_t>(store, index, prefix, bound, n, rule);
}

}  // namespace brindlex::lookup
