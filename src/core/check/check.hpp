// What a store tells about itself: whether it is damaged (something that makes answers
// wrong, or that construction from sequences would never make) and what is merely
// unusual (notes: a store construction would accept, answered as it stands). The rules
// that construction and the aggregation pass keep:
//
//   damage  the per-node fields differ in length; ids of the kind the id mode does not
//           use; a child that is not a node, or a child list past the end of the child
//           array; a node without a payload slot; a payload with more or fewer counts
//           than videos; a node counting less than a child or than its children's sum,
//           a prefix node counting other than that sum; a merged video list (of a node
//           with children) out of descending order of count.
//   notes   no nodes at all; a node no child list names, or one named twice; a child
//           numbered no higher than its parent (its counts are then not checked); a node
//           without a label; a payload on the root; a video number beyond the id list.
//
// Each rule reports its lowest node. Once the child lists are found unreadable, the
// rules that rely on them are not looked at.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/store/store.hpp"

namespace brindlex::check {

struct Report {
    uint64_t nodes = 0;
    uint64_t terms = 0;   // nodes given a payload of their own
    uint64_t videos = 0;  // the id list the id mode names
    std::vector<std::string> damage;
    std::vector<std::string> notes;
};

Report check_store(const TrieStore& store);

}  // namespace brindlex::check
