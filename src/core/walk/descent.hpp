// The descent: one depth-first walk over any child cursor (walk/cursors.hpp) with any row
// kernel (walk/kernels.hpp), for both record forms. It is iterative, with one list per
// depth, so a deep chain cannot exhaust the C stack; the lists, the path and the kernel's
// rows are allocated once, sized by the table plan, and nothing is allocated per visited
// node.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/failure.hpp"
#include "core/text/utf8.hpp"
#include "core/walk/cursors.hpp"
#include "core/walk/kernels.hpp"
#include "core/walk/plan.hpp"
#include "core/walk/walk.hpp"

namespace brindlex::walk {

struct Query {
    uint64_t term_length;  // L, in scalar values
    TablePlan plan;
    bool payload_only;  // report only nodes with a payload of their own
    uint64_t limit;     // stop after this many records (at least 1)
    bool backward = false;  // the cursor spells terms from their end (the reversed-term index)
};

// A term's text, built only for a reported node: the labels on the path (path[0 ..
// depth)) and the node's own label; read in reverse for a backward walk.
inline std::string path_text(const uint32_t* path, uint64_t depth, uint32_t label, bool backward) {
    size_t bytes = utf8::encoded_size(label);
    for (uint64_t k = 0; k < depth; ++k) bytes += utf8::encoded_size(path[k]);
    std::string text;
    text.reserve(bytes);
    if (backward) {
        utf8::append(text, label);
        for (uint64_t k = depth; k-- > 0;) utf8::append(text, path[k]);
    } else {
        for (uint64_t k = 0; k < depth; ++k) utf8::append(text, path[k]);
        utf8::append(text, label);
    }
    return text;
}

// No node of a finished store lies deeper than its derived max_depth, so the table has a
// row for every node the walk can enter; a store changed after it was finished might
// not, and must never make the walk write past its table.
[[gnu::cold, gnu::noinline]] inline std::unexpected<InternalError> past_table(uint64_t node, uint64_t row,
                                                                              uint64_t last_row) {
    return internal_error("walk: node " + std::to_string(node) + " lies at depth " + std::to_string(row) +
                          ", past the last row " + std::to_string(last_row) +
                          " of the distance table (the store changed after it was finished)");
}

template <class Record, class Cursor, class Kernel>
Result<std::vector<Record>> descend(Cursor& cursor, Kernel& kernel, const Query& q) {
    constexpr bool kTerms = std::is_same_v<Record, TermMatch>;
    using List = typename Cursor::List;
    const uint64_t bound = q.plan.bound;
    const bool check_payload = q.payload_only;

    // lists[d] belongs to the entered node at depth d, path[d - 1] is that node's label.
    auto lists = std::make_unique_for_overwrite<List[]>(q.plan.rows);
    std::unique_ptr<uint32_t[]> path;
    if constexpr (kTerms) path = std::make_unique_for_overwrite<uint32_t[]>(q.plan.rows);

    // Where the kernel can name the few labels that matter below a node and the cursor
    // can look labels up, the other children are never read.
    constexpr bool kSeeks = requires(Kernel& k, Cursor& c, List& l, typename Cursor::Child& ch, Wanted& w) {
        k.wanted_labels(k.wanted_positions(uint64_t{0}), w);
        c.next_wanted(l, ch, w);
    };
    std::unique_ptr<Wanted[]> wanted;
    if constexpr (kSeeks) wanted = std::make_unique<Wanted[]>(q.plan.rows);
    auto narrow = [&](uint64_t row) {
        if constexpr (kSeeks) {
            Wanted& w = wanted[row];
            w.count = Wanted::kAny;
            const uint64_t positions = kernel.wanted_positions(row);
            if (positions == 0) {
                lists[row] = {};  // no child can come within the bound: none is read
            } else if (positions != walk::kAnyPosition && cursor.can_seek(lists[row])) {
                w.count = kernel.wanted_labels(positions, w);
            }
        }
    };

    std::vector<Record> out;
    lists[0] = cursor.root();
    narrow(0);
    uint64_t depth = 0;
    while (true) {
        typename Cursor::Child child{};
        Step step;
        if constexpr (kSeeks) {
            step = wanted[depth].count != Wanted::kAny ? cursor.next_wanted(lists[depth], child, wanted[depth])
                                                      : cursor.next(lists[depth], child);
        } else {
            step = cursor.next(lists[depth], child);
        }
        if (step == Step::End) {
            if (depth == 0) break;
            --depth;
            continue;
        }
        if (step == Step::Fail) [[unlikely]]
            return internal_error(cursor.failure());

        const uint64_t row = depth + 1;
        const uint64_t height = child.height;
        const bool known = height != facts::kHeightUnknown;
        // No node below this child lies deeper than row + height; when even that is more
        // than the bound short of the term, nothing in the subtree can be reported.
        if (known && row + height + bound < q.term_length) continue;
        if (row > q.plan.last_row) [[unlikely]]
            return past_table(child.node, row, q.plan.last_row);

        uint32_t distance = kFar;
        if (!kernel.fill(row, child.label, distance)) continue;  // pruned: neither reported nor entered

        if (distance != kFar) {
            bool report = true;
            if (check_payload && cursor.payload(child, report) == Step::Fail) [[unlikely]]
                return internal_error(cursor.failure());
            if (report) {
                if constexpr (kTerms) {
                    out.push_back(TermMatch{path_text(path.get(), depth, child.label, q.backward), child.node, distance});
                } else {
                    out.push_back(NodeMatch{child.node, distance});
                }
                if (out.size() >= q.limit) return out;  // stop before entering the child
            }
        }

        // Look ahead: enter only when some node below can still come within the bound.
        if (known && !kernel.reaches(row, static_cast<int64_t>(q.term_length) - static_cast<int64_t>(bound + height))) {
            continue;
        }
        const Step entered = cursor.enter(child, lists[row]);  // row < plan.rows
        if (entered == Step::End) continue;
        if (entered == Step::Fail) [[unlikely]]
            return internal_error(cursor.failure());
        if constexpr (kTerms) path[depth] = child.label;
        narrow(row);
        depth = row;
    }
    return out;
}

}  // namespace brindlex::walk
