// Tests of the snapshot codec: the value encodings (Encoding*) and whole snapshots
// (Snapshot*).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/store/store.hpp"
#include "core/snapshot/decode_error.hpp"
#include "core/snapshot/encoding.hpp"
#include "core/snapshot/snapshot.hpp"

namespace brindlex::snapshot {
namespace {

using Bytes = std::vector<uint8_t>;

// "02 00 FB" -> {0x02, 0x00, 0xFB}
Bytes hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char ch : text) {
        if (ch == ' ') continue;
        digits += ch;
        if (digits.size() == 2) {
            out.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    EXPECT_TRUE(digits.empty()) << "odd hex text: " << text;
    return out;
}

std::string to_hex(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i != 0) s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

std::span<const std::byte> as_input(const Bytes& b) { return std::as_bytes(std::span<const uint8_t>(b)); }

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Writes one value through its writer into a buffer of exactly its size function's size.
template <class F>
Bytes write_one(size_t size, F write) {
    Bytes out(size + 8, 0xEE);  // guard bytes after the value
    Writer w(std::as_writable_bytes(std::span<uint8_t>(out)).first(size));
    write(w);
    EXPECT_EQ(w.pos, out.data() + size) << "writer and size function disagree";
    for (size_t i = size; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "wrote past its size";
    return Bytes(out.begin(), out.begin() + static_cast<long>(size));
}

// Result of one read: the value or the rendered error, and the bytes consumed on success.
struct Outcome {
    bool ok;
    uint64_t value;
    std::string error;
    size_t consumed;

    friend bool operator==(const Outcome&, const Outcome&) = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    if (o.ok) return os << "value " << o.value << " after " << o.consumed << " bytes";
    return os << o.error;
}

template <class T>
Outcome outcome_of(const Decoded<T>& d, const Reader& r, const Bytes& in) {
    if (!d) return {false, 0, render(d.error()), 0};
    return {true, static_cast<uint64_t>(*d), "", static_cast<size_t>(r.pos - in.data())};
}

enum class Route { Dispatch, Careful };

Outcome read32(const Bytes& in, Route route = Route::Dispatch) {
    Reader r(as_input(in));
    auto d = route == Route::Dispatch ? read_varint32(r) : read_varint32_careful(r);
    return outcome_of(d, r, in);
}

Outcome read64(const Bytes& in, Route route = Route::Dispatch) {
    Reader r(as_input(in));
    auto d = route == Route::Dispatch ? read_varint64(r) : read_varint64_careful(r);
    return outcome_of(d, r, in);
}

Outcome ok(uint64_t v, size_t consumed) { return {true, v, "", consumed}; }
Outcome err(const std::string& text) { return {false, 0, text, 0}; }

Bytes encode_store(const TrieStore& s) {
    Bytes out(encoded_size(s));
    encode(s, std::as_writable_bytes(std::span<uint8_t>(out)));
    return out;
}

std::expected<TrieStore, DecodeError> decode_bytes(const Bytes& b) { return decode(as_input(b)); }

std::string decode_error_text(const Bytes& b) {
    auto d = decode_bytes(b);
    if (d) return "decoded";
    return render(d.error());
}

// ---------------------------------------------------------------------------------------
// Varints

struct VarintWriteCase {
    uint64_t value;
    const char* bytes;
};

TEST(EncodingVarint, WritesShortestFormAtEveryBoundary) {
    const VarintWriteCase cases[] = {
        {0, "00"},
        {1, "01"},
        {127, "7F"},
        {128, "80"},
        {249, "F9"},
        {250, "FA"},
        {251, "FB FB 00"},
        {252, "FB FC 00"},
        {255, "FB FF 00"},
        {256, "FB 00 01"},
        {257, "FB 01 01"},
        {65534, "FB FE FF"},
        {65535, "FB FF FF"},
        {65536, "FC 00 00 01 00"},
        {65537, "FC 01 00 01 00"},
        {70000, "FC 70 11 01 00"},
        {0x7FFF'FFFFu, "FC FF FF FF 7F"},
        {0x8000'0000u, "FC 00 00 00 80"},
        {0xFFFF'FFFEu, "FC FE FF FF FF"},
        {0xFFFF'FFFFu, "FC FF FF FF FF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const auto v32 = static_cast<uint32_t>(c.value);
        EXPECT_EQ(to_hex(write_one(size_varint32(v32), [&](Writer& w) { write_varint32(w, v32); })), c.bytes);
        EXPECT_EQ(to_hex(write_one(size_varint64(c.value), [&](Writer& w) { write_varint64(w, c.value); })),
                  c.bytes);
        EXPECT_EQ(read32(hex(c.bytes)), ok(c.value, hex(c.bytes).size()));
        EXPECT_EQ(read64(hex(c.bytes)), ok(c.value, hex(c.bytes).size()));
    }
}

TEST(EncodingVarint, Writes64BitWidthAboveU32) {
    const VarintWriteCase cases[] = {
        {4294967296ull, "FD 00 00 00 00 01 00 00 00"},
        {4294967297ull, "FD 01 00 00 00 01 00 00 00"},
        {0x8000'0000'0000'0000ull, "FD 00 00 00 00 00 00 00 80"},
        {1ull << 60, "FD 00 00 00 00 00 00 00 10"},
        {UINT64_MAX, "FD FF FF FF FF FF FF FF FF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(to_hex(write_one(size_length(c.value), [&](Writer& w) { write_length(w, c.value); })), c.bytes);
        EXPECT_EQ(read64(hex(c.bytes)), ok(c.value, 9));
    }
}

TEST(EncodingVarint, RoundTripsEveryPowerOfTwoPlusMinusOne) {
    for (int k = 0; k < 64; ++k) {
        for (int d = -1; d <= 1; ++d) {
            const uint64_t v = (uint64_t{1} << k) + static_cast<uint64_t>(static_cast<int64_t>(d));
            SCOPED_TRACE(v);
            const size_t expected_size = v <= 250 ? 1 : v <= 0xFFFF ? 3 : v <= 0xFFFF'FFFF ? 5 : 9;
            const Bytes b64 = write_one(size_varint64(v), [&](Writer& w) { write_varint64(w, v); });
            ASSERT_EQ(b64.size(), expected_size);
            EXPECT_EQ(read64(b64), ok(v, expected_size));
            EXPECT_EQ(read64(b64, Route::Careful), ok(v, expected_size));
            if (v <= 0xFFFF'FFFFu) {
                const auto v32 = static_cast<uint32_t>(v);
                const Bytes b32 = write_one(size_varint32(v32), [&](Writer& w) { write_varint32(w, v32); });
                EXPECT_EQ(b32, b64);
                EXPECT_EQ(read32(b32), ok(v, expected_size));
                EXPECT_EQ(read32(b32, Route::Careful), ok(v, expected_size));
            } else {
                EXPECT_EQ(read32(b64), err("InvalidIntegerType { expected: U32, found: U64 }"));
            }
        }
    }
}

// Values written one after another into an exactly sized buffer take the word-at-once
// route until the last 7 bytes and the byte-by-byte route there: same bytes either way.
TEST(EncodingVarint, WordAndByteWritersGiveTheSameBytes) {
    const uint32_t values[] = {0, 250, 251, 65535, 65536, 0xFFFF'FFFFu, 7, 300, 70000, 1, 0xFFFF'FFFFu, 251, 250};
    for (size_t first = 0; first < std::size(values); ++first) {
        Bytes expected;
        size_t size = 0;
        for (size_t i = first; i < std::size(values); ++i) {
            expected = concat(expected, write_one(size_varint32(values[i]), [&](Writer& w) {
                                  detail::write_varint32_narrow(w, values[i]);
                              }));
            size += size_varint32(values[i]);
        }
        SCOPED_TRACE(first);
        EXPECT_EQ(write_one(size,
                            [&](Writer& w) {
                                for (size_t i = first; i < std::size(values); ++i) write_varint32(w, values[i]);
                            }),
                  expected);
        // And with plenty of room after, so that every value takes the word route.
        Bytes roomy(size + 16, 0xEE);
        Writer w(std::as_writable_bytes(std::span<uint8_t>(roomy)));
        for (size_t i = first; i < std::size(values); ++i) detail::write_varint32_wide(w, values[i]);
        EXPECT_EQ(Bytes(roomy.begin(), roomy.begin() + static_cast<long>(size)), expected);
    }
}

struct VarintReadCase {
    const char* bytes;
    Outcome as32;
    Outcome as64;
};

TEST(EncodingVarint, AcceptsLongerForms) {
    const VarintReadCase cases[] = {
        {"FB 05 00", ok(5, 3), ok(5, 3)},
        {"FC 05 00 00 00", ok(5, 5), ok(5, 5)},
        {"FB 00 00", ok(0, 3), ok(0, 3)},
        {"FB FA 00", ok(250, 3), ok(250, 3)},
        {"FC FF FF 00 00", ok(65535, 5), ok(65535, 5)},
        {"FD 05 00 00 00 00 00 00 00", err("InvalidIntegerType { expected: U32, found: U64 }"), ok(5, 9)},
        {"FD FF FF FF FF 00 00 00 00", err("InvalidIntegerType { expected: U32, found: U64 }"),
         ok(0xFFFF'FFFFu, 9)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(read32(hex(c.bytes)), c.as32);
        EXPECT_EQ(read64(hex(c.bytes)), c.as64);
    }
}

TEST(EncodingVarint, MarkerErrorsForBothWidths) {
    const std::string u32_u64 = "InvalidIntegerType { expected: U32, found: U64 }";
    const std::string u32_u128 = "InvalidIntegerType { expected: U32, found: U128 }";
    const std::string u32_res = "InvalidIntegerType { expected: U32, found: Reserved }";
    const std::string u64_u128 = "InvalidIntegerType { expected: U64, found: U128 }";
    const std::string u64_res = "InvalidIntegerType { expected: U64, found: Reserved }";
    // However many bytes follow the marker: none, some, enough for either route.
    for (size_t tail = 0; tail <= 16; ++tail) {
        SCOPED_TRACE(tail);
        const Bytes rest(tail, 0x00);
        EXPECT_EQ(read32(concat(hex("FD"), rest)), err(u32_u64));
        EXPECT_EQ(read32(concat(hex("FE"), rest)), err(u32_u128));
        EXPECT_EQ(read32(concat(hex("FF"), rest)), err(u32_res));
        EXPECT_EQ(read64(concat(hex("FE"), rest)), err(u64_u128));
        EXPECT_EQ(read64(concat(hex("FF"), rest)), err(u64_res));
    }
}

TEST(EncodingVarint, UnexpectedEndReportsMissingBytes) {
    const VarintReadCase cases[] = {
        {"", err("UnexpectedEnd { additional: 1 }"), err("UnexpectedEnd { additional: 1 }")},
        {"FB", err("UnexpectedEnd { additional: 2 }"), err("UnexpectedEnd { additional: 2 }")},
        {"FB 01", err("UnexpectedEnd { additional: 1 }"), err("UnexpectedEnd { additional: 1 }")},
        {"FC", err("UnexpectedEnd { additional: 4 }"), err("UnexpectedEnd { additional: 4 }")},
        {"FC 01", err("UnexpectedEnd { additional: 3 }"), err("UnexpectedEnd { additional: 3 }")},
        {"FC 01 02 03", err("UnexpectedEnd { additional: 1 }"), err("UnexpectedEnd { additional: 1 }")},
        {"FD", err("InvalidIntegerType { expected: U32, found: U64 }"), err("UnexpectedEnd { additional: 8 }")},
        {"FD 01 02 03", err("InvalidIntegerType { expected: U32, found: U64 }"),
         err("UnexpectedEnd { additional: 5 }")},
        {"FD 01 02 03 04 05 06 07", err("InvalidIntegerType { expected: U32, found: U64 }"),
         err("UnexpectedEnd { additional: 1 }")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(read32(hex(c.bytes)), c.as32);
        EXPECT_EQ(read64(hex(c.bytes)), c.as64);
        EXPECT_EQ(read32(hex(c.bytes), Route::Careful), c.as32);
        EXPECT_EQ(read64(hex(c.bytes), Route::Careful), c.as64);
    }
}

// The same complete value or marker error, read with nothing after it (careful route) and
// with padding after it (fast route), gives the same value, bytes consumed and error.
TEST(EncodingVarint, FastAndCarefulRoutesAgreeWithAndWithoutPadding) {
    const char* inputs[] = {
        "00", "FA", "FB FB 00", "FB 05 00", "FB FF FF", "FC 00 00 01 00", "FC 05 00 00 00", "FC FF FF FF FF",
        "FD 00 00 00 00 01 00 00 00", "FD 05 00 00 00 00 00 00 00", "FD FF FF FF FF FF FF FF FF", "FD", "FE", "FF",
    };
    for (const char* text : inputs) {
        const Bytes exact = hex(text);
        for (size_t pad : {size_t{1}, size_t{4}, size_t{8}, size_t{9}, size_t{16}}) {
            SCOPED_TRACE(std::string(text) + " + " + std::to_string(pad));
            const Bytes padded = concat(exact, Bytes(pad, 0xAB));
            // The 32-bit width of an FD value is a marker error whatever follows.
            EXPECT_EQ(read32(exact), read32(padded));
            EXPECT_EQ(read32(padded), read32(padded, Route::Careful));
            if (to_hex(exact) != "FD") {  // FD alone lacks its 8 bytes at 64 bits
                EXPECT_EQ(read64(exact), read64(padded));
            }
            EXPECT_EQ(read64(padded), read64(padded, Route::Careful));
        }
    }
}

// Every marker byte followed by every count of bytes: the dispatching reader (fast route
// where enough bytes are left) and the careful route agree exactly.
TEST(EncodingVarint, FastRouteEqualsCarefulRouteExhaustively) {
    for (int m = 0; m < 256; ++m) {
        for (size_t tail = 0; tail <= 12; ++tail) {
            Bytes in{static_cast<uint8_t>(m)};
            for (size_t i = 0; i < tail; ++i) in.push_back(static_cast<uint8_t>(0x11 * (i + 1)));
            SCOPED_TRACE(to_hex(in));
            EXPECT_EQ(read32(in), read32(in, Route::Careful));
            EXPECT_EQ(read64(in), read64(in, Route::Careful));
        }
    }
}

// ---------------------------------------------------------------------------------------
// Characters

TEST(EncodingChar, WritesUtf8AtEveryWidthBoundary) {
    const VarintWriteCase cases[] = {
        {0x00, "00"},         {0x61, "61"},          {0x7F, "7F"},
        {0x80, "C2 80"},      {0xE9, "C3 A9"},       {0x7FF, "DF BF"},
        {0x800, "E0 A0 80"},  {0xD7FF, "ED 9F BF"},  {0xE000, "EE 80 80"},
        {0xFFFD, "EF BF BD"}, {0xFFFF, "EF BF BF"},  {0x10000, "F0 90 80 80"},
        {0x1F600, "F0 9F 98 80"}, {0x10FFFF, "F4 8F BF BF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const auto ch = static_cast<uint32_t>(c.value);
        const Bytes b = write_one(size_char(ch), [&](Writer& w) { write_char(w, ch); });
        EXPECT_EQ(to_hex(b), c.bytes);
        Reader r(as_input(b));
        auto d = read_char(r);
        ASSERT_TRUE(d.has_value()) << render(d.error());
        EXPECT_EQ(*d, ch);
        EXPECT_EQ(r.pos, b.data() + b.size());
    }
}

TEST(EncodingChar, RoundTripsEveryScalarValue) {
    Bytes buf(4);
    for (uint32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c == 0xD800) c = 0xE000;
        const size_t n = size_char(c);
        Writer w(std::as_writable_bytes(std::span<uint8_t>(buf)).first(n));
        write_char(w, c);
        ASSERT_EQ(w.pos, buf.data() + n) << c;
        Reader r(std::as_bytes(std::span<const uint8_t>(buf)).first(n));
        auto d = read_char(r);
        ASSERT_TRUE(d.has_value()) << c;
        ASSERT_EQ(*d, c);
        ASSERT_EQ(r.pos, r.end) << c;
    }
}

// Not scalar values: never in a store, but writing must still not fail and stay readable.
TEST(EncodingChar, WritesNonScalarValuesAsReplacementCharacter) {
    for (uint32_t c : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFF'FFFFu}) {
        SCOPED_TRACE(c);
        EXPECT_EQ(to_hex(write_one(size_char(c), [&](Writer& w) { write_char(w, c); })), "EF BF BD");
    }
}

struct CharReadCase {
    const char* bytes;
    const char* result;  // "U+XXXX" or the rendered error
};

TEST(EncodingChar, ReadsAndRejectsExactly) {
    const CharReadCase cases[] = {
        {"61", "U+0061"},
        {"00", "U+0000"},
        {"C3 A9", "U+00E9"},
        {"F0 9F 98 80", "U+1F600"},
        {"", "UnexpectedEnd { additional: 1 }"},
        // Bytes that cannot start a character: rejected at once, nothing more read.
        {"80", "InvalidCharEncoding([128, 0, 0, 0])"},
        {"BF 80", "InvalidCharEncoding([191, 0, 0, 0])"},
        {"C0", "InvalidCharEncoding([192, 0, 0, 0])"},
        {"C0 80", "InvalidCharEncoding([192, 0, 0, 0])"},
        {"C1 BF", "InvalidCharEncoding([193, 0, 0, 0])"},
        {"F5 80 80 80", "InvalidCharEncoding([245, 0, 0, 0])"},
        {"FF", "InvalidCharEncoding([255, 0, 0, 0])"},
        // Malformed sequences: the bytes read, padded with zeros.
        {"ED A0 80", "InvalidCharEncoding([237, 160, 128, 0])"},
        {"ED BF BF", "InvalidCharEncoding([237, 191, 191, 0])"},
        {"E0 80 80", "InvalidCharEncoding([224, 128, 128, 0])"},
        {"E0 9F BF", "InvalidCharEncoding([224, 159, 191, 0])"},
        {"F0 80 80 80", "InvalidCharEncoding([240, 128, 128, 128])"},
        {"F0 8F BF BF", "InvalidCharEncoding([240, 143, 191, 191])"},
        {"F4 90 80 80", "InvalidCharEncoding([244, 144, 128, 128])"},
        {"C3 41", "InvalidCharEncoding([195, 65, 0, 0])"},
        {"C3 C3", "InvalidCharEncoding([195, 195, 0, 0])"},
        {"E2 82 41", "InvalidCharEncoding([226, 130, 65, 0])"},
        {"F0 9F 98 41", "InvalidCharEncoding([240, 159, 152, 65])"},
        // Cut short: how many bytes the character still lacks.
        {"C3", "UnexpectedEnd { additional: 1 }"},
        {"E2", "UnexpectedEnd { additional: 2 }"},
        {"E2 82", "UnexpectedEnd { additional: 1 }"},
        {"F0", "UnexpectedEnd { additional: 3 }"},
        {"F0 9F", "UnexpectedEnd { additional: 2 }"},
        {"F0 9F 98", "UnexpectedEnd { additional: 1 }"},
        // Cut short wins over malformed: the length is checked before the bytes.
        {"ED A0", "UnexpectedEnd { additional: 1 }"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const Bytes in = hex(c.bytes);
        Reader r(as_input(in));
        auto d = read_char(r);
        std::string got;
        if (d) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "U+%04X", *d);
            got = buf;
        } else {
            got = render(d.error());
        }
        EXPECT_EQ(got, c.result);
    }
}

// ---------------------------------------------------------------------------------------
// 16-byte groups, booleans, optional tags, enumeration tags

TEST(EncodingGroup16, ReadsSixteenBytesOrReportsTheShortfall) {
    Bytes in;
    for (int i = 0; i < 20; ++i) in.push_back(static_cast<uint8_t>(i * 17));
    const Group16 g{0, 17, 34, 51, 68, 85, 102, 119, 136, 153, 170, 187, 204, 221, 238, 255};
    EXPECT_EQ(write_one(size_group16(), [&](Writer& w) { write_group16(w, g); }), Bytes(in.begin(), in.begin() + 16));
    for (size_t len : {size_t{0}, size_t{1}, size_t{10}, size_t{15}, size_t{16}, size_t{20}}) {
        SCOPED_TRACE(len);
        const Bytes part(in.begin(), in.begin() + static_cast<long>(len));
        Reader r(as_input(part));
        auto d = read_group16(r);
        if (len >= 16) {
            ASSERT_TRUE(d.has_value());
            EXPECT_EQ(*d, g);
            EXPECT_EQ(r.pos, part.data() + 16);
        } else {
            ASSERT_FALSE(d.has_value());
            EXPECT_EQ(render(d.error()), "UnexpectedEnd { additional: " + std::to_string(16 - len) + " }");
        }
    }
    // 10 bytes left.
    const Bytes ten(10, 0);
    Reader r(as_input(ten));
    EXPECT_EQ(render(read_group16(r).error()), "UnexpectedEnd { additional: 6 }");
}

struct TagCase {
    const char* bytes;
    const char* result;  // "false"/"true", a number, or the rendered error
};

TEST(EncodingBool, ReadsZeroAndOneOnly) {
    EXPECT_EQ(to_hex(write_one(size_bool(), [](Writer& w) { write_bool(w, false); })), "00");
    EXPECT_EQ(to_hex(write_one(size_bool(), [](Writer& w) { write_bool(w, true); })), "01");
    const TagCase cases[] = {
        {"00", "false"},
        {"01", "true"},
        {"02", "InvalidBooleanValue(2)"},
        {"FB 01 00", "InvalidBooleanValue(251)"},
        {"FF", "InvalidBooleanValue(255)"},
        {"", "UnexpectedEnd { additional: 1 }"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const Bytes in = hex(c.bytes);
        Reader r(as_input(in));
        auto d = read_bool(r);
        EXPECT_EQ(d ? std::string(*d ? "true" : "false") : render(d.error()), c.result);
        if (d) {
            EXPECT_EQ(r.pos, in.data() + 1);
        }
    }
}

constexpr std::string_view kPayloadName = "core::option::Option<brindlex::payload::Payload>";

TEST(EncodingOptionTag, IsOneRawByte) {
    EXPECT_EQ(to_hex(write_one(size_option_tag(), [](Writer& w) { write_option_tag(w, false); })), "00");
    EXPECT_EQ(to_hex(write_one(size_option_tag(), [](Writer& w) { write_option_tag(w, true); })), "01");
    const TagCase cases[] = {
        {"00", "false"},
        {"01 FF", "true"},
        {"02",
         "UnexpectedVariant { type_name: \"core::option::Option<brindlex::payload::Payload>\", allowed: Range { "
         "min: 0, max: 1 }, found: 2 }"},
        // FB is not a varint marker here: the tag is 251.
        {"FB 01 00",
         "UnexpectedVariant { type_name: \"core::option::Option<brindlex::payload::Payload>\", allowed: Range { "
         "min: 0, max: 1 }, found: 251 }"},
        {"", "UnexpectedEnd { additional: 1 }"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const Bytes in = hex(c.bytes);
        Reader r(as_input(in));
        auto d = read_option_tag(r, kPayloadName);
        EXPECT_EQ(d ? std::string(*d ? "true" : "false") : render(d.error()), c.result);
        if (d) {
            EXPECT_EQ(r.pos, in.data() + 1);
        }
    }
    Bytes fb = hex("FB");
    Reader r(as_input(fb));
    const auto e = read_option_tag(r, kPayloadName).error();
    EXPECT_EQ(e, DecodeError::unexpected_variant(kPayloadName, 0, 1, 251));
}

TEST(EncodingEnumTag, IsA32BitVarint) {
    EXPECT_EQ(to_hex(write_one(size_enum_tag(0), [](Writer& w) { write_enum_tag(w, 0); })), "00");
    EXPECT_EQ(to_hex(write_one(size_enum_tag(1), [](Writer& w) { write_enum_tag(w, 1); })), "01");
    const std::string variant = "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: ";
    const TagCase cases[] = {
        {"00", "0"},
        {"01", "1"},
        {"FB 01 00", "1"},
        {"FC 00 00 00 00", "0"},
        {"02", nullptr},
        {"FB FB 00", nullptr},
        {"FC 00 00 01 00", nullptr},
        {"FD 01 00 00 00 00 00 00 00", "InvalidIntegerType { expected: U32, found: U64 }"},
        {"FE", "InvalidIntegerType { expected: U32, found: U128 }"},
        {"FF", "InvalidIntegerType { expected: U32, found: Reserved }"},
        {"FB 01", "UnexpectedEnd { additional: 1 }"},
        {"", "UnexpectedEnd { additional: 1 }"},
    };
    const std::string variant_found[] = {"2", "251", "65536"};
    size_t next_variant = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const Bytes in = hex(c.bytes);
        Reader r(as_input(in));
        auto d = read_enum_tag(r, "IdMode", 2);
        const std::string expected = c.result ? c.result : variant + variant_found[next_variant++] + " }";
        EXPECT_EQ(d ? std::to_string(*d) : render(d.error()), expected);
    }
}

// ---------------------------------------------------------------------------------------
// Sequences

TEST(EncodingSequence, LengthIsA64BitVarint) {
    for (const char* text : {"FE", "FE 00 00 00 00 00 00 00 00 00 00", "FF", "FF 00 00 00 00 00 00 00 00 00 00"}) {
        SCOPED_TRACE(text);
        const Bytes in = hex(text);
        Reader r(as_input(in));
        auto d = read_length(r);
        ASSERT_FALSE(d.has_value());
        EXPECT_EQ(render(d.error()), in[0] == 0xFE ? "InvalidIntegerType { expected: U64, found: U128 }"
                                                   : "InvalidIntegerType { expected: U64, found: Reserved }");
    }
}

TEST(EncodingSequence, WritesLengthThenElements) {
    const std::vector<uint32_t> v{0, 250, 251, 65536};
    const Bytes b = write_one(size_varint32_sequence(v), [&](Writer& w) { write_varint32_sequence(w, v); });
    EXPECT_EQ(to_hex(b), "04 00 FA FB FB 00 FC 00 00 01 00");
    Reader r(as_input(b));
    std::vector<uint32_t> back{99};
    ASSERT_TRUE(read_varint32_sequence(r, back).has_value());
    EXPECT_EQ(back, v);
    EXPECT_EQ(r.pos, r.end);
}

// A declared length of 2^60 with a few bytes behind it: the reserve stays within what the
// bytes could back, and the read ends in UnexpectedEnd when they run out.
TEST(EncodingSequence, HugeLengthIsNotTrustedForAllocation) {
    const Bytes in = concat(hex("FD 00 00 00 00 00 00 00 10"), Bytes(1000, 0x07));
    Reader r(as_input(in));
    std::vector<uint32_t> out;
    auto d = read_varint32_sequence(r, out);
    ASSERT_FALSE(d.has_value());
    EXPECT_EQ(render(d.error()), "UnexpectedEnd { additional: 1 }");
    EXPECT_EQ(out.size(), 1000u);
    EXPECT_LE(out.capacity(), 1000u + 1000u / 2 + 16);

    Reader r2(as_input(in));
    ASSERT_TRUE(read_length(r2).has_value());
    EXPECT_EQ(reserve_bound(r2, uint64_t{1} << 60), 1000u);
    EXPECT_EQ(reserve_bound(r2, uint64_t{1} << 60, 16), 62u);
    EXPECT_EQ(reserve_bound(r2, 5), 5u);
}

TEST(EncodingRender, GivesTheExactTextOfEveryKind) {
    EXPECT_EQ(render(DecodeError::unexpected_end(3)), "UnexpectedEnd { additional: 3 }");
    EXPECT_EQ(render(DecodeError::invalid_integer_type(IntegerType::U32, IntegerType::U64)),
              "InvalidIntegerType { expected: U32, found: U64 }");
    EXPECT_EQ(render(DecodeError::invalid_integer_type(IntegerType::U64, IntegerType::U128)),
              "InvalidIntegerType { expected: U64, found: U128 }");
    EXPECT_EQ(render(DecodeError::invalid_integer_type(IntegerType::U64, IntegerType::Reserved)),
              "InvalidIntegerType { expected: U64, found: Reserved }");
    EXPECT_EQ(render(DecodeError::unexpected_variant("IdMode", 0, 1, 2)),
              "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: 2 }");
    EXPECT_EQ(render(DecodeError::unexpected_variant("IdMode", 0, 1, 4294967295u)),
              "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: 4294967295 }");
    EXPECT_EQ(render(DecodeError::invalid_char_encoding({237, 160, 128, 0})),
              "InvalidCharEncoding([237, 160, 128, 0])");
    EXPECT_EQ(render(DecodeError::invalid_boolean_value(2)), "InvalidBooleanValue(2)");
}

// ---------------------------------------------------------------------------------------
// Whole snapshots

TrieStore worked_example() {
    TrieStore s;
    s.node_shifts = {0, 300};
    s.child_labels = {'a', 0xE9};
    s.child_transitions = {1};
    s.payloads.push_absent();
    const std::vector<uint32_t> ids{0};
    const std::vector<uint32_t> counts{70000};
    s.payloads.push(2, ids, counts);
    VideoUuid id;
    for (size_t i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(i * 0x11);
    s.video_uuids = {id};
    s.id_mode = IdMode::Uuid;
    s.has_payload = {0, 1};
    finish_store(s);
    return s;
}

const char* kWorkedExample =
    "02 00 FB 2C 01"                                    // node_shifts
    " 02 61 C3 A9"                                      // child_labels
    " 01 01"                                            // child_transitions
    " 02 00 01 02 01 00 01 FC 70 11 01 00"              // payloads
    " 01 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"  // video_uuids
    " 00"                                               // video_int_ids
    " 00"                                               // id_mode
    " 02 00 01";                                        // has_payload

TEST(SnapshotWorkedExample, WritesTheFortyFiveBytes) {
    const TrieStore s = worked_example();
    EXPECT_EQ(encoded_size(s), 45u);
    EXPECT_EQ(to_hex(encode_store(s)), to_hex(hex(kWorkedExample)));
}

TEST(SnapshotWorkedExample, ReadsBackTheStore) {
    auto d = decode_bytes(hex(kWorkedExample));
    ASSERT_TRUE(d.has_value()) << render(d.error());
    EXPECT_EQ(*d, worked_example());
    EXPECT_FALSE(d->payloads.present(0));
    ASSERT_TRUE(d->payloads.present(1));
    const PayloadView p = d->payloads.view(1);
    EXPECT_EQ(p.count, 2u);
    EXPECT_EQ(std::vector<uint32_t>(p.video_ids.begin(), p.video_ids.end()), std::vector<uint32_t>{0});
    EXPECT_EQ(std::vector<uint32_t>(p.video_counts.begin(), p.video_counts.end()), std::vector<uint32_t>{70000});
}

TEST(SnapshotWorkedExample, WritesIntoExactlyItsSize) {
    const TrieStore s = worked_example();
    Bytes buf(encoded_size(s) + 32, 0xEE);
    encode(s, std::as_writable_bytes(std::span<uint8_t>(buf)).first(encoded_size(s)));
    for (size_t i = encoded_size(s); i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE);
}

TEST(SnapshotEmpty, IsEightZeroBytes) {
    TrieStore s;
    finish_store(s);
    EXPECT_EQ(to_hex(encode_store(s)), "00 00 00 00 00 00 00 00");
    auto d = decode_bytes(Bytes(8, 0));
    ASSERT_TRUE(d.has_value()) << render(d.error());
    EXPECT_EQ(*d, s);
}

TEST(SnapshotEmpty, EmptyInputIsUnexpectedEnd) {
    EXPECT_EQ(decode_error_text({}), "UnexpectedEnd { additional: 1 }");
}

// Each value of the worked example: where it starts and ends, and whether it begins with a
// byte read on its own (a varint marker or a character's first byte) or is a 16-byte group.
struct Extent {
    size_t begin;
    size_t end;
    bool group;
};

TEST(SnapshotTruncation, EveryCutOfTheWorkedExampleIsUnexpectedEnd) {
    const Extent values[] = {
        {0, 1, false},   {1, 2, false},   {2, 5, false},   {5, 6, false},   {6, 7, false},   {7, 9, false},
        {9, 10, false},  {10, 11, false}, {11, 12, false}, {12, 13, false}, {13, 14, false}, {14, 15, false},
        {15, 16, false}, {16, 17, false}, {17, 18, false}, {18, 23, false}, {23, 24, false}, {24, 40, true},
        {40, 41, false}, {41, 42, false}, {42, 43, false}, {43, 44, false}, {44, 45, false},
    };
    const Bytes full = hex(kWorkedExample);
    ASSERT_EQ(full.size(), 45u);
    for (size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE(cut);
        size_t additional = 0;
        for (const Extent& v : values) {
            if (cut < v.end) {
                additional = (!v.group && cut == v.begin) ? 1 : v.end - cut;
                break;
            }
        }
        EXPECT_EQ(decode_error_text(Bytes(full.begin(), full.begin() + static_cast<long>(cut))),
                  "UnexpectedEnd { additional: " + std::to_string(additional) + " }");
    }
}

TEST(SnapshotTruncation, SpecExamples) {
    const Bytes full = hex(kWorkedExample);
    EXPECT_EQ(decode_error_text(Bytes(full.begin(), full.begin() + 30)), "UnexpectedEnd { additional: 10 }");
    EXPECT_EQ(decode_error_text(Bytes(full.begin(), full.begin() + 19)), "UnexpectedEnd { additional: 4 }");
}

struct CorruptionCase {
    size_t position;
    uint8_t byte;
    const char* error;
};

TEST(SnapshotCorruption, BadTagsAndBooleans) {
    const std::string payload_variant =
        "UnexpectedVariant { type_name: \"core::option::Option<brindlex::payload::Payload>\", allowed: Range { min: "
        "0, max: 1 }, found: ";
    const std::string id_mode_variant =
        "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: ";
    const std::string p2 = payload_variant + "2 }";
    const std::string p251 = payload_variant + "251 }";
    const std::string m2 = id_mode_variant + "2 }";
    const std::string m250 = id_mode_variant + "250 }";
    const CorruptionCase cases[] = {
        {41, 0x02, m2.c_str()},
        {41, 0xFA, m250.c_str()},
        {41, 0xFD, "InvalidIntegerType { expected: U32, found: U64 }"},
        {41, 0xFE, "InvalidIntegerType { expected: U32, found: U128 }"},
        {12, 0x02, p2.c_str()},
        {13, 0x02, p2.c_str()},
        {13, 0xFB, p251.c_str()},
        {43, 0x02, "InvalidBooleanValue(2)"},
        {44, 0x02, "InvalidBooleanValue(2)"},
        {44, 0xFF, "InvalidBooleanValue(255)"},
        {6, 0x80, "InvalidCharEncoding([128, 0, 0, 0])"},
        {8, 0x41, "InvalidCharEncoding([195, 65, 0, 0])"},
        {0, 0xFE, "InvalidIntegerType { expected: U64, found: U128 }"},
        {0, 0xFF, "InvalidIntegerType { expected: U64, found: Reserved }"},
        {2, 0xFD, "InvalidIntegerType { expected: U32, found: U64 }"},
        {18, 0xFE, "InvalidIntegerType { expected: U32, found: U128 }"},
        {14, 0xFF, "InvalidIntegerType { expected: U32, found: Reserved }"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.position) + " <- " + std::to_string(c.byte));
        Bytes b = hex(kWorkedExample);
        b[c.position] = c.byte;
        EXPECT_EQ(decode_error_text(b), c.error);
        // The same with bytes after the snapshot: fast routes, same errors.
        EXPECT_EQ(decode_error_text(concat(b, Bytes(16, 0))), c.error);
    }
}

// has_payload is read element by element: a bad byte is reported where it stands, even
// when the sequence is also cut short later.
TEST(SnapshotCorruption, FirstBadBooleanIsReported) {
    const Bytes fields_1_to_7 = hex("00 00 00 00 00 00 00");
    EXPECT_EQ(decode_error_text(concat(fields_1_to_7, hex("05 00 01 02"))), "InvalidBooleanValue(2)");
    EXPECT_EQ(decode_error_text(concat(fields_1_to_7, hex("05 00 01 07 09 01"))), "InvalidBooleanValue(7)");
    EXPECT_EQ(decode_error_text(concat(fields_1_to_7, hex("05 00 01 01"))), "UnexpectedEnd { additional: 1 }");
    Bytes many = concat(fields_1_to_7, hex("FC 00 00 01 00"));
    for (size_t i = 0; i < 65536; ++i) many.push_back(i == 40000 ? 0x80 : static_cast<uint8_t>(i & 1));
    many[many.size() - 1] = 0xFF;
    EXPECT_EQ(decode_error_text(many), "InvalidBooleanValue(128)");
}

TEST(SnapshotLongerForms, AreAcceptedAndWrittenBackCanonically) {
    // id_mode written as FB 01 00 (1).
    Bytes b = hex(kWorkedExample);
    b.erase(b.begin() + 41);
    b.insert(b.begin() + 41, {0xFB, 0x01, 0x00});
    auto d = decode_bytes(b);
    ASSERT_TRUE(d.has_value()) << render(d.error());
    EXPECT_EQ(d->id_mode, IdMode::Int32);
    TrieStore expected = worked_example();
    expected.id_mode = IdMode::Int32;
    finish_store(expected);
    EXPECT_EQ(*d, expected);
    Bytes canonical = hex(kWorkedExample);
    canonical[41] = 0x01;
    EXPECT_EQ(encode_store(*d), canonical);

    // Every length and value of node_shifts in a longer form.
    const Bytes canonical_full = hex(kWorkedExample);
    const Bytes longer = concat(hex("FC 02 00 00 00 FB 00 00 FC 2C 01 00 00"),
                                Bytes(canonical_full.begin() + 5, canonical_full.end()));
    auto d2 = decode_bytes(longer);
    ASSERT_TRUE(d2.has_value()) << render(d2.error());
    EXPECT_EQ(*d2, worked_example());
    EXPECT_EQ(encode_store(*d2), hex(kWorkedExample));
}

TEST(SnapshotLongerForms, NodeShiftValueAsU64IsRejected) {
    // A 32-bit element with marker FD is an error even though a length could take it.
    const Bytes b = concat(hex("01 FD 00 00 00 00 00 00 00 00"), Bytes(8, 0));
    EXPECT_EQ(decode_error_text(b), "InvalidIntegerType { expected: U32, found: U64 }");
}

TEST(SnapshotTrailingBytes, AreIgnored) {
    const Bytes full = hex(kWorkedExample);
    for (const Bytes& tail : {hex("00"), hex("FF"), hex("FE FF FD 02"), Bytes(100, 0xAB)}) {
        auto d = decode_bytes(concat(full, tail));
        ASSERT_TRUE(d.has_value()) << render(d.error());
        EXPECT_EQ(*d, worked_example());
    }
    auto d = decode_bytes(concat(Bytes(8, 0), hex("FF FF")));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(encode_store(*d), Bytes(8, 0));
}

TEST(SnapshotInt32, IdsAreVarints) {
    TrieStore s;
    s.id_mode = IdMode::Int32;
    s.video_int_ids = {1, 0xFFFF'FFFFu};
    finish_store(s);
    EXPECT_EQ(to_hex(encode_store(s)), "00 00 00 00 00 02 01 FC FF FF FF FF 01 00");
    auto d = decode_bytes(encode_store(s));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(*d, s);
}

TEST(SnapshotPayloads, KeepUnequalListLengthsAndAbsentSlots) {
    TrieStore s;
    s.node_shifts = {0, 0, 0, 0};
    s.child_labels = {0, 'x', 'y', 'z'};
    const std::vector<uint32_t> three{1, 2, 3};
    const std::vector<uint32_t> one{7};
    const std::vector<uint32_t> none;
    s.payloads.push(5, three, one);
    s.payloads.push_absent();
    s.payloads.push(0xFFFF'FFFFu, none, three);
    s.payloads.push(0, none, none);
    s.payloads.push_absent();  // more slots than nodes: no cross-field check
    s.has_payload = {1, 0, 1};
    finish_store(s);
    const Bytes b = encode_store(s);
    auto d = decode_bytes(b);
    ASSERT_TRUE(d.has_value()) << render(d.error());
    EXPECT_EQ(*d, s);
    ASSERT_EQ(d->payloads.size(), 5u);
    EXPECT_TRUE(d->payloads.present(0));
    EXPECT_FALSE(d->payloads.present(1));
    EXPECT_TRUE(d->payloads.present(2));
    EXPECT_TRUE(d->payloads.present(3));
    EXPECT_FALSE(d->payloads.present(4));
    EXPECT_EQ(d->payloads.view(0).video_ids.size(), 3u);
    EXPECT_EQ(d->payloads.view(0).video_counts.size(), 1u);
    EXPECT_EQ(d->payloads.view(2).count, 0xFFFF'FFFFu);
    EXPECT_EQ(d->payloads.view(2).video_ids.size(), 0u);
    EXPECT_EQ(d->payloads.view(2).video_counts.size(), 3u);
    EXPECT_EQ(encode_store(*d), b);
}

// A length of 2^60 in each sequence of a snapshot, with a little input behind it: ends in
// UnexpectedEnd at once, without a large allocation (the sanitizer build would report an
// allocation beyond its limit).
TEST(SnapshotHugeLength, EndsInUnexpectedEndQuickly) {
    const Bytes huge = hex("FD 00 00 00 00 00 00 00 10");
    const Bytes ones(4096, 0x01);
    struct Case {
        Bytes before;  // the fields before the huge sequence
        Bytes after;   // what follows its length
        const char* error;
    };
    const Case cases[] = {
        {{}, ones, "UnexpectedEnd { additional: 1 }"},                                   // node_shifts
        {hex("00"), ones, "UnexpectedEnd { additional: 1 }"},                            // child_labels
        {hex("00 00"), ones, "UnexpectedEnd { additional: 1 }"},                         // child_transitions
        {hex("00 00 00"), Bytes(4096, 0x00), "UnexpectedEnd { additional: 1 }"},         // payloads, absent
        {hex("00 00 00"), hex("01 05 00 00 01 00 01 00"), "UnexpectedEnd { additional: 1 }"},  // payloads, present
        {hex("00 00 00 01 01 00"), ones, "UnexpectedEnd { additional: 1 }"},             // video_ids
        {hex("00 00 00 01 01 00 00"), ones, "UnexpectedEnd { additional: 1 }"},          // video_counts
        {hex("00 00 00 00"), Bytes(4100, 0x01), "UnexpectedEnd { additional: 12 }"},     // video_uuids
        {hex("00 00 00 00 00"), ones, "UnexpectedEnd { additional: 1 }"},                // video_int_ids
        {hex("00 00 00 00 00 00 00"), ones, "UnexpectedEnd { additional: 1 }"},          // has_payload
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_hex(c.before));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(decode_error_text(concat(concat(c.before, huge), c.after)), c.error);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
    // The largest length there is.
    EXPECT_EQ(decode_error_text(concat(hex("FD FF FF FF FF FF FF FF FF"), ones)), "UnexpectedEnd { additional: 1 }");
}

// ---------------------------------------------------------------------------------------
// Random stores

class RandomStores {
public:
    // Small stores keep every length below 6 (for tests that decode every cut).
    explicit RandomStores(uint64_t seed, bool small = false) : rng_(seed), small_(small) {}

    uint64_t below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }

    // A value of any magnitude, often at a varint boundary.
    uint32_t u32() {
        static constexpr uint32_t kEdges[] = {0, 1, 249, 250, 251, 252, 255, 256, 65534, 65535, 65536, 65537,
                                              0x7FFF'FFFFu, 0x8000'0000u, 0xFFFF'FFFEu, 0xFFFF'FFFFu};
        switch (below(5)) {
            case 0:
                return kEdges[below(std::size(kEdges))];
            case 1:
                return static_cast<uint32_t>(below(251));
            case 2:
                return static_cast<uint32_t>(251 + below(65536 - 251));
            case 3:
                return static_cast<uint32_t>(65536 + below(0x1'0000'0000ull - 65536));
            default:
                return static_cast<uint32_t>(below(4));
        }
    }

    uint32_t scalar() {
        switch (below(5)) {
            case 0:
                return 0;
            case 1:
                return static_cast<uint32_t>(below(0x80));
            case 2:
                return static_cast<uint32_t>(0x80 + below(0x800 - 0x80));
            case 3: {
                uint32_t c = static_cast<uint32_t>(0x800 + below(0x10000 - 0x800));
                return (c >= 0xD800 && c <= 0xDFFF) ? c - 0x800 : c;
            }
            default:
                return static_cast<uint32_t>(0x10000 + below(0x110000 - 0x10000));
        }
    }

    size_t length() {
        if (small_) return below(6);
        switch (below(6)) {
            case 0:
                return 0;
            case 1:
                return 1;
            case 2:
                return 250 + below(4);  // around the one-byte limit of the length varint
            default:
                return below(24);
        }
    }

    std::vector<uint32_t> u32s() {
        std::vector<uint32_t> v(length());
        for (auto& x : v) x = u32();
        return v;
    }

    TrieStore store() {
        TrieStore s;
        s.node_shifts = u32s();
        s.child_labels.resize(length());
        for (auto& c : s.child_labels) c = scalar();
        s.child_transitions = u32s();
        const size_t slots = length();
        for (size_t v = 0; v < slots; ++v) {
            if (below(4) == 0) {
                s.payloads.push_absent();
                continue;
            }
            const std::vector<uint32_t> ids = u32s();
            std::vector<uint32_t> counts = below(3) == 0 ? u32s() : std::vector<uint32_t>(ids.size());
            for (auto& c : counts) c = u32();
            s.payloads.push(u32(), ids, counts);
        }
        s.video_uuids.resize(length());
        for (auto& id : s.video_uuids)
            for (auto& b : id) b = static_cast<uint8_t>(below(256));
        s.video_int_ids = u32s();
        s.id_mode = below(2) == 0 ? IdMode::Uuid : IdMode::Int32;
        s.has_payload.resize(length());
        for (auto& b : s.has_payload) b = static_cast<uint8_t>(below(2));
        finish_store(s);
        return s;
    }

private:
    std::mt19937_64 rng_;
    bool small_;
};

TEST(SnapshotRandomStores, RoundTripExactly) {
    RandomStores gen(0x5eed'b21d'1e70ull);
    for (int i = 0; i < 400; ++i) {
        SCOPED_TRACE(i);
        const TrieStore s = gen.store();
        const Bytes b = encode_store(s);
        auto d = decode_bytes(b);
        ASSERT_TRUE(d.has_value()) << render(d.error());
        ASSERT_EQ(*d, s);
        ASSERT_EQ(encode_store(*d), b);
        // With trailing bytes: the same store.
        Bytes tail(gen.below(12), 0);
        for (auto& x : tail) x = static_cast<uint8_t>(gen.below(256));
        auto d2 = decode_bytes(concat(b, tail));
        ASSERT_TRUE(d2.has_value());
        ASSERT_EQ(*d2, s);
    }
}

TEST(SnapshotRandomStores, EveryCutIsUnexpectedEnd) {
    RandomStores gen(42, true);
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        const Bytes b = encode_store(gen.store());
        for (size_t cut = 0; cut < b.size(); ++cut) {
            auto d = decode_bytes(Bytes(b.begin(), b.begin() + static_cast<long>(cut)));
            ASSERT_FALSE(d.has_value()) << cut;
            ASSERT_EQ(d.error().kind, DecodeErrorKind::UnexpectedEnd) << cut << ": " << render(d.error());
            ASSERT_GE(d.error().additional, 1u);
            ASSERT_LE(d.error().additional, 16u);
        }
    }
}

// Random bytes never make the reader fail other than with a decode error, and whatever it
// accepts writes back to bytes that read as the same store (the sanitizer build checks that
// no byte outside the input is touched).
TEST(SnapshotRandomBytes, NeverReadOutsideTheInput) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 100000; ++i) {
        const size_t n = rng() % 64;
        // Exactly sized heap buffer, so that a read past its end is caught.
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n]);
        for (size_t k = 0; k < n; ++k) {
            const uint64_t r = rng();
            // Mostly small bytes, so that lengths are small and decoding gets far.
            buf[k] = static_cast<uint8_t>(r % 4 == 0 ? r >> 8 : (r >> 8) % 3);
        }
        auto d = decode(std::as_bytes(std::span<const uint8_t>(buf.get(), n)));
        if (d) {
            const Bytes again = encode_store(*d);
            auto d2 = decode_bytes(again);
            ASSERT_TRUE(d2.has_value());
            ASSERT_EQ(*d2, *d);
        }
    }
}

}  // namespace
}  // namespace brindlex::snapshot
