#include "core/lookup/video_texts.hpp"

#include "core/lookup/spellings.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::lookup {

bool valid_video_text(std::string_view text) {
    if (text.empty() || text.size() > kMaxVideoText || !utf8::valid(text)) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<uint8_t>(text[i]);
        if (b < 0x20 || b == 0x7F) return false;
        // U+0080..U+009F are encoded 0xC2 0x80..0x9F.
        if (b == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) <= 0x9F) return false;
    }
    return true;
}

std::string check_video_texts(std::span<const uint32_t> ends, std::span<const char> text,
                              std::span<const uint32_t> int_ids) {
    if (ends.empty()) return text.empty() ? "" : "text without offsets";
    if (ends.back() != text.size()) return "the offsets do not end the text";
    uint32_t begin = 0;
    for (const uint32_t end : ends) {
        if (end < begin) return "the offsets do not rise";
        if (!valid_video_text(std::string_view(text.data() + begin, end - begin))) {
            return "an id that is empty, too long, not UTF-8 or holds a control character";
        }
        begin = end;
    }
    for (const uint32_t id : int_ids) {
        if (id >= ends.size()) return "the engine names a video beyond the id table";
    }
    return "";
}

}  // namespace brindlex::lookup
