#include "core/text/video_id_text.hpp"

#include <charconv>

namespace brindlex {

size_t write_uuid_text(const VideoUuid& id, std::span<char, kUuidTextLength> out) {
    constexpr char kHex[] = "0123456789abcdef";
    size_t pos = 0;
    for (size_t i = 0; i < id.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out[pos++] = '-';
        out[pos++] = kHex[id[i] >> 4];
        out[pos++] = kHex[id[i] & 0x0F];
    }
    return pos;
}

size_t write_decimal_u32(uint32_t value, std::span<char, kDecimalU32TextMax> out) {
    // The span holds the longest value, so to_chars cannot run short of room.
    const auto written = std::to_chars(out.data(), out.data() + out.size(), value);
    return static_cast<size_t>(written.ptr - out.data());
}

std::optional<size_t> write_video_id_text(const TrieStore& store, uint32_t video,
                                          std::span<char, kVideoIdTextMax> out) {
    if (store.id_mode == IdMode::Uuid) {
        if (video >= store.video_uuids.size()) return std::nullopt;
        return write_uuid_text(store.video_uuids[video], out.first<kUuidTextLength>());
    }
    if (video >= store.video_int_ids.size()) return std::nullopt;
    return write_decimal_u32(store.video_int_ids[video], out.first<kDecimalU32TextMax>());
}

}  // namespace brindlex
