#include "core/builder/catalogue.hpp"

#include <algorithm>

#include "core/builder/row_fields.hpp"
#include "core/lookup/video_texts.hpp"
#include "core/payload/payload.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::build {

std::string_view line_text(std::string_view raw, uint64_t line) {
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (line == 1 && raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3);
    return raw;
}

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
    if (k != width || !utf8::valid(text)) return LineKind::Other;
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
        const auto by_video = [&](uint32_t x, uint32_t y) { return listings_[x].video < listings_[y].video; };
        if (group.size() <= 16) {
            // Most terms list a few videos: insertion, stable as the long sort is.
            for (size_t a = 1; a < group.size(); ++a) {
                const uint32_t item = group[a];
                size_t b = a;
                for (; b > 0 && by_video(item, group[b - 1]); --b) group[b] = group[b - 1];
                group[b] = item;
            }
        } else {
            std::stable_sort(group.begin(), group.end(), by_video);
        }
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
