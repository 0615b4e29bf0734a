#include "core/construct/aggregate.hpp"

#include <algorithm>
#include <string>

namespace brindlex {

namespace {

PayloadView input_view(const PayloadTable& in, size_t v) {
    return in.present(v) ? in.view(v) : PayloadView{};
}

// Failure texts, out of the pass's loops.
[[gnu::cold, gnu::noinline]] std::unexpected<InternalError> short_shifts(size_t shifts, size_t slots) {
    return internal_error("aggregate_payloads: node_shifts has " + std::to_string(shifts) + " entries for " +
                          std::to_string(slots) + " payload slots");
}

[[gnu::cold, gnu::noinline]] std::unexpected<InternalError> short_counts(size_t v) {
    return internal_error("aggregate_payloads: payload of node " + std::to_string(v) +
                          " has fewer video counts than video ids");
}

[[gnu::cold, gnu::noinline]] std::unexpected<InternalError> position_outside(size_t v, uint64_t pos, size_t len) {
    return internal_error("aggregate_payloads: child position " + std::to_string(pos) + " of node " +
                          std::to_string(v) + " is outside child_transitions (length " + std::to_string(len) + ")");
}

[[gnu::cold, gnu::noinline]] std::unexpected<InternalError> no_slot(size_t c, size_t v) {
    return internal_error("aggregate_payloads: child " + std::to_string(c) + " of node " + std::to_string(v) +
                          " has no payload slot");
}

}  // namespace

Result<void> aggregate_payloads(TrieStore& store, uint64_t video_top_n) {
    const PayloadTable& in = store.payloads;
    const size_t n = in.size();
    if (store.node_shifts.size() < n) return short_shifts(store.node_shifts.size(), n);
    for (size_t v = 0; v < n; ++v) {
        const PayloadView p = input_view(in, v);
        if (p.video_counts.size() < p.video_ids.size()) return short_counts(v);
    }

    if (in.total_video_ids() == 0) {
        // No video anywhere: every list stays empty, and only the totals are summed.
        std::vector<uint32_t> total(n, 0);
        for (size_t v = n; v-- > 0;) {
            uint32_t acc = in.present(v) ? in.count(v) : 0;
            const auto range = store.child_range(v);
            for (uint64_t pos = range.begin; pos < range.end; ++pos) {
                if (pos >= store.child_transitions.size()) return position_outside(v, pos, store.child_transitions.size());
                const size_t c = store.child_transitions[pos];
                if (c >= n) return no_slot(c, v);
                if (c == v) continue;
                // Children numbered above v are finished; below v they still hold their input.
                acc = saturating_add(acc, c > v ? total[c] : (in.present(c) ? in.count(c) : 0));
            }
            total[v] = acc;
        }
        store.payloads = PayloadTable::whole(std::vector<uint8_t>(n, 1), std::move(total), std::vector<uint32_t>(n, 0), {}, {},
                                             std::vector<uint64_t>((n + 63) / 64, 0));
        return {};
    }

    // Finished payloads are appended to an arena in the order they complete (N-1 first);
    // each node remembers where its lists start, so later parents can read them.
    std::vector<uint32_t> arena_ids;
    std::vector<uint32_t> arena_counts;
    std::vector<uint64_t> start(n, 0);
    std::vector<uint32_t> length(n, 0);
    std::vector<uint32_t> total(n, 0);
    arena_ids.reserve(in.total_video_ids());
    arena_counts.reserve(in.total_video_ids());

    auto finished_view = [&](size_t c) {
        return PayloadView{total[c], std::span<const uint32_t>(arena_ids).subspan(start[c], length[c]),
                           std::span<const uint32_t>(arena_counts).subspan(start[c], length[c])};
    };

    Payload acc;
    MergeScratch scratch;
    // Sums indexed by video number when the numbers are no larger than the input (they
    // may be anything in a hand-made input; then merging sorts instead).
    uint32_t max_id = 0;
    for (size_t v = 0; v < n; ++v) {
        for (uint32_t id : input_view(in, v).video_ids) max_id = std::max(max_id, id);
    }
    if (in.total_video_ids() > 0 && max_id < 2 * (n + in.total_video_ids())) scratch.index_videos(size_t{max_id} + 1);
    std::vector<PayloadView> kids;
    // merged[v]: v's finished list went through a merge, so it holds each video once,
    // ordered as merge orders (count descending, then video number).
    std::vector<uint8_t> merged(n, 0);
    for (size_t v = n; v-- > 0;) {
        const PayloadView own = input_view(in, v);
        acc.count = own.count;

        kids.clear();
        size_t only_kid = 0;  // the last child listed: the only one when kids has one
        bool all_merged = true;
        const auto range = store.child_range(v);
        for (uint64_t pos = range.begin; pos < range.end; ++pos) {
            if (pos >= store.child_transitions.size()) return position_outside(v, pos, store.child_transitions.size());
            const size_t c = store.child_transitions[pos];
            if (c >= n) return no_slot(c, v);
            if (c == v) continue;  // a node listed as its own child adds nothing
            // Children numbered above v are finished; below v they still hold their input.
            kids.push_back(c > v ? finished_view(c) : input_view(in, c));
            only_kid = c;
            all_merged = all_merged && c > v && merged[c];
        }

        if (own.video_ids.empty() && kids.size() == 1 && all_merged) {
            // Merging one finished list into nothing gives that list back unchanged: the
            // node shows the child's lists where they lie in the arena, copying nothing.
            const size_t c = only_kid;
            start[v] = start[c];
            length[v] = length[c];
            total[v] = saturating_add(own.count, total[c]);
            merged[v] = 1;
            continue;
        }
        if (kids.empty()) {
            // Never merged: the node keeps its own list, order and repeats included, cut
            // to video_top_n, straight into the arena.
            const auto m = static_cast<ptrdiff_t>(std::min<uint64_t>(own.video_ids.size(), video_top_n));
            start[v] = arena_ids.size();
            length[v] = static_cast<uint32_t>(m);
            total[v] = own.count;
            arena_ids.insert(arena_ids.end(), own.video_ids.begin(), own.video_ids.begin() + m);
            arena_counts.insert(arena_counts.end(), own.video_counts.begin(), own.video_counts.begin() + m);
            continue;
        }
        acc.video_ids.assign(own.video_ids.begin(), own.video_ids.end());
        acc.video_counts.assign(own.video_counts.begin(), own.video_counts.begin() + own.video_ids.size());
        merge_all(acc, kids, scratch, video_top_n);
        merged[v] = 1;
        if (acc.video_ids.size() > video_top_n) {
            acc.video_ids.resize(static_cast<size_t>(video_top_n));
            acc.video_counts.resize(static_cast<size_t>(video_top_n));
        }
        start[v] = arena_ids.size();
        length[v] = static_cast<uint32_t>(acc.video_ids.size());
        total[v] = acc.count;
        arena_ids.insert(arena_ids.end(), acc.video_ids.begin(), acc.video_ids.end());
        arena_counts.insert(arena_counts.end(), acc.video_counts.begin(), acc.video_counts.end());
    }

    if (arena_ids.size() <= UINT32_MAX) {
        // The finished lists in node order, the table made whole. A slot whose lists equal
        // those the slot before it shows keeps none of its own (an alias, as pushing
        // would make it): first which are aliases and how much is kept, then the copy.
        auto list_of = [&](const std::vector<uint32_t>& arena, size_t v) {
            return std::span<const uint32_t>(arena).subspan(start[v], length[v]);
        };
        std::vector<uint64_t> aliases((n + 63) / 64, 0);
        uint64_t kept = 0;
        for (size_t v = 0, shown = 0; v < n; ++v) {
            // Lists shared in the arena (a single child's, shown by its parent) are equal
            // without a look at their entries.
            const bool same_place = start[v] == start[shown] && length[v] == length[shown];
            if (v > 0 && length[v] > 0 &&
                (same_place || (std::ranges::equal(list_of(arena_ids, v), list_of(arena_ids, shown)) &&
                                std::ranges::equal(list_of(arena_counts, v), list_of(arena_counts, shown))))) {
                aliases[v / 64] |= uint64_t{1} << (v % 64);
                continue;
            }
            kept += length[v];
            shown = v;
        }
        std::vector<uint32_t> ids(kept);
        std::vector<uint32_t> counts(kept);
        std::vector<uint32_t> ends(n);
        uint64_t end = 0;
        for (size_t v = 0; v < n; ++v) {
            if ((aliases[v / 64] >> (v % 64) & 1) == 0) {
                std::ranges::copy(list_of(arena_ids, v), ids.begin() + static_cast<ptrdiff_t>(end));
                std::ranges::copy(list_of(arena_counts, v), counts.begin() + static_cast<ptrdiff_t>(end));
                end += length[v];
            }
            ends[v] = static_cast<uint32_t>(end);
        }
        arena_ids = {};
        arena_counts = {};
        store.payloads = PayloadTable::whole(std::vector<uint8_t>(n, 1), std::move(total), std::move(ends), std::move(ids),
                                             std::move(counts), std::move(aliases));
        return {};
    }
    PayloadTable out;
    out.reserve(n, arena_ids.size());
    for (size_t v = 0; v < n; ++v) out.push(total[v], finished_view(v).video_ids, finished_view(v).video_counts);
    store.payloads = std::move(out);
    return {};
}

}  // namespace brindlex
