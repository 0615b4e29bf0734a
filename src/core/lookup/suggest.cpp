// Suggestions, best first, from the walk: a walk with bound b finds every term within b,
// and each of them ranks above every term beyond b, so as soon as one bound yields n terms
// the best n are among them, whatever bounds were tried before. Bounds grow 1, 2, 3, 6,
// 12, ... up to max_dist: small bounds cost a fraction of the next one, and a query with
// many close matches never pays for the wide walk. Bound 0 comes first only for n = 1:
// it finds one term at most.
#include <algorithm>
#include <optional>

#include "core/lookup/lookup.hpp"
#include "core/walk/walk.hpp"

namespace brindlex::lookup {

Result<std::vector<TermHit>> suggest(const TrieStore& store, const TermIndex& index, std::string_view query,
                                     uint32_t max_dist, uint64_t n, EditRule rule) {
    std::vector<TermHit> out;
    if (n == 0) return out;
    uint32_t bound = n == 1 ? 0 : std::min<uint32_t>(1, max_dist);
    while (true) {
        auto found = walk_terms(store, query, bound, std::nullopt, WalkKernel::Fastest, rule);
        if (!found) return std::unexpected(std::move(found.error()));
        if (bound == max_dist || found->size() >= n || found->size() >= index.term_count()) {
            out.reserve(found->size());
            for (TermMatch& m : *found) {
                const auto node = static_cast<uint32_t>(m.node);
                out.push_back({std::move(m.term), node, m.distance, index.own_count(store, node)});
            }
            break;
        }
        const uint32_t next = bound < 3 ? bound + 1 : bound * 2;
        bound = next > bound && next < max_dist ? next : max_dist;
    }

    auto better = [](const TermHit& a, const TermHit& b) {
        if (a.distance != b.distance) return a.distance < b.distance;
        if (a.count != b.count) return a.count > b.count;
        return a.term < b.term;  // UTF-8 byte order is code-point order
    };
    if (n < out.size()) {
        std::partial_sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), better);
        out.resize(n);
    } else {
        std::sort(out.begin(), out.end(), better);
    }
    return out;
}

}  // namespace brindlex::lookup
