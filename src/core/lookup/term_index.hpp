// What the term lookups need beyond the store's eight fields, derived once from a store:
// the number of terms, each node's own count (its aggregated total minus its children's
// totals), and for each node the largest own count of any term in its subtree, the bound
// that lets completion go best first and stop early.
//
// Only stores whose labelled child lists form a tree from the root are accepted: a node
// reached twice would make completion list it twice, and a loop would never end. Indexes
// laid out by the package always are trees.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "core/store/array.hpp"
#include "core/store/store.hpp"

namespace brindlex::lookup {

inline constexpr uint32_t kNoNode = UINT32_MAX;

// A term's own count where subtraction cannot give it: under a total that saturated at
// 4294967295, the children's totals no longer add up to the parent's.
struct CountFix {
    uint32_t node;
    uint32_t count;
};

class TermIndex;

// What a TermIndex holds, for writing it out and reading it back (core/mapped).
struct TermIndexParts {
    Array<uint32_t> best;
    Array<CountFix> fixes;
    uint64_t terms = 0;
    bool saturated = false;
    bool distinct_labels = true;

    static TermIndexParts of(const TermIndex& index);
    TermIndex make() &&;
};

class TermIndex {
public:
    // Fails, naming the first fault, when the store is not a tree from the root or a
    // read would leave its arrays. `fixes` must be sorted by node, nodes distinct.
    static Result<TermIndex> make(const TrieStore& store, std::vector<CountFix> fixes);

    // Nodes a walk reports as terms: labelled, reached from the root, with a payload.
    uint64_t term_count() const { return terms_; }

    // The term's own count: 0 for a node without a payload of its own. Requires a node
    // of the store this index was made from.
    uint32_t own_count(const TrieStore& store, uint32_t node) const;

    // The largest own count of a term at or below `node` (0 when there is none).
    uint32_t best_below(uint32_t node) const { return best_[node]; }

    // Whether some total saturated, so that own counts may need fixing.
    bool saturated() const { return saturated_; }

    // The first node in walk order whose term is `term` (scalar values) and that has a
    // payload of its own, or kNoNode.
    uint32_t find(const TrieStore& store, std::span<const uint32_t> term) const;

    // Every node whose term is `prefix`, payload or not, in walk order (the root for the
    // empty prefix). One at most in a trie laid out by the package.
    void spelling(const TrieStore& store, std::span<const uint32_t> prefix, std::vector<uint32_t>& out) const;

    size_t memory_bytes() const { return best_.capacity() * sizeof(uint32_t) + fixes_.capacity() * sizeof(CountFix); }
    size_t borrowed_bytes() const { return best_.borrowed_bytes() + fixes_.borrowed_bytes(); }

private:
    uint32_t subtracted_count(const TrieStore& store, uint32_t node) const;

    friend struct TermIndexParts;
    Array<uint32_t> best_;  // per node; 0 for nodes never reached
    Array<CountFix> fixes_;
    uint64_t terms_ = 0;
    bool saturated_ = false;
    // No two labelled children of one node share a label: a lookup then follows one path.
    bool distinct_labels_ = true;
};

}  // namespace brindlex::lookup
