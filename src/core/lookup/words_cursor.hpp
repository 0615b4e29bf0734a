// The word trie (lookup/words.hpp) as the engine's descent reads a child list
// (walk/cursors.hpp), so that word searches run on the walk's own row kernels.
#pragma once

#include <cstdint>
#include <string>

#include "core/facts/facts.hpp"
#include "core/lookup/words.hpp"
#include "core/walk/cursors.hpp"
#include "core/walk/plan.hpp"
#include "core/walk/wanted.hpp"

namespace brindlex::lookup {

static_assert(Words::kTallest == facts::kHeightUnknown, "a capped height reads as unknown");

// Children are the consecutive nodes of a range, their labels rising, heights known, and
// a node "has a payload" when it names terms. check_words has kept every range in bounds.

class WordCursor {
public:
    using List = walk::EntryCursor::List;  // a range [pos, end) of word nodes
    struct Child {
        uint64_t node;
        uint32_t label;
        uint32_t height;
    };

    explicit WordCursor(const Words& words) : words_(words) {}

    List root() const { return {words_.node(0).first_child, words_.node(1).first_child}; }
    bool can_seek(const List& list) const { return list.end - list.pos >= kSeekFrom; }

    walk::Step next(List& list, Child& child) const {
        if (list.pos >= list.end) return walk::Step::End;
        const uint32_t v = list.pos++;
        __builtin_prefetch(&words_.node(words_.node(v).first_child));
        child = {v, words_.node(v).label, words_.height(v)};
        return walk::Step::Child;
    }

    walk::Step next_wanted(List& list, Child& child, walk::Wanted& wanted) const {
        while (wanted.next < wanted.count) {
            const uint32_t label = wanted.labels[wanted.next++];
            uint32_t lo = list.pos, hi = list.end;
            while (lo < hi) {
                const uint32_t mid = lo + (hi - lo) / 2;
                if (words_.node(mid).label < label) lo = mid + 1; else hi = mid;
            }
            list.pos = lo;
            if (lo < list.end && words_.node(lo).label == label) return next(list, child);
        }
        list.pos = list.end;
        return walk::Step::End;
    }

    walk::Step payload(const Child& child, bool& has) const {
        has = words_.node(child.node).first_term != words_.node(child.node + 1).first_term;
        return walk::Step::Child;
    }

    walk::Step enter(const Child& child, List& list) const {
        list = {words_.node(child.node).first_child, words_.node(child.node + 1).first_child};
        return list.pos == list.end ? walk::Step::End : walk::Step::Child;
    }

    std::string failure() const { return {}; }  // never fails

private:
    static constexpr uint32_t kSeekFrom = 4;
    const Words& words_;
};

// run.template operator()<Levels, Osa>(), with the row kernels' level count fixed for
// bounds 0 to 3 (0: given at run time) and Osa for swaps, as the walk picks its kernels.
template <class Run>
auto with_kernel(uint32_t bound, EditRule rule, Run&& run) {
    auto pick = [&]<bool Osa>() {
        switch (bound) {
            case 0: return run.template operator()<1, Osa>();
            case 1: return run.template operator()<2, Osa>();
            case 2: return run.template operator()<3, Osa>();
            case 3: return run.template operator()<4, Osa>();
            default: return run.template operator()<0, Osa>();
        }
    };
    return rule == EditRule::Transpositions ? pick.template operator()<true>() : pick.template operator()<false>();
}

}  // namespace brindlex::lookup
