// Child cursors: how the descent lists the children of a node. A cursor provides
//
//   List                      a position in one node's child list; the descent keeps one
//                             per depth, so it is small and trivially copyable
//   Child                     one listed child: `node` (its number in the store), `label`
//                             (never 0: unlabelled children are not listed) and `height`
//                             (labelled levels below it, or facts::kHeightUnknown)
//   List root()               the root's children
//   Step next(List&, Child&)  the next child of the list: Step::Child, or Step::End at the
//                             end of the list, or Step::Fail
//   Step payload(const Child&, bool& has)
//                             whether the child has a payload of its own
//   Step enter(const Child&, List&)
//                             the child's own children: Step::Child, or Step::End when
//                             the cursor knows there are none, or Step::Fail
//   std::string failure()     the message of the last Step::Fail (built on the cold path)
//
// Only a cursor that knows heights lets the descent skip subtrees too short to match, so
// a cursor over arrays it cannot trust reports facts::kHeightUnknown.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/store/store.hpp"
#include "core/facts/facts.hpp"
#include "core/walk/wanted.hpp"

namespace brindlex::walk {

enum class Step : uint8_t { Child, End, Fail };

// The store's own arrays, every index checked: serves every store, sound or not.
class CheckedCursor {
public:
    struct List {
        uint64_t node;  // whose children these are
        uint64_t pos;   // next position of child_transitions to read
        uint64_t end;
    };
    struct Child {
        uint64_t node;
        uint32_t label;
        uint32_t height;
    };

    explicit CheckedCursor(const TrieStore& store) : store_(store) {}

    List root() const {
        const auto r = store_.child_range(0);
        return {0, r.begin, r.end};
    }

    Step next(List& list, Child& child) {
        const auto& transitions = store_.child_transitions;
        const auto& labels = store_.child_labels;
        while (list.pos < list.end) {
            const uint64_t pos = list.pos++;
            if (pos >= transitions.size()) [[unlikely]]
                return fail_position(list.node, pos);
            const uint64_t node = transitions[pos];
            if (node >= labels.size()) [[unlikely]]
                return fail_child(pos, node);
            if (labels[node] == 0) continue;
            child = {node, labels[node], facts::kHeightUnknown};
            return Step::Child;
        }
        return Step::End;
    }

    Step payload(const Child& child, bool& has) {
        if (child.node >= store_.has_payload.size()) [[unlikely]]
            return fail_flag(child.node);
        has = store_.has_payload[child.node] != 0;
        return Step::Child;
    }

    Step enter(const Child& child, List& list) {
        if (child.node >= store_.node_shifts.size()) [[unlikely]]
            return fail_shifts(child.node);
        const auto r = store_.child_range(child.node);
        list = {child.node, r.begin, r.end};
        return Step::Child;
    }

    std::string failure() const { return failure_; }

private:
    [[gnu::cold, gnu::noinline]] Step fail_position(uint64_t node, uint64_t pos);
    [[gnu::cold, gnu::noinline]] Step fail_child(uint64_t pos, uint64_t node);
    [[gnu::cold, gnu::noinline]] Step fail_flag(uint64_t node);
    [[gnu::cold, gnu::noinline]] Step fail_shifts(uint64_t node);

    const TrieStore& store_;
    std::string failure_;
};

// An array of entries (facts/facts.hpp), each child list one run: every read is known to
// be in range, and heights are known. Serves the breadth-first copy of a tree store, and
// any other entry array whose entries name the store's nodes.
class EntryCursor {
public:
    struct List {
        uint32_t pos;
        uint32_t end;
    };
    struct Child {
        uint64_t node;
        uint32_t label;
        uint32_t height;
        uint32_t info;
        uint32_t first;
        uint32_t end;  // the child's own children are entries [first, end)
    };

    // `root` is the run of the root's children; `rising` says that the labels of every
    // run rise strictly, which lets next_wanted look labels up by halving.
    EntryCursor(std::span<const facts::Entry> entries, List root, bool rising = false)
        : entries_(entries.data()), root_(root), rising_(rising) {}

    // Whether next_wanted serves this list: its labels rise, and it is long enough for
    // halving to beat reading every child.
    bool can_seek(const List& list) const { return rising_ && list.end - list.pos >= kSeekFrom; }

    // The next child whose label is among the wanted ones (ascending, from wanted.next),
    // the list being one whose labels rise: each is looked up by halving what is left.
    Step next_wanted(List& list, Child& child, Wanted& wanted) const {
        while (wanted.next < wanted.count) {
            const uint32_t label = wanted.labels[wanted.next++];
            uint32_t lo = list.pos;
            uint32_t hi = list.end;
            while (lo < hi) {
                const uint32_t mid = lo + (hi - lo) / 2;
                if (entries_[mid].label() < label) {
                    lo = mid + 1;
                } else {
                    hi = mid;
                }
            }
            list.pos = lo;
            if (lo < list.end && entries_[lo].label() == label) return next(list, child);
        }
        list.pos = list.end;
        return Step::End;
    }

    List root() const { return root_; }

    // The child's own run is asked for as soon as the child is read: the descent enters
    // it next if its row stays within the bound, and the misses of several children
    // overlap instead of coming one after another.
    Step next(List& list, Child& child) const {
        if (list.pos >= list.end) return Step::End;
        const facts::Entry& e = entries_[list.pos++];
        __builtin_prefetch(entries_ + e.first);
        child = {e.node, e.label(), e.height(), e.info, e.first, (&e)[1].first};
        return Step::Child;
    }

    Step payload(const Child& child, bool& has) const {
        has = (child.info & facts::Entry::kPayloadBit) != 0;
        return Step::Child;
    }

    Step enter(const Child& child, List& list) const {
        if (child.first == child.end) return Step::End;  // a leaf: nothing to enter
        list = {child.first, child.end};
        return Step::Child;
    }

    std::string failure() const { return {}; }  // never fails

private:
    // Below this many children a plain scan costs no more than halving.
    static constexpr uint32_t kSeekFrom = 4;

    const facts::Entry* entries_;
    List root_;
    bool rising_;
};

}  // namespace brindlex::walk
