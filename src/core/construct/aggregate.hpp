// The aggregation pass: folds every node's subtree into its payload, once, as the last
// step of construction. Afterwards a node's payload is its own input payload plus the
// aggregated payloads of its children, its video list cut to the best video_top_n.
#pragma once

#include <cstdint>

#include "core/failure.hpp"
#include "core/store/store.hpp"

namespace brindlex {

// Replaces store.payloads (absent slots become empty payloads). Nodes are folded from
// N-1 down to 0, so a child numbered above its parent contributes its whole subtree.
// Fails, leaving the store unchanged, when a child range runs past child_transitions
// or names a slot that does not exist.
Result<void> aggregate_payloads(TrieStore& store, uint64_t video_top_n);

}  // namespace brindlex
