// Characters of the snapshot: one Unicode scalar value as UTF-8, with no length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/snapshot/cursor.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::snapshot {

// The store only holds scalar values (labels come from Python text or from this reader).
// Should a value outside them (a surrogate, or above U+10FFFF) ever reach the writer, it
// is written as U+FFFD, so that writing never fails and its output stays readable.

constexpr size_t size_char(uint32_t c) { return utf8::encoded_size(c); }

inline void write_char(Writer& w, uint32_t c) { w.pos = utf8::write(w.pos, c); }

namespace detail {

// The rest of a character whose first byte b0 (already consumed) is not ASCII.
inline Decoded<uint32_t> read_char_tail(Reader& r, uint8_t b0) {
    std::array<uint8_t, utf8::kMaxBytes> bytes{b0, 0, 0, 0};
    const size_t width = utf8::sequence_width(b0);
    if (width == 0) return std::unexpected(DecodeError::invalid_char_encoding(bytes));
    const size_t need = width - 1;
    const size_t left = r.remaining();
    if (left < need) return end_error(need - left);
    for (size_t i = 0; i < need; ++i) bytes[i + 1] = r.pos[i];
    r.pos += need;
    if (!utf8::well_formed(bytes.data(), width)) return std::unexpected(DecodeError::invalid_char_encoding(bytes));
    return utf8::value_of(bytes.data(), width);
}

}  // namespace detail

inline Decoded<uint32_t> read_char(Reader& r) {
    if (r.pos == r.end) return detail::end_error(1);
    const uint8_t b0 = *r.pos++;
    if (b0 < 0x80) [[likely]]
        return uint32_t{b0};
    return detail::read_char_tail(r, b0);
}

}  // namespace brindlex::snapshot
