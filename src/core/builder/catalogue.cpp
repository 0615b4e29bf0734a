#include "core/builder/catalogue.hpp"

#include <algorithm>

#include "core/lookup/video_texts.hpp"
#include "core/payload/payload.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::build {

std::string_view line_text(std::string_view raw, uint64_t line) {
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (line == 1 && raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3);
    return raw;
}

bool valid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        while (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        const uint8_t b0 = p[i];
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        const size_t width = utf8::sequence_width(b0);
        if (width == 0 || n - i < width) return false;
        for (size_t k = 1; k < width; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
        }
        const uint8_t b1 = p[i + 1];
        // Overlong three- and four-byte forms, surrogates, and values above U+10FFFF.
        if ((b0 == 0xE0 && b1 < 0xA0) || (b0 == 0xED && b1 > 0x9F) || (b0 == 0xF0 && b1 < 0x90) ||
            (b0 == 0xF4 && b1 > 0x8F)) {
            return false;
        }
        i += width;
    }
    return true;
}

namespace {

constexpr uint32_t kU32Max = 0xFFFF'FFFFu;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Unsigned decimal digits (at least one) up to 4294967295.
bool parse_u32(std::string_view s, uint32_t& out) {
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (!is_digit(c)) return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > kU32Max) return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

// The value of each byte as a hex digit, or -1.
constexpr std::array<int8_t, 256> kHex = [] {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int c = 0; c < 10; ++c) t[static_cast<size_t>('0' + c)] = static_cast<int8_t>(c);
    for (int c = 0; c < 6; ++c) {
        t[static_cast<size_t>('a' + c)] = static_cast<int8_t>(10 + c);
        t[static_cast<size_t>('A' + c)] = static_cast<int8_t>(10 + c);
    }
    return t;
}();

int hex_value(char c) { return kHex[static_cast<unsigned char>(c)]; }

// 8-4-4-4-12 hex digits.
bool parse_uuid(std::string_view s, VideoKey& key) {
    if (s.size() != 36) return false;
    std::array<uint8_t, 16> bytes{};
    size_t k = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != '-') return false;
            ++i;
            continue;
        }
        const int hi = hex_value(s[i]);
        const int lo = hex_value(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[k++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    key = VideoKey::uuid(bytes.data());
    return true;
}

// A video id written as text: a UUID, an unsigned 32-bit integer or a text id (whose key
// the catalogue gives it).
bool video_from_text(std::string_view s, Row& row) {
    uint32_t value = 0;
    if (parse_uuid(s, row.video)) {
        row.kind = IdKind::Uuid;
    } else if (parse_u32(s, value)) {
        row.video = VideoKey::int32(value);
        row.kind = IdKind::Integer;
    } else if (lookup::valid_video_text(s) && s.find_first_not_of("0123456789") != std::string_view::npos) {
        row.kind = IdKind::Text;
    } else {
        return false;  // digits beyond 32 bits, or no valid text id: the slow reader says which
    }
    row.has_video = true;
    row.id_text = s;
    return true;
}

bool plain_term(std::string_view term) { return !term.empty() && term.find('\0') == std::string_view::npos; }

}  // namespace

LineKind parse_tsv(std::string_view text, const Columns& at, Row& row) {
    if (text.empty()) return LineKind::Blank;
    std::array<std::string_view, 4> fields;
    const size_t width = at[2] == kNoColumn ? 2 : 4;
    size_t k = 0;
    size_t start = 0;
    for (;;) {
        const size_t tab = text.find('\t', start);
        if (k == width) return LineKind::Other;
        fields[k++] = text.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    if (k != width || !valid_utf8(text)) return LineKind::Other;
    row = Row{};
    row.term = fields[at[0]];
    if (!plain_term(row.term) || !parse_u32(fields[at[1]], row.count)) return LineKind::Other;
    if (width == 2) return LineKind::Row;
    const std::string_view video = fields[at[2]];
    const std::string_view video_count = fields[at[3]];
    if (video.empty()) return video_count.empty() || video_count == "0" ? LineKind::Row : LineKind::Other;
    if (!video_from_text(video, row) || !parse_u32(video_count, row.video_count)) return LineKind::Other;
    return LineKind::Row;
}

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
    if (!valid_utf8(text)) return LineKind::Other;
    JsonRow reader(text, scratch);
    return reader.read(row) ? LineKind::Row : LineKind::Other;
}

std::string id_text(const VideoKey& key) {
    if (key.size == 4) return std::to_string(key.int_value());
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kHex[key.bytes[i] >> 4]);
        out.push_back(kHex[key.bytes[i] & 15]);
    }
    return out;
}

namespace {

RowError row_error(RowError::Code code, uint64_t line, std::string_view term) {
    RowError e;
    e.code = code;
    e.line = line;
    e.term = std::string(term);
    return e;
}

}  // namespace

std::optional<RowError> Catalogue::add(uint64_t line, const Row& row) {
    const VideoKey& video = row.video;
    if (row.has_video) {
        if (kind_ == IdKind::None) {
            kind_ = row.kind;
            kind_line_ = line;
        } else if (row.kind != kind_ && !(kind_ == IdKind::Text && lookup::valid_video_text(row.id_text))) {
            RowError e = row_error(RowError::Code::KindMismatch, line, {});
            e.earlier = kind_line_;
            e.id_text = std::string(row.id_text);
            e.kind = row.kind;
            e.known_kind = kind_;
            return e;
        }
    }
    ++rows_;
    bool added = false;
    uint32_t t = last_number_;
    if (rows_ == 1 || row.term != last_term_) {
        t = terms_.intern(row.term, added);
        last_term_ = terms_[t];
        last_number_ = t;
    }
    if (added) {
        counts_.push_back(row.count);
        term_lines_.push_back(line);
    } else if (sum_counts_) {
        counts_[t] = saturating_add(counts_[t], row.count);
    } else if (counts_[t] != row.count) {
        RowError e = row_error(RowError::Code::CountMismatch, line, row.term);
        e.count = row.count;
        e.known = counts_[t];
        e.earlier = term_lines_[t];
        return e;
    }
    if (!row.has_video) return std::nullopt;
    uint32_t v = 0;
    if (kind_ == IdKind::Text) {
        // Text ids are numbered in the order first met, as videos are: a text's number is
        // its video number and its key, and the one look-up serves both (videos_ is then
        // only the list of keys, never searched).
        v = text_ids_.intern(row.id_text, added);
        if (added) videos_.keys().push_back(VideoKey::int32(v));
    } else {
        v = videos_.intern(video, added);
    }
    listings_.push_back({t, v, row.video_count, line});
    return std::nullopt;
}

void Catalogue::grouped(std::vector<uint64_t>& starts, std::vector<uint32_t>& order) const {
    const size_t n = term_lines_.size();
    starts.assign(n + 1, 0);
    for (const Listing& l : listings_) ++starts[l.term + 1];
    for (size_t t = 0; t < n; ++t) starts[t + 1] += starts[t];
    order.resize(listings_.size());
    std::vector<uint64_t> next(starts.begin(), starts.end() - 1);
    for (size_t i = 0; i < listings_.size(); ++i) order[next[listings_[i].term]++] = static_cast<uint32_t>(i);
}

std::optional<RowError> Catalogue::first_repeat() const {
    std::vector<uint64_t> starts;
    std::vector<uint32_t> order;
    grouped(starts, order);
    // For each term, the listings of one video side by side (stably, so in row order):
    // the second of a run is a repeat, the first is where the video was listed first.
    const Listing* found = nullptr;
    uint64_t first_line = 0;
    std::vector<uint32_t> group;
    for (size_t t = 0; t + 1 < starts.size(); ++t) {
        const uint64_t b = starts[t];
        const uint64_t e = starts[t + 1];
        if (e - b < 2) continue;
        group.assign(order.begin() + static_cast<ptrdiff_t>(b), order.begin() + static_cast<ptrdiff_t>(e));
        std::stable_sort(group.begin(), group.end(),
                         [&](uint32_t x, uint32_t y) { return listings_[x].video < listings_[y].video; });
        for (size_t k = 1; k < group.size(); ++k) {
            const Listing& prev = listings_[group[k - 1]];
            const Listing& here = listings_[group[k]];
            if (prev.video != here.video) continue;
            if (k >= 2 && listings_[group[k - 2]].video == here.video) continue;  // a third listing
            if (!found || here.line < found->line) {
                found = &here;
                first_line = prev.line;
            }
        }
    }
    if (!found) return std::nullopt;
    RowError e = row_error(RowError::Code::VideoAgain, found->line, terms_[found->term]);
    e.id_text = kind_ == IdKind::Text ? "'" + std::string(text_ids_[videos_[found->video].int_value()]) + "'"
                                      : id_text(videos_[found->video]);
    e.earlier = first_line;
    return e;
}

size_t Catalogue::memory_bytes() const {
    return terms_.memory_bytes() + counts_.capacity() * 4 + term_lines_.capacity() * 8 + videos_.memory_bytes() +
           text_ids_.memory_bytes() + listings_.capacity() * sizeof(Listing);
}

}  // namespace brindlex::build
