#include "core/walk/plan.hpp"

#include <algorithm>
#include <string>

#include "core/facts/facts.hpp"

namespace brindlex::walk {

namespace {

[[noreturn]] void refuse(uint64_t term_length, uint32_t max_dist, const std::string& needed) {
    throw CapExceeded("a walk for a term of " + std::to_string(term_length) + " characters within " +
                      std::to_string(max_dist) + " edits needs " + needed + " bytes, more than its cap of " +
                      std::to_string(kMaxWalkBytes) + " bytes");
}

}  // namespace

TablePlan plan_table(uint64_t term_length, uint32_t max_dist, uint64_t max_depth) {
    // The decoded term alone would pass the cap; checking it first keeps every sum below
    // overflow (L < 2^28, max_dist < 2^32).
    if (term_length > kMaxWalkBytes / sizeof(uint32_t)) {
        refuse(term_length, max_dist, "more than " + std::to_string(kMaxWalkBytes));
    }
    const uint64_t L = term_length;
    const uint64_t M = max_dist;
    TablePlan p{};
    p.width = L + 1;
    if (max_depth == facts::Facts::kUnbounded) {
        p.rows = L + M + 2;
        p.last_row = p.rows - 1;
        p.bound = max_dist;
    } else {
        p.rows = std::min(L + M, max_depth) + 2;
        p.last_row = std::min(p.rows - 1, max_depth);
        p.bound = static_cast<uint32_t>(std::min(M, std::max(L, max_depth)));
    }
    p.band = std::min<uint64_t>(p.width, 2 * uint64_t{p.bound} + 1);
    p.narrow = L <= 0xFFFF && p.last_row <= 0xFFFF;
    // Cells of the kernel that will serve: banded ones hold values up to bound + 1.
    const uint64_t cell = banded(p) ? (p.bound < 0xFFFF ? 2 : 4) : (p.narrow ? 2 : 4);
    const uint64_t per_row = p.band * cell + kRowOverheadBytes;
    const uint64_t left = kMaxWalkBytes - L * sizeof(uint32_t);
    // rows < 2^33 and per_row < 2^31 here: the product fits.
    if (p.rows > left / per_row) refuse(L, max_dist, std::to_string(L * 4 + p.rows * per_row));
    return p;
}

}  // namespace brindlex::walk
