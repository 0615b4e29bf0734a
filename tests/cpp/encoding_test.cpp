// Tests of the snapshot's value encodings, kind by kind, and of decode error texts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/snapshot/decode_error.hpp"
#include "core/snapshot/encoding.hpp"
#include "core/snapshot/snapshot.hpp"
#include "core/store/store.hpp"
#include "support.hpp"

namespace brindlex::snapshot {
namespace {

using namespace test;

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

}  // namespace
}  // namespace brindlex::snapshot
