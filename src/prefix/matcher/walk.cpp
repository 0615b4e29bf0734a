// The edit-distance walk: one templated core for both forms and both cell
// widths. The descent is iterative, with an explicit frame stack, so a deep chain cannot
// exhaust the C stack; the table, the frame stack and the path stack are allocated once,
// sized by plan_table (see walk_plan.hpp), and nothing is allocated per visited node.
#include "prefix/matcher/walk.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "prefix/matcher/utf8.hpp"
#include "prefix/matcher/walk_plan.hpp"

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

// Fills `cur` (row d + 1) from `prev` (row d) for a child labelled `label`, and returns
// the row minimum, gathered in the same pass. Wide holds every intermediate sum.
template <class Cell, class Wide>
inline Wide fill_row(const Cell* prev, Cell* cur, const uint32_t* term, uint64_t L, uint32_t label,
                     Wide first) {
    Wide left = first;  // cell j - 1 of the new row
    Wide diag = prev[0];
    Wide row_min = first;
    cur[0] = static_cast<Cell>(first);
    for (uint64_t j = 1; j <= L; ++j) {
        const Wide up = prev[j];
        Wide c = diag + (term[j - 1] != label ? 1 : 0);  // substitution
        if (up + 1 < c) c = up + 1;                      // deletion
        if (left + 1 < c) c = left + 1;                  // insertion
        cur[j] = static_cast<Cell>(c);
        if (c < row_min) row_min = c;
        left = c;
        diag = up;
    }
    return row_min;
}

struct Frame {
    uint64_t node;  // the node whose children this frame goes through
    uint64_t pos;   // next position of child_transitions to read
    uint64_t end;
};

std::string describe_node_shifts(uint64_t node, size_t len) {
    return "walk: node " + std::to_string(node) + " has no node_shifts entry (node_shifts has " +
           std::to_string(len) + " entries)";
}

template <Variant V, class Cell>
Result<std::vector<Record<V>>> walk_core(const TrieStore& store, std::span<const uint32_t> term,
                                         const TablePlan& plan, bool payload_only, uint64_t limit) {
    using Wide = std::conditional_t<sizeof(Cell) <= 2, uint32_t, uint64_t>;
    const uint64_t L = term.size();
    const uint64_t width = plan.width;
    const Wide bound = plan.bound;
    const bool check_payload = V == Variant::Terms || payload_only;

    const auto& shifts = store.node_shifts;
    const auto& transitions = store.child_transitions;
    const auto& labels = store.child_labels;
    const auto& flags = store.has_payload;

    // Rows beyond 0 are always written before they are read, so they need no zero fill;
    // only the rows a walk reaches are ever touched.
    auto table = std::make_unique_for_overwrite<Cell[]>(plan.rows * width);
    for (uint64_t j = 0; j <= L; ++j) table[j] = static_cast<Cell>(j);
    // frames[d] belongs to the entered node at depth d, path[d - 1] is that node's label.
    auto frames = std::make_unique_for_overwrite<Frame[]>(plan.rows);
    std::unique_ptr<uint32_t[]> path;
    if constexpr (V == Variant::Terms) path = std::make_unique_for_overwrite<uint32_t[]>(plan.rows);

    std::vector<Record<V>> out;
    if (shifts.empty()) return out;  // no nodes: the root has no children
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
        const Cell* prev = table.get() + depth * width;
        Cell* cur = table.get() + row * width;
        const Wide row_min = fill_row<Cell, Wide>(prev, cur, term.data(), L, label, static_cast<Wide>(row));
        if (row_min > bound) continue;  // pruned: neither reported nor entered

        const Wide distance = cur[L];
        if (distance <= bound) {
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
                if constexpr (V == Variant::Terms) {
                    std::string text;
                    size_t bytes = utf8::encoded_size(label);
                    for (uint64_t k = 0; k < depth; ++k) bytes += utf8::encoded_size(path[k]);
                    text.reserve(bytes);
                    for (uint64_t k = 0; k < depth; ++k) utf8::append(text, path[k]);
                    utf8::append(text, label);
                    out.push_back(TermMatch{std::move(text), child, static_cast<uint32_t>(distance)});
                } else {
                    out.push_back(NodeMatch{child, static_cast<uint32_t>(distance)});
                }
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

template <Variant V>
Result<std::vector<Record<V>>> run(const TrieStore& store, std::string_view text, uint32_t max_dist,
                                   bool payload_only, std::optional<uint64_t> limit) {
    const uint64_t cap = limit.value_or(std::numeric_limits<uint64_t>::max());
    // A limit of 0 and a store without nodes give an empty result without a look at
    // anything else.
    if (cap == 0 || store.node_shifts.empty()) return std::vector<Record<V>>{};
    const std::vector<uint32_t> term = utf8::decode(text);
    const TablePlan plan = walk_detail::plan_table(term.size(), max_dist, store.facts.max_depth);
    if (plan.narrow) return walk_core<V, uint16_t>(store, term, plan, payload_only, cap);
    return walk_core<V, uint32_t>(store, term, plan, payload_only, cap);
}

}  // namespace

Result<std::vector<TermMatch>> walk_terms(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          std::optional<uint64_t> limit) {
    return run<Variant::Terms>(store, term, max_dist, true, limit);
}

Result<std::vector<NodeMatch>> walk_nodes(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          bool payload_only, std::optional<uint64_t> limit) {
    return run<Variant::Nodes>(store, term, max_dist, payload_only, limit);
}

}  // namespace brindlex
