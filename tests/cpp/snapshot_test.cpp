// Tests of whole snapshots: the worked example, truncations, corruptions, longer forms,
// and random stores written and read back.
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

#include "core/facts/facts.hpp"
#include "core/snapshot/decode_error.hpp"
#include "core/snapshot/encoding.hpp"
#include "core/snapshot/snapshot.hpp"
#include "core/store/store.hpp"
#include "support.hpp"

namespace brindlex::snapshot {
namespace {

using namespace test;

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
