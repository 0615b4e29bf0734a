// Value encodings of the snapshot: little-endian, variable-length integers, no size limit.
//
// Byte layout:
// * Unsigned integers are varints. A value of 0 to 250 is that single byte. A larger one
//   is a marker byte followed by the value, least-significant byte first, in the width the
//   marker names: 0xFB (251) + 2 bytes, 0xFC (252) + 4 bytes, 0xFD (253) + 8 bytes.
//   0xFE (254, a 128-bit value) and 0xFF (255, reserved) are never written and are errors
//   when read. 32-bit values take markers up to 0xFC only: 0xFD there is an error too.
//   The writer always takes the shortest form; the reader accepts longer ones
//   (FB 05 00 reads as 5).
// * A sequence is its length as a 64-bit varint, then its elements, with nothing between.
// * A character is its UTF-8 encoding, 1 to 4 bytes, with no length.
// * A 16-byte group is its 16 bytes as they are, with no length.
// * A boolean is one byte, 0 or 1. The tag of an optional value is one raw byte too
//   (0 absent, 1 present and the value follows), never a varint: FB as a tag is 251.
// * The tag of an enumeration is the variant's index as a 32-bit varint.
// There is no header, padding or alignment anywhere: values follow each other byte to byte.
//
// For each value kind the three functions stand side by side:
// * size_X(value): the exact number of bytes write_X appends, so that a whole snapshot can
//   be sized first and written into a buffer allocated once;
// * write_X(Writer&, value): appends through a raw pointer into that buffer, with no bounds
//   checks (the caller sized the buffer with the size functions). The varint writer only
//   looks at the room left to choose between storing a whole 8-byte word at once (its
//   surplus bytes are overwritten by the values that follow) and, in the last 7 bytes of
//   the buffer, storing byte by byte; both give the same bytes;
// * read_X(Reader&): consumes from the front of the input and returns the value or the
//   DecodeError that names what went wrong. Readers never touch a byte outside the input span. After a
//   failure the cursor's position is unspecified; callers abandon the whole decode.
//
// Varint readers have two routes with identical results and errors: a fast one, taken when
// at least 1 + width/8 bytes are left (5 for 32 bits, 9 for 64 bits), which reads marker
// and value without checking the count again and without a branch on the form, and a
// careful one for the last bytes, which checks the count before every read.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "core/snapshot/decode_error.hpp"

namespace brindlex::snapshot {

// ---------------------------------------------------------------------------------------
// Cursors

// Writing cursor: a raw pointer into a buffer that the size functions sized exactly.
// `end` is not a bounds check: it only tells the varint writer whether it may store a
// whole 8-byte word and keep the bytes it needs (the rest is overwritten by what follows).
struct Writer {
    uint8_t* pos;
    uint8_t* end;

    explicit Writer(std::span<std::byte> out)
        : pos(reinterpret_cast<uint8_t*>(out.data())), end(pos + out.size()) {}

    size_t room() const { return static_cast<size_t>(end - pos); }
};

// Reading cursor over an immutable byte span: the next byte and one past the last.
struct Reader {
    const uint8_t* pos;
    const uint8_t* end;

    explicit Reader(std::span<const std::byte> in)
        : pos(reinterpret_cast<const uint8_t*>(in.data())), end(pos + in.size()) {}

    size_t remaining() const { return static_cast<size_t>(end - pos); }
};

template <class T>
using Decoded = std::expected<T, DecodeError>;

namespace detail {

template <class T>
inline T load_le(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

template <class T>
inline void store_le(uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    std::memcpy(p, &v, sizeof v);
}

// Error paths are kept out of line so that the fast routes stay small.
[[gnu::cold, gnu::noinline]] inline std::unexpected<DecodeError> end_error(size_t additional) {
    return std::unexpected(DecodeError::unexpected_end(additional));
}

// The error for a marker byte (253, 254 or 255) that the width being read cannot take.
[[gnu::cold, gnu::noinline]] inline std::unexpected<DecodeError> marker_error(uint8_t marker,
                                                                              IntegerType expected) {
    const IntegerType found = marker == 253   ? IntegerType::U64
                              : marker == 254 ? IntegerType::U128
                                              : IntegerType::Reserved;
    return std::unexpected(DecodeError::invalid_integer_type(expected, found));
}

}  // namespace detail

// ---------------------------------------------------------------------------------------
// Varints (32-bit and 64-bit width)

inline constexpr uint8_t kVarintMaxSingle = 250;
inline constexpr uint8_t kVarintMarker16 = 251;
inline constexpr uint8_t kVarintMarker32 = 252;
inline constexpr uint8_t kVarintMarker64 = 253;

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
// Needs 8 bytes of room.
inline void write_varint32_wide(Writer& w, uint32_t v) {
    const bool over_single = v > kVarintMaxSingle;
    const bool over_16 = v > 0xFFFFu;
    const uint64_t marked = (uint64_t{kVarintMarker16} + over_16) | (uint64_t{v} << 8);
    store_le<uint64_t>(w.pos, over_single ? marked : uint64_t{v});
    w.pos += 1 + 2 * static_cast<size_t>(over_single) + 2 * static_cast<size_t>(over_16);
}

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

// ---------------------------------------------------------------------------------------
// Characters (one Unicode scalar value, UTF-8, no length)
//
// The store only holds scalar values (labels come from Python text or from this reader).
// Should a value outside them (a surrogate, or above U+10FFFF) ever reach the writer, it
// is written as U+FFFD, so that writing never fails and its output stays readable.

inline constexpr uint32_t kReplacementChar = 0xFFFD;

constexpr bool is_scalar_value(uint32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

constexpr size_t size_char(uint32_t c) {
    if (c < 0x80) return 1;
    if (c < 0x800) return 2;
    if (c < 0x10000 || !is_scalar_value(c)) return 3;
    return 4;
}

inline void write_char(Writer& w, uint32_t c) {
    uint8_t* p = w.pos;
    if (c < 0x80) {
        p[0] = static_cast<uint8_t>(c);
        w.pos = p + 1;
        return;
    }
    if (c < 0x800) {
        p[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
        p[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        w.pos = p + 2;
        return;
    }
    if (!is_scalar_value(c)) [[unlikely]]
        c = kReplacementChar;
    if (c < 0x10000) {
        p[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
        p[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
        p[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        w.pos = p + 3;
        return;
    }
    p[0] = static_cast<uint8_t>(0xF0 | (c >> 18));
    p[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
    p[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    p[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    w.pos = p + 4;
}

namespace detail {

// Width of a UTF-8 sequence by its first byte (RFC 3629); 0 for a byte that cannot start one.
constexpr size_t utf8_width(uint8_t b0) {
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return 2;
    if (b0 >= 0xE0 && b0 <= 0xEF) return 3;
    if (b0 >= 0xF0 && b0 <= 0xF4) return 4;
    return 0;
}

// The rest of a character whose first byte b0 (already consumed) is not ASCII.
inline Decoded<uint32_t> read_char_tail(Reader& r, uint8_t b0) {
    std::array<uint8_t, 4> bytes{b0, 0, 0, 0};
    const size_t width = utf8_width(b0);
    if (width == 0) return std::unexpected(DecodeError::invalid_char_encoding(bytes));
    const size_t need = width - 1;
    const size_t left = r.remaining();
    if (left < need) return end_error(need - left);
    for (size_t i = 0; i < need; ++i) bytes[i + 1] = r.pos[i];
    r.pos += need;
    // The second byte's range excludes overlong forms (E0, F0), surrogates (ED) and
    // values above U+10FFFF (F4); every later byte is a plain continuation byte.
    uint8_t lo = 0x80;
    uint8_t hi = 0xBF;
    if (b0 == 0xE0) {
        lo = 0xA0;
    } else if (b0 == 0xED) {
        hi = 0x9F;
    } else if (b0 == 0xF0) {
        lo = 0x90;
    } else if (b0 == 0xF4) {
        hi = 0x8F;
    }
    bool ok = bytes[1] >= lo && bytes[1] <= hi;
    for (size_t i = 2; i < width; ++i) ok = ok && (bytes[i] & 0xC0) == 0x80;
    if (!ok) return std::unexpected(DecodeError::invalid_char_encoding(bytes));
    switch (width) {
        case 2:
            return (uint32_t{b0} & 0x1F) << 6 | (bytes[1] & 0x3Fu);
        case 3:
            return (uint32_t{b0} & 0x0F) << 12 | (bytes[1] & 0x3Fu) << 6 | (bytes[2] & 0x3Fu);
        default:
            return (uint32_t{b0} & 0x07) << 18 | (bytes[1] & 0x3Fu) << 12 | (bytes[2] & 0x3Fu) << 6 |
                   (bytes[3] & 0x3Fu);
    }
}

}  // namespace detail

inline Decoded<uint32_t> read_char(Reader& r) {
    if (r.pos == r.end) return detail::end_error(1);
    const uint8_t b0 = *r.pos++;
    if (b0 < 0x80) [[likely]]
        return uint32_t{b0};
    return detail::read_char_tail(r, b0);
}

// ---------------------------------------------------------------------------------------
// Fixed groups of 16 bytes (no length)

using Group16 = std::array<uint8_t, 16>;

constexpr size_t size_group16() { return 16; }

inline void write_group16(Writer& w, const Group16& g) {
    std::memcpy(w.pos, g.data(), 16);
    w.pos += 16;
}

inline Decoded<Group16> read_group16(Reader& r) {
    const size_t left = r.remaining();
    if (left < 16) return detail::end_error(16 - left);
    Group16 g;
    std::memcpy(g.data(), r.pos, 16);
    r.pos += 16;
    return g;
}

// ---------------------------------------------------------------------------------------
// Booleans (one byte, 0 or 1)

constexpr size_t size_bool() { return 1; }

inline void write_bool(Writer& w, bool b) { *w.pos++ = b ? 1 : 0; }

inline Decoded<bool> read_bool(Reader& r) {
    if (r.pos == r.end) return detail::end_error(1);
    const uint8_t b = *r.pos++;
    if (b > 1) [[unlikely]]
        return std::unexpected(DecodeError::invalid_boolean_value(b));
    return b == 1;
}

// ---------------------------------------------------------------------------------------
// Tags of optional values (one raw byte: 0 absent, 1 present and the value follows)

constexpr size_t size_option_tag() { return 1; }

inline void write_option_tag(Writer& w, bool present) { *w.pos++ = present ? 1 : 0; }

// `type_name` is reported in UnexpectedVariant; it must outlive the error (a literal).
inline Decoded<bool> read_option_tag(Reader& r, std::string_view type_name) {
    if (r.pos == r.end) return detail::end_error(1);
    const uint8_t b = *r.pos++;
    if (b > 1) [[unlikely]]
        return std::unexpected(DecodeError::unexpected_variant(type_name, 0, 1, b));
    return b == 1;
}

// ---------------------------------------------------------------------------------------
// Tags of enumerations (the variant index as a 32-bit varint)

constexpr size_t size_enum_tag(uint32_t index) { return size_varint32(index); }

inline void write_enum_tag(Writer& w, uint32_t index) { write_varint32(w, index); }

// Reads an index of an enumeration with `variant_count` (>= 1) variants; any other value
// is UnexpectedVariant with the allowed range 0 to variant_count - 1.
inline Decoded<uint32_t> read_enum_tag(Reader& r, std::string_view type_name, uint32_t variant_count) {
    auto v = read_varint32(r);
    if (v && *v >= variant_count) [[unlikely]]
        return std::unexpected(DecodeError::unexpected_variant(type_name, 0, variant_count - 1, *v));
    return v;
}

// ---------------------------------------------------------------------------------------
// Sequence lengths (64-bit varints) and whole sequences

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

// Generic sequences: the length, then each element through the given functions.
template <class T, class SizeElem>
size_t size_sequence(std::span<const T> items, SizeElem size_elem) {
    size_t n = size_length(items.size());
    for (const T& x : items) n += size_elem(x);
    return n;
}

template <class T, class WriteElem>
void write_sequence(Writer& w, std::span<const T> items, WriteElem write_elem) {
    write_length(w, items.size());
    for (const T& x : items) write_elem(w, x);
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

inline void write_varint32_sequence(Writer& w, std::span<const uint32_t> items) {
    write_length(w, items.size());
    for (uint32_t x : items) write_varint32(w, x);
}

inline Decoded<void> read_varint32_sequence(Reader& r, std::vector<uint32_t>& out) {
    return read_sequence(r, out, [](Reader& rr) { return read_varint32(rr); });
}

}  // namespace brindlex::snapshot
