// The spelling an index shows for a term that entries spelt otherwise (folded terms:
// "Crème" and "CRÈME" are both the term "creme"): the spelling with the largest count,
// the earliest in code point order among equal counts. The term's own spelling counts
// for what the other spellings leave of the term's merged count.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/builder/term_table.hpp"

namespace brindlex::build {

// One entry whose text was normalised to another term: its term's number, its own text
// and its count.
struct Spelling {
    uint32_t term;
    std::string text;
    uint64_t count;
};

// (term number, spelling) for each term to show otherwise than as itself, by term number.
std::vector<std::pair<uint32_t, std::string>> shown_spellings(std::vector<Spelling> spelled, const TermTable& terms);

}  // namespace brindlex::build
