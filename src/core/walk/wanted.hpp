// The labels a node's children need, when only a few can lead anywhere: a row kernel
// names them (walk/kernels.hpp) and a cursor whose child lists are ordered by label looks
// them up (walk/cursors.hpp) instead of the descent filling a row for every child.
#pragma once

#include <array>
#include <cstdint>

namespace brindlex::walk {

// The labels a node's children need, when only a few can lead anywhere: the descent then
// looks those up in a child list whose labels rise instead of filling a row per child.
struct Wanted {
    static constexpr uint32_t kMax = 6;
    static constexpr uint32_t kAny = UINT32_MAX;  // no restriction: every child is listed
    uint32_t count = kAny;  // or how many labels
    uint32_t next = 0;   // the first label not yet looked up
    std::array<uint32_t, kMax> labels;
};

}  // namespace brindlex::walk
