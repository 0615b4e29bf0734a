// Making and reading the exact-term table (facts/exact.hpp).
#include "core/facts/exact.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "core/facts/facts.hpp"
#include "core/facts/reversed.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::facts {

uint64_t exact_hash(std::string_view term) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    uint64_t h = 0x243F6A8885A308D3ull ^ term.size();
    const char* p = term.data();
    size_t n = term.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    uint64_t w = 0;
    if (n != 0) std::memcpy(&w, p, n);
    h = (h ^ w) * kMul;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

uint32_t Exact::find(std::string_view term) const {
    const size_t size = slots.size();
    if (!usable || size == 0) return kNotFound;
    const uint64_t h = exact_hash(term);
    const auto tag = static_cast<uint32_t>(h >> 32);
    const size_t mask = std::bit_floor(size) - 1;
    size_t i = static_cast<size_t>(h) & mask;
    for (size_t probe = 0; probe <= mask; ++probe, i = (i + 1) & mask) {
        const ExactSlot& s = slots[i];
        if (s.text == ExactSlot::kEmpty) return kNotFound;
        if (s.tag != tag) continue;
        // The stored length, then the bytes; both stay inside `texts`.
        uint64_t length = 0;
        size_t at = s.text;
        bool ended = false;
        for (unsigned shift = 0; at < texts.size() && shift < 35 && !ended; shift += 7) {
            const uint8_t b = texts[at++];
            length |= uint64_t{b & 0x7Fu} << shift;
            ended = (b & 0x80) == 0;
        }
        if (!ended || length != term.size() || length > texts.size() - at) continue;
        if (length == 0 || std::memcmp(texts.data() + at, term.data(), term.size()) == 0) {
            return s.node < nodes ? s.node : kNotFound;
        }
    }
    return kNotFound;
}

bool make_exact(const TrieStore& store, const Facts& facts, Exact& out) {
    if (!facts.tree || !facts.rising) return false;
    const std::span<const Entry> entries = facts.entries;
    const size_t count = entry_count(entries);
    // Terms and their total length, with the same budget as the reversed-term index.
    const uint64_t budget = std::min<uint64_t>(kMaxLabelsPerNode * std::max<uint64_t>(store.node_count(), 1),
                                               UINT32_MAX / utf8::kMaxBytes - 16);

    std::vector<uint8_t> texts;
    std::vector<ExactSlot> found;  // each term's slot, placed below by its hash
    std::vector<uint64_t> hashes;
    std::string spelt;
    struct Open {
        uint32_t next, end;
        size_t bytes;        // length of `spelt` above this run
        uint32_t unscalar;   // labels on the path that are no scalar value
    };
    std::vector<Open> path;
    path.push_back({0, std::min<uint32_t>(facts.root_count, static_cast<uint32_t>(count)), 0, 0});
    uint64_t labels = 0;
    while (!path.empty()) {
        Open& top = path.back();
        if (top.next >= top.end) {
            path.pop_back();
            continue;
        }
        const Entry& e = entries[top.next++];
        spelt.resize(top.bytes);
        utf8::append(spelt, e.label());
        const uint32_t unscalar = top.unscalar + (utf8::is_scalar(e.label()) ? 0 : 1);
        if (e.has_payload() && unscalar == 0) {
            labels += path.size();
            if (labels > budget) return false;
            const auto text = static_cast<uint32_t>(texts.size());
            for (uint64_t n = spelt.size(); ; n >>= 7) {
                texts.push_back(static_cast<uint8_t>((n & 0x7F) | (n >= 0x80 ? 0x80 : 0)));
                if (n < 0x80) break;
            }
            texts.insert(texts.end(), spelt.begin(), spelt.end());
            hashes.push_back(exact_hash(spelt));
            found.push_back({static_cast<uint32_t>(hashes.back() >> 32), e.node, text});
        }
        // Entries of a tree are made breadth-first: a run always lies after its parent.
        const uint32_t first = e.first;
        const uint32_t end = std::min<uint32_t>((&e)[1].first, static_cast<uint32_t>(count));
        if (first < end) path.push_back({first, end, spelt.size(), unscalar});
    }

    // At most two thirds full, so that a missing term stops at a free slot soon.
    const size_t size = std::bit_ceil(std::max<size_t>(8, found.size() + found.size() / 2 + 1));
    std::vector<ExactSlot> slots(size, ExactSlot{0, 0, ExactSlot::kEmpty});
    const size_t mask = size - 1;
    for (size_t t = 0; t < found.size(); ++t) {
        size_t i = static_cast<size_t>(hashes[t]) & mask;
        while (slots[i].text != ExactSlot::kEmpty) i = (i + 1) & mask;
        slots[i] = found[t];
    }
    out.slots = std::move(slots);
    out.texts = std::move(texts);
    out.nodes = static_cast<uint32_t>(store.node_count());
    out.usable = true;
    return true;
}

const Exact& exact_of(const TrieStore& store) {
    const Facts& facts = facts_of(store);
    if (!facts.tree || !facts.rising) {
        static const Exact kNone;
        return kNone;
    }
    // As with the reversed-term index: nothing leaves the lambda, and without memory the
    // queries keep walking, with the same answers.
    std::call_once(facts.exact_once, [&]() noexcept {
        try {
            Exact made;
            if (make_exact(store, facts, made)) facts.exact = std::move(made);
        } catch (const std::bad_alloc&) {
            facts.exact = Exact{};
        }
    });
    return facts.exact;
}

}  // namespace brindlex::facts
