// The walk's entry points: decode the term, size the table, pick the row kernel and the
// child cursor that fit the store, and run the one descent (walk/descent.hpp).
#include "core/walk/walk.hpp"

#include <limits>

#include "core/text/utf8.hpp"
#include "core/walk/descent.hpp"
#include "core/walk/facts.hpp"

namespace brindlex {

namespace {

using walk::Query;

// The breadth-first entries for a tree store and the fastest walk; the checked arrays
// otherwise.
template <class Record, class Kernel>
Result<std::vector<Record>> with_cursor(const TrieStore& store, const walk::Facts& facts, Kernel& kernel,
                                        const Query& q, bool fast) {
    if (fast && facts.tree) {
        walk::EntryCursor cursor(facts.entries, {0, facts.root_count});
        return walk::descend<Record>(cursor, kernel, q);
    }
    walk::CheckedCursor cursor(store);
    return walk::descend<Record>(cursor, kernel, q);
}

template <class Record>
Result<std::vector<Record>> run(const TrieStore& store, std::string_view text, uint32_t max_dist,
                                bool payload_only, std::optional<uint64_t> limit, WalkKernel choice) {
    const uint64_t cap = limit.value_or(std::numeric_limits<uint64_t>::max());
    // A limit of 0 and a store without nodes give an empty result without a look at
    // anything else.
    if (cap == 0 || store.node_shifts.empty()) return std::vector<Record>{};
    const std::vector<uint32_t> term = utf8::decode(text);
    // No node of a tree store lies deeper than max_depth, and a node at depth d is at
    // least L - d from the term: a term longer than that plus the bound matches nothing,
    // however large a table it would otherwise need.
    const walk::Facts& facts = walk::facts_of(store);
    if (facts.tree && term.size() > facts.max_depth + uint64_t{max_dist}) return std::vector<Record>{};
    const Query q{term.size(), walk::plan_table(term.size(), max_dist, facts.max_depth), payload_only, cap};
    const bool fast = choice == WalkKernel::Fastest;
    if (fast && term.size() <= walk::kMaxLevelTerm && q.plan.bound <= walk::kMaxLevelBound) {
        auto with = [&]<uint32_t Levels>() {
            walk::LevelRows<Levels> kernel(term, q.plan);
            return with_cursor<Record>(store, facts, kernel, q, true);
        };
        switch (q.plan.bound) {
            case 0: return with.template operator()<1>();
            case 1: return with.template operator()<2>();
            case 2: return with.template operator()<3>();
            case 3: return with.template operator()<4>();
            default: return with.template operator()<0>();
        }
    }
    if (q.plan.narrow) {
        walk::CellRows<uint16_t> kernel(term, q.plan);
        return with_cursor<Record>(store, facts, kernel, q, fast);
    }
    walk::CellRows<uint32_t> kernel(term, q.plan);
    return with_cursor<Record>(store, facts, kernel, q, fast);
}

}  // namespace

Result<std::vector<TermMatch>> walk_terms(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          std::optional<uint64_t> limit, WalkKernel kernel) {
    return run<TermMatch>(store, term, max_dist, true, limit, kernel);
}

Result<std::vector<NodeMatch>> walk_nodes(const TrieStore& store, std::string_view term, uint32_t max_dist,
                                          bool payload_only, std::optional<uint64_t> limit, WalkKernel kernel) {
    return run<NodeMatch>(store, term, max_dist, payload_only, limit, kernel);
}

}  // namespace brindlex
