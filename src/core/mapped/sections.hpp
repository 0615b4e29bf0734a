// What the reader of version 2 files (reader.cpp) and its linear check (checks.cpp)
// share: the section table as parsed, and the check of each group of sections.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "core/failure.hpp"
#include "core/mapped/layout.hpp"

namespace brindlex::mapped {

template <class T>
T get(std::span<const std::byte> at) {
    T value;
    std::memcpy(&value, at.data(), sizeof value);
    return value;
}

inline std::string num(uint64_t v) { return std::to_string(v); }

// How messages name a section.
const char* name_of(Section id);

struct Parsed {
    FileInfo info;
    std::array<std::span<const std::byte>, kLastSection + 1> bytes;  // by id
    std::array<uint64_t, kLastSection + 1> counts{};
    size_t table_end = 0;
    bool exact = false;  // the exact-term table is there

    template <class T>
    std::span<const T> as(Section id) const {
        const auto i = static_cast<size_t>(id);
        return {reinterpret_cast<const T*>(bytes[i].data()), counts[i]};
    }
};

// "SECTION: WHAT: the file is damaged".
Result<void> fail(Section id, const std::string& what);

// The linear check, by groups of sections. check_shape first: the figures, a root, and
// every per-node section sized by the nodes; then check_nodes (the child lists and the
// payload table) and check_terms (the walk's entries, the reversed-term index, the term
// lookups, text video ids), each reading only its own sections, so that the two can run
// side by side; check_word_starts last, as it reads the child lists as a tree.
Result<void> check_shape(const Parsed& p);
Result<void> check_nodes(const Parsed& p);
Result<void> check_terms(const Parsed& p);
Result<void> check_word_starts(const Parsed& p);

}  // namespace brindlex::mapped
