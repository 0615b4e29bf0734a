// The catalogue reader of `brindlex build`, as the binding drives it: bytes in pieces of
// any size, split into lines, each line parsed (the plain rows; any other line would go
// to the slow reader and is skipped here), the rows merged into a Catalogue, then into a
// TermTable and built into a store.
//
// Checks: a row the parser takes is what its line says (its fields, read back); the
// line is text by a decoder of its own here, and a JSON line holds no raw control
// character in a string (as the slow reader, which decodes and parses the line in
// Python, would refuse it); the merged terms are the distinct terms of the rows taken;
// the built store has one term node per term, finds each of them and round-trips
// through a snapshot; the spellings shown for the terms folded in ASCII are those a
// plain count of each spelling chooses (the largest count, the earliest in code point
// order among equal ones).
//
// With summed counts, each term's count is the saturated sum of its rows' counts.
//
// Input: a settings byte (bit 0: JSON lines; bits 1-2: where the term column is; bits
// 3-5: piece size; bit 6: the TSV form of two columns, term and count; bit 7: summed
// counts), then the file's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "core/builder/catalogue.hpp"
#include "core/builder/layout.hpp"
#include "core/builder/spellings.hpp"
#include "core/text/utf8.hpp"
#include "core/lookup/term_index.hpp"

namespace {

using namespace brindlex;
using namespace brindlex::fuzz;

// The decimal text of a count as a TSV row writes it, without leading zeros.
std::string decimal(std::string_view digits) {
    size_t i = 0;
    while (i + 1 < digits.size() && digits[i] == '0') ++i;
    return std::string(digits.substr(i));
}

void check_tsv_row(std::string_view text, const build::Columns& at, const build::Row& row) {
    std::string_view fields[4];
    size_t k = 0;
    for (size_t start = 0; k < 4; ++k) {
        const size_t tab = text.find('\t', start);
        fields[k] = text.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    const bool two = at[2] == build::kNoColumn;
    check(k == (two ? 1u : 3u), "a TSV row has as many fields as the header names");
    check(fields[at[0]] == row.term, "the term is the term column");
    check(decimal(fields[at[1]]) == std::to_string(row.count), "the count is the count column");
    if (two) {
        check(!row.has_video, "a row of two columns has no video");
        return;
    }
    check(row.has_video == !fields[at[2]].empty(), "a row has a video when its id column is not empty");
    if (row.has_video) check(decimal(fields[at[3]]) == std::to_string(row.video_count), "the video count column");
}

// Whether `text` is UTF-8 that Python decodes: each sequence decoded to its value,
// which must be a scalar value written in the fewest bytes. Written apart from the
// reader's check, which this one checks.
bool reference_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto b0 = static_cast<uint8_t>(text[i]);
        size_t width = 0;
        uint32_t cp = 0;
        if (b0 < 0x80) {
            width = 1, cp = b0;
        } else if ((b0 >> 5) == 0x6) {
            width = 2, cp = b0 & 0x1Fu;
        } else if ((b0 >> 4) == 0xE) {
            width = 3, cp = b0 & 0x0Fu;
        } else if ((b0 >> 3) == 0x1E) {
            width = 4, cp = b0 & 0x07u;
        } else {
            return false;
        }
        if (text.size() - i < width) return false;
        for (size_t k = 1; k < width; ++k) {
            const auto b = static_cast<uint8_t>(text[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = cp << 6 | (b & 0x3Fu);
        }
        const uint32_t least = width == 1 ? 0 : width == 2 ? 0x80 : width == 3 ? 0x800 : 0x10000;
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += width;
    }
    return true;
}

// Whether a JSON line keeps every byte below 0x20 out of its strings.
bool no_raw_controls_in_strings(std::string_view text) {
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (in_string && c < 0x20) return false;
        if (in_string && c == '\\') {
            ++i;
            if (i < text.size() && static_cast<uint8_t>(text[i]) < 0x20) return false;
        } else if (c == '"') {
            in_string = !in_string;
        }
    }
    return true;
}

std::string ascii_folded(std::string_view term) {
    std::string out(term);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
}

// The spellings the index shows when the terms taken are folded in ASCII, against the
// rule worked out on its own: per folded term, every spelling's count summed (the
// folded spelling's own too), the largest wins, the earliest in byte order on a tie.
void check_spellings(const std::vector<std::pair<std::string, uint32_t>>& terms) {
    build::TermTable table;
    std::vector<build::Spelling> spelled;
    std::map<std::string, std::map<std::string, uint64_t>> sums;
    for (const auto& [term, count] : terms) {
        const std::string key = ascii_folded(term);
        const uint32_t t = table.add_term(key, count);
        if (key != term) spelled.push_back({t, term, count});
        sums[key][term] += count;
    }
    const auto shown = build::shown_spellings(std::move(spelled), table);
    std::map<std::string, std::string> got;
    for (const auto& [t, text] : shown) got[std::string(table.term(t))] = text;
    std::map<std::string, std::string> want;
    for (const auto& [key, per] : sums) {
        if (per.size() == 1 && per.begin()->first == key) continue;
        const std::string* best = nullptr;
        uint64_t most = 0;
        for (const auto& [text, sum] : per) {  // in byte order
            if (!best || sum > most) best = &text, most = sum;
        }
        if (*best != key) want[key] = *best;
    }
    check(got == want, "the spelling shown is the one with the largest count, the earliest on a tie");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brindlex;
    using namespace brindlex::fuzz;
    if (size == 0) return 0;
    const uint8_t settings = data[0];
    const bool jsonl = settings & 1;
    const size_t term_at = (settings >> 1) & 3;
    const size_t piece = 1 + ((settings >> 3) & 7);
    const bool two = settings & 0x40;
    const bool sum = settings & 0x80;
    build::Columns at{0, 1, 2, 3};
    std::swap(at[0], at[term_at]);
    if (two) at = {static_cast<uint8_t>(term_at & 1), static_cast<uint8_t>(1 - (term_at & 1)), build::kNoColumn, build::kNoColumn};
    const std::string_view file(reinterpret_cast<const char*>(data + 1), size - 1);

    build::Catalogue cat(sum);
    build::LineSplitter lines;
    std::string scratch;
    std::set<std::string> taken;
    std::map<std::string, uint64_t> sums;  // with summed counts: each term's rows added up
    uint64_t line = 0;
    bool stopped = false;
    auto on_line = [&](std::string_view raw) {
        ++line;
        const std::string_view text = build::line_text(raw, line);
        if (!jsonl && line == 1) return true;  // the header: the slow reader's
        build::Row row;
        const build::LineKind kind = jsonl ? build::parse_jsonl(text, row, scratch) : build::parse_tsv(text, at, row);
        if (kind != build::LineKind::Row) return true;
        check(!row.term.empty() && row.term.find('\0') == std::string_view::npos, "a plain term");
        check(utf8::valid(row.term), "terms are UTF-8");
        check(reference_utf8(text), "a line taken is text");
        if (jsonl) check(no_raw_controls_in_strings(text), "a JSON line taken holds no raw control character in a string");
        if (!jsonl) check_tsv_row(text, at, row);
        if (cat.add(line, row)) {
            stopped = true;
            return false;
        }
        taken.insert(std::string(row.term));
        sums[std::string(row.term)] += row.count;
        return true;
    };
    for (size_t i = 0; i < file.size() && !stopped; i += piece) {
        if (!lines.feed(file.substr(i, piece), on_line)) break;
    }
    if (!stopped) lines.finish(on_line);
    (void)cat.first_repeat();

    check(cat.term_count() == taken.size(), "one term per distinct term taken");
    if (sum) {
        for (uint32_t t = 0; t < cat.term_count(); ++t) {
            const uint64_t want = std::min<uint64_t>(sums[std::string(cat.term(t))], 0xFFFF'FFFFu);
            check(cat.count(t) == want, "a term's count is its rows' counts added up, saturated");
        }
    }
    build::TermTable table;
    uint32_t current = 0;
    cat.entries([&](uint32_t t) { return current = table.add_term(cat.term(t), cat.count(t)), true; },
                [&](uint32_t, const build::VideoKey& key, uint32_t count) {
                    table.add_video(current, table.video_number(key), count);
                });
    std::vector<std::string> terms;
    std::vector<std::pair<std::string, uint32_t>> counted;
    for (size_t t = 0; t < table.term_count(); ++t) {
        terms.emplace_back(table.term(static_cast<uint32_t>(t)));
        counted.emplace_back(terms.back(), table.count(static_cast<uint32_t>(t)));
    }
    check_spellings(counted);
    auto built = build::build_store_of(std::move(table), 3);
    check(built.has_value(), "a catalogue of one id kind builds");
    auto index = lookup::TermIndex::make(built->store, {});
    check(index.has_value(), "the built store is a tree");
    check(index->term_count() == terms.size(), "one term node per term");
    for (size_t t = 0; t < terms.size(); ++t) {
        const auto scalars = utf8::decode(terms[t]);
        check(index->find(built->store, scalars) == built->term_nodes[t], "each term is found at its node");
    }
    check_round_trip(built->store);
    return 0;
}
