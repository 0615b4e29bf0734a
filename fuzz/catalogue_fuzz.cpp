// The catalogue reader of `brindlex build`, as the binding drives it: bytes in pieces of
// any size, split into lines, each line parsed (the plain rows; any other line would go
// to the slow reader and is skipped here), the rows merged into a Catalogue, then into a
// TermTable and built into a store.
//
// Checks: a row the parser takes is what its line says (its fields, read back); the
// merged terms are the distinct terms of the rows taken; the built store has one term
// node per term, finds each of them and round-trips through a snapshot.
//
// Input: a settings byte (bit 0: JSON lines; bits 1-2: where the term column is; bits
// 3-7: piece size), then the file's bytes.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "core/build/catalogue.hpp"
#include "core/build/layout.hpp"
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
    check(k == 3, "a TSV row has four fields");
    check(fields[at[0]] == row.term, "the term is the term column");
    check(decimal(fields[at[1]]) == std::to_string(row.count), "the count is the count column");
    check(row.has_video == !fields[at[2]].empty(), "a row has a video when its id column is not empty");
    if (row.has_video) check(decimal(fields[at[3]]) == std::to_string(row.video_count), "the video count column");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brindlex;
    using namespace brindlex::fuzz;
    if (size == 0) return 0;
    const uint8_t settings = data[0];
    const bool jsonl = settings & 1;
    const size_t term_at = (settings >> 1) & 3;
    const size_t piece = 1 + (settings >> 3);
    build::Columns at{0, 1, 2, 3};
    std::swap(at[0], at[term_at]);
    const std::string_view file(reinterpret_cast<const char*>(data + 1), size - 1);

    build::Catalogue cat;
    build::LineSplitter lines;
    std::string scratch;
    std::set<std::string> taken;
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
        check(build::valid_utf8(row.term), "terms are UTF-8");
        if (!jsonl) check_tsv_row(text, at, row);
        if (cat.add(line, row)) {
            stopped = true;
            return false;
        }
        taken.insert(std::string(row.term));
        return true;
    };
    for (size_t i = 0; i < file.size() && !stopped; i += piece) {
        if (!lines.feed(file.substr(i, piece), on_line)) break;
    }
    if (!stopped) lines.finish(on_line);
    (void)cat.first_repeat();

    check(cat.term_count() == taken.size(), "one term per distinct term taken");
    build::TermTable table;
    uint32_t current = 0;
    cat.entries([&](uint32_t t) { return current = table.add_term(cat.term(t), cat.count(t)), true; },
                [&](uint32_t, const build::VideoKey& key, uint32_t count) {
                    table.add_video(current, table.video_number(key), count);
                });
    std::vector<std::string> terms;
    for (size_t t = 0; t < table.term_count(); ++t) terms.emplace_back(table.term(static_cast<uint32_t>(t)));
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
