// The internal-failure texts of the checked cursor, kept out of its loop.
#include "core/walk/cursors.hpp"

namespace brindlex::walk {

using std::to_string;

Step CheckedCursor::fail_position(uint64_t node, uint64_t pos) {
    failure_ = "walk: child list of node " + to_string(node) + " reads position " + to_string(pos) +
               " but child_transitions has " + to_string(store_.child_transitions.size()) + " entries";
    return Step::Fail;
}

Step CheckedCursor::fail_child(uint64_t pos, uint64_t node) {
    failure_ = "walk: child_transitions[" + to_string(pos) + "] names node " + to_string(node) +
               " but child_labels has " + to_string(store_.child_labels.size()) + " entries";
    return Step::Fail;
}

Step CheckedCursor::fail_flag(uint64_t node) {
    failure_ = "walk: node " + to_string(node) + " has no has_payload entry (has_payload has " +
               to_string(store_.has_payload.size()) + " entries)";
    return Step::Fail;
}

Step CheckedCursor::fail_shifts(uint64_t node) {
    failure_ = "walk: node " + to_string(node) + " has no node_shifts entry (node_shifts has " +
               to_string(store_.node_shifts.size()) + " entries)";
    return Step::Fail;
}

}  // namespace brindlex::walk
