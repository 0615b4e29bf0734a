// Writing a version 2 index file (core/mapped/layout.hpp) from a finished store, its
// term index, its spellings, its text video ids (none: an index of int or UUID ids) and
// its word structures, when it has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/failure.hpp"
#include "core/lookup/spellings.hpp"
#include "core/lookup/term_index.hpp"
#include "core/lookup/video_texts.hpp"
#include "core/lookup/words.hpp"
#include "core/mapped/layout.hpp"
#include "core/store/store.hpp"

namespace brindlex::mapped {

// The file planned: where every section goes, before a byte of it is written, so that it
// can be written once into memory of its final size (a Python bytes object, say). Holds
// views of the store and tables it was planned from, which must outlive it.
class IndexPlan {
public:
    size_t size() const;
    // Writes the file into `out` (size() bytes, of any content) and checks it as the
    // reader would; fails as write_index does.
    Result<void> write(std::span<std::byte> out) const;

private:
    friend Result<IndexPlan> plan_index(const TrieStore&, const lookup::TermIndex&, const lookup::Spellings&,
                                        const lookup::VideoTexts&, const FileInfo&, const lookup::Words&);
    struct Piece {
        Section id;
        uint32_t width;
        const void* data;
        size_t count;
        size_t offset;
    };
    template <class T>
    void section(Section id, std::span<const T> items);
    size_t table_end() const;

    std::vector<Piece> pieces_;
    // What the sections view beyond the store: the Meta values and the tables' parts (their
    // arrays' memory stays where it is when the plan is moved).
    std::vector<uint64_t> meta_;
    lookup::TermIndexParts terms_;
    lookup::Spellings::Parts spelt_;
    lookup::Words::Parts words_;
    FileInfo info_{};
    uint32_t sections_ = 0;
    size_t size_ = 0;
};

// The plan of the whole file. Makes the store's reversed-term index if it was not made
// yet. Fails when the store cannot be used in place (read_index would refuse the file: a
// store that is no tree with children numbered after their parents, or a big-endian
// machine) or is damaged (core/check); the caller then writes a version 1 file instead.
Result<IndexPlan> plan_index(const TrieStore& store, const lookup::TermIndex& index, const lookup::Spellings& spellings,
                             const lookup::VideoTexts& texts, const FileInfo& info, const lookup::Words& words = {});

// The whole file, planned and written (plan_index, IndexPlan::write).
Result<std::vector<std::byte>> write_index(const TrieStore& store, const lookup::TermIndex& index,
                                           const lookup::Spellings& spellings, const lookup::VideoTexts& texts,
                                           const FileInfo& info, const lookup::Words& words = {});

}  // namespace brindlex::mapped
