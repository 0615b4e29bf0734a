// The edit-distance walk: one templated core for both forms and both cell
// widths. The descent is iterative, with an explicit frame stack, so a deep chain cannot
// exhaust the C stack; the table, the frame stack and the path stack are allocated once,
// sized by plan_table (see walk_plan.hpp), and nothing is allocated per visited node.
#include "core/walk/walk.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "core/text/utf8.hpp"
#include "core/walk/plan.hpp"

namespace brindlex {

namespace walk_detail {

TablePlan plan_table(uint64_t term_length, uint32_t max_dist, uint64_t max_depth) {
    // Past this the table could not have even two rows within the cap; checking it first
    // keeps every sum below overflow (L < 2^32, max_dist < 2^32).
    if (term_length >= kMaxTableCells) throw std::bad_alloc();
    const uint64_t L = term_length;
    const uint64_t M = max_dist;
    TablePlan p{};
    p.width = L + 1;
    if (max_depth == DerivedFacts::kUnbounded) {
        p.rows = L + M + 2;
        p.last_row = p.rows - 1;
        p.bound = max_dist;
    } else {
        p.rows = std::min(L + M, max_depth) + 2;
        p.last_row = std::min(p.rows - 1, max_depth);
        p.bound = static_cast<uint32_t>(std::min(M, std::max(L, max_depth)));
    }
    if (p.rows > kMaxTableCells / p.width) throw std::bad_alloc();
    p.narrow = L <= 0xFFFF && p.last_row <= 0xFFFF;
    return p;
}

}  // namespace walk_detail

namespace {

using walk_detail::TablePlan;

enum class Variant { Terms, Nodes };

template <Variant V>
using Record = std::conditional_t<V == Variant::Terms, TermMatch, NodeMatch>;

// ---------------------------------------------------------------------------------------
// Row kernels. A kernel keeps the rows of the current path (row d belongs to the node at
// depth d) and fills row d + 1 from row d for a child's label. fill() returns false when
// every cell of the new row exceeds the bound (the child is pruned); otherwise it sets
// `distance` to the row's last cell, or kFar when that cell exceeds the bound.

constexpr uint32_t kFar = UINT32_MAX;

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
constexpr uint64_t kMaxLevelTerm = 63;
constexpr uint32_t kMaxLevelBound = 31;

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

// Levels is the number of error levels (bound + 1); a fixed count lets the compiler
// unroll the level loop for the common small bounds, 0 means "given at run time".
template <uint32_t FixedLevels>
class LevelRows {
public:
    LevelRows(std::span<const uint32_t> term, const TablePlan& plan)
        : masks_(term),
          length_(term.size()),
          levels_(FixedLevels != 0 ? FixedLevels : plan.bound + 1),
          valid_(length_ >= 63 ? ~uint64_t{0} : (uint64_t{1} << (length_ + 1)) - 1),
          rows_(std::make_unique_for_overwrite<uint64_t[]>(plan.rows * levels())) {
        for (uint32_t e = 0; e < levels(); ++e) rows_[e] = ((uint64_t{2} << e) - 1) & valid_;
    }

    bool fill(uint64_t row, uint32_t label, uint32_t& distance) {
        const uint32_t n = levels();
        const uint64_t match = masks_(label);
        const uint64_t* old = rows_.get() + (row - 1) * n;
        uint64_t* cur = rows_.get() + row * n;
        // Bits above L may appear from the shifts; they only ever move further up, so
        // they are masked off where a row is judged instead of at every level.
        uint64_t below = (old[0] << 1) & match;
        cur[0] = below;
        for (uint32_t e = 1; e < n; ++e) {
            const uint64_t v = ((old[e] << 1) & match) | (old[e - 1] << 1) | old[e - 1] | (below << 1);
            cur[e] = v;
            below = v;
        }
        if (row < n) [[unlikely]] {
            // Cell 0 holds the depth, so near the root it is within the upper levels; the
            // insertion term carries it up the row.
            below = 0;
            for (uint32_t e = 0; e < n; ++e) {
                uint64_t v = cur[e] | (below << 1);
                if (e >= row) v |= 1;
                cur[e] = v;
                below = v;
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

    TermMasks masks_;
    uint64_t length_;
    uint32_t levels_;
    uint64_t valid_;  // bits 0..L
    std::unique_ptr<uint64_t[]> rows_;
};

// ---------------------------------------------------------------------------------------
// The descent, shared by every kernel and both forms.

struct Frame {
    uint64_t node;  // the node whose children this frame goes through
    uint64_t pos;   // next position of child_transitions to read
    uint64_t end;
};

// Appends the record of a reported node; a term's text is built only here, from the
// labels on the path (path[0 .. depth)) and the node's own label.
template <Variant V>
void append_record(std::vector<Record<V>>& out, const uint32_t* path, uint64_t depth, uint32_t label, uint64_t node,
                   uint32_t distance) {
    if constexpr (V == Variant::Terms) {
        std::string text;
        size_t bytes = utf8::encoded_size(label);
        for (uint64_t k = 0; k < depth; ++k) bytes += utf8::encoded_size(path[k]);
        text.reserve(bytes);
        for (uint64_t k = 0; k < depth; ++k) utf8::append(text, path[k]);
        utf8::append(text, label);
        out.push_back(TermMatch{std::move(text), node, distance});
    } else {
        out.push_back(NodeMatch{node, distance});
    }
}

std::string describe_node_shifts(uint64_t node, size_t len) {
    return "walk: node " + std::to_string(node) + " has no node_shifts entry (node_shifts has " +
           std::to_string(len) + " entries)";
}

template <Variant V, class Kernel>
Result<std::vector<Record<V>>> walk_core(const TrieStore& store, Kernel& kernel, uint64_t term_length,
                                         const TablePlan& plan, bool payload_only, uint64_t limit,
                                         bool skip_short_subtrees) {
    const uint64_t bound = plan.bound;
    const bool check_payload = V == Variant::Terms || payload_only;

    const auto& shifts = store.node_shifts;
    const auto& transitions = store.child_transitions;
    const auto& labels = store.child_labels;
    const auto& flags = store.has_payload;
    const auto& height = store.facts.height;
    // Subtree skipping is exact only where the facts describe every reachable node.
    skip_short_subtrees = skip_short_subtrees && store.facts.sound && height.size() == shifts.size();

    // frames[d] belongs to the entered node at depth d, path[d - 1] is that node's label.
    auto frames = std::make_unique_for_overwrite<Frame[]>(plan.rows);
    std::unique_ptr<uint32_t[]> path;
    if constexpr (V == Variant::Terms) path = std::make_unique_for_overwrite<uint32_t[]>(plan.rows);

    std::vector<Record<V>> out;
    {
        const auto r = store.child_range(0);
        frames[0] = Frame{0, r.begin, r.end};
    }
    uint64_t depth = 0;
    while (true) {
        Frame& f = frames[depth];
        if (f.pos >= f.end) {
            if (depth == 0) break;
            --depth;
            continue;
        }
        const uint64_t pos = f.pos++;
        if (pos >= transitions.size()) {
            return internal_error("walk: child list of node " + std::to_string(f.node) + " reads position " +
                                  std::to_string(pos) + " but child_transitions has " +
                                  std::to_string(transitions.size()) + " entries");
        }
        const uint64_t child = transitions[pos];
        if (child >= labels.size()) {
            return internal_error("walk: child_transitions[" + std::to_string(pos) + "] names node " +
                                  std::to_string(child) + " but child_labels has " +
                                  std::to_string(labels.size()) + " entries");
        }
        const uint32_t label = labels[child];
        if (label == 0) continue;

        const uint64_t row = depth + 1;
        // No node below this child lies deeper than row + height; when even that is more
        // than the bound short of the term, nothing in the subtree can be reported.
        if (skip_short_subtrees && child < height.size()) {
            const uint64_t h = height[child];
            if (h != DerivedFacts::kHeightUnknown && row + h + bound < term_length) continue;
        }
        if (row > plan.last_row) [[unlikely]] {
            if (row >= plan.rows) {
                return internal_error("walk: node " + std::to_string(child) + " at depth " + std::to_string(row) +
                                      " needs distance row " + std::to_string(row) + " but the table has " +
                                      std::to_string(plan.rows) + " rows");
            }
            return internal_error("walk: node " + std::to_string(child) + " lies at depth " + std::to_string(row) +
                                  ", deeper than the store's derived max_depth " +
                                  std::to_string(store.facts.max_depth) + " (facts stale or not derived)");
        }
        uint32_t distance = kFar;
        if (!kernel.fill(row, label, distance)) continue;  // pruned: neither reported nor entered

        if (distance != kFar) {
            bool report = true;
            if (check_payload) {
                if (child >= flags.size()) {
                    return internal_error("walk: node " + std::to_string(child) +
                                          " has no has_payload entry (has_payload has " +
                                          std::to_string(flags.size()) + " entries)");
                }
                report = flags[child] != 0;
            }
            if (report) {
                append_record<V>(out, path.get(), depth, label, child, distance);
                if (out.size() >= limit) return out;  // stop before entering the child
            }
        }

        // Enter the child: its row is row `row`, its frame frames[row] (row < plan.rows).
        if (child >= shifts.size()) return internal_error(describe_node_shifts(child, shifts.size()));
        const auto r = store.child_range(child);
        if constexpr (V == Variant::Terms) path[depth] = label;
        frames[row] = Frame{child, r.begin, r.end};
        depth = row;
    }
    return out;
}

// The same descent over a sound store, reading its breadth-first entries: every read is
// known to be in range, child lists are contiguous, and the lists near the root share a
// few pages. Subtrees whose deepest node is still more than the bound short of the term
// are skipped unseen.
template <Variant V, class Kernel>
Result<std::vector<Record<V>>> walk_sound(const TrieStore& store, Kernel& kernel, uint64_t term_length,
                                          const TablePlan& plan, bool payload_only, uint64_t limit) {
    using Entry = DerivedFacts::Entry;
    const uint64_t bound = plan.bound;
    const bool check_payload = V == Variant::Terms || payload_only;
    const Entry* entries = store.facts.entries.data();

    struct Span {
        uint32_t pos;
        uint32_t end;
    };
    auto frames = std::make_unique_for_overwrite<Span[]>(plan.rows);
    std::unique_ptr<uint32_t[]> path;
    if constexpr (V == Variant::Terms) path = std::make_unique_for_overwrite<uint32_t[]>(plan.rows);

    std::vector<Record<V>> out;
    frames[0] = Span{0, store.facts.root_count};
    uint64_t depth = 0;
    while (true) {
        Span& f = frames[depth];
        if (f.pos >= f.end) {
            if (depth == 0) break;
            --depth;
            continue;
        }
        const Entry& entry = entries[f.pos++];
        const uint32_t info = entry.info;
        const uint64_t row = depth + 1;
        const uint64_t height = info >> DerivedFacts::kHeightShift;
        if (height != DerivedFacts::kHeightUnknown && row + height + bound < term_length) continue;
        // Facts that no longer describe the store must not make the walk write past its
        // table; fail as the checked descent does.
        if (row > plan.last_row) [[unlikely]] {
            return internal_error("walk: node " + std::to_string(entry.node) + " lies at depth " +
                                  std::to_string(row) + ", deeper than the store's derived max_depth " +
                                  std::to_string(store.facts.max_depth) + " (facts stale or not derived)");
        }
        const uint32_t label = info & DerivedFacts::kLabelMask;
        uint32_t distance = kFar;
        if (!kernel.fill(row, label, distance)) continue;
        if (distance != kFar && (!check_payload || (info & DerivedFacts::kPayloadBit))) {
            append_record<V>(out, path.get(), depth, label, entry.node, distance);
            if (out.size() >= limit) return out;
        }
        if (entry.count == 0) continue;  // a leaf: nothing to enter
        if (height != DerivedFacts::kHeightUnknown &&
            !kernel.reaches(row, static_cast<int64_t>(term_length) - static_cast<int64_t>(bound + height))) {
            continue;
        }
        if constexpr (V == Variant::Terms) path[depth] = label;
        frames[row] = Span{entry.first, entry.first + entry.count};
        depth = row;
    }
    return out;
}

// Runs the descent that fits the store with the given kernel.
template <Variant V, class Kernel>
Result<std::vector<Record<V>>> descend(const TrieStore& store, Kernel& kernel, uint64_t term_length,
                                       const TablePlan& plan, bool payload_only, uint64_t limit, bool fast) {
    const DerivedFacts& facts = store.facts;
    const bool facts_fit = facts.sound && facts.height.size() == store.node_shifts.size() &&
                           store.has_payload.size() >= store.node_shifts.size() &&
                           facts.root_count <= facts.entries.size() &&
                           facts.transitions_seen == store.child_transitions.size();
    if (fast && facts_fit) {
        return walk_sound<V>(store, kernel, term_length, plan, payload_only, limit);
    }
    return walk_core<V>(store, kernel, term_length, plan, payload_only, limit, fast);
}

template <Variant V>
Result<std::vector<Record<V>>> run(const TrieStore& store, std::string_view text, uint32_t max_dist,
                                   bool payload_only, std::optional<uint64_t> limit, WalkKernel choice) {
    const uint64_t cap = limit.value_or(std::numeric_limits<uint64_t>::max());
    // A limit of 0 and a store without nodes give an empty result without a look at
    // anything else.
    if (cap == 0 || store.node_shifts.empty()) return std::vector<Record<V>>{};
    const std::vector<uint32_t> term = utf8::decode(text);
    // No node of a sound store lies deeper than max_depth, and a node at depth d is at
    // least L - d from the term: a term longer than that plus the bound matches nothing,
    // however large a table it would otherwise need.
    const DerivedFacts& facts = store.facts;
    if (facts.sound && facts.max_depth != DerivedFacts::kUnbounded &&
        term.size() > facts.max_depth + uint64_t{max_dist}) {
        return std::vector<Record<V>>{};
    }
    const TablePlan plan = walk_detail::plan_table(term.size(), max_dist, store.facts.max_depth);
    const bool fast = choice == WalkKernel::Fastest;
    if (fast && term.size() <= kMaxLevelTerm && plan.bound <= kMaxLevelBound) {
        auto with = [&]<uint32_t Levels>() {
            LevelRows<Levels> kernel(term, plan);
            return descend<V>(store, kernel, term.size(), plan, payload_only, cap, true);
        };
        switch (plan.bound) {
            case 0: return with.template operator()<1>();
            case 1: return with.template operator()<2>();
            case 2: return with.template operator()<3>();
            case 3: return with.template operator()<4>();
            default: return with.template operator()<0>();
        }
    }
    if (plan.narrow) {
        CellRows<uint16_t> kernel(term, plan);
        return descend<V>(store, kernel, term.size(), plan, payload_only, cap, fast);
    }
    CellRows<uint32_t> kernel(term, plan);
    return descend<V>(store, kernel, term.size(), plan, payload_only, cap, fast);
}

}  // namespace

Result<std::vector<TermMatch>> walk_terms(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          std::optional<uint64_t> limit, WalkKernel kernel) {
    return run<Variant::Terms>(store, term, max_dist, true, limit, kernel);
}

Result<std::vector<NodeMatch>> walk_nodes(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          bool payload_only, std::optional<uint64_t> limit, WalkKernel kernel) {
    return run<Variant::Nodes>(store, term, max_dist, payload_only, limit, kernel);
}

}  // namespace brindlex
