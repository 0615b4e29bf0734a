// The exact-term table: a hash of every term (node with a payload) to its node, so that a
// query for a whole term costs a slot and the term's bytes, one or two cache misses,
// instead of one dependent miss per level of the term's path.
//
//   slots  a power of two of {tag, node, text}: `tag` the high 32 bits of the term's
//          hash, `node` its node, `text` the offset of its bytes in `texts`, kEmpty for
//          an unused slot; a term sits at the first free slot from its hash's low bits on
//          (linear probing, at most two thirds full)
//   texts  each term as a varint length (7 bits a byte, low first) and its UTF-8 bytes
//
// Made only for tree stores whose sibling labels all differ (facts.rising), where a term
// names one node; terms with a label that is no scalar value are left out, since no
// query (valid UTF-8) can spell them. Every read is checked against the arrays, and a
// probe visits each slot at most once, whatever the arrays hold.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/store/array.hpp"
#include "core/store/store.hpp"

namespace brindlex::facts {

struct Facts;

struct ExactSlot {
    uint32_t tag;
    uint32_t node;
    uint32_t text;

    static constexpr uint32_t kEmpty = UINT32_MAX;
    friend bool operator==(const ExactSlot&, const ExactSlot&) = default;
};

inline constexpr uint32_t kNotFound = UINT32_MAX;

struct Exact {
    Array<ExactSlot> slots;
    Array<uint8_t> texts;
    uint32_t nodes = 0;  // the store's node count: a slot naming a node at or past it names none
    bool usable = false;

    // The node whose term is `term` (UTF-8), or kNotFound. Never reads outside the
    // arrays; a table made by make_exact answers as the walk does.
    uint32_t find(std::string_view term) const;
};

// The hash both the maker and find use (fixed: the table may be kept in a file).
uint64_t exact_hash(std::string_view term);

// Makes the table for a finished tree store with rising labels; false (the table to be
// discarded) for any other store, or one whose terms are too long in total (more than
// kMaxLabelsPerNode labels a node on average, where the table would not be linear in the
// store). Time and memory linear in the store.
bool make_exact(const TrieStore& store, const Facts& facts, Exact& out);

// The table of a finished store, made on the first call (safe from any number of
// threads); an unusable one for a store that does not qualify or when there was no
// memory to make it. Never throws.
const Exact& exact_of(const TrieStore& store);

}  // namespace brindlex::facts
