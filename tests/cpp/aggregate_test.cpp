// The aggregation pass and merge: subtree totals, sorted and cut video lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

#include "core/construct/construct.hpp"
#include "core/payload/payload.hpp"
#include "core/construct/aggregate.hpp"

namespace brindlex {
namespace {

struct Own {
    uint32_t count;
    std::vector<uint32_t> ids;
    std::vector<uint32_t> counts;
};

using Slot = std::optional<Own>;

TrieStore make_store(std::vector<uint32_t> shifts, std::vector<uint32_t> transitions, const std::vector<Slot>& slots) {
    TrieStore s;
    s.node_shifts = std::move(shifts);
    s.child_transitions = std::move(transitions);
    s.child_labels.assign(slots.size(), 'x');
    for (const Slot& p : slots) {
        if (p) s.payloads.push(p->count, p->ids, p->counts);
        else s.payloads.push_absent();
    }
    return s;
}

// Terms 'cat' (3), 'car' (4), 'cart' (6), 'dog' (8).
TrieStore worked_example() {
    return make_store({0, 2, 3, 5, 5, 6, 7, 7, 8}, {1, 5, 2, 3, 4, 6, 7, 8},
                      {std::nullopt, std::nullopt, std::nullopt, Own{10, {0, 1}, {6, 4}}, Own{5, {1}, {5}},
                       std::nullopt, Own{2, {2}, {2}}, std::nullopt, Own{3, {3}, {3}}});
}

using Expected = std::tuple<uint32_t, std::vector<uint32_t>, std::vector<uint32_t>>;

Expected slot(const TrieStore& s, size_t v) {
    const PayloadView p = s.payloads.view(v);
    return {p.count, {p.video_ids.begin(), p.video_ids.end()}, {p.video_counts.begin(), p.video_counts.end()}};
}

TEST(Aggregate, WorkedExampleTopTen) {
    TrieStore s = worked_example();
    ASSERT_TRUE(aggregate_payloads(s, 10));
    const std::vector<Expected> want = {
        {20, {1, 0, 3, 2}, {9, 6, 3, 2}}, {17, {1, 0, 2}, {9, 6, 2}}, {17, {1, 0, 2}, {9, 6, 2}},
        {10, {0, 1}, {6, 4}},             {7, {1, 2}, {5, 2}},         {3, {3}, {3}},
        {2, {2}, {2}},                    {3, {3}, {3}},               {3, {3}, {3}},
    };
    ASSERT_EQ(s.payloads.size(), want.size());
    for (size_t v = 0; v < want.size(); ++v) {
        EXPECT_TRUE(s.payloads.present(v)) << v;
        EXPECT_EQ(slot(s, v), want[v]) << "node " << v;
    }
}

TEST(Aggregate, WorkedExampleTopOne) {
    TrieStore s = worked_example();
    ASSERT_TRUE(aggregate_payloads(s, 1));
    const std::vector<Expected> want = {
        {20, {0}, {6}}, {17, {0}, {6}}, {17, {0}, {6}}, {10, {0}, {6}}, {7, {1}, {5}},
        {3, {3}, {3}},  {2, {2}, {2}},  {3, {3}, {3}},  {3, {3}, {3}},
    };
    for (size_t v = 0; v < want.size(); ++v) EXPECT_EQ(slot(s, v), want[v]) << "node " << v;
}

TEST(Aggregate, TopZeroEmptiesListsButKeepsTotals) {
    TrieStore s = worked_example();
    ASSERT_TRUE(aggregate_payloads(s, 0));
    EXPECT_EQ(slot(s, 0), (Expected{20, {}, {}}));
    EXPECT_EQ(slot(s, 4), (Expected{7, {}, {}}));
}

// A leaf keeps its own order and duplicates; a node with any child is merged and sorted.
TEST(Aggregate, LeafKeepsOrderMergedNodeIsSorted) {
    TrieStore leaf = make_store({0}, {}, {Own{1, {5, 7, 5}, {1, 9, 2}}});
    ASSERT_TRUE(aggregate_payloads(leaf, 1));
    EXPECT_EQ(slot(leaf, 0), (Expected{1, {5}, {1}}));

    TrieStore parent = make_store({0, 1}, {1}, {Own{1, {5, 7, 5}, {1, 9, 2}}, std::nullopt});
    ASSERT_TRUE(aggregate_payloads(parent, 10));
    EXPECT_EQ(slot(parent, 0), (Expected{1, {7, 5}, {9, 3}}));
    ASSERT_TRUE(aggregate_payloads(parent = make_store({0, 1}, {1}, {Own{1, {5, 7}, {1, 9}}, std::nullopt}), 1));
    EXPECT_EQ(slot(parent, 0), (Expected{1, {7}, {9}}));
}

TEST(Aggregate, SaturatesCountsAndVideoSums) {
    TrieStore s = make_store({0, 2, 2}, {1, 2},
                             {Own{4000000000u, {1}, {4000000000u}}, Own{500000000u, {1, 2}, {500000000u, 4294967295u}},
                              Own{0, {2}, {1}}});
    ASSERT_TRUE(aggregate_payloads(s, 10));
    // After node 1 both videos sit at the 32-bit maximum; node 2 then lifts video 2 one
    // above it, so video 2 sorts first, and both are stored saturated.
    EXPECT_EQ(slot(s, 0), (Expected{4294967295u, {2, 1}, {4294967295u, 4294967295u}}));
}

// Node 1 lists itself and node 0 (a lower number): the self entry is skipped and node 0
// contributes only its own input payload.
TEST(Aggregate, SelfAndBackwardChildren) {
    TrieStore s = make_store({0, 1}, {1, 1, 0}, {Own{3, {0}, {3}}, Own{2, {1}, {2}}});
    ASSERT_TRUE(aggregate_payloads(s, 10));
    EXPECT_EQ(slot(s, 1), (Expected{5, {0, 1}, {3, 2}}));
    EXPECT_EQ(slot(s, 0), (Expected{8, {0, 1}, {6, 2}}));
}

TEST(Aggregate, DecreasingShiftsMeanNoChildren) {
    TrieStore s = make_store({2, 0}, {1, 1}, {Own{1, {}, {}}, Own{2, {}, {}}});
    ASSERT_TRUE(aggregate_payloads(s, 10));
    EXPECT_EQ(std::get<0>(slot(s, 0)), 1u);
}

TEST(Aggregate, RangePastChildTransitionsFails) {
    TrieStore s = make_store({0, 5}, {1}, {std::nullopt, std::nullopt});
    const auto before = s;
    auto r = aggregate_payloads(s, 10);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find("child_transitions"), std::string::npos);
    EXPECT_EQ(s, before);
}

TEST(Aggregate, EmptyStore) {
    TrieStore s;
    EXPECT_TRUE(aggregate_payloads(s, 3));
    EXPECT_EQ(s.payloads.size(), 0u);
}

// Slots whose two lists differ in length (possible in a snapshot) keep both as given,
// before and after such a slot.
TEST(PayloadTable, KeepsListsOfDifferentLengths) {
    PayloadTable t;
    t.push(1, std::vector<uint32_t>{5, 6}, std::vector<uint32_t>{7, 8});
    t.push_absent();
    t.append_video_id(9);
    t.close_present(2);
    t.push(3, std::vector<uint32_t>{1}, std::vector<uint32_t>{2});
    ASSERT_EQ(t.size(), 4u);
    auto ids = [&](size_t v) { return std::vector<uint32_t>(t.view(v).video_ids.begin(), t.view(v).video_ids.end()); };
    auto counts = [&](size_t v) {
        return std::vector<uint32_t>(t.view(v).video_counts.begin(), t.view(v).video_counts.end());
    };
    EXPECT_EQ(ids(0), (std::vector<uint32_t>{5, 6}));
    EXPECT_EQ(counts(0), (std::vector<uint32_t>{7, 8}));
    EXPECT_TRUE(ids(1).empty() && counts(1).empty());
    EXPECT_EQ(ids(2), (std::vector<uint32_t>{9}));
    EXPECT_TRUE(counts(2).empty());
    EXPECT_EQ(ids(3), (std::vector<uint32_t>{1}));
    EXPECT_EQ(counts(3), (std::vector<uint32_t>{2}));
    EXPECT_EQ(t.count(2), 2u);
    EXPECT_FALSE(t.present(1));
}

TEST(Merge, SumsDuplicatesAndSortsByCount) {
    Payload self{1, {3, 4, 3}, {1, 1, 1}};
    Payload other{2, {4, 9}, {5, 2}};
    MergeScratch scratch;
    merge(self, other.view(), scratch);
    EXPECT_EQ(self.count, 3u);
    EXPECT_EQ(self.video_ids, (std::vector<uint32_t>{4, 3, 9}));
    EXPECT_EQ(self.video_counts, (std::vector<uint32_t>{6, 2, 2}));
}

// Summing by indexed video number (video numbers below the index) and by sorting
// (any other) give the same lists, repeats, cuts and numbers past the index included.
TEST(Merge, IndexedSumsAgreeWithSorting) {
    std::mt19937 rng(7);
    auto list = [&](size_t n, uint32_t ids) {
        Payload p{static_cast<uint32_t>(rng() % 100), {}, {}};
        for (size_t i = 0; i < n; ++i) {
            p.video_ids.push_back(static_cast<uint32_t>(rng() % ids));
            p.video_counts.push_back(static_cast<uint32_t>(rng() % 6));
        }
        return p;
    };
    MergeScratch indexed;
    indexed.index_videos(12);
    for (int round = 0; round < 2000; ++round) {
        const uint32_t ids = round % 3 == 0 ? 16 : 12;  // some rounds name videos past the index
        Payload own = list(rng() % 6, ids);
        std::vector<Payload> kids;
        for (size_t k = rng() % 4; k > 0; --k) kids.push_back(list(rng() % 8, ids));
        std::vector<PayloadView> views;
        for (const Payload& k : kids) views.push_back(k.view());
        const uint64_t keep = rng() % 8;
        Payload a = own;
        Payload b = own;
        MergeScratch sorting;
        merge_all(a, views, sorting, keep);
        merge_all(b, views, indexed, keep);
        ASSERT_EQ(a.count, b.count);
        ASSERT_EQ(a.video_ids, b.video_ids);
        ASSERT_EQ(a.video_counts, b.video_counts);
    }
}

// A store without any video sums its totals alone; the totals must be those the full
// pass gives the same store with one video added (backward and self children included).
TEST(Aggregate, TotalsWithoutVideosAgreeWithTheFullPass) {
    std::mt19937 rng(11);
    for (int round = 0; round < 500; ++round) {
        const size_t n = 1 + rng() % 12;
        std::vector<uint32_t> shifts(n);
        std::vector<uint32_t> transitions(rng() % (2 * n));
        for (auto& c : transitions) c = static_cast<uint32_t>(rng() % n);
        for (auto& s : shifts) s = static_cast<uint32_t>(rng() % (transitions.size() + 1));
        std::sort(shifts.begin(), shifts.end());
        std::vector<Slot> plain(n);
        for (auto& slot : plain) {
            if (rng() % 3 != 0) slot = Own{static_cast<uint32_t>(rng() % 3 == 0 ? 4000000000u : rng() % 50), {}, {}};
        }
        std::vector<Slot> with_video = plain;
        with_video[0] = Own{plain[0] ? plain[0]->count : 0, {0}, {1}};
        TrieStore a = make_store(shifts, transitions, plain);
        TrieStore b = make_store(shifts, transitions, with_video);
        ASSERT_TRUE(aggregate_payloads(a, 10).has_value());
        ASSERT_TRUE(aggregate_payloads(b, 10).has_value());
        for (size_t v = 0; v < n; ++v) {
            ASSERT_EQ(a.payloads.count(v), b.payloads.count(v)) << "round " << round << " node " << v;
            ASSERT_TRUE(a.payloads.present(v));
            ASSERT_TRUE(a.payloads.view(v).video_ids.empty());
        }
    }
}

struct ShapeCase {
    size_t shifts, labels, payloads;
    std::vector<uint32_t> transitions;
    const char* message;  // nullptr: accepted
};

class ConstructShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ConstructShape, FirstProblemIsReported) {
    const ShapeCase& c = GetParam();
    auto problem = check_shape(c.shifts, c.labels, c.payloads, c.transitions);
    if (c.message) {
        ASSERT_TRUE(problem);
        EXPECT_EQ(*problem, c.message);
    } else {
        EXPECT_FALSE(problem) << *problem;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConstructShape,
    ::testing::Values(ShapeCase{0, 0, 0, {}, nullptr}, ShapeCase{9, 9, 9, {1, 5, 2, 3, 4, 6, 7, 8}, nullptr},
                      ShapeCase{9, 9, 9, {1, 5, 2, 3, 4, 6, 7, 9}, "child_transitions[7] = 9 out of range [0..9)"},
                      ShapeCase{3, 3, 3, {2, 3, 7}, "child_transitions[1] = 3 out of range [0..3)"},
                      ShapeCase{2, 3, 1, {9}, "node_shifts len 2 != child_labels len 3"},
                      ShapeCase{3, 3, 1, {9}, "payloads len 1 != child_labels len 3"}));

TEST(ConstructVideoIds, ModesAndMixing) {
    VideoIndexBytes none;
    auto empty = choose_video_ids(none);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->mode, IdMode::Uuid);
    EXPECT_TRUE(empty->uuids.empty() && empty->int_ids.empty());

    VideoIndexBytes ints{{1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {4, 4}};
    auto i = choose_video_ids(ints);
    ASSERT_TRUE(i);
    EXPECT_EQ(i->mode, IdMode::Int32);
    EXPECT_EQ(i->int_ids, (std::vector<uint32_t>{1, 4294967295u}));

    VideoIndexBytes uuid{std::vector<uint8_t>(16, 7), {16}};
    auto u = choose_video_ids(uuid);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->mode, IdMode::Uuid);
    EXPECT_EQ(u->uuids.at(0), (VideoUuid{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}));

    for (auto lengths : {std::vector<size_t>{16, 4}, std::vector<size_t>{0}, std::vector<size_t>{8}}) {
        VideoIndexBytes mixed{std::vector<uint8_t>(20), lengths};
        auto m = choose_video_ids(mixed);
        ASSERT_FALSE(m);
        EXPECT_EQ(m.error(), "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
    }
}

}  // namespace
}  // namespace brindlex
