// The exact-term table: whole-term queries answered through it agree with the walk that
// does not use it, and a table holding anything at all is read inside its arrays and
// probed a bounded number of times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "core/facts/facts.hpp"
#include "core/lookup/term_index.hpp"
#include "core/walk/walk.hpp"
#include "support.hpp"

namespace brindlex {
namespace {

using test::utf8_of;

std::u32string random_word(std::mt19937_64& rng, size_t max_length) {
    // The test alphabet, a surrogate (a label no query can spell) and a run of the
    // same letter, so that words share long paths.
    static const std::u32string kChars = U"abc\u00e9\U0001F600\U0010FFFFa";
    std::u32string w(1 + rng() % max_length, U'a');
    for (auto& c : w) c = kChars[rng() % kChars.size()];
    if (rng() % 10 == 0) w[rng() % w.size()] = char32_t{0xD800};
    return w;
}

TEST(ExactTable, WholeTermsAnswerAsTheWalk) {
    for (uint64_t seed = 0; seed < 30; ++seed) {
        std::mt19937_64 rng(seed);
        test::TreeBuilder tree;
        std::vector<std::u32string> words;
        for (int i = 0; i < 200; ++i) words.push_back(random_word(rng, seed % 3 == 0 ? 80 : 8));
        for (const auto& w : words) tree.word(w);
        tree.sort_children();
        const TrieStore store = tree.build(tree.preorder());
        ASSERT_TRUE(facts::exact_of(store).usable) << seed;

        std::vector<std::u32string> queries = words;
        for (const auto& w : words) {
            queries.push_back(w.substr(0, w.size() / 2));  // mostly nodes without a payload
            queries.push_back(w + U"b");
            std::u32string changed = w;
            changed[rng() % w.size()] = U'c';
            queries.push_back(changed);
        }
        auto index = lookup::TermIndex::make(store, {});
        ASSERT_TRUE(index.has_value());
        size_t found = 0;
        for (const auto& q : queries) {
            const std::string text = utf8_of(q);
            const auto fast = walk_terms(store, text, 0, std::nullopt, WalkKernel::Fastest);
            const auto plain = walk_terms(store, text, 0, std::nullopt, WalkKernel::OneWay);
            ASSERT_TRUE(fast && plain);
            ASSERT_EQ(fast->size(), plain->size()) << text;
            for (size_t i = 0; i < fast->size(); ++i) {
                EXPECT_EQ((*fast)[i].term, (*plain)[i].term);
                EXPECT_EQ((*fast)[i].node, (*plain)[i].node);
                EXPECT_EQ((*fast)[i].distance, 0u);
            }
            const auto nodes = walk_nodes(store, text, 0, true, std::nullopt, WalkKernel::Fastest);
            ASSERT_TRUE(nodes);
            ASSERT_EQ(nodes->size(), plain->size());
            // Code points: a surrogate in them is no U+FFFD, as in the text, and is then
            // looked up by walking.
            const std::vector<uint32_t> cps(q.begin(), q.end());
            if (q.find(char32_t{0xD800}) == std::u32string::npos) {
                const uint32_t node = index->find(store, cps);
                EXPECT_EQ(node, plain->empty() ? lookup::kNoNode : static_cast<uint32_t>((*plain)[0].node)) << text;
            } else if (std::ranges::find(words, q) != words.end()) {
                EXPECT_NE(index->find(store, cps), lookup::kNoNode) << text;
            }
            found += plain->size();
        }
        EXPECT_GE(found, words.size() / 2);  // the words themselves, surrogates aside
    }
}

// Slots and texts of any content, a table with no free slot among them: every lookup
// ends, reads inside the arrays (the sanitizer build checks), and names a node only where
// a slot's text is the query.
TEST(ExactTable, AnyTableIsReadSafely) {
    std::mt19937_64 rng(7);
    const std::vector<std::string> queries = {"", "a", "ab", "abc", std::string(300, 'x')};
    for (int round = 0; round < 300; ++round) {
        facts::Exact t;
        t.usable = true;
        std::vector<uint8_t> texts(rng() % 40);
        for (auto& b : texts) b = rng() % 4 == 0 ? 0x80 | (rng() & 0x7F) : "\x01\x02\x03" "abcx"[rng() % 7];
        std::vector<facts::ExactSlot> slots(1 + rng() % 17);
        for (auto& s : slots) {
            const uint64_t h = facts::exact_hash(queries[rng() % queries.size()]);
            s.tag = rng() % 2 ? static_cast<uint32_t>(h >> 32) : static_cast<uint32_t>(rng());
            s.node = static_cast<uint32_t>(rng() % 5);
            s.text = rng() % 3 == 0 ? static_cast<uint32_t>(rng()) : static_cast<uint32_t>(rng() % (texts.size() + 2));
        }
        t.slots = std::move(slots);
        t.texts = std::move(texts);
        for (const auto& q : queries) {
            const uint32_t node = t.find(q);
            if (node == facts::kNotFound) continue;
            // The query's bytes follow that slot's length (of one to five bytes).
            bool named = false;
            for (const auto& s : t.slots) {
                for (size_t at = size_t{s.text} + 1; s.node == node && at <= size_t{s.text} + 5; ++at) {
                    named = named || (at + q.size() <= t.texts.size() &&
                                      std::equal(q.begin(), q.end(), t.texts.begin() + static_cast<std::ptrdiff_t>(at)));
                }
            }
            EXPECT_TRUE(named) << "round " << round << " query " << q;
        }
    }
}

// A slot whose tag is the query's but whose text is another term names nothing.
TEST(ExactTable, TagAloneIsNoMatch) {
    facts::Exact t;
    t.usable = true;
    t.nodes = 13;
    const uint64_t h = facts::exact_hash("cat");
    t.texts = std::vector<uint8_t>{3, 'c', 'a', 'r', 3, 'c', 'a', 't'};
    std::vector<facts::ExactSlot> slots(8, facts::ExactSlot{0, 0, facts::ExactSlot::kEmpty});
    slots[h & 7] = {static_cast<uint32_t>(h >> 32), 11, 0};
    t.slots = slots;
    EXPECT_EQ(t.find("cat"), facts::kNotFound);
    slots[(h + 1) & 7] = {static_cast<uint32_t>(h >> 32), 12, 4};
    t.slots = slots;
    EXPECT_EQ(t.find("cat"), 12u);
    EXPECT_EQ(t.find("car"), facts::kNotFound);
    t.nodes = 12;  // a table read from a file may name a node past the store's
    EXPECT_EQ(t.find("cat"), facts::kNotFound);
}

}  // namespace
}  // namespace brindlex
