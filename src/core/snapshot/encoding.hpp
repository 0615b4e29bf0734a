// Value encodings of the snapshot: little-endian, variable-length integers, no size limit.
//
// Byte layout:
// * Unsigned integers are varints. A value of 0 to 250 is that single byte. A larger one
//   is a marker byte followed by the value, least-significant byte first, in the width the
//   marker names: 0xFB (251) + 2 bytes, 0xFC (252) + 4 bytes, 0xFD (253) + 8 bytes.
//   0xFE (254, a 128-bit value) and 0xFF (255, reserved) are never written and are errors
//   when read. 32-bit values take markers up to 0xFC only: 0xFD there is an error too.
//   The writer always takes the shortest form; the reader accepts longer ones
//   (FB 05 00 reads as 5).
// * A sequence is its length as a 64-bit varint, then its elements, with nothing between.
// * A character is its UTF-8 encoding, 1 to 4 bytes, with no length.
// * A 16-byte group is its 16 bytes as they are, with no length.
// * A boolean is one byte, 0 or 1. The tag of an optional value is one raw byte too
//   (0 absent, 1 present and the value follows), never a varint: FB as a tag is 251.
// * The tag of an enumeration is the variant's index as a 32-bit varint.
// There is no header, padding or alignment anywhere: values follow each other byte to byte.
//
// Each kind has its own header below, where the three functions stand side by side:
// * size_X(value): the exact number of bytes write_X appends, so that a whole snapshot can
//   be sized first and written into a buffer allocated once;
// * write_X(Writer&, value): appends through a raw pointer into that buffer, with no bounds
//   checks (the caller sized the buffer with the size functions). The varint writer only
//   looks at the room left to choose between storing a whole 8-byte word at once (its
//   surplus bytes are overwritten by the values that follow) and, in the last 7 bytes of
//   the buffer, storing byte by byte; both give the same bytes;
// * read_X(Reader&): consumes from the front of the input and returns the value or the
//   DecodeError that names what went wrong. Readers never touch a byte outside the input span. After a
//   failure the cursor's position is unspecified; callers abandon the whole decode.
//
// Varint readers have two routes with identical results and errors: a fast one, taken when
// at least 1 + width/8 bytes are left (5 for 32 bits, 9 for 64 bits), which reads marker
// and value without checking the count again and without a branch on the form, and a
// careful one for the last bytes, which checks the count before every read.
#pragma once
#pragma once

#include "core/snapshot/chars.hpp"      // characters
#include "core/snapshot/cursor.hpp"     // Writer, Reader, Decoded
#include "core/snapshot/fixed.hpp"      // 16-byte groups, booleans, option and enumeration tags
#include "core/snapshot/sequence.hpp"   // sequence lengths and whole sequences
#include "core/snapshot/varint.hpp"     // unsigned integers
