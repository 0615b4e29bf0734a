// The text form of a video id, as queries return it: a 16-byte id as lowercase UUID text
// (8-4-4-4-12 hex digits), a 32-bit id as its unsigned decimal. Written into the caller's
// buffer, so turning a ranked list into text allocates nothing per id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/store/store.hpp"

namespace brindlex {

inline constexpr size_t kUuidTextLength = 36;
inline constexpr size_t kDecimalU32TextMax = 10;  // 4294967295
// Room for the id text of either mode.
inline constexpr size_t kVideoIdTextMax = kUuidTextLength;

// Each returns the number of chars written.
size_t write_uuid_text(const VideoUuid& id, std::span<char, kUuidTextLength> out);
size_t write_decimal_u32(uint32_t value, std::span<char, kDecimalU32TextMax> out);

// The id text of video number `video` in the store's video id list, or nullopt when the
// list has no such entry.
std::optional<size_t> write_video_id_text(const TrieStore& store, uint32_t video,
                                          std::span<char, kVideoIdTextMax> out);

}  // namespace brindlex
