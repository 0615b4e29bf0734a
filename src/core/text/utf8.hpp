// UTF-8 to scalar values and back, for the walk: query terms are decoded into one 32-bit
// scalar value per character (a character outside the BMP is one value), and reported
// terms are encoded from their path labels.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindlex::utf8 {

inline constexpr uint32_t kReplacement = 0xFFFD;

inline constexpr bool is_scalar(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

// Decodes `text`, which the callers guarantee to be valid UTF-8. Input that is not (a
// broken precondition) never makes it read out of range: each byte that does not start a
// well-formed sequence becomes one U+FFFD.
inline std::vector<uint32_t> decode(std::string_view text) {
    std::vector<uint32_t> out;
    out.reserve(text.size());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t b0 = static_cast<uint8_t>(text[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        uint32_t least;
        if ((b0 & 0xE0) == 0xC0) {
            len = 2, cp = b0 & 0x1Fu, least = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3, cp = b0 & 0x0Fu, least = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4, cp = b0 & 0x07u, least = 0x10000;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        bool ok = n - i >= len;
        for (size_t k = 1; ok && k < len; ++k) {
            const uint8_t b = static_cast<uint8_t>(text[i + k]);
            ok = (b & 0xC0) == 0x80;
            cp = (cp << 6) | (b & 0x3Fu);
        }
        if (!ok || cp < least || !is_scalar(cp)) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += len;
    }
    return out;
}

// Appends the UTF-8 form of `cp`; a value that is not a scalar value (possible only in a
// hand-made store) is written as U+FFFD, so the text is always valid UTF-8.
inline void append(std::string& out, uint32_t cp) {
    if (!is_scalar(cp)) cp = kReplacement;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Bytes append() writes for `cp`.
inline size_t encoded_size(uint32_t cp) {
    if (!is_scalar(cp)) cp = kReplacement;
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

}  // namespace brindlex::utf8
