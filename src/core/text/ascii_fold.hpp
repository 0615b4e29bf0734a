// ASCII text as a folding index compares it, without the interpreter: lower case, white
// space dropped at both ends and each inner run of it made one space. This is what the
// package's fold does to ASCII text (str.lower, then split and join on the characters
// str.isspace calls white space, which in ASCII include the four separators 0x1C-0x1F),
// so that membership and counts of typed ASCII text need no Python string of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace brindlex::text {

inline constexpr bool is_ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F);
}

// Writes the characters of ASCII `in` (folded when `fold`; as given otherwise) to `out`,
// as chars or as scalar values, and returns how many, or nothing when they would not fit.
template <class Char>
std::optional<size_t> ascii_fold(std::string_view in, bool fold, std::span<Char> out) {
    size_t n = 0;
    bool gap = false;  // white space seen since the last word character
    for (const char ch : in) {
        auto c = static_cast<unsigned char>(ch);
        if (fold) {
            if (is_ascii_space(c)) {
                gap = n > 0;
                continue;
            }
            if (gap) {
                if (n == out.size()) return std::nullopt;
                out[n++] = ' ';
                gap = false;
            }
            if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        }
        if (n == out.size()) return std::nullopt;
        out[n++] = static_cast<Char>(c);
    }
    return n;
}

}  // namespace brindlex::text
