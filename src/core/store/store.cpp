#include "core/store/store.hpp"

namespace brindlex {

size_t TrieStore::memory_bytes() const {
    constexpr size_t kWord = sizeof(uint32_t);
    return (node_shifts.capacity() + child_labels.capacity() + child_transitions.capacity()) * kWord +
           payloads.memory_bytes() + video_uuids.capacity() * sizeof(VideoUuid) + video_int_ids.capacity() * kWord +
           has_payload.capacity();
}

size_t TrieStore::borrowed_bytes() const {
    return node_shifts.borrowed_bytes() + child_labels.borrowed_bytes() + child_transitions.borrowed_bytes() +
           payloads.borrowed_bytes() + video_uuids.borrowed_bytes() + video_int_ids.borrowed_bytes() +
           has_payload.borrowed_bytes();
}

bool operator==(const TrieStore& a, const TrieStore& b) {
    return a.node_shifts == b.node_shifts && a.child_labels == b.child_labels &&
           a.child_transitions == b.child_transitions && a.payloads == b.payloads &&
           a.video_uuids == b.video_uuids && a.video_int_ids == b.video_int_ids && a.id_mode == b.id_mode &&
           a.has_payload == b.has_payload;
}

}  // namespace brindlex
