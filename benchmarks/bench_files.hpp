// What the native benchmarks read: a snapshot file, and text files of one item a line.
#pragma once

#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/snapshot/snapshot.hpp"

namespace brindlex::bench {

inline std::optional<TrieStore> load_snapshot(const char* path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto store = snapshot::decode(std::as_bytes(std::span<const char>(bytes)));
    if (!store) return std::nullopt;
    return std::move(*store);
}

inline std::vector<std::string> lines_of(const char* path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace brindlex::bench
