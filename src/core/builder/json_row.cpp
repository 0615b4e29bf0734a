// The fast reader of a JSON-lines catalogue row.
#include <string>
#include <string_view>

#include "core/builder/catalogue.hpp"
#include "core/builder/row_fields.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::build {

namespace {

// A recursive-descent reader of the one JSON object a row is, taking only what it can
// take without doubt; `false` leaves the line to the slow reader.
class JsonRow {
public:
    JsonRow(std::string_view text, std::string& scratch) : s_(text), scratch_(scratch) {}

    bool read(Row& row) {
        row = Row{};
        scratch_.clear();
        // Decoded strings go into scratch, whose buffer must not move while views exist.
        scratch_.reserve(s_.size());
        bool seen[4] = {false, false, false, false};
        Value values[4];
        skip_ws();
        if (!eat('{')) return false;
        skip_ws();
        if (!eat('}')) {
            for (;;) {
                skip_ws();
                std::string_view key;
                if (!string(key)) return false;
                skip_ws();
                if (!eat(':')) return false;
                skip_ws();
                int slot = key == "term" ? 0 : key == "count" ? 1 : key == "video_id" ? 2 : key == "video_count" ? 3 : -1;
                if (slot < 0 || seen[slot]) return false;
                seen[slot] = true;
                if (!value(values[slot])) return false;
                skip_ws();
                if (eat(',')) continue;
                if (eat('}')) break;
                return false;
            }
        }
        skip_ws();
        if (at_ != s_.size()) return false;

        // The checks of a row, each failure left to the slow reader for its message.
        if (!seen[0] || !seen[1] || values[0].type != Value::String || values[1].type != Value::Number) return false;
        row.term = values[0].text;
        if (!plain_term(row.term) || !parse_u32(values[1].text, row.count)) return false;
        const Value& vid = values[2];
        const Value& vcount = values[3];
        if (!seen[2] || vid.type == Value::Null || (vid.type == Value::String && vid.text.empty())) {
            return !seen[3] || vcount.type == Value::Null || (vcount.type == Value::Number && vcount.text == "0");
        }
        if (vid.type == Value::String) {
            if (!video_from_text(vid.text, row)) return false;
        } else if (vid.type == Value::Number) {
            uint32_t id = 0;
            if (!parse_u32(vid.text, id)) return false;
            row.video = VideoKey::int32(id);
            row.kind = IdKind::Integer;
            row.has_video = true;
            row.id_text = vid.text;
        } else {
            return false;
        }
        return seen[3] && vcount.type == Value::Number && parse_u32(vcount.text, row.video_count);
    }

private:
    struct Value {
        enum Type { None, String, Number, Null } type = None;
        std::string_view text;
    };

    void skip_ws() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n')) ++at_;
    }
    bool eat(char c) {
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool value(Value& v) {
        if (at_ >= s_.size()) return false;
        const char c = s_[at_];
        if (c == '"') {
            v.type = Value::String;
            return string(v.text);
        }
        if (s_.substr(at_, 4) == "null") {
            at_ += 4;
            v.type = Value::Null;
            return true;
        }
        // Only non-negative integers without a leading zero, no fraction or exponent.
        const size_t start = at_;
        while (at_ < s_.size() && is_digit(s_[at_])) ++at_;
        const size_t len = at_ - start;
        if (len == 0 || (len > 1 && s_[start] == '0')) return false;
        if (at_ < s_.size() && (s_[at_] == '.' || s_[at_] == 'e' || s_[at_] == 'E')) return false;
        v.type = Value::Number;
        v.text = s_.substr(start, len);
        return true;
    }

    // A string; its text points into the line when it has no escapes, else into scratch.
    bool string(std::string_view& out) {
        if (!eat('"')) return false;
        const size_t start = at_;
        while (at_ < s_.size() && s_[at_] != '"' && s_[at_] != '\\') {
            if (static_cast<unsigned char>(s_[at_]) < 0x20) return false;
            ++at_;
        }
        if (at_ >= s_.size()) return false;
        if (s_[at_] == '"') {
            out = s_.substr(start, at_ - start);
            ++at_;
            return true;
        }
        const size_t from = scratch_.size();
        scratch_.append(s_.substr(start, at_ - start));
        while (at_ < s_.size()) {
            const char c = s_[at_];
            if (c == '"') {
                ++at_;
                out = std::string_view(scratch_).substr(from);
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                scratch_.push_back(c);
                ++at_;
                continue;
            }
            if (at_ + 1 >= s_.size()) return false;
            const char e = s_[at_ + 1];
            at_ += 2;
            switch (e) {
                case '"': scratch_.push_back('"'); break;
                case '\\': scratch_.push_back('\\'); break;
                case '/': scratch_.push_back('/'); break;
                case 'b': scratch_.push_back('\b'); break;
                case 'f': scratch_.push_back('\f'); break;
                case 'n': scratch_.push_back('\n'); break;
                case 'r': scratch_.push_back('\r'); break;
                case 't': scratch_.push_back('\t'); break;
                case 'u': {
                    uint32_t cp = 0;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        uint32_t low = 0;
                        if (s_.substr(at_, 2) != "\\u") return false;
                        at_ += 2;
                        if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        return false;  // a lone surrogate: not text
                    }
                    utf8::append(scratch_, cp);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool hex4(uint32_t& out) {
        if (s_.size() - at_ < 4) return false;
        for (int i = 0; i < 4; ++i) {
            const int h = hex_value(s_[at_++]);
            if (h < 0) return false;
            out = out << 4 | static_cast<uint32_t>(h);
        }
        return true;
    }

    std::string_view s_;
    std::string& scratch_;
    size_t at_ = 0;
};

bool json_blank(std::string_view text) {
    // The ASCII characters str.strip() removes; other blank lines go the slow way.
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (!(u == ' ' || (u >= 0x09 && u <= 0x0D) || (u >= 0x1C && u <= 0x1F))) return false;
    }
    return true;
}

}  // namespace

LineKind parse_jsonl(std::string_view text, Row& row, std::string& scratch) {
    if (json_blank(text)) return LineKind::Blank;
    if (!utf8::valid(text)) return LineKind::Other;
    JsonRow reader(text, scratch);
    return reader.read(row) ? LineKind::Row : LineKind::Other;
}

}  // namespace brindlex::build
