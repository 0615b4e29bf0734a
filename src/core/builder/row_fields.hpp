// The fields of a catalogue row read from their text, shared by the tab-separated and the
// JSON-lines readers (catalogue.cpp, json_row.cpp). Each takes only what it can take
// without doubt; false leaves the line to the slow reader.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/builder/catalogue.hpp"

namespace brindlex::build {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Unsigned decimal digits (at least one) up to 4294967295.
bool parse_u32(std::string_view s, uint32_t& out);

// The value of a byte as a hex digit, or -1.
int hex_value(char c);

// A video id written as text: a UUID or an unsigned 32-bit integer.
bool video_from_text(std::string_view s, Row& row);

// A term the fast readers take: not empty, no NUL.
bool plain_term(std::string_view term);

}  // namespace brindlex::build
