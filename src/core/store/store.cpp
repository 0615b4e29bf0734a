#include "core/store/store.hpp"

#include "core/facts/facts.hpp"

namespace brindlex {

size_t TrieStore::memory_bytes() const {
    constexpr size_t kWord = sizeof(uint32_t);
    return (node_shifts.capacity() + child_labels.capacity() + child_transitions.capacity()) * kWord +
           payloads.memory_bytes() + video_uuids.capacity() * sizeof(VideoUuid) + video_int_ids.capacity() * kWord +
           has_payload.capacity() +
           (facts::facts_of(*this).entries.capacity() + facts::facts_of(*this).reversed.entries.size()) *
               sizeof(facts::Entry) +
           facts::facts_of(*this).exact.slots.size() * sizeof(facts::ExactSlot) + facts::facts_of(*this).exact.texts.size();
}

size_t TrieStore::borrowed_bytes() const {
    const facts::Facts& f = facts::facts_of(*this);
    return node_shifts.borrowed_bytes() + child_labels.borrowed_bytes() + child_transitions.borrowed_bytes() +
           payloads.borrowed_bytes() + video_uuids.borrowed_bytes() + video_int_ids.borrowed_bytes() +
           has_payload.borrowed_bytes() + f.entries.borrowed_bytes() + f.reversed.entries.borrowed_bytes();
}

void adopt_facts(TrieStore& store, std::shared_ptr<const facts::Facts> facts) { store.facts_ = std::move(facts); }

bool operator==(const TrieStore& a, const TrieStore& b) {
    return a.node_shifts == b.node_shifts && a.child_labels == b.child_labels &&
           a.child_transitions == b.child_transitions && a.payloads == b.payloads &&
           a.video_uuids == b.video_uuids && a.video_int_ids == b.video_int_ids && a.id_mode == b.id_mode &&
           a.has_payload == b.has_payload;
}

}  // namespace brindlex
