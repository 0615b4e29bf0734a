// Matching inside titles: the term lookups over every word start of a term, not only its
// beginning. A word starts after each run of separators (whitespace, punctuation) in the
// trie's text; its "tail" is the term's text from there to the end. The tails of every
// term (its first word excepted, which the store itself holds) form a trie of their own,
// whose nodes name the terms (nodes of the main store) they come from; the term's text is
// climbed back from its node through `parents`, so no text is held twice.
//
// A term's word distance is the smallest distance of any of its tails (for completion,
// the prefix edit distance); words_suggest and words_complete merge it with the store's
// own answer, each term once at its better distance, ranked as lookup.hpp ranks.
//
// Arrays (all laid out to be used in place, core/mapped):
//   nodes    one WordNode per node in breadth-first order, so that the children of a node
//            are consecutive, then one closing node holding the ends of the last ranges
//            and, as its label, the depth of the deepest node;
//   terms    the term nodes of each word node, largest own count first;
//   parents  for each node of the main store, its parent (the root's is 0);
//   separators  the trie's characters that separate words, rising (files written before
//            they were kept have none, and their searches take the slower route).
// Beside them, made in memory wherever the arrays come from: each word node's height
// (the labels on its longest path down), which lets a search leave out the subtrees
// whose tails are all too short to come within the bound of the query.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "core/lookup/lookup.hpp"
#include "core/lookup/term_index.hpp"
#include "core/store/array.hpp"
#include "core/store/store.hpp"
#include "core/walk/walk.hpp"

namespace brindlex::lookup {

struct WordNode {
    uint32_t first_child;  // its children are nodes [first_child, the next node's first_child)
    uint32_t first_term;   // its terms are terms[first_term, the next node's first_term)
    uint32_t label;        // the character on the edge into it (0 for the root)
    uint32_t best;         // the largest own count of a term at or below it
};

class Words {
public:
    struct Parts {
        Array<WordNode> nodes;
        Array<uint32_t> terms;
        Array<uint32_t> parents;
        Array<uint32_t> separators;
        bool knows_separators = false;
    };

    // Heights are kept to this, which stands for it or more.
    static constexpr uint8_t kTallest = UINT8_MAX;

    bool empty() const { return nodes_.empty(); }
    // Word nodes, the closing one not counted.
    size_t node_count() const { return nodes_.empty() ? 0 : nodes_.size() - 1; }
    const WordNode& node(size_t v) const { return nodes_[v]; }
    uint32_t max_depth() const { return nodes_.empty() ? 0 : nodes_.back().label; }
    std::span<const uint32_t> terms_of(size_t v) const {
        return terms_.span().subspan(nodes_[v].first_term, nodes_[v + 1].first_term - nodes_[v].first_term);
    }
    uint32_t parent(uint32_t main_node) const { return parents_[main_node]; }
    // The child of v labelled `label`, or none: the labels of a node's children rise.
    std::optional<uint32_t> child(size_t v, uint32_t label) const {
        uint32_t lo = nodes_[v].first_child, hi = nodes_[v + 1].first_child;
        const uint32_t end = hi;
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2;
            if (nodes_[mid].label < label) lo = mid + 1; else hi = mid;
        }
        if (lo < end && nodes_[lo].label == label) return lo;
        return std::nullopt;
    }
    // Labels on the longest path down from node v, capped (kTallest: that many or more).
    uint32_t height(size_t v) const { return heights_[v]; }
    // Whether some tail through node v, at depth `depth`, has at least `length` labels.
    bool reaches(size_t v, uint64_t depth, uint64_t length) const {
        const uint8_t h = heights_[v];
        return h == kTallest || depth + h >= length;
    }

    bool knows_separators() const { return knows_separators_; }
    bool is_separator(uint32_t c) const { return std::binary_search(separators_.begin(), separators_.end(), c); }

    Parts parts() const { return {nodes_, terms_, parents_, separators_, knows_separators_}; }
    // Arrays as core/mapped reads them back, after check_words.
    static Words from_parts(Parts p);

    size_t memory_bytes() const {
        return nodes_.capacity() * sizeof(WordNode) +
               (terms_.capacity() + parents_.capacity() + separators_.capacity()) * sizeof(uint32_t) + heights_.capacity();
    }
    size_t borrowed_bytes() const {
        return nodes_.borrowed_bytes() + terms_.borrowed_bytes() + parents_.borrowed_bytes() +
               separators_.borrowed_bytes();
    }

private:
    friend Result<Words> make_words(const TrieStore&, const TermIndex&, std::span<const uint32_t>);
    void make_heights();
    Array<WordNode> nodes_;
    Array<uint32_t> terms_;
    Array<uint32_t> parents_;
    Array<uint32_t> separators_;
    bool knows_separators_ = false;
    std::vector<uint8_t> heights_;
};

// The word structures of a store (a tree from the root, children numbered after their
// parents, as the package lays stores out) whose separators are `separators` (sorted
// scalar values). Fails, naming the fault, for any other store.
Result<Words> make_words(const TrieStore& store, const TermIndex& index, std::span<const uint32_t> separators);

// What every query relies on and cannot check as it goes: ranges that nest and rise,
// children after their parents, terms that are term nodes of `store`, parents that climb
// to the root. One linear pass; the error says what is wrong.
// The store is given by its arrays (node_shifts, child_labels, child_transitions,
// has_payload), already checked to form a tree with children numbered after parents.
struct StoreArrays {
    std::span<const uint32_t> shifts;
    std::span<const uint32_t> labels;
    std::span<const uint32_t> transitions;
    std::span<const uint8_t> has_payload;
};
Result<void> check_words(std::span<const WordNode> nodes, std::span<const uint32_t> terms,
                         std::span<const uint32_t> parents, const StoreArrays& store);

// The text of a term node as the trie spells it (UTF-8), climbed through the parents.
void term_text(const TrieStore& store, const Words& words, uint32_t node, std::string& out);

// suggest (lookup.hpp) over the terms and their word starts alike.
Result<std::vector<TermHit>> words_suggest(const TrieStore& store, const TermIndex& index, const Words& words,
                                           std::string_view query, uint32_t max_dist, uint64_t n, EditRule rule);

// fuzzy_complete (lookup.hpp) over the terms and their word starts alike.
Result<std::vector<TermHit>> words_complete(const TrieStore& store, const TermIndex& index, const Words& words,
                                            std::span<const uint32_t> prefix, uint32_t max_dist, uint64_t n,
                                            EditRule rule);

}  // namespace brindlex::lookup
