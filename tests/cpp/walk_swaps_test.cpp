// Swaps of neighbouring characters as one edit: every form of the walk (the split search,
// the one-way bit-parallel rows, the banded rows of long terms, the plain table) against
// the textbook optimal-string-alignment programme, on random words and on queries made
// from them by random edits and swaps.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "core/facts/facts.hpp"
#include "core/walk/walk.hpp"
#include "support.hpp"

namespace brindlex {
namespace {

using namespace test;

// The optimal string alignment distance, the whole table at once.
uint64_t osa(const std::u32string& a, const std::u32string& b) {
    std::vector<std::vector<uint64_t>> d(a.size() + 1, std::vector<uint64_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::u32string mangled(RandomStores& gen, std::u32string s, const std::u32string& letters) {
    for (uint64_t e = gen.below(5); e > 0 && s.size() > 1; --e) {
        const size_t at = gen.below(s.size() - 1);
        switch (gen.below(4)) {
            case 0: s.erase(at, 1); break;
            case 1: s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), letters[gen.below(letters.size())]); break;
            case 2: s[at] = letters[gen.below(letters.size())]; break;
            default: std::swap(s[at], s[at + 1]);
        }
    }
    return s;
}

struct Vocabulary {
    const char* name;
    size_t longest;  // of the random part of a word
    size_t tail;     // 'a's after it: past 63 characters the banded rows serve
};

class WalkSwaps : public ::testing::TestWithParam<Vocabulary> {};

TEST_P(WalkSwaps, EveryKernelGivesTheAlignmentDistance) {
    const Vocabulary& v = GetParam();
    RandomStores gen(91);
    // Few letters, so that swaps of equal neighbours and of repeats are common.
    const std::u32string letters = {U'a', U'b', U'c', U'\u00e9', U'\U0001F600'};
    size_t found = 0;
    size_t swapped = 0;  // terms nearer with swaps than without
    for (int round = 0; round < 40; ++round) {
        TreeBuilder words;
        std::vector<std::u32string> stored;
        for (size_t w = 0, count = 1 + gen.below(80); w < count; ++w) {
            std::u32string word;
            for (size_t i = 0, n = 1 + gen.below(v.longest); i < n; ++i) word += letters[gen.below(letters.size())];
            word += std::u32string(v.tail, U'a');
            words.word(word);
            stored.push_back(word);
        }
        words.sort_children();
        const TrieStore s = words.build(words.preorder());
        std::sort(stored.begin(), stored.end());
        stored.erase(std::unique(stored.begin(), stored.end()), stored.end());
        for (int q = 0; q < 8; ++q) {
            const std::u32string query = mangled(gen, stored[gen.below(stored.size())], letters);
            for (uint32_t k : {0u, 1u, 2u, 3u, 4u}) {
                std::map<std::string, uint32_t> want;
                for (const auto& w : stored) {
                    const uint64_t d = osa(query, w);
                    if (d <= k) want[utf8_of(w)] = static_cast<uint32_t>(d);
                    swapped += d <= k && levenshtein(query, w) != d;
                }
                for (WalkKernel kernel : {WalkKernel::Fastest, WalkKernel::OneWay, WalkKernel::Reference}) {
                    auto got = walk_terms(s, utf8_of(query), k, std::nullopt, kernel, EditRule::Transpositions);
                    ASSERT_TRUE(got);
                    std::map<std::string, uint32_t> have;
                    for (const auto& m : *got) have[m.term] = m.distance;
                    EXPECT_EQ(have, want) << v.name << " query of " << query.size() << " k " << k
                                          << " kernel " << static_cast<int>(kernel);
                }
                found += want.size();
            }
        }
    }
    EXPECT_GT(found, 400u);
    EXPECT_GT(swapped, 50u);  // swaps did change distances
}

INSTANTIATE_TEST_SUITE_P(Lengths, WalkSwaps,
                         ::testing::Values(Vocabulary{"short", 9, 0}, Vocabulary{"long", 8, 60}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindlex
