// Writing a version 2 index file (core/mapped/layout.hpp) from a finished store, its
// term index, its spellings, its text video ids (none: an index of int or UUID ids) and
// its word structures, when it has them.
#pragma once

#include <cstddef>
#include <vector>

#include "core/failure.hpp"
#include "core/lookup/spellings.hpp"
#include "core/lookup/term_index.hpp"
#include "core/lookup/video_texts.hpp"
#include "core/lookup/words.hpp"
#include "core/mapped/layout.hpp"
#include "core/store/store.hpp"

namespace brindlex::mapped {

// The whole file. Makes the store's reversed-term index if it was not made yet. Fails
// when the store cannot be used in place (read_index would refuse the file: a store that
// is no tree with children numbered after their parents, or a big-endian machine) or is
// damaged (core/check); the caller then writes a version 1 file instead.
Result<std::vector<std::byte>> write_index(const TrieStore& store, const lookup::TermIndex& index,
                                           const lookup::Spellings& spellings, const lookup::VideoTexts& texts,
                                           const FileInfo& info, const lookup::Words& words = {});

}  // namespace brindlex::mapped
