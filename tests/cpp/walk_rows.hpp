// The walk tests' view of results: records as comparable rows, and the worked example.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/walk/walk.hpp"
#include "support.hpp"

namespace brindlex::test {

inline constexpr uint32_t kMaxU32 = std::numeric_limits<uint32_t>::max();
inline constexpr std::optional<uint64_t> kNoLimit = std::nullopt;

// The small example store (terms 'cat', 'car', 'cart', 'dog' at
// nodes 3, 4, 6, 8).
inline TrieStore worked_example() {
    TreeBuilder b;
    b.add(0, 'c');        // 1
    b.add(1, 'a');        // 2
    b.add(2, 't', true);  // 3 cat
    b.add(2, 'r', true);  // 4 car
    b.add(0, 'd');        // 5
    b.add(4, 't', true);  // 6 cart
    b.add(5, 'o');        // 7
    b.add(7, 'g', true);  // 8 dog
    return b.build();
}

using TermRow = std::tuple<std::string, uint64_t, uint32_t>;
using NodeRow = std::pair<uint64_t, uint32_t>;

// 'cat' itself, found at distance 0.
inline const TermRow kCat0{"cat", 3, 0};

inline std::vector<TermRow> rows_of(const std::vector<TermMatch>& v) {
    std::vector<TermRow> out;
    for (const auto& m : v) out.emplace_back(m.term, m.node, m.distance);
    return out;
}
inline std::vector<NodeRow> rows_of(const std::vector<NodeMatch>& v) {
    std::vector<NodeRow> out;
    for (const auto& m : v) out.emplace_back(m.node, m.distance);
    return out;
}

inline std::vector<TermRow> terms(const TrieStore& s, const std::string& term, uint32_t max_dist,
                           std::optional<uint64_t> limit = kNoLimit) {
    auto r = walk_terms(s, term, max_dist, limit);
    EXPECT_TRUE(r.has_value()) << (r.has_value() ? "" : r.error().message);
    return r.has_value() ? rows_of(*r) : std::vector<TermRow>{};
}

inline std::vector<NodeRow> nodes(const TrieStore& s, const std::string& term, uint32_t max_dist, bool payload_only,
                           std::optional<uint64_t> limit = kNoLimit) {
    auto r = walk_nodes(s, term, max_dist, payload_only, limit);
    EXPECT_TRUE(r.has_value()) << (r.has_value() ? "" : r.error().message);
    return r.has_value() ? rows_of(*r) : std::vector<NodeRow>{};
}

}  // namespace brindlex::test
