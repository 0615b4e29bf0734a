// The snapshot of a trie store: its eight fields, in declared order, each value written
// with the encodings of snapshot/encoding.hpp. No header, version or checksum; bytes after
// the last field are ignored when reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "core/store/store.hpp"
#include "core/snapshot/decode_error.hpp"

namespace brindlex::snapshot {

// Exact size of the snapshot of `store`.
size_t encoded_size(const TrieStore& store);

// Writes the snapshot into `out`, which must hold exactly encoded_size(store) bytes.
void encode(const TrieStore& store, std::span<std::byte> out);

// Reads a snapshot and finishes the store (finish_store). The fields are taken as they are:
// no invariant is checked. `used`, when given, receives the bytes the fields took.
std::expected<TrieStore, DecodeError> decode(std::span<const std::byte> in, size_t* used = nullptr);

}  // namespace brindlex::snapshot
