// Tests of the edit-distance walk: walk_terms and walk_nodes on worked examples, characters,
// store shapes and bounds, and against a brute-force Levenshtein over random tries.
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
// Worked example and edge cases on it, as tables

struct TermsCase {
    const char* name;
    std::string term;
    uint32_t max_dist;
    std::optional<uint64_t> limit;
    std::vector<TermRow> expected;
};

class WalkTermsExample : public ::testing::TestWithParam<TermsCase> {};

TEST_P(WalkTermsExample, Matches) {
    const auto& c = GetParam();
    EXPECT_EQ(terms(worked_example(), c.term, c.max_dist, c.limit), c.expected);
}


INSTANTIATE_TEST_SUITE_P(
    Walk, WalkTermsExample,
    ::testing::Values(
        // The bullets of the worked example.
        TermsCase{"cat_d1", "cat", 1, kNoLimit, {kCat0, {"car", 4, 1}, {"cart", 6, 1}}},
        TermsCase{"cat_d1_limit2", "cat", 1, 2, {kCat0, {"car", 4, 1}}},
        TermsCase{"cta_d1", "cta", 1, kNoLimit, {}},
        TermsCase{"cta_d2_transposition_costs_2", "cta", 2, kNoLimit, {{"cat", 3, 2}, {"car", 4, 2}}},
        TermsCase{"empty_d3", "", 3, kNoLimit, {{"cat", 3, 3}, {"car", 4, 3}, {"dog", 8, 3}}},
        // Further edge cases.
        TermsCase{"cat_d0_exact_only", "cat", 0, kNoLimit, {kCat0}},
        TermsCase{"empty_d0", "", 0, kNoLimit, {}},
        TermsCase{"empty_d1_no_length1_terms", "", 1, kNoLimit, {}},
        TermsCase{"car_not_sorted_by_distance", "car", 1, kNoLimit, {{"cat", 3, 1}, {"car", 4, 0}, {"cart", 6, 1}}},
        TermsCase{"case_matters", "Cat", 1, kNoLimit, {{"cat", 3, 1}}},
        TermsCase{"no_match", "xyz", 1, kNoLimit, {}},
        TermsCase{"all_d3", "cat", 3, kNoLimit, {kCat0, {"car", 4, 1}, {"cart", 6, 1}, {"dog", 8, 3}}},
        TermsCase{"limit0_is_empty", "cat", 1, 0, {}},
        TermsCase{"limit1", "cat", 1, 1, {kCat0}},
        TermsCase{"limit_exact_count", "cat", 1, 3, {kCat0, {"car", 4, 1}, {"cart", 6, 1}}},
        TermsCase{"limit_above_count", "cat", 1, 4, {kCat0, {"car", 4, 1}, {"cart", 6, 1}}},
        TermsCase{"limit_max", "cat", 1, std::numeric_limits<uint64_t>::max(),
                  {kCat0, {"car", 4, 1}, {"cart", 6, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct NodesCase {
    const char* name;
    std::string term;
    uint32_t max_dist;
    bool payload_only;
    std::optional<uint64_t> limit;
    std::vector<NodeRow> expected;
};

class WalkNodesExample : public ::testing::TestWithParam<NodesCase> {};

TEST_P(WalkNodesExample, Matches) {
    const auto& c = GetParam();
    EXPECT_EQ(nodes(worked_example(), c.term, c.max_dist, c.payload_only, c.limit), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Walk, WalkNodesExample,
    ::testing::Values(
        NodesCase{"prefix_nodes_reported", "cat", 1, false, kNoLimit, {{2, 1}, {3, 0}, {4, 1}, {6, 1}}},
        NodesCase{"payload_only", "cat", 1, true, kNoLimit, {{3, 0}, {4, 1}, {6, 1}}},
        NodesCase{"d0_exact_path_only", "cat", 0, false, kNoLimit, {{3, 0}}},
        NodesCase{"empty_d1_depth1_nodes", "", 1, false, kNoLimit, {{1, 1}, {5, 1}}},
        NodesCase{"empty_d0", "", 0, false, kNoLimit, {}},
        NodesCase{"empty_d2", "", 2, false, kNoLimit, {{1, 1}, {2, 2}, {5, 1}, {7, 2}}},
        NodesCase{"limit2", "cat", 1, false, 2, {{2, 1}, {3, 0}}},
        NodesCase{"limit4_exact", "cat", 1, false, 4, {{2, 1}, {3, 0}, {4, 1}, {6, 1}}},
        NodesCase{"limit0", "cat", 1, false, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// The walk reports a node before its subtree, finishes a subtree before the next sibling,
// and with a limit returns exactly the first `limit` records.
TEST(WalkLimit, EveryLimitGivesThePrefixOfTheFullResult) {
    const TrieStore s = worked_example();
    for (uint32_t d = 0; d <= 4; ++d) {
        for (const std::string term : {"", "c", "cat", "dog", "cart", "x"}) {
            const auto full_t = terms(s, term, d);
            const auto full_n = nodes(s, term, d, false);
            for (uint64_t k = 0; k <= full_n.size() + 1; ++k) {
                auto want_t = full_t;
                want_t.resize(std::min<uint64_t>(k, full_t.size()));
                auto want_n = full_n;
                want_n.resize(std::min<uint64_t>(k, full_n.size()));
                EXPECT_EQ(terms(s, term, d, k), want_t) << term << " d=" << d << " k=" << k;
                EXPECT_EQ(nodes(s, term, d, false, k), want_n) << term << " d=" << d << " k=" << k;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Characters: accents, non-BMP, label 0

TEST(WalkUnicode, PrecomposedAndDecomposedAreTwoApart) {
    TreeBuilder b;
    const uint32_t pre = b.word(U"caf\u00e9");
    const uint32_t dec = b.word(U"cafe\u0301");
    const uint32_t cafe = b.parent[dec];
    b.payload[cafe] = false;
    const TrieStore s = b.build();
    const std::string precomposed = "caf\xC3\xA9";
    const std::string decomposed = "cafe\xCC\x81";
    EXPECT_EQ(terms(s, precomposed, 2), (std::vector<TermRow>{{precomposed, pre, 0}, {decomposed, dec, 2}}));
    EXPECT_EQ(terms(s, precomposed, 1), (std::vector<TermRow>{{precomposed, pre, 0}}));
    EXPECT_EQ(terms(s, decomposed, 2), (std::vector<TermRow>{{precomposed, pre, 2}, {decomposed, dec, 0}}));
    EXPECT_EQ(nodes(s, decomposed, 1, false), (std::vector<NodeRow>{{cafe, 1}, {dec, 0}}));
}

TEST(WalkUnicode, NonBmpCharacterCountsOne) {
    TreeBuilder b;
    const uint32_t grin = b.word(U"a\U0001F600b");
    const uint32_t a_grin = b.parent[grin];
    b.payload[a_grin] = true;
    const TrieStore s = b.build();
    const std::string emoji = "\xF0\x9F\x98\x80";
    const std::string other_emoji = "\xF0\x9F\x98\x81";
    EXPECT_EQ(terms(s, "a" + emoji + "b", 0), (std::vector<TermRow>{{"a" + emoji + "b", grin, 0}}));
    // Counted as two units (UTF-16) or four bytes, these distances would be larger.
    EXPECT_EQ(terms(s, "ab", 1), (std::vector<TermRow>{{"a" + emoji, a_grin, 1}, {"a" + emoji + "b", grin, 1}}));
    EXPECT_EQ(terms(s, "a" + other_emoji + "b", 1), (std::vector<TermRow>{{"a" + emoji + "b", grin, 1}}));
    EXPECT_EQ(terms(s, "a" + other_emoji + "b", 2),
              (std::vector<TermRow>{{"a" + emoji, a_grin, 2}, {"a" + emoji + "b", grin, 1}}));
    EXPECT_EQ(terms(s, emoji, 1), (std::vector<TermRow>{{"a" + emoji, a_grin, 1}}));
}

TEST(WalkLabelZero, HidesTheChildAndItsSubtree) {
    TreeBuilder b;
    const uint32_t hidden = b.add(0, 0, true);
    const uint32_t below = b.add(hidden, 'a', true);
    const uint32_t bee = b.add(0, 'b', true);
    const uint32_t a2 = b.add(bee, 'a', true);
    const TrieStore s = b.build();
    EXPECT_EQ(facts::facts_of(s).max_depth, 2u);
    EXPECT_EQ(nodes(s, "a", 2, false), (std::vector<NodeRow>{{bee, 1}, {a2, 1}}));
    EXPECT_EQ(terms(s, "a", 1), (std::vector<TermRow>{{"b", bee, 1}, {"ba", a2, 1}}));
    EXPECT_EQ(terms(s, "", 5), (std::vector<TermRow>{{"b", bee, 1}, {"ba", a2, 2}}));
    (void)below;
}

TEST(WalkPrefixNodes, NodesWithoutPayloadAreEnteredButNotReportedByTerms) {
    TreeBuilder b;
    const uint32_t x = b.add(0, 'x');
    const uint32_t xy = b.add(x, 'y');
    const uint32_t xyz = b.add(xy, 'z', true);
    const TrieStore s = b.build();
    EXPECT_EQ(terms(s, "xy", 1), (std::vector<TermRow>{{"xyz", xyz, 1}}));
    EXPECT_EQ(nodes(s, "xy", 1, true), (std::vector<NodeRow>{{xyz, 1}}));
    EXPECT_EQ(nodes(s, "xy", 1, false), (std::vector<NodeRow>{{x, 1}, {xy, 0}, {xyz, 1}}));
}

// ---------------------------------------------------------------------------------------
// Store shapes: empty store, decreasing node_shifts, cycles, deep chains

TEST(WalkEmptyStore, EveryQueryIsEmpty) {
    TrieStore empty;
    finish_store(empty);
    TrieStore labels_only;  // node_shifts empty: no nodes, whatever else is there
    labels_only.child_labels = {0, 'a'};
    labels_only.child_transitions = {1};
    labels_only.has_payload = {0, 1};
    finish_store(labels_only);
    for (const TrieStore* s : {&empty, &labels_only}) {
        for (uint32_t d : {0u, 1u, 100u, kMaxU32}) {
            for (const std::string term : {"", "a", "cat"}) {
                EXPECT_EQ(terms(*s, term, d), std::vector<TermRow>{});
                EXPECT_EQ(terms(*s, term, d, 5), std::vector<TermRow>{});
                EXPECT_EQ(nodes(*s, term, d, false), std::vector<NodeRow>{});
                EXPECT_EQ(nodes(*s, term, d, true), std::vector<NodeRow>{});
            }
        }
    }
}

TEST(WalkStoreShape, RootOnlyStoreIsEmpty) {
    TreeBuilder b;
    const TrieStore s = b.build();
    EXPECT_EQ(nodes(s, "", kMaxU32, false), std::vector<NodeRow>{});
    EXPECT_EQ(terms(s, "abc", 3), std::vector<TermRow>{});
}

TEST(WalkStoreShape, DecreasingNodeShiftsMeanNoChildren) {
    // Nodes: 1 'a', 2 'b', 3 'c', 4 'd'. Root: [0, 2) -> 1, 2. Node 1: [2, 4) -> 3, 4.
    // Node 2: [4, 3) -> none (taken the other way round it would give 'b' the child 4).
    // Node 3: [3, 4) -> 4. Node 4: [4, 4) -> none.
    TrieStore s;
    s.node_shifts = {0, 2, 4, 3, 4};
    s.child_labels = {0, 'a', 'b', 'c', 'd'};
    s.child_transitions = {1, 2, 3, 4};
    s.has_payload = {0, 1, 1, 1, 1};
    for (int i = 0; i < 5; ++i) s.payloads.push_absent();
    finish_store(s);
    EXPECT_EQ(facts::facts_of(s).max_depth, 3u);
    EXPECT_EQ(nodes(s, "bd", 0, false), std::vector<NodeRow>{});
    EXPECT_EQ(nodes(s, "acd", 0, false), (std::vector<NodeRow>{{4, 0}}));
    EXPECT_EQ(terms(s, "", 3), (std::vector<TermRow>{{"a", 1, 1}, {"ac", 3, 2}, {"acd", 4, 3}, {"ad", 4, 2}, {"b", 2, 1}}));
}

TEST(WalkStoreShape, SharedChildIsReachedOncePerPath) {
    // Not a tree: node 3 is listed under both 1 and 2. Each path reports it once.
    TrieStore s;
    s.node_shifts = {0, 2, 3, 4};
    s.child_labels = {0, 'a', 'b', 'c'};
    s.child_transitions = {1, 2, 3, 3};
    s.has_payload = {0, 0, 0, 1};
    for (int i = 0; i < 4; ++i) s.payloads.push_absent();
    finish_store(s);
    EXPECT_EQ(terms(s, "xc", 1), (std::vector<TermRow>{{"ac", 3, 1}, {"bc", 3, 1}}));
}

TrieStore self_loop_store() {
    // Root -> 1 'a'; node 1 lists itself as its only child.
    TrieStore s;
    s.node_shifts = {0, 1};
    s.child_labels = {0, 'a'};
    s.child_transitions = {1, 1};
    s.has_payload = {0, 1};
    s.payloads.push_absent();
    s.payloads.push_absent();
    finish_store(s);
    return s;
}

TEST(WalkCycle, SelfLoopWithSmallBoundTerminates) {
    const TrieStore s = self_loop_store();
    ASSERT_EQ(facts::facts_of(s).max_depth, facts::Facts::kUnbounded);
    EXPECT_EQ(terms(s, "aa", 1), (std::vector<TermRow>{{"a", 1, 1}, {"aa", 1, 0}, {"aaa", 1, 1}}));
    EXPECT_EQ(nodes(s, "aa", 0, false), (std::vector<NodeRow>{{1, 0}}));
    const auto many = nodes(s, "", 100, true);
    ASSERT_EQ(many.size(), 100u);
    for (uint32_t d = 1; d <= 100; ++d) EXPECT_EQ(many[d - 1], (NodeRow{1, d}));
    EXPECT_EQ(terms(s, "", 100, 3), (std::vector<TermRow>{{"a", 1, 1}, {"aa", 1, 2}, {"aaa", 1, 3}}));
}

TEST(WalkCycle, HugeBoundOnCycleIsRefusedWithBadAlloc) {
    const TrieStore s = self_loop_store();
    EXPECT_THROW((void)walk_terms(s, "a", kMaxU32, kNoLimit), std::bad_alloc);
    EXPECT_THROW((void)walk_nodes(s, "", kMaxU32, false, kNoLimit), std::bad_alloc);
    // A limit does not change the size of the table.
    EXPECT_THROW((void)walk_nodes(s, "", kMaxU32, false, 1), std::bad_alloc);
}

TEST(WalkDeepChain, IterativeWalkOverLongChainWithWideCells) {
    // 200000 nodes labelled 'a', one under the other; every 1000th depth has a payload.
    constexpr uint32_t kDepth = 200000;
    TrieStore s;
    for (uint32_t v = 0; v <= kDepth; ++v) {
        s.node_shifts.push_back(v);
        s.child_labels.push_back(v == 0 ? 0 : 'a');
        if (v < kDepth) s.child_transitions.push_back(v + 1);
        const bool p = v != 0 && v % 1000 == 0;
        s.has_payload.push_back(p ? 1 : 0);
        s.payloads.push_absent();
    }
    finish_store(s);
    ASSERT_EQ(facts::facts_of(s).max_depth, kDepth);

    const auto all = nodes(s, "", kMaxU32, true);
    ASSERT_EQ(all.size(), kDepth / 1000);
    for (uint32_t k = 0; k < all.size(); ++k) EXPECT_EQ(all[k], (NodeRow{(k + 1) * 1000, (k + 1) * 1000}));

    // walk_terms builds the texts from the path stack, down to the deepest node.
    const auto texts = walk_terms(s, "", kMaxU32, kNoLimit);
    ASSERT_TRUE(texts.has_value());
    ASSERT_EQ(texts->size(), kDepth / 1000);
    EXPECT_EQ(texts->back().term, std::string(kDepth, 'a'));
    EXPECT_EQ(texts->back().node, kDepth);
    EXPECT_EQ(texts->back().distance, kDepth);

    EXPECT_EQ(terms(s, std::string(2000, 'a'), 0), (std::vector<TermRow>{{std::string(2000, 'a'), 2000, 0}}));

    EXPECT_EQ(nodes(s, std::string(1500, 'a'), 500, true), (std::vector<NodeRow>{{1000, 500}, {2000, 500}}));
}

// ---------------------------------------------------------------------------------------
// Bounds and long terms

TEST(WalkHugeBound, SameAsBound100OnSmallStore) {
    const TrieStore s = worked_example();
    for (const std::string term : {"", "c", "cat", "dog", "cart", "xxxxx", "dogcatcar"}) {
        EXPECT_EQ(terms(s, term, kMaxU32), terms(s, term, 100)) << term;
        EXPECT_EQ(nodes(s, term, kMaxU32, false), nodes(s, term, 100, false)) << term;
        EXPECT_EQ(nodes(s, term, kMaxU32, true), nodes(s, term, 100, true)) << term;
        EXPECT_EQ(nodes(s, term, 65536, false), nodes(s, term, 100, false)) << term;
        EXPECT_EQ(nodes(s, term, 65535, false), nodes(s, term, 100, false)) << term;
    }
    EXPECT_EQ(terms(s, "cat", kMaxU32), (std::vector<TermRow>{kCat0, {"car", 4, 1}, {"cart", 6, 1}, {"dog", 8, 3}}));
    EXPECT_EQ(nodes(s, "", kMaxU32, false).size(), 8u);
}

// Terms around the 16-bit boundary of the cells: every stored word is at distance L from
// L 'x' characters, so the distances themselves cross 65535.
struct LongTermCase {
    uint64_t length;
    uint32_t max_dist;
    bool reported;
};

class WalkLongTerm : public ::testing::TestWithParam<LongTermCase> {};

TEST_P(WalkLongTerm, DistancesBeyondSixteenBits) {
    const auto& c = GetParam();
    const TrieStore s = worked_example();
    const std::string term(c.length, 'x');
    const auto d = static_cast<uint32_t>(c.length);
    const std::vector<TermRow> all{{"cat", 3, d}, {"car", 4, d}, {"cart", 6, d}, {"dog", 8, d}};
    EXPECT_EQ(terms(s, term, c.max_dist), c.reported ? all : std::vector<TermRow>{});
}

INSTANTIATE_TEST_SUITE_P(Walk, WalkLongTerm,
                         ::testing::Values(LongTermCase{65535, 65535, true}, LongTermCase{65535, 65534, false},
                                           LongTermCase{65535, kMaxU32, true}, LongTermCase{65536, 65536, true},
                                           LongTermCase{65536, 65535, false}, LongTermCase{65536, kMaxU32, true},
                                           LongTermCase{70000, 69999, false}, LongTermCase{70000, 70000, true}));

TEST(WalkLongTerm, MixedLongTermAgainstReference) {
    const TrieStore s = worked_example();
    std::u32string q;
    for (int i = 0; i < 23000; ++i) q += U"ca\U0001F600";  // 69000 characters
    q += U"rt";
    const std::string term = utf8_of(q);
    std::vector<TermRow> want;
    for (const auto& [w, node] : std::vector<std::pair<std::u32string, uint64_t>>{
             {U"cat", 3}, {U"car", 4}, {U"cart", 6}, {U"dog", 8}}) {
        want.emplace_back(utf8_of(w), node, static_cast<uint32_t>(levenshtein(w, q)));
    }
    EXPECT_EQ(terms(s, term, kMaxU32), want);
    EXPECT_EQ(std::get<2>(want[2]), 68998u);  // 'cart' keeps c, a, r, t
}

// ---------------------------------------------------------------------------------------
// Randomized differential test against a brute-force Levenshtein over all reachable terms

struct RefNode {
    uint64_t node;  // number in the built store
    std::u32string term;
    bool payload;
};

// Pre-order over labelled edges, children in stored order.
std::vector<RefNode> reachable(const TreeBuilder& b, const std::vector<uint32_t>& perm) {
    std::vector<RefNode> out;
    std::u32string path;
    auto visit = [&](auto&& self, uint32_t v) -> void {
        for (uint32_t k : b.kids[v]) {
            if (b.labels[k] == 0) continue;
            path.push_back(static_cast<char32_t>(b.labels[k]));
            out.push_back({perm[k], path, b.payload[k]});
            self(self, k);
            path.pop_back();
        }
    };
    visit(visit, 0);
    return out;
}

TEST(WalkRandomized, MatchesBruteForceLevenshtein) {
    const std::vector<char32_t> alphabet{U'a', U'b', U'c', U'e', U'\u00e9', U'\u0301', U'\U0001F600', U'\U00010348'};
    std::mt19937_64 rng(20240611);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    size_t checked = 0;
    size_t nonempty = 0;
    for (int trial = 0; trial < 300; ++trial) {
        TreeBuilder b;
        const size_t n = 1 + pick(40);
        for (size_t i = 1; i < n; ++i) {
            // Bias towards recent nodes for deeper tries.
            const size_t lo = i > 6 ? i - 6 : 0;
            const auto par = static_cast<uint32_t>(pick(4) == 0 ? pick(i) : lo + pick(i - lo));
            const char32_t label = pick(12) == 0 ? char32_t{0} : alphabet[pick(alphabet.size())];
            b.add(par, label, pick(2) == 0);
        }
        std::vector<uint32_t> perm(n);
        std::iota(perm.begin(), perm.end(), 0u);
        std::shuffle(perm.begin() + 1, perm.end(), rng);
        const TrieStore s = b.build(perm);
        const std::vector<RefNode> ref = reachable(b, perm);

        for (int q = 0; q < 12; ++q) {
            std::u32string query;
            if (q % 3 == 0 && !ref.empty()) {
                query = ref[pick(ref.size())].term;
                if (!query.empty() && pick(2) == 0) query[pick(query.size())] = alphabet[pick(alphabet.size())];
            } else {
                const size_t len = pick(7);
                for (size_t k = 0; k < len; ++k) query += alphabet[pick(alphabet.size())];
            }
            const std::string text = utf8_of(query);
            for (uint32_t bound = 0; bound <= 3; ++bound) {
                std::vector<TermRow> want_terms;
                std::vector<NodeRow> want_all;
                std::vector<NodeRow> want_payload;
                for (const RefNode& r : ref) {
                    const uint64_t d = levenshtein(r.term, query);
                    if (d > bound) continue;
                    want_all.emplace_back(r.node, static_cast<uint32_t>(d));
                    if (r.payload) {
                        want_payload.emplace_back(r.node, static_cast<uint32_t>(d));
                        want_terms.emplace_back(utf8_of(r.term), r.node, static_cast<uint32_t>(d));
                    }
                }
                ASSERT_EQ(terms(s, text, bound), want_terms) << "trial " << trial << " query " << text;
                ASSERT_EQ(nodes(s, text, bound, false), want_all) << "trial " << trial << " query " << text;
                ASSERT_EQ(nodes(s, text, bound, true), want_payload) << "trial " << trial << " query " << text;
                const uint64_t k = 1 + pick(want_all.size() + 2);
                auto want_limited = want_all;
                want_limited.resize(std::min<uint64_t>(k, want_all.size()));
                ASSERT_EQ(nodes(s, text, bound, false, k), want_limited) << "trial " << trial << " limit " << k;
                ++checked;
                nonempty += want_terms.empty() ? 0 : 1;
            }
        }
    }
    EXPECT_EQ(checked, 300u * 12u * 4u);
    EXPECT_GT(nonempty, checked / 4);  // the queries do hit terms
}

}  // namespace
}  // namespace brindlex
