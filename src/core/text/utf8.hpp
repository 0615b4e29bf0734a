// UTF-8 and Unicode scalar values, for every part of the core that meets text: the walk
// decodes query terms and encodes reported terms, the snapshot codec writes labels, the
// ranking counts the characters of a query, the builder and the readers of files check
// what they are given. One decoder (decode_one) serves them all.
//
// Values that are not scalar values (surrogates, or above U+10FFFF) can only come from a
// hand-made store; they are written as U+FFFD, so written text is always valid UTF-8 and
// the size functions agree with the writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// Width of a UTF-8 sequence by its first byte (RFC 3629); 0 for a byte that cannot start one.
inline constexpr size_t sequence_width(uint8_t b0) {
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return 2;
    if (b0 >= 0xE0 && b0 <= 0xEF) return 3;
    if (b0 >= 0xF0 && b0 <= 0xF4) return 4;
    return 0;
}

// Whether the `width` bytes at `p`, p[0] a first byte of that width (sequence_width), end
// one well-formed sequence. The second byte's range excludes overlong forms (after E0 and
// F0), surrogates (after ED) and values above U+10FFFF (after F4); every later byte is a
// plain continuation byte.
inline constexpr bool well_formed(const uint8_t* p, size_t width) {
    if (width < 2) return width == 1;
    const uint8_t b0 = p[0];
    const uint8_t lo = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
    const uint8_t hi = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
    bool ok = p[1] >= lo && p[1] <= hi;
    for (size_t k = 2; k < width; ++k) ok = ok && (p[k] & 0xC0) == 0x80;
    return ok;
}

// The scalar value of the well-formed sequence of `width` bytes at `p`.
inline constexpr uint32_t value_of(const uint8_t* p, size_t width) {
    switch (width) {
        case 1:
            return p[0];
        case 2:
            return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
        case 3:
            return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
        default:
            return (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
    }
}

// The one decoder: the scalar value that starts the `n` bytes at `p` (n > 0) and its
// width, or 0 (cp untouched) when they do not start with a well-formed sequence. It never
// reads past p + n.
inline constexpr size_t decode_one(const uint8_t* p, size_t n, uint32_t& cp) {
    const size_t width = sequence_width(p[0]);
    if (width == 0 || n < width || !well_formed(p, width)) return 0;
    cp = value_of(p, width);
    return width;
}

// Whether the bytes are all ASCII, eight at a time.
inline bool ascii(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) return false;
    }
    unsigned char any = 0;
    for (; i < n; ++i) any |= p[i];
    return any < 0x80;
}

// Whether `text` is well-formed UTF-8 (what Python's strict decoder accepts).
inline bool valid(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        while (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        uint32_t cp = 0;
        const size_t width = decode_one(p + i, n - i, cp);
        if (width == 0) return false;
        i += width;
    }
    return true;
}

// Decodes `text`, which the callers guarantee to be valid UTF-8. Input that is not (a
// broken precondition) never makes it read out of range: each byte that does not start a
// well-formed sequence becomes one U+FFFD.
inline std::vector<uint32_t> decode(std::string_view text) {
    std::vector<uint32_t> out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            out.push_back(p[i++]);
            continue;
        }
        uint32_t cp = kReplacement;
        const size_t width = decode_one(p + i, n - i, cp);
        out.push_back(cp);
        i += width == 0 ? 1 : width;
    }
    return out;
}

}  // namespace brindlex::utf8
