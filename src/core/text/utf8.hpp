// UTF-8 and Unicode scalar values, for every part of the core that meets text: the walk
// decodes query terms and encodes reported terms, the snapshot codec writes labels, the
// ranking counts the characters of a query.
//
// Values that are not scalar values (surrogates, or above U+10FFFF) can only come from a
// hand-made store; they are written as U+FFFD, so written text is always valid UTF-8 and
// the size functions agree with the writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindlex::utf8 {

inline constexpr uint32_t kReplacement = 0xFFFD;
inline constexpr uint32_t kMaxScalar = 0x10FFFF;
inline constexpr size_t kMaxBytes = 4;  // the longest encoding of one scalar value

inline constexpr bool is_scalar(uint32_t cp) { return cp <= kMaxScalar && (cp < 0xD800 || cp > 0xDFFF); }

// Bytes write() produces for `cp`.
inline constexpr size_t encoded_size(uint32_t cp) {
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    if (cp < 0x10000 || !is_scalar(cp)) return 3;
    return 4;
}

// Writes the encoding of `cp` at `p`, which has room for encoded_size(cp) bytes; returns
// the end of what was written.
inline uint8_t* write(uint8_t* p, uint32_t cp) {
    if (cp < 0x80) {
        p[0] = static_cast<uint8_t>(cp);
        return p + 1;
    }
    if (cp < 0x800) {
        p[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        p[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return p + 2;
    }
    if (!is_scalar(cp)) [[unlikely]]
        cp = kReplacement;
    if (cp < 0x10000) {
        p[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        p[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        p[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return p + 3;
    }
    p[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
    p[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    p[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    p[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return p + 4;
}

// Appends the encoding of `cp` to `out`.
inline void append(std::string& out, uint32_t cp) {
    uint8_t bytes[kMaxBytes];
    const uint8_t* end = write(bytes, cp);
    out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(end - bytes));
}

// Scalar values in valid UTF-8: the bytes that are not continuation bytes.
inline uint64_t count_scalars(std::string_view text) {
    uint64_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

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

// Width of a UTF-8 sequence by its first byte (RFC 3629); 0 for a byte that cannot start one.
inline constexpr size_t sequence_width(uint8_t b0) {
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return 2;
    if (b0 >= 0xE0 && b0 <= 0xEF) return 3;
    if (b0 >= 0xF0 && b0 <= 0xF4) return 4;
    return 0;
}

}  // namespace brindlex::utf8
