// Per-video raw scores of one ranking call: an open-addressing table keyed by video
// number, with linear probing and a fixed multiplicative hash.
//
// Every entry sums its contributions in the order they are added, so a score never
// depends on where its key lands in the table; the slot order only decides the order in
// which entries are listed, which the ranking then sorts away.
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
        allocate(std::bit_ceil(std::max<uint64_t>(kMinSlots, 2 * keys)));
    }

    // The entry of `video` (0.0 when new) += amount.
    void add(uint32_t video, double amount) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        Slot& s = find_slot(slots_, shift_, video);
        if (!s.used) {
            s = Slot{video, 1, 0.0};
            ++size_;
        }
        s.sum += amount;
    }

    size_t size() const { return size_; }

    // Calls f(video, sum) for every entry, in slot order.
    template <class F>
    void for_each(F&& f) const {
        for (const Slot& s : slots_) {
            if (s.used) f(s.video, s.sum);
        }
    }

private:
    struct Slot {
        uint32_t video = 0;
        uint32_t used = 0;
        double sum = 0.0;
    };

    static constexpr uint64_t kMinSlots = 16;
    static constexpr uint64_t kGoldenRatio64 = 0x9E37'79B9'7F4A'7C15u;

    // The slot holding `video`, or the empty slot where it belongs. The table is never
    // more than half full, so probing always ends.
    static Slot& find_slot(std::vector<Slot>& slots, unsigned shift, uint32_t video) {
        const size_t mask = slots.size() - 1;
        size_t i = static_cast<size_t>((uint64_t{video} * kGoldenRatio64) >> shift);
        while (slots[i].used && slots[i].video != video) i = (i + 1) & mask;
        return slots[i];
    }

    void allocate(uint64_t slot_count) {
        slots_.assign(static_cast<size_t>(slot_count), Slot{});
        shift_ = static_cast<unsigned>(64 - std::countr_zero(slot_count));
    }

    // Doubles the table. Sums move unchanged, so growing never alters a score.
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        allocate(2 * old.size());
        for (const Slot& s : old) {
            if (s.used) find_slot(slots_, shift_, s.video) = s;
        }
    }

    std::vector<Slot> slots_;
    unsigned shift_ = 0;
    size_t size_ = 0;
};

}  // namespace brindlex
