#include "core/builder/row_fields.hpp"

#include <array>

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

// Where each byte's two hex digits start in the 8-4-4-4-12 form.
constexpr std::array<uint8_t, 16> kPairAt{0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};

// 8-4-4-4-12 hex digits. Every digit is looked up and the misses are tested once at the
// end: nearly every id read is well formed.
bool parse_uuid(std::string_view s, VideoKey& key) {
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    VideoKey k;
    k.size = 16;
    int bad = 0;
    for (size_t i = 0; i < 16; ++i) {
        const int hi = kHex[p[kPairAt[i]]];
        const int lo = kHex[p[kPairAt[i] + 1]];
        bad |= hi | lo;
        k.bytes[i] = static_cast<uint8_t>((hi & 15) << 4 | (lo & 15));
    }
    if (bad < 0) return false;
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
