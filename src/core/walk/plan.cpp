#include "core/walk/plan.hpp"

#include <algorithm>
#include <new>

#include "core/walk/facts.hpp"

namespace brindlex::walk {

TablePlan plan_table(uint64_t term_length, uint32_t max_dist, uint64_t max_depth) {
    // Past this the table could not have even two rows within the cap; checking it first
    // keeps every sum below overflow (L < 2^32, max_dist < 2^32).
    if (term_length >= kMaxTableCells) throw std::bad_alloc();
    const uint64_t L = term_length;
    const uint64_t M = max_dist;
    TablePlan p{};
    p.width = L + 1;
    if (max_depth == Facts::kUnbounded) {
        p.rows = L + M + 2;
        p.last_row = p.rows - 1;
        p.bound = max_dist;
    } else {
        p.rows = std::min(L + M, max_depth) + 2;
        p.last_row = std::min(p.rows - 1, max_depth);
        p.bound = static_cast<uint32_t>(std::min(M, std::max(L, max_depth)));
    }
    if (p.rows > kMaxTableCells / p.width) throw std::bad_alloc();
    p.narrow = L <= 0xFFFF && p.last_row <= 0xFFFF;
    return p;
}

}  // namespace brindlex::walk
