#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/ranking/ranking.hpp"
#include "core/ranking/score_map.hpp"
#include "core/text/video_id_text.hpp"
#include "core/construct/aggregate.hpp"
#include "support.hpp"

namespace brindlex {
namespace {

using test::NodeDef;

// A store in Int32 mode; children must be numbered above their parents.
TrieStore make_store(const std::vector<NodeDef>& nodes, std::vector<uint32_t> int_ids) {
    return test::store_from_nodes(nodes, std::move(int_ids));
}

TrieStore aggregated(TrieStore s, uint64_t video_top_n) {
    EXPECT_TRUE(aggregate_payloads(s, video_top_n).has_value());
    return s;
}

// Terms 'cat' (3), 'car' (4), 'cart' (6), 'dog' (8); nodes 1, 2, 5, 7 are prefix nodes.
TrieStore cat_store(uint64_t video_top_n) {
    std::vector<NodeDef> n(9);
    n[0].children = {1, 5};
    n[1] = {U'c', {2}, {}};
    n[2] = {U'a', {3, 4}, {}};
    n[3] = {U't', {}, Payload{10, {0, 1}, {6, 4}}};
    n[4] = {U'r', {6}, Payload{5, {1}, {5}}};
    n[5] = {U'd', {7}, {}};
    n[6] = {U't', {}, Payload{2, {2}, {2}}};
    n[7] = {U'o', {8}, {}};
    n[8] = {U'g', {}, Payload{3, {3}, {3}}};
    return aggregated(make_store(n, {1001, 1002, 1003, 1004}), video_top_n);
}

// One term 'a' with the given payload.
TrieStore single_term_store(Payload p, std::vector<uint32_t> int_ids) {
    return make_store({{0, {1}, {}}, {U'a', {}, std::move(p)}}, std::move(int_ids));
}

std::vector<ScoredVideo> rank(const TrieStore& s, std::string_view term, uint32_t max_dist = 1,
                              std::optional<uint64_t> limit = {}, std::optional<bool> prefix = {},
                              std::optional<double> min_score = {}) {
    auto r = rank_videos(s, term, max_dist, limit, prefix, min_score);
    EXPECT_TRUE(r.has_value()) << r.error().message;
    return r.value_or(std::vector<ScoredVideo>{});
}

std::string id_text(const TrieStore& s, uint32_t video) {
    std::array<char, kVideoIdTextMax> buf{};
    const auto len = write_video_id_text(s, video, buf);
    return len ? std::string(buf.data(), *len) : std::string("<none>");
}

std::vector<uint32_t> videos_of(const std::vector<ScoredVideo>& r) {
    std::vector<uint32_t> v;
    for (const auto& s : r) v.push_back(s.video);
    return v;
}

// ---- The worked example ---------------------------------------------------------------

struct Expected {
    std::string id;
    double score;
};

struct ExampleCase {
    const char* name;
    uint64_t video_top_n;
    std::optional<bool> prefix;
    std::optional<double> min_score;
    std::optional<uint64_t> limit;
    std::vector<Expected> expected;

    friend void PrintTo(const ExampleCase& c, std::ostream* os) { *os << c.name; }
};

constexpr double kNear = 1.0 / 30;                     // (1 - 1/3) x 0.05
constexpr double kTotal = 10 + 7 * kNear + 2 * kNear;  // 10.3
constexpr double kPrefixTotal = kTotal + 17 * kNear * 0.85;

class RankingWorkedExample : public testing::TestWithParam<ExampleCase> {};

TEST_P(RankingWorkedExample, MatchesHandComputedScores) {
    const ExampleCase& c = GetParam();
    const TrieStore s = cat_store(c.video_top_n);
    const auto r = rank(s, "cat", 1, c.limit, c.prefix, c.min_score);
    ASSERT_EQ(r.size(), c.expected.size());
    for (size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(id_text(s, r[i].video), c.expected[i].id) << i;
        EXPECT_NEAR(r[i].score, c.expected[i].score, 1e-12 * c.expected[i].score) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranking, RankingWorkedExample,
    testing::Values(
        ExampleCase{"Defaults", 10, {}, {}, {},
                    {{"1001", 6 / kTotal}, {"1002", (4 + 5 * kNear) / kTotal}, {"1003", 4 * kNear / kTotal}}},
        ExampleCase{"IndexedOnly", 10, false, {}, {},
                    {{"1001", 6 / kTotal}, {"1002", (4 + 5 * kNear) / kTotal}, {"1003", 4 * kNear / kTotal}}},
        ExampleCase{"PrefixNodes", 10, true, {}, {},
                    {{"1001", (6 + 6 * kNear * 0.85) / kPrefixTotal},
                     {"1002", (4 + 5 * kNear + 9 * kNear * 0.85) / kPrefixTotal},
                     {"1003", (4 * kNear + 2 * kNear * 0.85) / kPrefixTotal}}},
        ExampleCase{"MinScore", 10, {}, 0.02, {}, {{"1001", 6 / kTotal}, {"1002", (4 + 5 * kNear) / kTotal}}},
        ExampleCase{"LimitOne", 10, {}, {}, 1, {{"1001", 6 / kTotal}}},
        ExampleCase{"TopOne", 1, {}, {}, {}, {{"1001", 6 / kTotal}, {"1002", 5 * kNear / kTotal}}}),
    [](const auto& info) { return info.param.name; });

// ---- Which records count ----------------------------------------------------------------

TEST(RankingRecords, EmptyTermRanksNothing) {
    const TrieStore s = cat_store(10);
    for (uint32_t d = 0; d <= 4; ++d) {
        for (auto prefix : {std::optional<bool>{}, std::optional<bool>{true}, std::optional<bool>{false}}) {
            EXPECT_TRUE(rank(s, "", d, {}, prefix).empty()) << d;
        }
    }
}

TEST(RankingRecords, FallbackToPrefixNodesKeepsOnlyExactOneCharMatch) {
    // 'c' reaches no indexed term within 1, so the prefix nodes 'c' (0), 'ca' (1) and 'd'
    // (1) answer; a one-char term drops distance 1, leaving 'c' alone: count / node count,
    // whatever the prefix penalty.
    const TrieStore s = cat_store(10);
    const auto r = rank(s, "c");
    ASSERT_EQ(videos_of(r), (std::vector<uint32_t>{1, 0, 2}));
    EXPECT_DOUBLE_EQ(r[0].score, 9.0 / 17);
    EXPECT_DOUBLE_EQ(r[1].score, 6.0 / 17);
    EXPECT_DOUBLE_EQ(r[2].score, 2.0 / 17);
    EXPECT_TRUE(rank(s, "c", 1, {}, false).empty());
}

TEST(RankingRecords, ExactPrefixNodeWithMaxDistZero) {
    const TrieStore s = cat_store(10);
    const auto r = rank(s, "do", 0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(id_text(s, r[0].video), "1004");
    EXPECT_EQ(r[0].score, 1.0);
}

TEST(RankingRecords, AbsentPayloadSlotIsDropped) {
    // 'ab' ends a term but its slot is absent, as a restored snapshot may have it (here
    // with stray entries under it, which must not count either); only 'abc' at distance 1
    // counts, so video 0 scores 5 / 10.
    TrieStore s = make_store({{0, {1}, {}}, {U'a', {2}, {}}, {U'b', {3}, {}}, {U'c', {}, {}}}, {7});
    s.has_payload = {0, 0, 1, 1};
    s.payloads = {};
    s.payloads.push_absent();
    s.payloads.push_absent();
    s.payloads.append_video_id(0);
    s.payloads.append_video_count(9);
    s.payloads.push_absent();
    s.payloads.push(10, std::vector<uint32_t>{0}, std::vector<uint32_t>{5});
    const auto r = rank(s, "ab");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].score, 0.5);
}

// ---- Threshold, limit and the id list -----------------------------------------------------

struct ThresholdCase {
    const char* name;
    std::optional<double> min_score;
    std::vector<uint32_t> expected;

    friend void PrintTo(const ThresholdCase& c, std::ostream* os) { *os << c.name; }
};

class RankingThreshold : public testing::TestWithParam<ThresholdCase> {};

TEST_P(RankingThreshold, KeepsScoresAtOrAboveIt) {
    // Video 0 is listed with count 0 (score 0.0), video 1 scores exactly 0.5.
    const TrieStore s = single_term_store(Payload{4, {0, 1}, {0, 2}}, {10, 11});
    auto got = videos_of(rank(s, "a", 1, {}, {}, GetParam().min_score));
    std::ranges::sort(got);
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Ranking, RankingThreshold,
                         testing::Values(ThresholdCase{"Default", {}, {1}}, ThresholdCase{"Zero", 0.0, {0, 1}},
                                         ThresholdCase{"Negative", -1.0, {0, 1}},
                                         ThresholdCase{"EqualToScore", 0.5, {1}},
                                         ThresholdCase{"AboveAll", std::nextafter(0.5, 1.0), {}},
                                         ThresholdCase{"NaN", std::numeric_limits<double>::quiet_NaN(), {}}),
                         [](const auto& info) { return info.param.name; });

TEST(RankingThreshold, ZeroTotalWeightRanksNothing) {
    const TrieStore s = single_term_store(Payload{0, {0}, {5}}, {10});
    EXPECT_TRUE(rank(s, "a", 1, {}, {}, -1.0).empty());
}

class RankingLimit : public testing::TestWithParam<uint64_t> {};

TEST_P(RankingLimit, KeepsTheBestInScoreOrder) {
    // Ten videos scoring 10/100 down to 1/100, listed in a shuffled order.
    Payload p{100, {}, {}};
    for (uint32_t v : {3u, 9u, 0u, 5u, 7u, 1u, 8u, 2u, 6u, 4u}) {
        p.video_ids.push_back(v);
        p.video_counts.push_back(10 - v);
    }
    const TrieStore s = single_term_store(p, std::vector<uint32_t>(10, 1));
    const uint64_t limit = GetParam();
    std::vector<uint32_t> expected;
    for (uint32_t v = 0; v < std::min<uint64_t>(limit, 10); ++v) expected.push_back(v);
    EXPECT_EQ(videos_of(rank(s, "a", 1, limit)), expected);
}

INSTANTIATE_TEST_SUITE_P(Ranking, RankingLimit,
                         testing::Values(0, 1, 3, 9, 10, 11, std::numeric_limits<uint64_t>::max()));

TEST(RankingLimit, EqualScoresRankByVideoNumberSoPagesNest) {
    // Twelve videos with one score, listed in a shuffled order: whatever the limit, the
    // answer is the start of the answer without one.
    Payload p{120, {}, {}};
    for (uint32_t v : {7u, 2u, 11u, 0u, 9u, 4u, 1u, 10u, 5u, 3u, 8u, 6u}) {
        p.video_ids.push_back(v);
        p.video_counts.push_back(10);
    }
    const TrieStore s = single_term_store(p, std::vector<uint32_t>(12, 1));
    std::vector<uint32_t> all(12);
    for (uint32_t v = 0; v < 12; ++v) all[v] = v;
    EXPECT_EQ(videos_of(rank(s, "a")), all);
    for (uint64_t limit = 0; limit <= 12; ++limit) {
        EXPECT_EQ(videos_of(rank(s, "a", 1, limit)), std::vector<uint32_t>(all.begin(), all.begin() + limit)) << limit;
    }
}

TEST(RankingLimit, EveryLimitCutsTheUnlimitedAnswer) {
    // 150 videos in a shuffled order, scores with ties: short limits keep a heap of the
    // best, longer ones select from all candidates; both must give the unlimited answer's
    // start, on either side of the switch.
    Payload p{1000, {}, {}};
    std::vector<uint32_t> order(150);
    for (uint32_t v = 0; v < 150; ++v) order[v] = (v * 97) % 150;
    for (uint32_t v : order) {
        p.video_ids.push_back(v);
        p.video_counts.push_back(10 + v % 37);
    }
    const TrieStore s = single_term_store(p, std::vector<uint32_t>(150, 1));
    const std::vector<uint32_t> all = videos_of(rank(s, "a"));
    ASSERT_EQ(all.size(), 150u);
    for (uint64_t limit = 0; limit <= 151; ++limit) {
        const auto keep = static_cast<std::ptrdiff_t>(std::min<uint64_t>(limit, all.size()));
        EXPECT_EQ(videos_of(rank(s, "a", 1, limit)), std::vector<uint32_t>(all.begin(), all.begin() + keep)) << limit;
    }
}

TEST(RankingLimit, UnknownVideosAreSkippedAfterTheCut) {
    // Video 7 has no id: with limit 2 it takes the second place and is then skipped.
    const TrieStore s = single_term_store(Payload{10, {0, 7, 1}, {9, 8, 7}}, {100, 101});
    EXPECT_EQ(videos_of(rank(s, "a", 1, 2)), (std::vector<uint32_t>{0}));
    EXPECT_EQ(videos_of(rank(s, "a")), (std::vector<uint32_t>{0, 1}));
}

// ---- Broken stores --------------------------------------------------------------------

// Terms 'a' (node 1) and 'ab' (node 2), then the store is cut as each case says.
struct BrokenCase {
    const char* name;
    size_t has_payload_len;
    size_t payload_slots;
    bool short_counts;  // node 2 lists two videos and one count
    const char* term;
    const char* error;  // nullptr: no error

    friend void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }
};

class RankingBrokenStore : public testing::TestWithParam<BrokenCase> {};

TEST_P(RankingBrokenStore, FailsInTheStatedOrder) {
    const BrokenCase& c = GetParam();
    TrieStore s = make_store({{0, {1}, {}}, {U'a', {2}, Payload{4, {0}, {1}}}, {U'b', {}, {}}}, {5, 6});
    s.has_payload = {0, 1, 1};
    s.payloads = {};
    s.payloads.push_absent();
    s.payloads.push(4, std::vector<uint32_t>{0}, std::vector<uint32_t>{1});
    s.payloads.append_video_id(0);
    s.payloads.append_video_id(1);
    s.payloads.append_video_count(3);
    if (!c.short_counts) s.payloads.append_video_count(3);
    s.payloads.close_present(6);
    s.has_payload.resize(c.has_payload_len);
    PayloadTable cut;
    for (size_t v = 0; v < c.payload_slots; ++v) {
        const PayloadView p = s.payloads.view(v);
        if (s.payloads.present(v)) cut.push(p.count, p.video_ids, p.video_counts);
        else cut.push_absent();
    }
    s.payloads = cut;

    const auto r = rank_videos(s, c.term, 1, {}, true, {});
    if (c.error == nullptr) {
        EXPECT_TRUE(r.has_value()) << r.error().message;
    } else {
        ASSERT_FALSE(r.has_value());
        EXPECT_NE(r.error().message.find(c.error), std::string::npos) << r.error().message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranking, RankingBrokenStore,
    testing::Values(BrokenCase{"Sound", 3, 3, false, "ab", nullptr},
                    BrokenCase{"NoFlag", 2, 3, false, "ab", "no has_payload flag"},
                    BrokenCase{"NoFlagBeforeNoSlot", 2, 2, false, "ab", "no has_payload flag"},
                    BrokenCase{"NoSlot", 3, 2, false, "ab", "no payload slot"},
                    BrokenCase{"ShortCounts", 3, 3, true, "ab", "fewer video counts"},
                    // For 'a', node 2 is at distance 1 = n and dropped before any check.
                    BrokenCase{"DroppedRecordUnchecked", 2, 2, false, "a", nullptr}),
    [](const auto& info) { return info.param.name; });

// ---- Score map ----------------------------------------------------------------------------

TEST(RankingScoreMap, GrowingKeepsEverySum) {
    // Sized for one key, then given 5000 keys (0 and 2^32-1 among them) twice each.
    ScoreMap map(1);
    std::map<uint32_t, double> want;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t k = 0; k < 5000; ++k) {
            const uint32_t video = k == 4999 ? 0xFFFF'FFFFu : k * 2654435761u;
            const double amount = 0.1 * (k + pass + 1);
            map.add(video, amount);
            want[video] += amount;
        }
    }
    std::map<uint32_t, double> got;
    map.for_each([&](uint32_t video, double sum) { EXPECT_TRUE(got.emplace(video, sum).second) << video; });
    EXPECT_EQ(map.size(), want.size());
    EXPECT_EQ(got, want);
}

// ---- Id text ------------------------------------------------------------------------------

TEST(RankingIdText, UuidAndDecimalForms) {
    TrieStore u;
    VideoUuid seq{};
    for (uint8_t i = 0; i < 16; ++i) seq[i] = i;
    VideoUuid ff;
    ff.fill(0xFF);
    u.video_uuids = {seq, ff};
    EXPECT_EQ(id_text(u, 0), "00010203-0405-0607-0809-0a0b0c0d0e0f");
    EXPECT_EQ(id_text(u, 1), "ffffffff-ffff-ffff-ffff-ffffffffffff");
    EXPECT_EQ(id_text(u, 2), "<none>");

    TrieStore i;
    i.id_mode = IdMode::Int32;
    i.video_int_ids = {0, 7, 1001, 4294967295u};
    i.video_uuids = {seq};  // ignored in Int32 mode
    EXPECT_EQ(id_text(i, 0), "0");
    EXPECT_EQ(id_text(i, 1), "7");
    EXPECT_EQ(id_text(i, 2), "1001");
    EXPECT_EQ(id_text(i, 3), "4294967295");
    EXPECT_EQ(id_text(i, 4), "<none>");
}

// ---- Against a straightforward model ----------------------------------------------------------

using test::levenshtein;
std::string utf8(const std::u32string& s) { return test::utf8_of(s); }

struct Record {
    uint32_t node;
    size_t distance;
};

// Every labelled node within max_dist, in depth-first pre-order, found without pruning.
void model_records(const TrieStore& s, uint32_t v, std::u32string& path, const std::u32string& q, uint32_t max_dist,
                   bool payload_only, std::vector<Record>& out) {
    const auto range = s.child_range(v);
    for (uint64_t pos = range.begin; pos < range.end; ++pos) {
        const uint32_t w = s.child_transitions[pos];
        if (s.child_labels[w] == 0) continue;
        path.push_back(s.child_labels[w]);
        const size_t d = levenshtein(path, q);
        if (d <= max_dist && (!payload_only || s.has_payload[w])) out.push_back({w, d});
        model_records(s, w, path, q, max_dist, payload_only, out);
        path.pop_back();
    }
}

// All candidates above the threshold, best first, before any limit.
std::vector<ScoredVideo> model_ranking(const TrieStore& s, const std::u32string& q, uint32_t max_dist,
                                       std::optional<bool> prefix, double threshold) {
    std::vector<Record> records;
    std::u32string path;
    model_records(s, 0, path, q, max_dist, !prefix.value_or(false), records);
    if (!prefix && records.empty()) model_records(s, 0, path, q, max_dist, false, records);
    double total = 0;
    std::map<uint32_t, double> raw;
    for (const Record& r : records) {
        double w = 1.0;
        if (r.distance > 0) {
            if (r.distance >= q.size()) continue;
            w = (1.0 - static_cast<double>(r.distance) / static_cast<double>(q.size())) * 0.05;
        }
        if (!s.has_payload[r.node]) w *= 0.85;
        const PayloadView p = s.payloads.view(r.node);
        total += p.count * w;
        for (size_t i = 0; i < p.video_ids.size(); ++i) raw[p.video_ids[i]] += p.video_counts[i] * w;
    }
    std::vector<ScoredVideo> out;
    if (total <= 0) return out;
    for (const auto& [video, sum] : raw) {
        if (sum / total >= threshold) out.push_back({video, sum / total});
    }
    std::ranges::sort(out, [](const auto& a, const auto& b) {
        return a.score != b.score ? a.score > b.score : a.video < b.video;
    });
    return out;
}

TEST(RankingDifferential, AgreesWithModelOnRandomTries) {
    std::mt19937 rng(20240611);
    auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    const std::u32string alphabet = U"abc\u00e9\U0001F600";
    auto random_word = [&](uint32_t max_len) {
        std::u32string w;
        for (uint32_t i = pick(0, max_len); i > 0; --i) w += alphabet[pick(0, alphabet.size() - 1)];
        return w;
    };

    for (int round = 0; round < 300; ++round) {
        const uint32_t videos = pick(1, 12);
        auto random_payload = [&] {
            Payload p{pick(0, 40), {}, {}};
            for (uint32_t i = pick(0, 4); i > 0; --i) {
                p.video_ids.push_back(pick(0, videos - 1));
                p.video_counts.push_back(pick(0, 15));
            }
            return p;
        };
        // A trie over random words, numbered in insertion order (parents first).
        std::vector<NodeDef> nodes(1);
        std::vector<std::u32string> words;
        for (uint32_t t = pick(1, 25); t > 0; --t) {
            const std::u32string word = random_word(5);
            words.push_back(word);
            uint32_t v = 0;
            for (char32_t c : word) {
                auto it = std::ranges::find_if(nodes[v].children, [&](uint32_t w) { return nodes[w].label == c; });
                if (it != nodes[v].children.end()) {
                    v = *it;
                    continue;
                }
                nodes[v].children.push_back(static_cast<uint32_t>(nodes.size()));
                v = static_cast<uint32_t>(nodes.size());
                nodes.push_back({c, {}, {}});
                if (pick(0, 3) == 0) nodes[v].payload = random_payload();  // a payload on the way
            }
            if (v != 0 && !nodes[v].payload) nodes[v].payload = random_payload();
        }
        for (size_t v = 1; v < nodes.size(); ++v) {
            if (pick(0, 40) == 0) nodes[v].label = 0;  // an unlabelled edge hides its subtree
        }
        std::vector<uint32_t> ids(videos);
        for (uint32_t& id : ids) id = pick(0, 1000000);
        const TrieStore s = aggregated(make_store(nodes, ids), pick(0, 5));

        for (int query = 0; query < 20; ++query) {
            std::u32string q = pick(0, 1) ? random_word(6) : words[pick(0, words.size() - 1)];
            if (!q.empty() && pick(0, 1)) q[pick(0, q.size() - 1)] = alphabet[pick(0, alphabet.size() - 1)];
            const uint32_t max_dist = pick(0, 3);
            const std::optional<bool> prefix = std::array<std::optional<bool>, 3>{{{}, true, false}}[pick(0, 2)];
            const std::optional<double> min_score =
                std::array<std::optional<double>, 4>{{{}, 0.0, 0.05, -1.0}}[pick(0, 3)];
            const std::optional<uint64_t> limit = pick(0, 2) ? std::optional<uint64_t>{} : pick(0, 6);

            const auto got = rank(s, utf8(q), max_dist, limit, prefix, min_score);
            const auto want = model_ranking(s, q, max_dist, prefix, min_score.value_or(0.01));
            const std::string where = "round " + std::to_string(round) + " query " + utf8(q);

            // The model's ranking, equal scores by video number, cut to the limit.
            ASSERT_EQ(got.size(), std::min<uint64_t>(want.size(), limit.value_or(want.size()))) << where;
            for (size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].video, want[i].video) << where << " rank " << i;
                EXPECT_EQ(got[i].score, want[i].score) << where << " rank " << i;
            }
        }
    }
}

}  // namespace
}  // namespace brindlex
