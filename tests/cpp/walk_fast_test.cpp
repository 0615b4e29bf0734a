// The fast descent (bit-parallel rows, per-position slots, subtree skipping) against the
// plain row-per-child walk: same records, same order, on random tries and terms of every
// length, including terms too long for one machine word and characters outside the BMP.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/facts/facts.hpp"
#include "core/walk/walk.hpp"
#include "support.hpp"

namespace brindlex {
namespace {

using namespace test;

// Both walk forms on one store and term, the fastest walk against the reference: same
// records, same order. Returns the number of term records compared.
size_t expect_same_as_reference(const TrieStore& s, const std::string& term, uint32_t k,
                                std::optional<uint64_t> limit) {
    auto fast = walk_terms(s, term, k, limit);
    auto ref = walk_terms(s, term, k, limit, WalkKernel::Reference);
    EXPECT_TRUE(fast && ref);
    if (!fast || !ref) return 0;
    EXPECT_EQ(fast->size(), ref->size()) << "term " << term << " k " << k;
    for (size_t i = 0; i < std::min(fast->size(), ref->size()); ++i) {
        EXPECT_EQ((*fast)[i].term, (*ref)[i].term);
        EXPECT_EQ((*fast)[i].node, (*ref)[i].node);
        EXPECT_EQ((*fast)[i].distance, (*ref)[i].distance) << "term " << term << " k " << k;
    }
    for (bool payload_only : {false, true}) {
        auto nf = walk_nodes(s, term, k, payload_only, limit);
        auto nr = walk_nodes(s, term, k, payload_only, limit, WalkKernel::Reference);
        EXPECT_TRUE(nf && nr);
        if (!nf || !nr) continue;
        EXPECT_EQ(nf->size(), nr->size());
        for (size_t i = 0; i < std::min(nf->size(), nr->size()); ++i) {
            EXPECT_EQ((*nf)[i].node, (*nr)[i].node);
            EXPECT_EQ((*nf)[i].distance, (*nr)[i].distance);
        }
    }
    return ref->size();
}

TEST(WalkFast, MatchesReferenceOnRandomTries) {
    RandomStores gen(7);
    size_t compared = 0;
    for (int round = 0; round < 150; ++round) {
        const TrieStore s = gen.tree(2 + gen.below(400));
        ASSERT_TRUE(facts::facts_of(s).tree);
        // The same fields never finished: no facts, so the checked descent on a plain table.
        const TrieStore unfinished = unfinished_copy(s);
        for (int q = 0; q < 12; ++q) {
            const std::string term = utf8_of(gen.term(q % 3 == 0 ? 90 : 12));
            for (uint32_t k : {0u, 1u, 2u, 3u, 5u, 40u}) {
                const std::optional<uint64_t> limit =
                    gen.below(4) == 0 ? std::optional<uint64_t>(gen.below(5)) : std::nullopt;
                compared += expect_same_as_reference(s, term, k, limit);
                // The unfinished copy against the finished store's reference.
                auto ref = walk_terms(s, term, k, limit, WalkKernel::Reference);
                auto plain = walk_terms(unfinished, term, k, limit);
                ASSERT_TRUE(ref && plain);
                ASSERT_EQ(plain->size(), ref->size()) << "term " << term << " k " << k;
                for (size_t i = 0; i < ref->size(); ++i) {
                    EXPECT_EQ((*plain)[i].term, (*ref)[i].term);
                    EXPECT_EQ((*plain)[i].distance, (*ref)[i].distance);
                }
            }
        }
    }
    EXPECT_GT(compared, 1000u);  // the comparison saw real matches, not only empty results
}

// The split search (stores laid out as the index builder does, bounds 1 to 3) against the
// reference walk, for every bound from 0 to 5: same records, order and distances, with
// limits that cut, terms beyond one machine word and characters outside the BMP.
TEST(WalkFast, SplitSearchMatchesReference) {
    RandomStores gen(11);
    size_t compared = 0;
    size_t rising = 0;
    for (int round = 0; round < 60; ++round) {
        TreeBuilder words;
        const size_t count = 1 + gen.below(300);
        for (size_t w = 0; w < count; ++w) words.word(gen.term(round % 5 == 0 ? 80 : 9) + U'a');
        if (round % 2 == 0) words.sort_children();
        const TrieStore s = words.build(words.preorder());
        ASSERT_TRUE(facts::reversed_of(s).usable);
        rising += facts::facts_of(s).rising ? 1 : 0;
        for (int q = 0; q < 15; ++q) {
            const std::string term = utf8_of(gen.term(q % 4 == 0 ? 90 : 10));
            for (uint32_t k : {0u, 1u, 2u, 3u, 4u, 5u}) {
                const std::optional<uint64_t> limit =
                    gen.below(3) == 0 ? std::optional<uint64_t>(gen.below(6)) : std::nullopt;
                compared += expect_same_as_reference(s, term, k, limit);
            }
        }
    }
    EXPECT_GT(compared, 5000u);
    EXPECT_GE(rising, 30u);  // half the stores have child lists the walk looks labels up in
}

// Numberings a tree can have: the builder's depth-first pre-order, the same with every
// child list visited backwards (child lists then run against the numbers), breadth-first.
std::vector<uint32_t> numbering(const TreeBuilder& b, int kind) {
    if (kind == 0) return b.preorder();
    std::vector<uint32_t> perm(b.size());
    uint32_t next = 0;
    if (kind == 1) {
        std::vector<uint32_t> stack{0};
        while (!stack.empty()) {
            const uint32_t v = stack.back();
            stack.pop_back();
            perm[v] = next++;
            for (uint32_t k : b.kids[v]) stack.push_back(k);
        }
        return perm;
    }
    std::vector<uint32_t> queue{0};
    for (size_t i = 0; i < queue.size(); ++i) {
        perm[queue[i]] = next++;
        for (uint32_t k : b.kids[queue[i]]) queue.push_back(k);
    }
    return perm;
}

// The split search on stores of every shape it must refuse or take: numberings other than
// the walk's order, a term spelt by two nodes, unlabelled edges with terms below them, and
// chains of terms past the length budget. Whichever walk serves, the answers are the
// reference's, in its order, cut by limits.
TEST(WalkFast, SplitSearchMatchesReferenceOnEveryLayout) {
    RandomStores gen(31);
    size_t compared = 0;
    size_t split = 0;
    size_t refused = 0;
    for (int round = 0; round < 120; ++round) {
        TreeBuilder b;
        std::vector<std::u32string> words;
        for (size_t w = 1 + gen.below(80); w > 0; --w) {
            words.push_back(gen.term(10) + U'a');
            b.word(words.back());
        }
        const auto shape = gen.below(4);
        if (shape == 1) {  // one term spelt twice: a second child with a sibling's label
            const uint32_t at = static_cast<uint32_t>(1 + gen.below(b.size() - 1));
            b.payload[at] = true;
            b.add(b.parent[at], static_cast<char32_t>(b.labels[at]), true);
            std::u32string spelt;
            for (uint32_t v = at; v != 0; v = b.parent[v]) spelt.insert(spelt.begin(), static_cast<char32_t>(b.labels[v]));
            words.assign(4, spelt);  // most queries near the term spelt twice
        } else if (shape == 2) {  // an unlabelled edge, terms below it
            uint32_t v = b.add(static_cast<uint32_t>(gen.below(b.size())), 0);
            for (char32_t c : words[0]) v = b.add(v, c, true);
        } else if (shape == 3) {  // a chain of terms: their total length outgrows the budget
            uint32_t v = 0;
            for (int d = 0; d < 60; ++d) v = b.add(v, U'b', true);
            words.push_back(std::u32string(40, U'b'));
        }
        if (gen.below(2) == 0) b.sort_children();
        const TrieStore s = b.build(numbering(b, static_cast<int>(gen.below(3))));
        (facts::reversed_of(s).usable ? split : refused) += 1;
        for (int q = 0; q < 10; ++q) {
            std::u32string term = words[gen.below(words.size())];
            // Edits in the head too: those terms only the backward half finds.
            for (uint64_t e = gen.below(3); e > 0 && !term.empty(); --e) {
                term[gen.below(gen.below(2) == 0 ? (term.size() + 1) / 2 : term.size())] = U'c';
            }
            for (uint32_t k : {1u, 2u, 3u}) {
                const std::optional<uint64_t> limit =
                    gen.below(3) == 0 ? std::optional<uint64_t>(1 + gen.below(3)) : std::nullopt;
                compared += expect_same_as_reference(s, utf8_of(term), k, limit);
            }
        }
    }
    EXPECT_GT(compared, 2000u);
    EXPECT_GT(split, 15u);    // stores the split search took
    EXPECT_GT(refused, 60u);  // and stores it refused
}

// Terms beyond one machine word take the banded rows: queries that are stored words with
// a few random edits, so that records at every distance up to the bound come back, against
// the reference's whole rows.
TEST(WalkFast, BandedRowsMatchReferenceOnLongTerms) {
    RandomStores gen(23);
    size_t compared = 0;
    size_t near = 0;
    for (int round = 0; round < 40; ++round) {
        TreeBuilder words;
        std::vector<std::u32string> stored;
        const size_t count = 1 + gen.below(60);
        for (size_t w = 0; w < count; ++w) {
            stored.push_back(gen.term(150) + std::u32string(64, U'a'));
            words.word(stored.back());
        }
        const TrieStore s = words.build(words.preorder());
        for (int q = 0; q < 10; ++q) {
            std::u32string term = stored[gen.below(stored.size())];
            for (uint64_t e = gen.below(12); e > 0 && !term.empty(); --e) {
                const size_t at = gen.below(term.size());
                switch (gen.below(3)) {
                    case 0: term.erase(at, 1); break;
                    case 1: term.insert(term.begin() + static_cast<std::ptrdiff_t>(at), U'b'); break;
                    default: term[at] = U'c';
                }
            }
            for (uint32_t k : {0u, 1u, 2u, 5u, 11u, 31u, 40u}) {
                const std::optional<uint64_t> limit =
                    gen.below(4) == 0 ? std::optional<uint64_t>(1 + gen.below(3)) : std::nullopt;
                compared += expect_same_as_reference(s, utf8_of(term), k, limit);
                if (auto found = walk_terms(s, utf8_of(term), k, std::nullopt)) {
                    for (const auto& m : *found) near += m.distance > 0;
                }
            }
        }
    }
    EXPECT_GT(compared, 500u);
    EXPECT_GT(near, 200u);  // not only exact matches
}

// The facts are those of the fields the store was finished with: a store changed and
// finished again is walked as it now is, here by the checked descent, which reports the
// broken read.
TEST(WalkFast, ChangedStoreFinishedAgainIsWalkedAsItIs) {
    TrieStore s = store_from_nodes({{0, {1}, {}}, {U'a', {2}, {}}, {U'b', {}, Payload{}}}, std::nullopt);
    ASSERT_TRUE(facts::facts_of(s).tree);
    ASSERT_EQ(walk_nodes(s, "", 60, false, std::nullopt)->size(), 2u);
    s.child_transitions.push_back(9999);  // node 2 now lists a child the slots do not cover
    finish_store(s);
    EXPECT_FALSE(facts::facts_of(s).tree);
    auto r = walk_nodes(s, "", 60, false, std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find("9999"), std::string::npos) << r.error().message;
}


// The walk's entries are the tree's labelled children in breadth-first order, whatever
// the numbering of its nodes: the same tree numbered three ways (depth-first pre-order,
// children after parents, at random) gives the same entries, once each entry's node is
// read back through the numbering.
TEST(WalkFast, EntriesDoNotDependOnNumbering) {
    std::mt19937_64 rng(11);
    auto below = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
    for (int round = 0; round < 200; ++round) {
        const uint32_t nodes = static_cast<uint32_t>(1 + below(round < 20 ? 8 : 300));
        std::vector<std::vector<uint32_t>> children(nodes);
        std::vector<uint32_t> label(nodes, 0);
        std::vector<uint8_t> payload(nodes);
        for (uint32_t v = 1; v < nodes; ++v) {
            const uint32_t parent = below(3) == 0 ? v - 1 : static_cast<uint32_t>(below(v));
            children[parent].push_back(v);
            label[v] = round % 3 == 0 && below(15) == 0 ? 0 : kAlphabet[below(kAlphabet.size())];
        }
        for (auto& list : children) std::shuffle(list.begin(), list.end(), rng);
        for (auto& p : payload) p = static_cast<uint8_t>(below(2));
        // Numberings, old node -> new node, the root staying 0.
        std::vector<uint32_t> preorder, after_parent(nodes), shuffled(nodes);
        std::vector<uint32_t> stack{0};
        while (!stack.empty()) {
            const uint32_t v = stack.back();
            stack.pop_back();
            preorder.push_back(v);
            stack.insert(stack.end(), children[v].rbegin(), children[v].rend());
        }
        std::vector<uint32_t> rank(nodes);
        for (uint32_t i = 0; i < nodes; ++i) rank[preorder[i]] = i;
        for (uint32_t v = 0; v < nodes; ++v) after_parent[v] = v;
        for (uint32_t v = 0; v < nodes; ++v) shuffled[v] = v;
        std::shuffle(shuffled.begin() + 1, shuffled.end(), rng);
        auto numbered = [&](const std::vector<uint32_t>& to) {
            std::vector<uint32_t> from(nodes);
            for (uint32_t v = 0; v < nodes; ++v) from[to[v]] = v;
            TrieStore s;
            for (uint32_t nv = 0; nv < nodes; ++nv) {
                const uint32_t v = from[nv];
                s.node_shifts.push_back(static_cast<uint32_t>(s.child_transitions.size()));
                for (uint32_t w : children[v]) s.child_transitions.push_back(to[w]);
                s.child_labels.push_back(label[v]);
                s.has_payload.push_back(payload[v]);
                s.payloads.push_absent();
            }
            finish_store(s);
            return std::pair{std::move(s), from};
        };
        const auto [base, base_from] = numbered(rank);
        const facts::Facts& want = facts::facts_of(base);
        ASSERT_TRUE(want.tree);
        for (const auto* to : {&after_parent, &shuffled}) {
            const auto [other, from] = numbered(*to);
            const facts::Facts& got = facts::facts_of(other);
            ASSERT_TRUE(got.tree);
            EXPECT_EQ(got.max_depth, want.max_depth);
            EXPECT_EQ(got.root_count, want.root_count);
            EXPECT_EQ(got.rising, want.rising);
            ASSERT_EQ(got.entries.size(), want.entries.size()) << "round " << round;
            for (size_t i = 0; i < want.entries.size(); ++i) {
                const facts::Entry& a = want.entries[i];
                const facts::Entry& b = got.entries[i];
                EXPECT_EQ(b.info, a.info) << "round " << round << " entry " << i;
                EXPECT_EQ(b.first, a.first) << "round " << round << " entry " << i;
                if (i + 1 < want.entries.size()) {
                    EXPECT_EQ(from[b.node], base_from[a.node]);  // the closing entry names no node
                }
            }
        }
    }
}

// Child lists that overlap name a node twice though each node comes in pre-order: node
// 3 is the root's third child and node 2's only one. No tree, and the walk reaches node
// 3 both ways, as the reference does.
TEST(WalkFast, OverlappingListsAreNoTree) {
    TrieStore s;
    s.node_shifts = {0, 3, 2, 3};
    s.child_transitions = {1, 2, 3};
    s.child_labels = {0, U'a', U'b', U'c'};
    s.has_payload = {0, 1, 1, 1};
    for (int i = 0; i < 4; ++i) s.payloads.push_absent();
    finish_store(s);
    EXPECT_FALSE(facts::facts_of(s).tree);
    auto fast = walk_nodes(s, "bc", 1, true, std::nullopt);
    auto ref = walk_nodes(s, "bc", 1, true, std::nullopt, WalkKernel::Reference);
    ASSERT_TRUE(fast && ref);
    ASSERT_EQ(fast->size(), ref->size());
    for (size_t i = 0; i < ref->size(); ++i) EXPECT_EQ((*fast)[i].node, (*ref)[i].node);
}

// Stores whose child lists share a node or return to the root get no walk entries (a copy
// per path could be exponential in the depth); trees get one entry per reachable child.
// Either way the walk answers as the reference does.
struct Shape {
    const char* name;
    std::vector<std::vector<uint32_t>> children;  // child lists by node; labels 'a' + node % 3
    bool tree;
};

std::vector<std::vector<uint32_t>> repeated_chain(uint32_t nodes, int copies) {
    std::vector<std::vector<uint32_t>> c(nodes);
    for (uint32_t v = 0; v + 1 < nodes; ++v) c[v].assign(copies, v + 1);
    return c;
}

std::vector<std::vector<uint32_t>> dense_dag(uint32_t nodes) {
    std::vector<std::vector<uint32_t>> c(nodes);
    for (uint32_t v = 0; v < nodes; ++v)
        for (uint32_t w = v + 1; w < nodes; ++w) c[v].push_back(w);
    return c;
}

class TreeDecision : public ::testing::TestWithParam<Shape> {};

TEST_P(TreeDecision, EntriesOnlyForTrees) {
    const Shape& shape = GetParam();
    TrieStore s;
    for (size_t v = 0; v < shape.children.size(); ++v) {
        s.node_shifts.push_back(static_cast<uint32_t>(s.child_transitions.size()));
        s.child_transitions.insert(s.child_transitions.end(), shape.children[v].begin(), shape.children[v].end());
        s.child_labels.push_back(static_cast<uint32_t>('a' + v % 3));
        s.has_payload.push_back(1);
        s.payloads.push_absent();
    }
    finish_store(s);
    EXPECT_EQ(facts::facts_of(s).tree, shape.tree);
    EXPECT_LE(facts::entry_count(facts::facts_of(s).entries), s.child_transitions.size());
    if (!shape.tree) {
        EXPECT_TRUE(facts::facts_of(s).entries.empty());
    }
    for (const char* term : {"bca", "ab"}) {
        auto fast = walk_nodes(s, term, 1, true, 50);
        auto ref = walk_nodes(s, term, 1, true, 50, WalkKernel::Reference);
        ASSERT_TRUE(fast && ref);
        ASSERT_EQ(fast->size(), ref->size());
        for (size_t i = 0; i < ref->size(); ++i) EXPECT_EQ((*fast)[i].node, (*ref)[i].node);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, TreeDecision,
    ::testing::Values(Shape{"chain", repeated_chain(64, 1), true},
                      Shape{"fan", {{1, 2, 3}, {}, {}, {}}, true},
                      Shape{"doubled_chain", repeated_chain(64, 2), false},
                      Shape{"tripled_chain", repeated_chain(30, 3), false},
                      Shape{"dense_dag", dense_dag(200), false},
                      Shape{"loop_through_root", {{1}, {2}, {0}}, false},
                      Shape{"shared_leaf", {{1, 2}, {3}, {3}, {}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindlex
