// What is derived from a store's eight fields when the store is finished, and only then
// (finish_store, the last step of construction and of restoring): the facts the queries
// read (the walk, the term lookups). A layer between the store and the queries, which
// construction and decoding reach without the walk; never in a snapshot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/facts/exact.hpp"
#include "core/store/array.hpp"
#include "core/store/store.hpp"

namespace brindlex::facts {

// One labelled child in the breadth-first copy of a tree store's child lists. `info`
// packs the label (bits 0-20), has_payload (bit 21) and the capped height (bits 22-29);
// `node` is the child's number in the store. The entries' own children follow in runs,
// in entry order, so entry i's children are entries [first of i, first of i + 1): every
// array of entries ends with one closing entry that only holds the end of the last run.
// 12 bytes an entry: the walk reads one per child it looks at.
struct Entry {
    uint32_t info;
    uint32_t first;
    uint32_t node;

    static constexpr uint32_t kLabelMask = (1u << 21) - 1;
    static constexpr uint32_t kPayloadBit = 1u << 21;
    static constexpr unsigned kHeightShift = 22;

    uint32_t label() const { return info & kLabelMask; }
    bool has_payload() const { return (info & kPayloadBit) != 0; }
    uint32_t height() const { return info >> kHeightShift; }

    friend bool operator==(const Entry&, const Entry&) = default;
};

// How many children entry `e` has; `e` must not be the closing entry.
inline uint32_t child_count(const Entry& e) { return (&e)[1].first - e.first; }

// The entries of an array, its closing entry not counted.
inline size_t entry_count(std::span<const Entry> entries) { return entries.empty() ? 0 : entries.size() - 1; }

// How many labelled levels lie below a node, capped: kHeightUnknown means "at least that
// many", and is also what a cursor that knows no heights reports.
inline constexpr uint32_t kHeightUnknown = 255;

// The reversed-term index: entries as above, spelling terms from their end; a terminal
// entry (payload bit) names the forward node. The labels of its runs always rise. `usable` is false, with no entries, for a
// store that does not qualify (see facts/reversed.hpp).
struct Reversed {
    Array<Entry> entries;
    uint32_t root_count = 0;
    bool usable = false;
};

struct Facts {
    // Depth of the deepest node a walk can enter (labelled edges only), or kUnbounded
    // when the child lists reachable from the root contain a cycle.
    static constexpr uint64_t kUnbounded = UINT64_MAX;
    uint64_t max_depth = kUnbounded;

    // True when every read a walk can make from the root is in range and every node is
    // reached at most once from the root (the reachable child lists form a tree). Only
    // then are the entries made: a node reached twice would be copied once per path,
    // which can be exponential in the depth, and a subtree may be skipped by its height
    // only where skipping cannot hide a read that would have failed.
    bool tree = false;

    // For trees only: the labelled children of every reachable node in breadth-first
    // order, so that the nodes near the root, which almost every query visits, sit
    // together in memory, and each child list is one run. Entries [0, root_count) are
    // the root's children.
    Array<Entry> entries;
    uint32_t root_count = 0;
    // Whether the labels of every run of entries rise strictly (the layout the index
    // builder writes), so that a walk may look a label up instead of reading every child.
    bool rising = false;

    // The index of the terms spelt backwards that the split search walks (facts/
    // reversed.hpp), made for trees on first use by reversed_of, once: building and
    // restoring pay nothing for it, and a store never searched that way never holds it.
    mutable std::once_flag reversed_once;
    mutable Reversed reversed;

    // The exact-term table (facts/exact.hpp), made on first use as the reversed index is.
    mutable std::once_flag exact_once;
    mutable Exact exact;

    // Takes `made` as the reversed-term index, instead of making it on first use (for
    // facts read from an index file). Only before the facts are shared.
    void set_reversed(Reversed made) {
        reversed = std::move(made);
        std::call_once(reversed_once, [] {});
    }

    // The same for the exact-term table.
    void set_exact(Exact made) {
        exact = std::move(made);
        std::call_once(exact_once, [] {});
    }
};

// The facts of a finished store; for a store never finished, facts that know nothing
// (unbounded depth, no tree), with which the walk still answers correctly, only slower.
const Facts& facts_of(const TrieStore& store);

// The reversed-term index of a finished tree store, made on the first call (safe from any
// number of threads); an unusable one for any other store, or when there was no memory
// to make it. Never throws.
const Reversed& reversed_of(const TrieStore& store);

// Bytes of a store and of its facts, held in memory of their own, and viewed in memory a
// keeper owns (a mapped index file).
size_t memory_bytes(const TrieStore& store);
size_t borrowed_bytes(const TrieStore& store);

}  // namespace brindlex::facts

namespace brindlex {

// Finishes a store whose eight fields are final: derives the facts the queries need from
// them. The last step of construction and of restoring; a finished store is read-only, and
// a store changed afterwards must be finished again.
void finish_store(TrieStore& store);

// The same, taking `reversed` as the store's reversed-term index (made from the finished
// fields by build_reversed, as reversed_of would make it) when the store is a tree.
void finish_store(TrieStore& store, facts::Reversed&& reversed);

// Finishes a store with facts made elsewhere (read from an index file and checked there)
// instead of deriving them.
void adopt_facts(TrieStore& store, std::shared_ptr<const facts::Facts> facts);

}  // namespace brindlex
