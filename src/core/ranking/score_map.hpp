// Per-video raw scores of one ranking call: the entries kept dense, in the order their
// videos were first added, and found through an open-addressing table of entry numbers
// (linear probing, a fixed multiplicative hash). Each slot holds its key beside the entry
// number, so a probe past another video reads no entry.
//
// Every entry sums its contributions in the order they are added, so a score never
// depends on where its key lands in the table. Listing walks the dense entries only, so
// its cost follows the videos found, not the table's size. The table is kept at most a
// quarter full while it is small (a probe then nearly always ends at its first slot, a
// branch that is seldom mispredicted), half full once it outgrows the caches.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

namespace brindlex {

class ScoreMap {
public:
    // Sized so that `expected_keys` distinct videos fit without growing.
    explicit ScoreMap(uint64_t expected_keys) {
        // There are at most 2^32 distinct video numbers; the clamp also keeps bit_ceil defined.
        const uint64_t keys = std::min<uint64_t>(expected_keys, uint64_t{1} << 32);
        entries_.reserve(static_cast<size_t>(keys));
        const uint64_t spread = keys <= kSparseKeys ? 4 : 2;
        allocate(std::bit_ceil(std::max<uint64_t>(kMinSlots, spread * keys)));
    }

    // The entry of `video` (0.0 when new) += amount.
    void add(uint32_t video, double amount) {
        Slot& slot = find_slot(video);
        if (slot.entry == kEmpty) {
            const uint32_t entry = static_cast<uint32_t>(entries_.size());
            if (2 * (entries_.size() + 1) > slots_.size()) [[unlikely]] {
                grow();
                find_slot(video) = {video, entry};
            } else {
                slot = {video, entry};
            }
            entries_.push_back({video, amount});
            return;
        }
        entries_[slot.entry].sum += amount;
    }

    size_t size() const { return entries_.size(); }

    // Calls f(video, sum) for every entry, in the order the videos were first added.
    template <class F>
    void for_each(F&& f) const {
        for (const Entry& e : entries_) f(e.video, e.sum);
    }

private:
    struct Entry {
        uint32_t video;
        double sum;
    };
    struct Slot {
        uint32_t video;
        uint32_t entry;  // kEmpty for a free slot
    };

    static constexpr uint32_t kEmpty = UINT32_MAX;  // entry numbers stay below 2^32 - 1
    static constexpr uint64_t kMinSlots = 16;
    static constexpr uint64_t kSparseKeys = 4096;  // up to 16,384 slots of 8 bytes
    static constexpr uint64_t kGoldenRatio64 = 0x9E37'79B9'7F4A'7C15u;

    // The slot holding `video`'s entry number, or the empty slot where it belongs. The
    // table is never more than half full, so probing always ends.
    Slot& find_slot(uint32_t video) {
        const size_t mask = slots_.size() - 1;
        size_t i = static_cast<size_t>((uint64_t{video} * kGoldenRatio64) >> shift_);
        while (slots_[i].entry != kEmpty && slots_[i].video != video) i = (i + 1) & mask;
        return slots_[i];
    }

    void allocate(uint64_t slot_count) {
        slots_.assign(static_cast<size_t>(slot_count), Slot{0, kEmpty});
        shift_ = static_cast<unsigned>(64 - std::countr_zero(slot_count));
    }

    // Doubles the table; the entries stay where they are.
    void grow() {
        allocate(2 * slots_.size());
        for (size_t k = 0; k < entries_.size(); ++k) {
            find_slot(entries_[k].video) = {entries_[k].video, static_cast<uint32_t>(k)};
        }
    }

    std::vector<Entry> entries_;
    std::vector<Slot> slots_;
    unsigned shift_ = 0;
};

}  // namespace brindlex
