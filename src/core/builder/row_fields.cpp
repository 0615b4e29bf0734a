#include "core/builder/row_fields.hpp"

#include <array>
#include <cstring>

#include "core/lookup/video_texts.hpp"

namespace brindlex::build {
namespace {

constexpr uint32_t kU32Max = 0xFFFF'FFFFu;

// The value of each byte as a hex digit, or -1.
constexpr std::array<int8_t, 256> kHex = [] {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int c = 0; c < 10; ++c) t[static_cast<size_t>('0' + c)] = static_cast<int8_t>(c);
    for (int c = 0; c < 6; ++c) {
        t[static_cast<size_t>('a' + c)] = static_cast<int8_t>(10 + c);
        t[static_cast<size_t>('A' + c)] = static_cast<int8_t>(10 + c);
    }
    return t;
}();

}  // namespace

// Unsigned decimal digits (at least one) up to 4294967295.
bool parse_u32(std::string_view s, uint32_t& out) {
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (!is_digit(c)) return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > kU32Max) return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

int hex_value(char c) { return kHex[static_cast<unsigned char>(c)]; }

namespace {

constexpr uint64_t kEach = 0x0101010101010101ull;  // a byte value in every byte

// Per byte of `x` (bytes below 0x80), 0x80 where the byte lies in lo..hi, else 0.
constexpr uint64_t in_range(uint64_t x, uint8_t lo, uint8_t hi) {
    return (x + kEach * (0x80 - lo)) & ~(x + kEach * (0x7F - hi)) & kEach * 0x80;
}

// Eight hex digits (the first in the lowest byte) as four bytes at `out`, eight at a
// time; false when one is no hex digit.
bool hex8(uint64_t x, uint8_t* out) {
    if (x & kEach * 0x80) return false;
    const uint64_t letter = in_range(x | kEach * 0x20, 'a', 'f');  // either case
    if ((in_range(x, '0', '9') | letter) != kEach * 0x80) return false;
    // A digit's value is its low four bits, a letter's nine more.
    const uint64_t nibbles = (x & kEach * 0x0F) + (letter >> 7) * 9;
    const uint64_t pairs = nibbles << 4 | nibbles >> 8;  // even bytes: first digit high
    for (size_t k = 0; k < 4; ++k) out[k] = static_cast<uint8_t>(pairs >> (16 * k));
    return true;
}

// 8-4-4-4-12 hex digits, the dashes dropped and the 32 digits read eight at a time.
bool parse_uuid(std::string_view s, VideoKey& key) {
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
    char digits[32];
    std::memcpy(digits, s.data(), 8);
    std::memcpy(digits + 8, s.data() + 9, 4);
    std::memcpy(digits + 12, s.data() + 14, 4);
    std::memcpy(digits + 16, s.data() + 19, 4);
    std::memcpy(digits + 20, s.data() + 24, 12);
    VideoKey k;
    k.size = 16;
    for (size_t w = 0; w < 4; ++w) {
        uint64_t x = 0;  // the first digit in the lowest byte (one load on little-endian machines)
        for (size_t i = 0; i < 8; ++i) x |= uint64_t{static_cast<uint8_t>(digits[8 * w + i])} << (8 * i);
        if (!hex8(x, k.bytes.data() + 4 * w)) return false;
    }
    key = k;
    return true;
}

}  // namespace

// A video id written as text: a UUID, an unsigned 32-bit integer or a text id (whose key
// the catalogue gives it).
bool video_from_text(std::string_view s, Row& row) {
    uint32_t value = 0;
    if (parse_uuid(s, row.video)) {
        row.kind = IdKind::Uuid;
    } else if (parse_u32(s, value)) {
        row.video = VideoKey::int32(value);
        row.kind = IdKind::Integer;
    } else if (lookup::valid_video_text(s) && s.find_first_not_of("0123456789") != std::string_view::npos) {
        row.kind = IdKind::Text;
    } else {
        return false;  // digits beyond 32 bits, or no valid text id: the slow reader says which
    }
    row.has_video = true;
    row.id_text = s;
    return true;
}

bool plain_term(std::string_view term) { return !term.empty() && term.find('\0') == std::string_view::npos; }

}  // namespace brindlex::build
