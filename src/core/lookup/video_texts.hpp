// Text video ids: the caller's ids of an index whose engine knows its videos by 32-bit
// numbers. The engine's int id n names text n, which is kept as UTF-8 with end offsets
// (text i between end i-1, or 0, and end i), so that a mapped file answers from its
// bytes and only the ids of results become Python strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/store/array.hpp"

namespace brindlex::lookup {

// The longest text id, in bytes of UTF-8.
inline constexpr size_t kMaxVideoText = 255;

// Whether `text` can be a text video id: 1..255 bytes of UTF-8 without control
// characters (C0, DEL, C1).
bool valid_video_text(std::string_view text);

class VideoTexts {
public:
    VideoTexts() = default;
    VideoTexts(Array<uint32_t> ends, Array<char> text) : ends_(std::move(ends)), text_(std::move(text)) {}

    // Packs `texts` (each already valid) in their order into `out`; false when they
    // add up to more than 4 GiB, which 32-bit offsets cannot end.
    template <class Texts>
    static bool of(const Texts& texts, size_t count, VideoTexts& out) {
        std::vector<uint32_t> ends;
        std::vector<char> text;
        ends.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const std::string_view t = texts[i];
            if (t.size() > UINT32_MAX - text.size()) return false;
            text.insert(text.end(), t.begin(), t.end());
            ends.push_back(static_cast<uint32_t>(text.size()));
        }
        out = VideoTexts(std::move(ends), std::move(text));
        return true;
    }

    // Whether the index has text ids at all (an index of int or UUID ids has none).
    bool present() const { return !ends_.empty(); }
    size_t size() const { return ends_.size(); }
    // Text `i`; requires i < size() and the offsets checked (check_video_texts).
    std::string_view at(size_t i) const {
        const uint32_t begin = i == 0 ? 0 : ends_[i - 1];
        return {text_.data() + begin, ends_[i] - begin};
    }
    const Array<uint32_t>& ends() const { return ends_; }
    const Array<char>& text() const { return text_; }
    size_t memory_bytes() const { return ends_.capacity() * 4 + text_.capacity(); }
    size_t borrowed_bytes() const { return ends_.borrowed_bytes() + text_.borrowed_bytes(); }

private:
    Array<uint32_t> ends_;
    Array<char> text_;
};

// What is wrong with a table read from a file, or empty when it is sound: the offsets
// rise, the last ends the text, every id is a valid text id (so they are not empty and
// are text), and every int id of the engine (`int_ids`) names one of them.
std::string check_video_texts(std::span<const uint32_t> ends, std::span<const char> text,
                              std::span<const uint32_t> int_ids);

}  // namespace brindlex::lookup
