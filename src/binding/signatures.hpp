// The parameters of every method of PrefixSearch, in order, with their defaults: the one
// place they are written. Argument binding, the "argument 'NAME': " prefixes and the text
// signatures (__text_signature__) all read them from here.
#pragma once

#include <array>

#include "binding/args.hpp"

namespace brindlex::py::sig {

inline constexpr std::array<Param, 6> kFromInternalParams = {{{"node_shifts"},
                                                              {"child_labels"},
                                                              {"payloads"},
                                                              {"child_transitions"},
                                                              {"video_index"},
                                                              {"video_top_n"}}};
inline constexpr Signature kFromInternal{"PrefixSearch.from_internal_data_v2()", "from_internal_data_v2(",
                                         kFromInternalParams};

inline constexpr Signature kToBytes{"PrefixSearch.to_bytes()", "to_bytes($self", {}};

inline constexpr std::array<Param, 1> kFromBytesParams = {{{"b"}}};
inline constexpr Signature kFromBytes{"PrefixSearch.from_bytes()", "from_bytes(", kFromBytesParams};

// fuzzy_match's parameters are the first three of fuzzy_match_video's.
inline constexpr std::array<Param, 5> kQueryParams = {
    {{"term"}, {"max_dist", "1"}, {"limit", "None"}, {"include_prefix_nodes", "None"}, {"min_score", "None"}}};
enum QueryParam : size_t { kTerm, kMaxDist, kLimit, kIncludePrefixNodes, kMinScore };

inline constexpr Signature kFuzzyMatch{"PrefixSearch.fuzzy_match()", "fuzzy_match(",
                                       std::span<const Param>(kQueryParams).first(3)};
inline constexpr Signature kFuzzyMatchVideo{"PrefixSearch.fuzzy_match_video()", "fuzzy_match_video(", kQueryParams};

}  // namespace brindlex::py::sig
