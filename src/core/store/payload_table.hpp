// The payload slots of a store, kept flat: one count and one presence byte per node, and
// all video lists end to end in two shared arrays with per-node end offsets. A node's
// lists are the entries between the previous node's end and its own, except that a slot
// whose lists equal those of the slot before it keeps none of its own and is marked as
// an alias: along a chain of single children every node's subtree holds the same videos,
// and about a third of a catalogue's slots repeat the one before.
//
// An alias keeps, in place of its end offset (which would repeat the one before), the
// number of the slot whose lists it shows, so that reading any slot costs the same
// however long the run of aliases before it.
//
// A restored snapshot may give a slot's video_ids and video_counts different lengths;
// the table keeps them as they are, and queries check for that instead of assuming it
// away.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/payload/payload.hpp"
#include "core/store/array.hpp"

namespace brindlex {

class PayloadTable {
public:
    size_t size() const { return present_.size(); }
    bool present(size_t v) const { return present_[v] != 0; }
    uint32_t count(size_t v) const { return counts_[v]; }

    // Requires v < size().
    PayloadView view(size_t v) const {
        const Lists l = lists(v);
        return {counts_[v], l.ids, l.counts};
    }

    // Calls visit(v, view(v)) for every slot in order, at the cost of a plain walk over
    // the arrays: the start of each slot's lists is carried along, not looked up.
    template <class Visit>
    void each_view(Visit visit) const {
        const size_t n = size();
        uint64_t ids_begin = 0, counts_begin = 0;  // of the slot shown last
        uint64_t ids_end = 0, counts_end = 0;      // of the last slot not an alias
        const uint32_t* ids = video_ids_.data();
        const uint32_t* counts = video_counts_.data();
        for (size_t v = 0; v < n; ++v) {
            if (!aliased(v)) {
                ids_begin = ids_end;
                counts_begin = counts_end;
                ids_end = raw_end(v);
                counts_end = split_ ? counts_ends_[v] : ids_end;
                if (split_ && v > 0) counts_begin = counts_ends_[v - 1];
            }
            visit(v, PayloadView{counts_[v], std::span<const uint32_t>(ids + ids_begin, ids_end - ids_begin),
                                 std::span<const uint32_t>(counts + counts_begin, counts_end - counts_begin)});
        }
    }

    // Asks the cache for what view(v) and count(v) read first, so that the slots of many
    // nodes are fetched together rather than one miss after another. Requires v < size().
    void prefetch(size_t v) const {
        __builtin_prefetch(aliases_.data() + v / 64);
        __builtin_prefetch(present_.data() + v);
        __builtin_prefetch(counts_.data() + v);
        if (ends64_.empty()) {
            __builtin_prefetch(ends32_.data() + v);
        } else {
            __builtin_prefetch(ends64_.data() + v);
        }
    }

    void reserve(size_t slots, size_t entries) {
        present_.reserve(slots);
        counts_.reserve(slots);
        ends32_.reserve(slots);
        video_ids_.reserve(entries);
        video_counts_.reserve(entries);
    }

    // A whole table at once, as pushing slot by slot would make it: slot v is present
    // when present[v], with count counts[v], an alias when bit v of `aliases` is set,
    // and its own list entries up to ends[v]. Requires one entry of present, counts and
    // ends per slot and a bit per slot, ends non-decreasing up to ids.size(), ids and
    // video_counts of one length, at most UINT32_MAX; an alias must be present and have
    // no entries of its own (bit 0 clear). Tables with other aliases than pushing would
    // give still compare equal when every slot shows the same.
    static PayloadTable whole(std::vector<uint8_t> present, std::vector<uint32_t> counts, std::vector<uint32_t> ends,
                              std::vector<uint32_t> ids, std::vector<uint32_t> video_counts,
                              std::vector<uint64_t> aliases) {
        PayloadTable t;
        // An alias's end repeats the one before: it becomes the number of its owner.
        for (size_t v = 1; v < ends.size(); ++v) {
            if ((aliases[v / 64] >> (v % 64) & 1) == 0) continue;
            const bool chained = (aliases[(v - 1) / 64] >> ((v - 1) % 64) & 1) != 0;
            ends[v] = chained ? ends[v - 1] : static_cast<uint32_t>(v - 1);
        }
        t.aliases_ = std::move(aliases);
        t.present_ = std::move(present);
        t.counts_ = std::move(counts);
        t.ends32_ = std::move(ends);
        t.video_ids_ = std::move(ids);
        t.video_counts_ = std::move(video_counts);
        return t;
    }

    void push_absent() { push_slot(false, 0); }

    void push(uint32_t count, std::span<const uint32_t> ids, std::span<const uint32_t> counts) {
        video_ids_.insert(video_ids_.end(), ids.begin(), ids.end());
        video_counts_.insert(video_counts_.end(), counts.begin(), counts.end());
        push_slot(true, count);
    }

    // Building a present slot element by element (the snapshot reader appends entries
    // first, then closes the slot).
    void append_video_id(uint32_t id) { video_ids_.push_back(id); }
    void append_video_count(uint32_t c) { video_counts_.push_back(c); }
    void close_present(uint32_t count) { push_slot(true, count); }
    // The entries kept, end to end: every slot's lists but those of aliases.
    size_t total_video_ids() const { return video_ids_.size(); }
    std::span<const uint32_t> kept_video_ids() const { return video_ids_; }
    std::span<const uint32_t> kept_video_counts() const { return video_counts_; }
    // Whether slot v shows the lists of an earlier slot instead of its own (it is present
    // then). Requires v < size().
    bool is_alias(size_t v) const { return aliased(v); }

    // The arrays as kept, for reading them back from an index file (core/mapped):
    // `from_parts` takes them as they are, and requires what core/mapped/reader.cpp
    // checks (every end offset in range and non-decreasing, slot 0 no alias).
    struct Parts {
        Array<uint8_t> present;
        Array<uint64_t> aliases;
        Array<uint32_t> counts;
        Array<uint32_t> ends32;
        Array<uint64_t> ends64;
        Array<uint64_t> counts_ends;
        bool split = false;
        Array<uint32_t> video_ids;
        Array<uint32_t> video_counts;
    };
    // The same arrays viewed in place, for writing them out.
    struct PartsView {
        std::span<const uint8_t> present;
        std::span<const uint64_t> aliases;
        std::span<const uint32_t> counts;
        std::span<const uint32_t> ends32;
        std::span<const uint64_t> ends64;
        std::span<const uint64_t> counts_ends;
        bool split = false;
        std::span<const uint32_t> video_ids;
        std::span<const uint32_t> video_counts;
    };
    PartsView parts() const {
        return {present_, aliases_, counts_, ends32_, ends64_, counts_ends_, split_, video_ids_, video_counts_};
    }
    static PayloadTable from_parts(Parts p) {
        PayloadTable t;
        t.present_ = std::move(p.present);
        t.aliases_ = std::move(p.aliases);
        t.counts_ = std::move(p.counts);
        t.ends32_ = std::move(p.ends32);
        t.ends64_ = std::move(p.ends64);
        t.counts_ends_ = std::move(p.counts_ends);
        t.split_ = p.split;
        t.video_ids_ = std::move(p.video_ids);
        t.video_counts_ = std::move(p.video_counts);
        return t;
    }

    size_t borrowed_bytes() const {
        return present_.borrowed_bytes() + aliases_.borrowed_bytes() + counts_.borrowed_bytes() +
               ends32_.borrowed_bytes() + ends64_.borrowed_bytes() + counts_ends_.borrowed_bytes() +
               video_ids_.borrowed_bytes() + video_counts_.borrowed_bytes();
    }

    size_t memory_bytes() const {
        return present_.capacity() + aliases_.capacity() * sizeof(uint64_t) +
               (counts_.capacity() + ends32_.capacity()) * sizeof(uint32_t) +
               (ends64_.capacity() + counts_ends_.capacity()) * sizeof(uint64_t) +
               (video_ids_.capacity() + video_counts_.capacity()) * sizeof(uint32_t);
    }

    // Equal slots: presence, count and the lists each shows, however they are kept.
    friend bool operator==(const PayloadTable& a, const PayloadTable& b) {
        if (a.present_ != b.present_ || a.counts_ != b.counts_) return false;
        for (size_t v = 0; v < a.size(); ++v) {
            const Lists x = a.lists(v);
            const Lists y = b.lists(v);
            if (!std::ranges::equal(x.ids, y.ids) || !std::ranges::equal(x.counts, y.counts)) return false;
        }
        return true;
    }

private:
    struct Lists {
        std::span<const uint32_t> ids;
        std::span<const uint32_t> counts;
    };

    bool aliased(size_t v) const { return (aliases_[v / 64] >> (v % 64) & 1) != 0; }

    // The slot whose lists slot v shows: v itself, or the slot its alias chain ends at
    // (slot 0 is never an alias).
    size_t owner(size_t v) const { return aliased(v) ? static_cast<size_t>(raw_end(v)) : v; }

    Lists lists(size_t v) const {
        v = owner(v);
        const uint64_t ib = v == 0 ? 0 : ids_end(v - 1);
        const uint64_t cb = v == 0 ? 0 : counts_end(v - 1);
        return {std::span<const uint32_t>(video_ids_).subspan(ib, ids_end(v) - ib),
                std::span<const uint32_t>(video_counts_).subspan(cb, counts_end(v) - cb)};
    }

    // End offsets: one array shared by both lists while every slot's two lists have the
    // same length (always, for stores built from sequences), 32 bits wide while the
    // offsets fit. A snapshot may break either; the table then widens or splits.
    // An alias's own entries end where its owner's do.
    uint64_t raw_end(size_t v) const { return ends64_.empty() ? ends32_[v] : ends64_[v]; }
    uint64_t ids_end(size_t v) const { return raw_end(owner(v)); }
    uint64_t counts_end(size_t v) const { return split_ ? counts_ends_[v] : ids_end(v); }

    void push_slot(bool present, uint32_t count) {
        // The lists just appended, against those the slot before shows: equal, they are
        // dropped and the slot becomes an alias.
        const size_t v = size();
        bool alias = false;
        if (present && v > 0) {
            const uint64_t ib = ids_end(v - 1);
            const uint64_t cb = counts_end(v - 1);
            const std::span<const uint32_t> ids(video_ids_.data() + ib, video_ids_.size() - ib);
            const std::span<const uint32_t> counts(video_counts_.data() + cb, video_counts_.size() - cb);
            if (!ids.empty() || !counts.empty()) {
                const Lists before = lists(v - 1);
                alias = std::ranges::equal(ids, before.ids) && std::ranges::equal(counts, before.counts);
            }
            if (alias) {
                video_ids_.resize(ib);
                video_counts_.resize(cb);
            }
        }
        if (v % 64 == 0) aliases_.push_back(0);
        if (alias) aliases_.set(aliases_.size() - 1, aliases_.back() | uint64_t{1} << (v % 64));
        const uint64_t ids = video_ids_.size();
        const uint64_t cnts = video_counts_.size();
        if (!split_ && ids != cnts) {
            split_ = true;
            counts_ends_.reserve(size() + 1);
            for (size_t v = 0; v < size(); ++v) counts_ends_.push_back(ids_end(v));
        }
        if (ends64_.empty() && ids > UINT32_MAX) {
            // Widen once; the 32-bit offsets are of no further use.
            ends64_.assign(ends32_.begin(), ends32_.end());
            ends32_ = {};
        }
        const uint64_t end = alias ? owner(v - 1) : ids;
        if (ends64_.empty()) {
            ends32_.push_back(static_cast<uint32_t>(end));
        } else {
            ends64_.push_back(end);
        }
        if (split_) counts_ends_.push_back(cnts);
        present_.push_back(present ? 1 : 0);
        counts_.push_back(count);
    }

    Array<uint8_t> present_;
    Array<uint64_t> aliases_;  // bit v: slot v shows the lists of slot v - 1
    Array<uint32_t> counts_;
    Array<uint32_t> ends32_;  // per slot: its end offset, or an alias's owner
    Array<uint64_t> ends64_;
    Array<uint64_t> counts_ends_;
    bool split_ = false;
    Array<uint32_t> video_ids_;
    Array<uint32_t> video_counts_;
};

}  // namespace brindlex
