// Values of a fixed width, and tags: 16-byte groups, booleans, the tags of optional values
// and of enumerations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/snapshot/cursor.hpp"
#include "core/snapshot/varint.hpp"

namespace brindlex::snapshot {

// Fixed groups of 16 bytes (no length)

using Group16 = std::array<uint8_t, 16>;

constexpr size_t size_group16() { return sizeof(Group16); }

inline void write_group16(Writer& w, const Group16& g) {
    std::memcpy(w.pos, g.data(), sizeof(Group16));
    w.pos += sizeof(Group16);
}

inline Decoded<Group16> read_group16(Reader& r) {
    const size_t left = r.remaining();
    if (left < sizeof(Group16)) return detail::end_error(sizeof(Group16) - left);
    Group16 g;
    std::memcpy(g.data(), r.pos, sizeof(Group16));
    r.pos += sizeof(Group16);
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

}  // namespace brindlex::snapshot
