// Catalogue rows (term, count, video id, video count) read from TSV or JSON lines and
// merged into terms, streaming: lines are parsed in place, and only each distinct term,
// each distinct video and one small record per video row are kept.
//
// A catalogue repeats a term's count on each of its video rows: rows of one term must
// agree on the count (unless the catalogue adds them up) and name each video once.
// A TSV header of two columns (term, count) gives a catalogue without videos. A row with no video id gives a term with
// no video of its own. Video ids are UUIDs, unsigned 32-bit integers or text, one kind per
// file, which its first id decides: text once it is neither a UUID nor an integer, and
// then every later id is taken as text, as written (so "007" stays "007").
//
// The parsers here take the rows that are plainly well formed, which is nearly every
// row; any other line (a bad row, the TSV header, JSON that is not a flat object of the
// four keys with plain values, text that is not UTF-8) is left to the caller, which reads
// it the slow way and says exactly what is wrong with it. The checks that depend on
// earlier rows (one count per term, one listing per video, one kind of id) are made here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/builder/interner.hpp"
#include "core/builder/term_table.hpp"

namespace brindlex::build {

enum class IdKind : uint8_t { None, Uuid, Integer, Text };

struct Row {
    std::string_view term;
    uint32_t count = 0;
    bool has_video = false;
    VideoKey video;
    IdKind kind = IdKind::None;
    std::string_view id_text;  // the video id as written (a JSON integer in decimal)
    uint32_t video_count = 0;
};

enum class LineKind { Row, Blank, Other };

// Where the columns of a TSV row are: the positions of term, count, video_id, video_count;
// the last two kNoColumn in the form without videos, whose rows have two fields.
using Columns = std::array<uint8_t, 4>;
inline constexpr uint8_t kNoColumn = 0xFF;

// The text of a line as read (its "\n" already gone): without one "\r" at its end and,
// on line 1, without a byte order mark.
std::string_view line_text(std::string_view raw, uint64_t line);

// A TSV row after the header. `scratch` is unused for TSV; Row views point into `text`.
LineKind parse_tsv(std::string_view text, const Columns& at, Row& row);

// A JSON lines row; string values with escapes are decoded into `scratch`, which the
// Row's views may point into.
LineKind parse_jsonl(std::string_view text, Row& row, std::string& scratch);

// A problem that spans rows.
struct RowError {
    enum class Code : uint8_t { CountMismatch, VideoAgain, KindMismatch };
    Code code = Code::CountMismatch;
    uint64_t line = 0;
    std::string term;       // CountMismatch, VideoAgain
    uint32_t count = 0;     // CountMismatch: this row's
    uint32_t known = 0;     // CountMismatch: the earlier rows'
    uint64_t earlier = 0;   // the line of the earlier row (or of the first id, KindMismatch)
    std::string id_text;    // VideoAgain: the id as shown; KindMismatch: as written
    IdKind kind = IdKind::None;  // KindMismatch: this row's kind
    IdKind known_kind = IdKind::None;  // KindMismatch: the kind of the ids before
};

// The message of a RowError, the term written by `shown` (a quoted, shortened form).
template <class Shown>
std::string render(const RowError& e, Shown&& shown) {
    switch (e.code) {
        case RowError::Code::CountMismatch:
            return "term " + shown(e.term) + " has count " + std::to_string(e.count) + " here but " +
                   std::to_string(e.known) + " on line " + std::to_string(e.earlier) +
                   " (brindlex build --sum-counts adds them up)";
        case RowError::Code::VideoAgain:
            return "term " + shown(e.term) + " lists video " + e.id_text + " again (first on line " +
                   std::to_string(e.earlier) + ")";
        case RowError::Code::KindMismatch:
            break;
    }
    auto phrase = [](IdKind k) { return k == IdKind::Uuid ? "a UUID" : k == IdKind::Integer ? "an integer" : "text"; };
    auto plural = [](IdKind k) { return k == IdKind::Uuid ? "UUIDs" : k == IdKind::Integer ? "integers" : "text"; };
    // At most 80 characters of the id as written (digits may have any number of zeros).
    size_t cut = 0;
    for (size_t chars = 0; cut < e.id_text.size() && chars < 80; ++chars) {
        do ++cut; while (cut < e.id_text.size() && (static_cast<unsigned char>(e.id_text[cut]) & 0xC0) == 0x80);
    }
    const std::string id = cut == e.id_text.size() ? e.id_text : e.id_text.substr(0, cut) + "...";
    return "video id '" + id + "' is " + phrase(e.kind) + ", but the ids before it are " +
           plural(e.known_kind) + " (from line " + std::to_string(e.earlier) + "); a catalogue uses one kind" +
           (e.kind == IdKind::Text ? " (its first id decides: brindlex build --text-ids reads every id as text)" : "");
}

// The rows read so far, merged by term.
class Catalogue {
public:
    // With `sum_counts`, rows of one term add up their counts (saturating) instead of
    // having to agree.
    // With `text_ids`, every video id is text as written, whatever it reads as.
    explicit Catalogue(bool sum_counts = false, bool text_ids = false)
        : kind_(text_ids ? IdKind::Text : IdKind::None), sum_counts_(sum_counts) {}

    // Checks the row's count and id kind against the rows before it and keeps it.
    std::optional<RowError> add(uint64_t line, const Row& row);

    // The first row, in line order, that lists a video its term listed before. Repeats
    // are looked for once, over all rows, instead of row by row: call it after the last
    // row, and before reporting an error at a later line.
    std::optional<RowError> first_repeat() const;

    uint64_t rows() const { return rows_; }
    IdKind kind() const { return kind_; }
    uint64_t kind_line() const { return kind_line_; }
    size_t video_count() const { return videos_.size(); }
    size_t term_count() const { return term_lines_.size(); }
    std::string_view term(uint32_t t) const { return terms_[t]; }
    uint32_t count(uint32_t t) const { return counts_[t]; }
    // The line that first named term t (terms are numbered in that order).
    uint64_t term_line(uint32_t t) const { return term_lines_[t]; }

    // Each term in the order first met, with its videos in the order listed:
    // on_term(term number) then on_video(video number, video key, count) for each of its
    // videos; video numbers are in the order the rows first named them.
    // Releases the video rows.
    template <class OnTerm, class OnVideo>
    void entries(OnTerm&& on_term, OnVideo&& on_video) {
        const size_t n = term_lines_.size();
        std::vector<uint64_t> at;
        std::vector<uint32_t> order;
        grouped(at, order);
        for (size_t t = 0; t < n; ++t) {
            if (!on_term(static_cast<uint32_t>(t))) return;
            for (uint64_t k = at[t]; k < at[t + 1]; ++k) {
                const Listing& l = listings_[order[k]];
                on_video(l.video, videos_[l.video], l.count);
            }
        }
    }

    // The text ids in the order first named: the catalogue's int id n names text n.
    const TextInterner& text_ids() const { return text_ids_; }

    // Hands over the distinct terms and their counts (for a TermTable that takes them as
    // they are); term() is then no longer available, entries() still is.
    void take_terms(TextInterner& terms, std::vector<uint32_t>& counts) {
        terms = std::move(terms_);
        counts = std::move(counts_);
        terms_ = {};
        counts_ = {};
    }

    size_t memory_bytes() const;

private:
    struct Listing {
        uint32_t term;
        uint32_t video;
        uint32_t count;
        uint64_t line;
    };

    // Positions of listings_ grouped by term, in row order within each term; the group
    // of term t is [starts[t], starts[t + 1]).
    void grouped(std::vector<uint64_t>& starts, std::vector<uint32_t>& order) const;

    TextInterner terms_;
    std::vector<uint32_t> counts_;
    std::vector<uint64_t> term_lines_;
    VideoInterner videos_;
    TextInterner text_ids_;
    std::vector<Listing> listings_;
    // The term of the row before: rows of one term usually come together.
    std::string_view last_term_;
    uint32_t last_number_ = 0;
    IdKind kind_ = IdKind::None;
    uint64_t kind_line_ = 0;
    uint64_t rows_ = 0;
    bool sum_counts_ = false;
};

// The text of a video id as messages show it: decimal, or a lower-case UUID.
std::string id_text(const VideoKey& key);

// Splits a byte stream into lines as a binary file iterates them: each ends after a
// "\n", and the last may lack it.
class LineSplitter {
public:
    // Calls on_line(line without its "\n") for each line completed by `chunk`; stops and
    // returns false as soon as on_line does.
    template <class OnLine>
    bool feed(std::string_view chunk, OnLine&& on_line) {
        while (!chunk.empty()) {
            const size_t nl = chunk.find('\n');
            if (nl == std::string_view::npos) {
                carry_.append(chunk);
                return true;
            }
            bool go;
            if (carry_.empty()) {
                go = on_line(chunk.substr(0, nl));
            } else {
                carry_.append(chunk.substr(0, nl));
                go = on_line(std::string_view(carry_));
                carry_.clear();
            }
            if (!go) return false;
            chunk.remove_prefix(nl + 1);
        }
        return true;
    }

    // The last line when the stream did not end with "\n".
    template <class OnLine>
    bool finish(OnLine&& on_line) {
        if (carry_.empty()) return true;
        const bool go = on_line(std::string_view(carry_));
        carry_.clear();
        return go;
    }

private:
    std::string carry_;
};

}  // namespace brindlex::build
