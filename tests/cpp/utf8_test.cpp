// The one UTF-8 decoder (core/text/utf8.hpp) against an oracle made here from first
// principles: the encodings of every scalar value, written by the test's own encoder. A
// byte string is well-formed exactly when it splits into those encodings, which is what
// Python's strict decoder accepts (bytes.decode('utf-8', 'strict')).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/text/utf8.hpp"

namespace brindlex::utf8 {
namespace {

std::string encode_reference(uint32_t cp) {
    std::string out;
    auto put = [&](uint32_t b) { out.push_back(static_cast<char>(b)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | cp >> 6), put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | cp >> 12), put(0x80 | (cp >> 6 & 0x3F)), put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | cp >> 18), put(0x80 | (cp >> 12 & 0x3F)), put(0x80 | (cp >> 6 & 0x3F)), put(0x80 | (cp & 0x3F));
    }
    return out;
}

// Every well-formed sequence, keyed by its bytes and length, to its scalar value.
class Oracle {
public:
    Oracle() {
        for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
            if (cp >= 0xD800 && cp <= 0xDFFF) continue;
            const std::string e = encode_reference(cp);
            table_.emplace(key(e.data(), e.size()), cp);
        }
    }

    // The sequence at the start of `s`: (value, width), or nothing.
    std::optional<std::pair<uint32_t, size_t>> at(std::string_view s) const {
        for (size_t w = 1; w <= 4 && w <= s.size(); ++w) {
            const auto it = table_.find(key(s.data(), w));
            if (it != table_.end()) return std::pair{it->second, w};
        }
        return std::nullopt;
    }

    bool valid(std::string_view s) const {
        while (!s.empty()) {
            const auto hit = at(s);
            if (!hit) return false;
            s.remove_prefix(hit->second);
        }
        return true;
    }

    // The lenient decoding: one U+FFFD for each byte that starts no sequence.
    std::vector<uint32_t> decode(std::string_view s) const {
        std::vector<uint32_t> out;
        while (!s.empty()) {
            const auto hit = at(s);
            out.push_back(hit ? hit->first : 0xFFFD);
            s.remove_prefix(hit ? hit->second : 1);
        }
        return out;
    }

private:
    static uint64_t key(const char* p, size_t n) {
        uint64_t k = n;
        for (size_t i = 0; i < n; ++i) k = k << 8 | static_cast<uint8_t>(p[i]);
        return k;
    }
    std::unordered_map<uint64_t, uint32_t> table_;
};

const Oracle& oracle() {
    static const Oracle o;
    return o;
}

void expect_agrees(const std::string& s) {
    const Oracle& o = oracle();
    ASSERT_EQ(valid(s), o.valid(s)) << testing::PrintToString(s);
    ASSERT_EQ(decode(s), o.decode(s)) << testing::PrintToString(s);
    ASSERT_EQ(ascii(s), std::all_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; }));
    if (!s.empty()) {
        const auto hit = o.at(s);
        uint32_t cp = 0xABCDEF;
        const size_t width = decode_one(reinterpret_cast<const uint8_t*>(s.data()), s.size(), cp);
        ASSERT_EQ(width, hit ? hit->second : 0) << testing::PrintToString(s);
        ASSERT_EQ(cp, hit ? hit->first : 0xABCDEF) << testing::PrintToString(s);
    }
}

TEST(Utf8, EveryScalarValueDecodesAndEveryOtherValueIsRefused) {
    for (uint32_t cp = 0; cp <= 0x10FFFF + 0x100; ++cp) {
        const std::string e = encode_reference(cp);
        const bool scalar = cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        uint32_t got = 0;
        const size_t width = decode_one(reinterpret_cast<const uint8_t*>(e.data()), e.size(), got);
        ASSERT_EQ(width, scalar ? e.size() : 0) << cp;
        if (scalar) {
            ASSERT_EQ(got, cp);
        }
        ASSERT_EQ(valid(e), scalar) << cp;
        // Cut short, no encoding is taken, and nothing past the cut is read.
        if (e.size() > 1) {
            ASSERT_EQ(decode_one(reinterpret_cast<const uint8_t*>(e.data()), e.size() - 1, got), 0u);
        }
    }
}

TEST(Utf8, AgreesWithTheOracleOnEveryShortString) {
    std::string s;
    for (uint32_t a = 0; a < 256; ++a) {
        s.assign(1, static_cast<char>(a));
        expect_agrees(s);
        for (uint32_t b = 0; b < 256; ++b) {
            s.assign({static_cast<char>(a), static_cast<char>(b)});
            expect_agrees(s);
        }
    }
    // Three bytes after each first byte that can start a longer sequence, or is refused.
    for (uint32_t a = 0xC0; a < 256; ++a) {
        for (uint32_t b = 0x70; b < 0xD0; ++b) {
            for (uint32_t c = 0x70; c < 0xD0; ++c) {
                s.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
                expect_agrees(s);
            }
        }
    }
}

// Random strings of hostile bytes and whole sequences, with ASCII runs long enough for the
// eight-byte scan to meet a non-ASCII byte at every offset.
TEST(Utf8, AgreesWithTheOracleOnRandomHostileStrings) {
    std::mt19937_64 rng(20261209);
    const uint8_t hostile[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                               0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF3, 0xF4, 0xF5, 0xF8, 0xFF};
    for (int round = 0; round < 100000; ++round) {
        std::string s;
        const int parts = static_cast<int>(rng() % 8);
        for (int p = 0; p < parts; ++p) {
            switch (rng() % 4) {
                case 0:
                    s.push_back(static_cast<char>(hostile[rng() % sizeof(hostile)]));
                    break;
                case 1:
                    s.append(rng() % 12, 'a');
                    break;
                case 2:
                    s += encode_reference(static_cast<uint32_t>(rng() % 0x110000));
                    break;
                default:
                    s.push_back(static_cast<char>(rng() % 256));
                    break;
            }
        }
        expect_agrees(s);
    }
}

}  // namespace
}  // namespace brindlex::utf8
