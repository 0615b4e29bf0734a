// Tests of the walk's inner parts and failure paths: broken stores end in an internal
// error, never a partial result; the table plan; the UTF-8 helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/store/store.hpp"
#include "core/text/utf8.hpp"
#include "core/facts/facts.hpp"
#include "core/walk/plan.hpp"
#include "core/walk/walk.hpp"
#include "support.hpp"
#include "walk_rows.hpp"

namespace brindlex {
namespace {

using namespace test;

// ---------------------------------------------------------------------------------------
// Broken stores: an internal error, never a partial result

struct BrokenCase {
    const char* name;
    TrieStore (*make)();
    std::string term;
    uint32_t max_dist;
    const char* message_part;
};

TrieStore child_index_out_of_range() {
    TrieStore s = worked_example();
    s.child_transitions.set(7, 99);  // node 7's child 8 becomes 99
    finish_store(s);
    return s;
}
TrieStore range_past_transitions() {
    TrieStore s;
    s.node_shifts = {0, 5, 5};
    s.child_labels = {0, 'a', 'b'};
    s.child_transitions = {1, 2};
    s.has_payload = {0, 1, 1};
    for (int i = 0; i < 3; ++i) s.payloads.push_absent();
    finish_store(s);
    return s;
}
TrieStore has_payload_too_short() {
    TrieStore s = worked_example();
    s.has_payload.resize(4);
    finish_store(s);
    return s;
}
TrieStore node_shifts_too_short() {
    TrieStore s = worked_example();
    s.node_shifts.resize(3);
    finish_store(s);
    return s;
}
TrieStore no_labels() {
    TrieStore s = worked_example();
    s.child_labels.clear();
    finish_store(s);
    return s;
}
// A store that is no tree ('ca' lists 'cat' twice), finished, then deepened without being
// finished again: 'g' (node 8, the last) made its own child.
TrieStore changed_after_finishing() {
    TrieStore s = worked_example();
    s.child_transitions.set(4, 3);
    finish_store(s);
    s.child_transitions.push_back(8);
    return s;
}

class WalkBrokenStore : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(WalkBrokenStore, EndsInInternalError) {
    const auto& c = GetParam();
    const TrieStore s = c.make();
    const auto t = walk_terms(s, c.term, c.max_dist, kNoLimit);
    ASSERT_FALSE(t.has_value());
    EXPECT_NE(t.error().message.find(c.message_part), std::string::npos) << t.error().message;
    const auto n = walk_nodes(s, c.term, c.max_dist, true, kNoLimit);
    ASSERT_FALSE(n.has_value());
    EXPECT_EQ(n.error().message, t.error().message);
}

INSTANTIATE_TEST_SUITE_P(
    Walk, WalkBrokenStore,
    ::testing::Values(
        BrokenCase{"child_index_out_of_range", child_index_out_of_range, "dog", 0, "names node 99 but child_labels"},
        BrokenCase{"range_past_child_transitions", range_past_transitions, "a", 1,
                   "reads position 2 but child_transitions has 2"},
        BrokenCase{"has_payload_too_short", has_payload_too_short, "cat", 1, "node 4 has no has_payload entry"},
        BrokenCase{"node_shifts_shorter_than_child_labels", node_shifts_too_short, "cat", 1,
                   "node 3 has no node_shifts entry"},
        BrokenCase{"child_labels_empty", no_labels, "cat", 1, "but child_labels has 0"},
        BrokenCase{"changed_after_finishing", changed_after_finishing, "dogggg", 1, "past the last row 3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WalkBrokenStoreLazy, UnreadPositionsAndFlagsDoNotFail) {
    // The range of the root runs past child_transitions, but a limit of 1 stops the walk
    // before the position past the end is read.
    EXPECT_EQ(terms(range_past_transitions(), "a", 1, 1), (std::vector<TermRow>{{"a", 1, 0}}));
    // has_payload is read only by the report test of walk_terms / payload_only walks.
    EXPECT_EQ(nodes(has_payload_too_short(), "cat", 1, false), (std::vector<NodeRow>{{2, 1}, {3, 0}, {4, 1}, {6, 1}}));
    // ... and only for nodes within the bound.
    EXPECT_EQ(terms(has_payload_too_short(), "cat", 0), (std::vector<TermRow>{kCat0}));
}

// ---------------------------------------------------------------------------------------
// Table plan

struct PlanCase {
    const char* name;
    uint64_t term_length;
    uint32_t max_dist;
    uint64_t max_depth;
    walk::TablePlan expected;
};

class WalkPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(WalkPlan, Sizes) {
    const auto& c = GetParam();
    EXPECT_EQ(walk::plan_table(c.term_length, c.max_dist, c.max_depth), c.expected);
}

constexpr uint64_t kUnb = facts::Facts::kUnbounded;

INSTANTIATE_TEST_SUITE_P(
    Walk, WalkPlan,
    ::testing::Values(
        // {width, band, rows, last_row, bound, narrow}
        PlanCase{"typical", 3, 1, 4, {4, 3, 6, 4, 1, true}},
        PlanCase{"deep_store", 3, 1, 100, {4, 3, 6, 5, 1, true}},
        PlanCase{"huge_bound_lowered", 3, kMaxU32, 4, {4, 4, 6, 4, 4, true}},
        PlanCase{"huge_bound_long_term", 10, kMaxU32, 4, {11, 11, 6, 4, 10, true}},
        PlanCase{"root_only", 5, 7, 0, {6, 6, 2, 0, 5, true}},
        PlanCase{"cyclic", 3, 1, kUnb, {4, 3, 6, 5, 1, true}},
        PlanCase{"cyclic_narrow_edge", 0, 65534, kUnb, {1, 1, 65536, 65535, 65534, true}},
        PlanCase{"cyclic_wide", 0, 65535, kUnb, {1, 1, 65537, 65536, 65535, false}},
        PlanCase{"term_65535_narrow", 65535, 2, 4, {65536, 5, 6, 4, 2, true}},
        PlanCase{"term_65536_wide", 65536, 2, 4, {65537, 5, 6, 4, 2, false}},
        PlanCase{"long_term_banded", 100000, 40, 100000, {100001, 81, 100002, 100000, 40, false}},
        PlanCase{"depth_65535_narrow", 0, kMaxU32, 65535, {1, 1, 65537, 65535, 65535, true}},
        PlanCase{"depth_65536_wide", 0, kMaxU32, 65536, {1, 1, 65538, 65536, 65536, false}},
        PlanCase{"huge_finite_depth", 2, 1000, kUnb - 1, {3, 3, 1004, 1003, 1000, true}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WalkPlanLimits, WalksBeyondTheCapAreRefusedInWords) {
    using walk::plan_table;
    EXPECT_THROW(plan_table(0, kMaxU32, kUnb), CapExceeded);  // 2^32 + 1 rows
    EXPECT_THROW(plan_table(2, kMaxU32, kUnb - 1), CapExceeded);
    EXPECT_THROW(plan_table(kMaxU32, 0, 0), CapExceeded);  // the term alone: 16 GiB
    EXPECT_THROW(plan_table(uint64_t{1} << 32, 0, 0), CapExceeded);
    EXPECT_THROW(plan_table(std::numeric_limits<uint64_t>::max(), kMaxU32, kUnb), CapExceeded);
    EXPECT_THROW(plan_table(70000, 70000, kUnb), CapExceeded);  // 140002 rows of 70001 cells
    // Banded rows: a bound small beside the term costs 2 * bound + 1 cells a row.
    EXPECT_NO_THROW(plan_table(100'000'000, 3, 1000));  // the term, and 1002 rows of 7 cells
    EXPECT_NO_THROW(plan_table(15000, 15000, kUnb));  // 30002 rows of 15001 cells of 2 bytes
    EXPECT_THROW(plan_table(30000, 30000, kUnb), CapExceeded);
    try {
        plan_table(70000, 70000, kUnb);
    } catch (const CapExceeded& e) {
        EXPECT_STREQ(e.what(),
                     "a walk for a term of 70000 characters within 70000 edits needs 39205880072 bytes, "
                     "more than its cap of 1073741824 bytes");
    }
}

// ---------------------------------------------------------------------------------------
// UTF-8 helpers

TEST(WalkUtf8, DecodesScalarValuesAndReplacesBrokenBytes) {
    EXPECT_EQ(utf8::decode(utf8_of(U"a\u00e9\u20ac\U0001F600")),
              (std::vector<uint32_t>{'a', 0xE9, 0x20AC, 0x1F600}));
    EXPECT_EQ(utf8::decode(""), std::vector<uint32_t>{});
    // Not valid UTF-8 (a broken precondition): one U+FFFD per bad byte, no overread.
    EXPECT_EQ(utf8::decode("\xC3"), (std::vector<uint32_t>{0xFFFD}));
    EXPECT_EQ(utf8::decode("\xF0\x9F\x98"), (std::vector<uint32_t>{0xFFFD, 0xFFFD, 0xFFFD}));
    EXPECT_EQ(utf8::decode("\xED\xA0\x80z"), (std::vector<uint32_t>{0xFFFD, 0xFFFD, 0xFFFD, 'z'}));
    EXPECT_EQ(utf8::decode("\xC0\x80"), (std::vector<uint32_t>{0xFFFD, 0xFFFD}));
    std::string text;
    for (uint32_t cp : {uint32_t{'a'}, uint32_t{0xE9}, uint32_t{0x20AC}, uint32_t{0x1F600}}) utf8::append(text, cp);
    EXPECT_EQ(text, utf8_of(U"a\u00e9\u20ac\U0001F600"));
    text.clear();
    utf8::append(text, 0xD800);
    utf8::append(text, 0x110000);
    EXPECT_EQ(text, utf8_of(U"\uFFFD\uFFFD"));
}

TEST(WalkUnicode, LabelThatIsNotAScalarValueIsReportedAsReplacement) {
    TreeBuilder b;
    const uint32_t v = b.add(0, 0xD800, true);
    const TrieStore s = b.build();
    EXPECT_EQ(terms(s, "", 1), (std::vector<TermRow>{{utf8_of(U"\uFFFD"), v, 1}}));
}

}  // namespace
}  // namespace brindlex
