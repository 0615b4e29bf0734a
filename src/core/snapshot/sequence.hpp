// Sequences of the snapshot: a length as a 64-bit varint, then the elements; the
// sequences of 32-bit varints, the commonest kind, with sizing that vectorises.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/memory/fresh_pages.hpp"
#include "core/snapshot/cursor.hpp"
#include "core/snapshot/varint.hpp"

namespace brindlex::snapshot {

constexpr size_t size_length(uint64_t n) { return size_varint64(n); }

inline void write_length(Writer& w, uint64_t n) { write_varint64(w, n); }

inline Decoded<uint64_t> read_length(Reader& r) { return read_varint64(r); }

// How many elements to reserve for a declared length: a length is never checked against
// the input, so it is trusted only as far as the bytes left can back it, each element
// taking at least `min_element_size` bytes. A snapshot claiming 2^60 elements thus
// reserves little and ends in UnexpectedEnd when its bytes run out.
inline size_t reserve_bound(const Reader& r, uint64_t declared, size_t min_element_size = 1) {
    return static_cast<size_t>(std::min<uint64_t>(declared, r.remaining() / min_element_size));
}

// Replaces `out` with the elements read; stops at the first error. Every element reader
// consumes at least `min_element_size` (>= 1) bytes on success.
template <class T, class ReadElem>
Decoded<void> read_sequence(Reader& r, std::vector<T>& out, ReadElem read_elem, size_t min_element_size = 1) {
    const auto n = read_length(r);
    if (!n) return std::unexpected(n.error());
    out.clear();
    out.reserve(reserve_bound(r, *n, min_element_size));
    for (uint64_t i = 0; i < *n; ++i) {
        auto x = read_elem(r);
        if (!x) return std::unexpected(x.error());
        out.push_back(std::move(*x));
    }
    return {};
}

// Sequences of 32-bit varints, the commonest kind in a snapshot.

// The bytes of the elements alone, without the length. Counted in 32-bit chunks so that
// the compiler can vectorise the loop.
inline size_t size_varint32_elements(std::span<const uint32_t> items) {
    size_t total = items.size();
    const uint32_t* p = items.data();
    size_t left = items.size();
    while (left != 0) {
        const size_t chunk = std::min<size_t>(left, size_t{1} << 24);
        uint32_t extra = 0;  // at most 2 per element: no overflow within a chunk
        for (size_t i = 0; i < chunk; ++i)
            extra += static_cast<uint32_t>(p[i] > kVarintMaxSingle) + static_cast<uint32_t>(p[i] > 0xFFFFu);
        total += 2 * size_t{extra};
        p += chunk;
        left -= chunk;
    }
    return total;
}

inline size_t size_varint32_sequence(std::span<const uint32_t> items) {
    return size_length(items.size()) + size_varint32_elements(items);
}

// The elements alone: wide stores while a whole word is sure to fit (an element takes at
// most 5 bytes), then form by form for the last few.
inline void write_varint32_elements(Writer& w, std::span<const uint32_t> items) {
    const size_t n = items.size();
    const uint32_t* x = items.data();
    const size_t room = w.room();
    const size_t wide = room < 8 ? 0 : std::min(n, (room - 8) / 5 + 1);
    uint8_t* p = w.pos;
    for (size_t i = 0; i < wide; ++i) p = detail::put_varint32_wide(p, x[i]);
    w.pos = p;
    for (size_t i = wide; i < n; ++i) write_varint32(w, x[i]);
}

inline void write_varint32_sequence(Writer& w, std::span<const uint32_t> items) {
    write_length(w, items.size());
    write_varint32_elements(w, items);
}

// Decodes `count` 32-bit varints into dst[0..count) on the fast route: the caller has
// made sure the bytes left hold every element in its longest form (5 bytes), so no
// element checks the end of the input.
inline Decoded<void> take_varint32s(Reader& r, uint64_t count, uint32_t* dst) {
    const uint8_t* p = r.pos;
    for (uint64_t k = 0; k < count; ++k) {
        const detail::Taken32 x = detail::take_varint32(p);
        if (x.size == 0) [[unlikely]] {
            r.pos = p;
            return std::unexpected(read_varint32(r).error());
        }
        dst[k] = x.value;
        p += x.size;
    }
    r.pos = p;
    return {};
}

// Appends `count` elements read from `r` to `out`, stopping at the first error. While the
// bytes left can hold every element in its longest form, they are decoded on the fast
// route without a count check each, into room made once; otherwise one by one (then the
// count may be anything a hostile input declares, and each element takes at least a
// byte, so `out` grows only with what is read).
inline Decoded<void> append_varint32_elements(Reader& r, uint64_t count, std::vector<uint32_t>& out) {
    if (count <= r.remaining() / 5) {
        const size_t begin = out.size();
        reserve_fresh(out, begin + static_cast<size_t>(count));
        out.resize(begin + static_cast<size_t>(count));
        return take_varint32s(r, count, out.data() + begin);
    }
    out.reserve(out.size() + reserve_bound(r, count));
    for (uint64_t k = 0; k < count; ++k) {
        const auto x = read_varint32(r);
        if (!x) return std::unexpected(x.error());
        out.push_back(*x);
    }
    return {};
}

inline Decoded<void> read_varint32_sequence(Reader& r, std::vector<uint32_t>& out) {
    const auto n = read_length(r);
    if (!n) return std::unexpected(n.error());
    out.clear();
    return append_varint32_elements(r, *n, out);
}

}  // namespace brindlex::snapshot
