// The level-by-level walk: the descent of walk/descent.hpp taken one depth at a time, for
// the halves of the split search over entry arrays. Every node entered at one depth is
// read before any at the next, and the child run of each is asked for as soon as it is
// entered, so the misses of a whole level overlap instead of coming one after another
// down each branch. Each entered node keeps its own row (the kernel's levels, a few
// words), and a link to its parent to spell its text; records come in level order, not
// walk order, which the split search restores by node number.
//
// The buffers are allocated once a call and only grow (amortised), never per node.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/failure.hpp"
#include "core/text/utf8.hpp"
#include "core/walk/cursors.hpp"
#include "core/walk/descent.hpp"
#include "core/walk/kernels.hpp"
#include "core/walk/walk.hpp"

namespace brindlex::walk {

namespace frontier_detail {

// An entered node: its children still to read, and its place among the links.
struct Open {
    EntryCursor::List list;
    uint32_t link;
};

// The label of an entered node and the link of its parent (kNoLink for the root).
struct Link {
    uint32_t parent;
    uint32_t label;
};
inline constexpr uint32_t kNoLink = UINT32_MAX;

// The text of a child of the node at `link`, whose own label is `label`; `scratch` holds
// the labels of the path while they are gathered.
inline std::string spell(const std::vector<Link>& links, uint32_t link, uint32_t label, bool backward,
                         std::vector<uint32_t>& scratch) {
    scratch.clear();
    for (uint32_t at = link; at != kNoLink; at = links[at].parent) scratch.push_back(links[at].label);
    // scratch now runs from the parent up to the root's child.
    size_t bytes = utf8::encoded_size(label);
    for (const uint32_t c : scratch) bytes += utf8::encoded_size(c);
    std::string text;
    text.reserve(bytes);
    if (backward) {
        utf8::append(text, label);
        for (const uint32_t c : scratch) utf8::append(text, c);
    } else {
        for (size_t k = scratch.size(); k-- > 0;) utf8::append(text, scratch[k]);
        utf8::append(text, label);
    }
    return text;
}

}  // namespace frontier_detail

// Kernel: a LevelRows (Levenshtein) whose rows this walk keeps. q.limit is not applied
// here: level order is not walk order, so the caller cuts after sorting.
template <class Record, class Kernel>
Result<std::vector<Record>> sweep(EntryCursor& cursor, const Kernel& kernel, const Query& q) {
    using namespace frontier_detail;
    constexpr bool kTerms = std::is_same_v<Record, TermMatch>;
    const uint32_t words = kernel.row_words();
    const uint64_t bound = q.plan.bound;

    std::vector<Open> open, next;
    std::vector<uint64_t> rows, next_rows;  // `words` a node, beside open / next
    std::vector<Link> links;                // every entered node, for the texts
    std::vector<uint32_t> scratch;
    open.reserve(64);
    next.reserve(64);
    rows.reserve(64 * words);
    next_rows.reserve(64 * words);
    if constexpr (kTerms) links.reserve(256);

    std::vector<Record> out;
    open.push_back({cursor.root(), kNoLink});
    rows.assign(kernel.first_row(), kernel.first_row() + words);
    for (uint64_t depth = 0; !open.empty(); ++depth) {
        const uint64_t row = depth + 1;
        next.clear();
        next_rows.clear();
        for (size_t i = 0; i < open.size(); ++i) {
            const uint64_t* parent_row = rows.data() + i * words;
            EntryCursor::List list = open[i].list;
            const uint64_t positions = kernel.wanted_positions_of(parent_row);
            if (positions == 0) continue;  // no child can come within the bound
            Wanted wanted;
            if (positions != kAnyPosition && cursor.can_seek(list)) wanted.count = kernel.wanted_labels(positions, wanted);
            while (true) {
                EntryCursor::Child child{};
                const Step step = wanted.count != Wanted::kAny ? cursor.next_wanted(list, child, wanted)
                                                               : cursor.next(list, child);
                if (step != Step::Child) break;  // an entry cursor never fails
                const uint64_t height = child.height;
                const bool known = height != facts::kHeightUnknown;
                if (known && row + height + bound < q.term_length) continue;
                if (row > q.plan.last_row) [[unlikely]]
                    return past_table(child.node, row, q.plan.last_row);

                const size_t at = next_rows.size();
                next_rows.resize(at + words);
                uint32_t distance = kFar;
                if (!kernel.fill_row(parent_row, child.label, next_rows.data() + at, distance)) {
                    next_rows.resize(at);
                    continue;
                }
                if (distance != kFar && (!q.payload_only || (child.info & facts::Entry::kPayloadBit) != 0)) {
                    if constexpr (kTerms) {
                        out.push_back(
                            TermMatch{spell(links, open[i].link, child.label, q.backward, scratch), child.node, distance});
                    } else {
                        out.push_back(NodeMatch{child.node, distance});
                    }
                }
                const bool enter =
                    child.first != child.end &&
                    (!known || kernel.reaches_of(next_rows.data() + at, static_cast<int64_t>(q.term_length) -
                                                                            static_cast<int64_t>(bound + height)));
                if (!enter) {
                    next_rows.resize(at);
                    continue;
                }
                uint32_t link = kNoLink;
                if constexpr (kTerms) {
                    link = static_cast<uint32_t>(links.size());
                    links.push_back({open[i].link, child.label});
                }
                cursor.prefetch_run(child.first, child.end);
                next.push_back({{child.first, child.end}, link});
            }
        }
        open.swap(next);
        rows.swap(next_rows);
    }
    return out;
}

}  // namespace brindlex::walk
