// Reading a version 2 index file (core/mapped/layout.hpp) in place: the store, its term
// index and its spellings view the file's bytes, kept alive by a keeper (the mapping, or
// a buffer the file was read into).
//
// Whatever the bytes hold, nothing read afterwards leaves the file: the header and the
// section table are checked first, then one linear pass checks what the queries rely on
// and cannot check as they go (the child lists form a tree with children numbered after
// their parents, the walk's entry runs nest and rise, every offset and node number is in
// range, spellings are UTF-8). What a query reads of the store itself it checks anyway,
// as for any restored snapshot.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "core/failure.hpp"
#include "core/lookup/spellings.hpp"
#include "core/lookup/term_index.hpp"
#include "core/lookup/video_texts.hpp"
#include "core/lookup/words.hpp"
#include "core/mapped/layout.hpp"
#include "core/store/store.hpp"

namespace brindlex::mapped {

struct Opened {
    TrieStore store;  // finished
    lookup::TermIndex index;
    lookup::Spellings spellings;
    lookup::VideoTexts texts;  // none for an index of int or UUID ids
    lookup::Words words;  // empty when the file has none
    FileInfo info;
};

// Whether `file` starts like a version 2 index file (magic and version, nothing checked).
bool is_version2(std::span<const std::byte> file);

// Checks `file` whole as read_index does, the checksum of the sections only when
// `verify`. The error says what is wrong, without naming the file.
Result<FileInfo> check_index(std::span<const std::byte> file, bool verify = false);

// The index `file` holds, viewing it; `keeper` keeps it alive and must not be null.
// `file` must start at an address aligned for 8-byte values.
Result<Opened> read_index(std::span<const std::byte> file, std::shared_ptr<const void> keeper, bool verify);

}  // namespace brindlex::mapped
