// Texts and video ids numbered in the order they are first met, found again by hash.
// Building keeps one number per distinct term and per distinct video, whatever repeats
// the input holds, so that merging costs a hash look-up per row and nothing per repeat.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace brindlex::build {

// Open addressing over numbers 0..n-1 that the owner keeps the items of; the owner says
// whether number i holds the item sought. Slots hold number + 1 (0: empty).
class NumberHash {
public:
    template <class Equal>
    uint32_t find(uint64_t hash, Equal&& equal) const {
        if (slots_.empty()) return kNone;
        for (size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const uint32_t s = slots_[at];
            if (s == 0) return kNone;
            if (hashes_[s - 1] == hash && equal(s - 1)) return s - 1;
        }
    }

    // Adds the next number (size()) under `hash`; the caller has made sure it is new.
    void add(uint64_t hash) {
        if ((hashes_.size() + 1) * 2 > slots_.size()) grow();
        hashes_.push_back(hash);
        place(hash, static_cast<uint32_t>(hashes_.size()));
    }

    size_t size() const { return hashes_.size(); }
    size_t memory_bytes() const { return slots_.capacity() * sizeof(uint32_t) + hashes_.capacity() * sizeof(uint64_t); }

    static constexpr uint32_t kNone = UINT32_MAX;

private:
    void place(uint64_t hash, uint32_t slot_value) {
        size_t at = hash & mask_;
        while (slots_[at] != 0) at = (at + 1) & mask_;
        slots_[at] = slot_value;
    }

    void grow() {
        const size_t size = slots_.empty() ? 64 : slots_.size() * 2;
        slots_.assign(size, 0);
        mask_ = size - 1;
        for (size_t i = 0; i < hashes_.size(); ++i) place(hashes_[i], static_cast<uint32_t>(i + 1));
    }

    std::vector<uint32_t> slots_;
    std::vector<uint64_t> hashes_;  // by number
    size_t mask_ = 0;
};

inline uint64_t hash_bytes(std::string_view s) {
    // FNV-1a over 8-byte words, then a final mix: quick for short terms, well spread.
    uint64_t h = 0xcbf29ce484222325ull ^ s.size();
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = (h ^ w) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    uint64_t tail = 0;
    if (i < s.size()) std::memcpy(&tail, s.data() + i, s.size() - i);
    h = (h ^ tail) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

// Distinct texts by number, their bytes kept in large blocks that never move.
class TextInterner {
public:
    // The number of `text`, new ones numbered in order; sets `added` when it was new.
    uint32_t intern(std::string_view text, bool& added) {
        const uint64_t h = hash_bytes(text);
        const uint32_t found = hash_.find(h, [&](uint32_t i) { return texts_[i] == text; });
        added = found == NumberHash::kNone;
        if (!added) return found;
        texts_.push_back(store(text));
        hash_.add(h);
        return static_cast<uint32_t>(texts_.size() - 1);
    }

    uint32_t find(std::string_view text) const {
        return hash_.find(hash_bytes(text), [&](uint32_t i) { return texts_[i] == text; });
    }

    size_t size() const { return texts_.size(); }
    std::string_view operator[](size_t i) const { return texts_[i]; }

    size_t memory_bytes() const {
        return hash_.memory_bytes() + texts_.capacity() * sizeof(std::string_view) + blocks_.size() * kBlock;
    }

private:
    static constexpr size_t kBlock = 1 << 20;

    std::string_view store(std::string_view text) {
        if (text.size() > kBlock / 4) {
            // A long text gets a block of its own, so that blocks stay mostly full.
            auto own = std::make_unique_for_overwrite<char[]>(text.size() + 1);
            std::memcpy(own.get(), text.data(), text.size());
            big_.push_back(std::move(own));
            return {big_.back().get(), text.size()};
        }
        if (blocks_.empty() || used_ + text.size() > kBlock) {
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
            used_ = 0;
        }
        char* at = blocks_.back().get() + used_;
        if (!text.empty()) std::memcpy(at, text.data(), text.size());
        used_ += text.size();
        return {at, text.size()};
    }

    NumberHash hash_;
    std::vector<std::string_view> texts_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::unique_ptr<char[]>> big_;
    size_t used_ = 0;
};

// A video id as given: 16 bytes (UUID form) or 4 bytes, the little-endian int32 form.
struct VideoKey {
    std::array<uint8_t, 16> bytes{};
    uint8_t size = 0;

    static VideoKey int32(uint32_t v) {
        VideoKey k;
        k.size = 4;
        for (int i = 0; i < 4; ++i) k.bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
        return k;
    }
    static VideoKey uuid(const uint8_t* p) {
        VideoKey k;
        k.size = 16;
        std::memcpy(k.bytes.data(), p, 16);
        return k;
    }
    uint32_t int_value() const {
        return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
    }
    std::string_view view() const { return {reinterpret_cast<const char*>(bytes.data()), size}; }
    friend bool operator==(const VideoKey&, const VideoKey&) = default;
};

// Distinct video ids by number, in the order first met.
class VideoInterner {
public:
    uint32_t intern(const VideoKey& key, bool& added) {
        const uint64_t h = hash_bytes(key.view());
        const uint32_t found = hash_.find(h, [&](uint32_t i) { return keys_[i] == key; });
        added = found == NumberHash::kNone;
        if (!added) return found;
        keys_.push_back(key);
        hash_.add(h);
        return static_cast<uint32_t>(keys_.size() - 1);
    }
    size_t size() const { return keys_.size(); }
    const VideoKey& operator[](size_t i) const { return keys_[i]; }
    std::vector<VideoKey>& keys() { return keys_; }
    size_t memory_bytes() const { return hash_.memory_bytes() + keys_.capacity() * sizeof(VideoKey); }

private:
    NumberHash hash_;
    std::vector<VideoKey> keys_;
};

}  // namespace brindlex::build
