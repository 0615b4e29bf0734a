#include "core/builder/layout.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <numeric>
#include <utility>

#include "core/beside.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::build {

namespace {

// Sorts (head, term) pairs by head, stably: a radix sort, a byte a pass from the lowest,
// skipping the bytes every head shares. Linear, where comparing sorts spend most of
// their time on branches no predictor can guess.
void sort_by_head(std::vector<std::pair<uint64_t, uint32_t>>& keyed) {
    constexpr size_t kDigits = 8, kBuckets = 256;
    std::vector<std::array<size_t, kBuckets>> counts(kDigits);
    for (auto& c : counts) c.fill(0);
    for (const auto& [head, t] : keyed) {
        for (size_t d = 0; d < kDigits; ++d) ++counts[d][head >> (8 * d) & 0xFF];
    }
    std::vector<std::pair<uint64_t, uint32_t>> other(keyed.size());
    for (size_t d = 0; d < kDigits; ++d) {
        auto& c = counts[d];
        if (std::find(c.begin(), c.end(), keyed.size()) != c.end()) continue;  // one value: nothing moves
        size_t at = 0;
        for (size_t& slot : c) at += std::exchange(slot, at);
        for (const auto& item : keyed) other[c[item.first >> (8 * d) & 0xFF]++] = item;
        keyed.swap(other);
    }
}

}  // namespace

std::expected<LaidOut, std::string> lay_out(TermTable& terms) {
    const size_t n_terms = terms.term_count();
    const VideoInterner& videos = terms.videos();
    for (size_t v = 1; v < videos.size(); ++v) {
        if (videos[v].size != videos[0].size) return std::unexpected("video ids of both forms in one index");
    }

    // The terms' video lists (grouped, summed and ordered by count) are made on a second
    // core while the trie is laid out: they read and consume only the video rows, the
    // layout only the terms' texts.
    TermTable::Lists lists;
    bool lists_failed = false;  // no memory beside: the rows may be consumed, so no second try
    auto make_lists = [&]() noexcept {
        try {
            lists = terms.take_lists();
        } catch (const std::bad_alloc&) {
            lists_failed = true;
        }
    };
    Beside beside(terms.video_rows() >= kWorthAThread, make_lists);

    // In code point order (UTF-8 byte order is the same), each term shares with its
    // predecessor exactly the prefix already in the trie; the rest are new nodes.
    // Sorted on each term's first eight bytes as one big-endian number (terms hold no
    // U+0000, so padding with zeros puts a shorter term first), then on the whole text.
    std::vector<std::pair<uint64_t, uint32_t>> keyed(n_terms);
    for (uint32_t t = 0; t < n_terms; ++t) {
        const std::string_view text = terms.term(t);
        uint64_t head = 0;
        for (size_t i = 0; i < 8; ++i) head = head << 8 | (i < text.size() ? static_cast<uint8_t>(text[i]) : 0u);
        keyed[t] = {head, t};
    }
    sort_by_head(keyed);
    // Terms that share their first eight bytes, by the rest.
    for (size_t i = 0, j = 0; i < keyed.size(); i = j) {
        for (j = i + 1; j < keyed.size() && keyed[j].first == keyed[i].first;) ++j;
        if (j - i > 1) {
            std::sort(keyed.begin() + static_cast<ptrdiff_t>(i), keyed.begin() + static_cast<ptrdiff_t>(j),
                      [&](const auto& a, const auto& b) { return terms.term(a.second) < terms.term(b.second); });
        }
    }
    std::vector<uint32_t> ordered(n_terms);
    for (size_t k = 0; k < n_terms; ++k) ordered[k] = keyed[k].second;
    keyed = {};

    // The nodes a term adds: its characters after the prefix it shares with the term
    // before it, counted first so that the arrays are made once at their length.
    auto shared = [&](std::string_view prev, std::string_view term) {
        const size_t m = std::min(prev.size(), term.size());
        size_t common = static_cast<size_t>(
            std::mismatch(prev.begin(), prev.begin() + static_cast<ptrdiff_t>(m), term.begin()).first - prev.begin());
        // Back to the start of the character that differs.
        while (common > 0 && common < term.size() && (static_cast<uint8_t>(term[common]) & 0xC0) == 0x80) --common;
        return common;
    };
    uint64_t total = 1;
    {
        std::string_view prev;
        for (uint32_t t : ordered) {
            const std::string_view term = terms.term(t);
            total += utf8::count_scalars(term.substr(shared(prev, term)));
            prev = term;
        }
    }
    if (total > UINT32_MAX) return std::unexpected("index too large: more than " + std::to_string(UINT32_MAX) + " nodes");
    const size_t n = static_cast<size_t>(total);

    LaidOut out;
    std::vector<uint32_t>& labels = out.parts.child_labels;
    labels.assign(n, 0);
    std::vector<uint32_t> parents(n, 0);
    out.term_nodes.assign(n_terms, 0);
    // path: (end byte, node) of each character of the current term; the root ends at 0.
    std::vector<std::pair<size_t, uint32_t>> path{{0, 0}};
    std::string_view prev;
    uint32_t next = 1;
    for (uint32_t t : ordered) {
        const std::string_view term = terms.term(t);
        const size_t common = shared(prev, term);
        while (path.back().first > common) path.pop_back();
        const auto* bytes = reinterpret_cast<const unsigned char*>(term.data());
        for (size_t i = common; i < term.size() && next < n;) {
            // The terms were checked; a byte that breaks that promise is one U+FFFD.
            uint32_t cp = utf8::kReplacement;
            const size_t width = std::max<size_t>(1, utf8::decode_one(bytes + i, term.size() - i, cp));
            labels[next] = cp;
            parents[next] = path.back().second;
            i += width;
            path.emplace_back(i, next++);
        }
        out.term_nodes[t] = path.back().second;
        prev = term;
    }

    // Children grouped by parent, in node order (a counting sort): node v's list starts
    // after the children of every node numbered below v.
    std::vector<uint32_t>& shifts = out.parts.node_shifts;
    shifts.assign(n, 0);
    {
        std::vector<uint32_t> kids(n + 1, 0);
        for (size_t v = 1; v < n; ++v) ++kids[parents[v] + 1];
        for (size_t v = 0; v < n; ++v) kids[v + 1] += kids[v];
        std::copy(kids.begin(), kids.end() - 1, shifts.begin());
        out.parts.child_transitions.resize(n == 0 ? 0 : n - 1);
        for (size_t v = 1; v < n; ++v) out.parts.child_transitions[kids[parents[v]]++] = static_cast<uint32_t>(v);
    }
    parents = {};

    // Payloads in node order: term nodes rise with the code point order of their terms.
    beside.join();
    if (!beside.started()) {
        lists = terms.take_lists();
    } else if (lists_failed) {
        throw std::bad_alloc();  // as take_lists would have here
    }
    if (lists.ids.size() > UINT32_MAX) {
        return std::unexpected("index too large: more than " + std::to_string(UINT32_MAX) + " video entries");
    }
    std::vector<uint8_t> present(n, 0);
    std::vector<uint32_t> counts(n, 0);
    std::vector<uint32_t> ends(n, 0);
    std::vector<uint32_t> ids(lists.ids.size());
    std::vector<uint32_t> video_counts(lists.ids.size());
    uint32_t end = 0;
    size_t k = 0;
    for (size_t v = 0; v < n; ++v) {
        if (k < n_terms && out.term_nodes[ordered[k]] == v) {
            const uint32_t t = ordered[k++];
            const uint64_t b = lists.starts[t];
            const uint64_t e = lists.starts[t + 1];
            std::copy(lists.ids.begin() + static_cast<ptrdiff_t>(b), lists.ids.begin() + static_cast<ptrdiff_t>(e),
                      ids.begin() + end);
            std::copy(lists.counts.begin() + static_cast<ptrdiff_t>(b), lists.counts.begin() + static_cast<ptrdiff_t>(e),
                      video_counts.begin() + end);
            end += static_cast<uint32_t>(e - b);
            present[v] = 1;
            counts[v] = terms.count(t);
        }
        ends[v] = end;
    }
    lists = {};
    // The terms' own lists, each kept (aggregation makes the table the store keeps).
    out.parts.payloads = PayloadTable::whole(std::move(present), std::move(counts), std::move(ends), std::move(ids),
                                             std::move(video_counts), std::vector<uint64_t>((n + 63) / 64, 0));

    VideoIdList& id_list = out.parts.videos;
    if (videos.size() > 0 && videos[0].size == 4) {
        id_list.mode = IdMode::Int32;
        id_list.int_ids.reserve(videos.size());
        for (size_t v = 0; v < videos.size(); ++v) id_list.int_ids.push_back(videos[v].int_value());
    } else {
        id_list.uuids.reserve(videos.size());
        for (size_t v = 0; v < videos.size(); ++v) id_list.uuids.push_back(videos[v].bytes);
    }
    return out;
}

std::expected<Built, std::string> build_store_of(TermTable&& terms, uint64_t video_top_n) {
    std::vector<uint32_t> counts;
    LaidOut laid;
    {
        TermTable table = std::move(terms);
        auto done = lay_out(table);
        if (!done) return std::unexpected(std::move(done.error()));
        laid = std::move(*done);
        counts.resize(table.term_count());
        for (size_t t = 0; t < counts.size(); ++t) counts[t] = table.count(static_cast<uint32_t>(t));
    }
    auto store = build_store(std::move(laid.parts), video_top_n, /*walk_order_tree=*/true);
    if (!store) return std::unexpected(store.error().message);
    Built built{std::move(*store), std::move(laid.term_nodes), std::move(counts), {}};

    bool any_full = false;
    for (size_t v = 0; v < built.store.payloads.size() && !any_full; ++v) any_full = built.store.payloads.count(v) == kCountMax;
    if (!any_full) return built;
    auto index = lookup::TermIndex::make(built.store, {});
    if (index && index->saturated()) {
        for (size_t t = 0; t < built.term_counts.size(); ++t) {
            const uint32_t node = built.term_nodes[t];
            const uint32_t count = built.term_counts[t];
            if (index->own_count(built.store, node) != count) built.count_fixes.push_back({node, count});
        }
        std::sort(built.count_fixes.begin(), built.count_fixes.end(),
                  [](const lookup::CountFix& a, const lookup::CountFix& b) { return a.node < b.node; });
    }
    return built;
}

}  // namespace brindlex::build
