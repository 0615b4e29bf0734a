// The errors of reading a snapshot, as plain values, and their text.
//
// Five kinds, each with its own data. render() gives the exact text that
// follows "decode error: " in the ValueError of PrefixSearch.from_bytes, for example
// "UnexpectedEnd { additional: 3 }" or "InvalidBooleanValue(2)".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindlex::snapshot {

// The integer widths named by InvalidIntegerType: the width being read (U32 or U64) and
// the width the marker byte announces (U64 for 253, U128 for 254, Reserved for 255).
enum class IntegerType : uint8_t { U32, U64, U128, Reserved };

// "U32", "U64", "U128" or "Reserved".
std::string_view integer_type_name(IntegerType t);

enum class DecodeErrorKind : uint8_t {
    UnexpectedEnd,        // additional
    InvalidIntegerType,   // expected, found
    UnexpectedVariant,    // type_name, allowed_min..allowed_max, found_variant
    InvalidCharEncoding,  // char_bytes
    InvalidBooleanValue,  // boolean_byte
};

// One decode error. Only the fields of its kind carry meaning; the others keep their
// defaults, so that two errors compare equal exactly when kind and data are equal.
// type_name always points to a string with static storage (a literal).
struct DecodeError {
    DecodeErrorKind kind = DecodeErrorKind::UnexpectedEnd;
    IntegerType expected = IntegerType::U32;
    IntegerType found = IntegerType::U32;
    uint8_t boolean_byte = 0;
    std::array<uint8_t, 4> char_bytes{};
    uint32_t allowed_min = 0;
    uint32_t allowed_max = 0;
    uint32_t found_variant = 0;
    size_t additional = 0;
    std::string_view type_name;

    // How many more bytes the value being read needed than were left.
    static DecodeError unexpected_end(size_t additional) {
        DecodeError e;
        e.kind = DecodeErrorKind::UnexpectedEnd;
        e.additional = additional;
        return e;
    }
    static DecodeError invalid_integer_type(IntegerType expected, IntegerType found) {
        DecodeError e;
        e.kind = DecodeErrorKind::InvalidIntegerType;
        e.expected = expected;
        e.found = found;
        return e;
    }
    static DecodeError unexpected_variant(std::string_view type_name, uint32_t allowed_min, uint32_t allowed_max,
                                          uint32_t found) {
        DecodeError e;
        e.kind = DecodeErrorKind::UnexpectedVariant;
        e.type_name = type_name;
        e.allowed_min = allowed_min;
        e.allowed_max = allowed_max;
        e.found_variant = found;
        return e;
    }
    // The bytes of the character as far as they were read, zeros for the rest.
    static DecodeError invalid_char_encoding(std::array<uint8_t, 4> bytes) {
        DecodeError e;
        e.kind = DecodeErrorKind::InvalidCharEncoding;
        e.char_bytes = bytes;
        return e;
    }
    static DecodeError invalid_boolean_value(uint8_t byte) {
        DecodeError e;
        e.kind = DecodeErrorKind::InvalidBooleanValue;
        e.boolean_byte = byte;
        return e;
    }

    friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// The exact text, without the "decode error: " prefix:
//   UnexpectedEnd { additional: 3 }
//   InvalidIntegerType { expected: U32, found: U64 }
//   UnexpectedVariant { type_name: "IdMode", allowed: Range { min: 0, max: 1 }, found: 2 }
//   InvalidCharEncoding([237, 160, 128, 0])
//   InvalidBooleanValue(2)
std::string render(const DecodeError& e);

}  // namespace brindlex::snapshot
