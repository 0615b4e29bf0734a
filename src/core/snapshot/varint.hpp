// Unsigned integers of the snapshot as varints, 32-bit and 64-bit wide (the forms are
// stated in core/snapshot/encoding.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/snapshot/cursor.hpp"

namespace brindlex::snapshot {

inline constexpr uint8_t kVarintMaxSingle = 250;
inline constexpr uint8_t kVarintMarker16 = 251;
inline constexpr uint8_t kVarintMarker32 = 252;
inline constexpr uint8_t kVarintMarker64 = 253;
inline constexpr uint8_t kVarintMarker128 = 254;  // never written; an error when read

namespace detail {

// The error for a marker byte (253, 254 or 255) that the width being read cannot take.
[[gnu::cold, gnu::noinline]] inline std::unexpected<DecodeError> marker_error(uint8_t marker,
                                                                              IntegerType expected) {
    const IntegerType found = marker == kVarintMarker64 ? IntegerType::U64
                              : marker == kVarintMarker128 ? IntegerType::U128
                                              : IntegerType::Reserved;
    return std::unexpected(DecodeError::invalid_integer_type(expected, found));
}

}  // namespace detail

constexpr size_t size_varint32(uint32_t v) {
    return 1 + 2 * static_cast<size_t>(v > kVarintMaxSingle) + 2 * static_cast<size_t>(v > 0xFFFFu);
}

constexpr size_t size_varint64(uint64_t v) {
    return 1 + 2 * static_cast<size_t>(v > kVarintMaxSingle) + 2 * static_cast<size_t>(v > 0xFFFFu) +
           4 * static_cast<size_t>(v > 0xFFFF'FFFFu);
}

namespace detail {

// Any form in one go, without a branch on the value: the form as a little-endian word,
// stored whole (8 bytes), of which the next value overwrites all but the first `size`.
// Needs 8 bytes of room at `p`; returns the position after the form. Bulk writers keep
// the position in a local pointer: a byte stored through a Writer's member may alias
// anything, so the compiler would reload every pointer after each store.
inline uint8_t* put_varint32_wide(uint8_t* p, uint32_t v) {
    const bool over_single = v > kVarintMaxSingle;
    const bool over_16 = v > 0xFFFFu;
    const uint64_t marked = (uint64_t{kVarintMarker16} + over_16) | (uint64_t{v} << 8);
    store_le<uint64_t>(p, over_single ? marked : uint64_t{v});
    return p + 1 + 2 * static_cast<size_t>(over_single) + 2 * static_cast<size_t>(over_16);
}

inline void write_varint32_wide(Writer& w, uint32_t v) { w.pos = put_varint32_wide(w.pos, v); }

// Form by form, touching only the bytes of the value (for the last bytes of the buffer).
inline void write_varint32_narrow(Writer& w, uint32_t v) {
    uint8_t* p = w.pos;
    if (v <= kVarintMaxSingle) {
        p[0] = static_cast<uint8_t>(v);
        w.pos = p + 1;
    } else if (v <= 0xFFFFu) {
        p[0] = kVarintMarker16;
        store_le(p + 1, static_cast<uint16_t>(v));
        w.pos = p + 3;
    } else {
        p[0] = kVarintMarker32;
        store_le(p + 1, v);
        w.pos = p + 5;
    }
}

}  // namespace detail

inline void write_varint32(Writer& w, uint32_t v) {
    if (w.room() >= 8) [[likely]] {
        detail::write_varint32_wide(w, v);
    } else {
        detail::write_varint32_narrow(w, v);
    }
}

inline void write_varint64(Writer& w, uint64_t v) {
    if (v <= 0xFFFF'FFFFu) return write_varint32(w, static_cast<uint32_t>(v));
    uint8_t* p = w.pos;
    p[0] = kVarintMarker64;
    detail::store_le(p + 1, v);
    w.pos = p + 9;
}

namespace detail {

// The careful route, step by step, checking the count before every read.
template <class T>
Decoded<T> read_varint_careful(Reader& r) {
    constexpr IntegerType kWidth = sizeof(T) == 4 ? IntegerType::U32 : IntegerType::U64;
    if (r.pos == r.end) return end_error(1);
    const uint8_t m = *r.pos++;
    if (m <= kVarintMaxSingle) return T{m};
    size_t need;
    if (m == kVarintMarker16) {
        need = 2;
    } else if (m == kVarintMarker32) {
        need = 4;
    } else if (m == kVarintMarker64 && sizeof(T) == 8) {
        need = 8;
    } else {
        return marker_error(m, kWidth);
    }
    const size_t left = r.remaining();
    if (left < need) return end_error(need - left);
    T v;
    if (need == 2) {
        v = load_le<uint16_t>(r.pos);
    } else if (need == 4) {
        v = load_le<uint32_t>(r.pos);
    } else {
        v = static_cast<T>(load_le<uint64_t>(r.pos));
    }
    r.pos += need;
    return v;
}

// The fast route when 1 + sizeof(T) bytes are left (the longest form a width can take),
// else the careful route. A marker the width cannot take is the same error on both.
//
// The fast route decodes every form without a branch on it (the forms of neighbouring
// values vary unpredictably): it loads the sizeof(T) bytes after the marker, which are
// all inside the input, and masks them down to the marker's width.
// The fast route's decoding at `p`, which has at least 5 bytes: the value and the form's
// size, or size 0 for a marker a 32-bit value cannot take (the caller reports it).
struct Taken32 {
    uint32_t value;
    uint32_t size;
};
inline Taken32 take_varint32(const uint8_t* p) {
    const uint8_t m = p[0];
    const uint32_t after = load_le<uint32_t>(p + 1);
    const bool over_single = m > kVarintMaxSingle;
    const bool over_16 = m > kVarintMarker16;
    const uint32_t mask = over_16 ? 0xFFFF'FFFFu : 0xFFFFu;
    const uint32_t size = m > kVarintMarker32 ? 0 : 1 + 2 * uint32_t{over_single} + 2 * uint32_t{over_16};
    return {over_single ? after & mask : uint32_t{m}, size};
}

template <class T>
inline Decoded<T> read_varint(Reader& r) {
    constexpr IntegerType kWidth = sizeof(T) == 4 ? IntegerType::U32 : IntegerType::U64;
    constexpr uint8_t kLastMarker = sizeof(T) == 4 ? kVarintMarker32 : kVarintMarker64;
    if (r.remaining() >= 1 + sizeof(T)) [[likely]] {
        const uint8_t* p = r.pos;
        const uint8_t m = p[0];
        if (m > kLastMarker) [[unlikely]] {
            r.pos = p + 1;
            return marker_error(m, kWidth);
        }
        const T after = load_le<T>(p + 1);
        const bool over_single = m > kVarintMaxSingle;
        const bool over_16 = m > kVarintMarker16;
        T mask = over_16 ? T(0xFFFF'FFFFu) : T(0xFFFFu);
        size_t size = 1 + 2 * static_cast<size_t>(over_single) + 2 * static_cast<size_t>(over_16);
        if constexpr (sizeof(T) == 8) {
            const bool over_32 = m > kVarintMarker32;
            mask = over_32 ? ~T{0} : mask;
            size += 4 * static_cast<size_t>(over_32);
        }
        r.pos = p + size;
        return over_single ? T(after & mask) : T{m};
    }
    return read_varint_careful<T>(r);
}

}  // namespace detail

inline Decoded<uint32_t> read_varint32(Reader& r) { return detail::read_varint<uint32_t>(r); }
inline Decoded<uint64_t> read_varint64(Reader& r) { return detail::read_varint<uint64_t>(r); }

// The careful routes alone, whatever the count left (for tests of route equivalence).
inline Decoded<uint32_t> read_varint32_careful(Reader& r) { return detail::read_varint_careful<uint32_t>(r); }
inline Decoded<uint64_t> read_varint64_careful(Reader& r) { return detail::read_varint_careful<uint64_t>(r); }

}  // namespace brindlex::snapshot
