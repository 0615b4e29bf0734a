// The Python-free steps of building a store from the six input sequences: the shape
// checks, the choice of video id list, and the assembly that ends with the aggregation
// pass. The binding converts the Python arguments and calls these in order, so that the
// checks fail in the same order as the conversions.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/failure.hpp"
#include "core/store/store.hpp"

namespace brindlex {

// Lengths of node_shifts, payloads and child_labels must agree, and every child index
// must be a node. Returns the ValueError message of the first failed check.
std::optional<std::string> check_shape(size_t node_shifts_len, size_t child_labels_len, size_t payloads_len,
                                       std::span<const uint32_t> child_transitions);

// The video_index entries, end to end, with the length of each.
struct VideoIndexBytes {
    std::vector<uint8_t> bytes;
    std::vector<size_t> lengths;
};

struct VideoIdList {
    IdMode mode = IdMode::Uuid;
    std::vector<VideoUuid> uuids;
    std::vector<uint32_t> int_ids;
};

// All entries 16 bytes: Uuid; all 4 bytes: Int32 (read little-endian); none: Uuid, empty.
// Anything else: the ValueError message.
std::expected<VideoIdList, std::string> choose_video_ids(const VideoIndexBytes& index);

// The converted fields of a store before aggregation.
struct StoreParts {
    std::vector<uint32_t> node_shifts;
    std::vector<uint32_t> child_labels;
    std::vector<uint32_t> child_transitions;
    PayloadTable payloads;  // absent slots for None
    VideoIdList videos;
};

// Assembles the store (has_payload from the present slots), runs the aggregation pass and
// finishes the store. Fails only on a child range that leaves child_transitions.
// `walk_order_tree`: the parts are a tree numbered in the walk's order, as the index
// builder lays them out (never parts from elsewhere); the reversed-term index, which reads
// only the shape, is then made on a second core while the payloads are aggregated.
Result<TrieStore> build_store(StoreParts parts, uint64_t video_top_n, bool walk_order_tree = false);

}  // namespace brindlex
