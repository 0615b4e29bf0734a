// The linear check of a version 2 index file (sections.hpp): what the queries rely on
// and cannot check as they go.
#include <algorithm>
#include <string>
#include <vector>

#include "core/facts/facts.hpp"
#include "core/lookup/video_texts.hpp"
#include "core/lookup/words.hpp"
#include "core/mapped/sections.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::mapped {

const char* name_of(Section id) {
    switch (id) {
        case Section::Meta: return "the index's figures";
        case Section::NodeShifts: return "node_shifts";
        case Section::ChildLabels: return "child_labels";
        case Section::ChildTransitions: return "child_transitions";
        case Section::HasPayload: return "has_payload";
        case Section::SlotPresent: return "the payload slots";
        case Section::SlotCounts: return "the payload counts";
        case Section::SlotAliases: return "the payload aliases";
        case Section::SlotEnds32:
        case Section::SlotEnds64: return "the payload list ends";
        case Section::SlotCountEnds: return "the payload count ends";
        case Section::VideoIds: return "the video lists";
        case Section::VideoCounts: return "the video counts";
        case Section::VideoUuids: return "the video UUIDs";
        case Section::VideoIntIds: return "the video int ids";
        case Section::WalkEntries: return "the walk's entries";
        case Section::ReversedEntries: return "the reversed-term index";
        case Section::BestBelow: return "the completion bounds";
        case Section::CountFixes: return "the count fixes";
        case Section::SpellingNodes:
        case Section::SpellingEnds:
        case Section::SpellingText: return "the spellings";
        case Section::VideoTextEnds:
        case Section::VideoText: return "the text video ids";
        case Section::WordNodes:
        case Section::WordTerms:
        case Section::TermParents:
        case Section::WordSeparators: return "the word starts";
        case Section::ExactSlots:
        case Section::ExactTexts: return "the exact-term table";
    }
    return "a section";
}

Result<void> fail(Section id, const std::string& what) {
    return internal_error(std::string(name_of(id)) + ": " + what + ": the file is damaged");
}

namespace {

// A run of entries nests as the walk reads it: entry i's children are entries
// [first_i, first_i+1), after i and after the root's run, the firsts never fall, and the
// closing entry ends the last run; so every entry is in at most one run and a walk only
// goes forward. Every node number names a node.
Result<void> check_entries(Section id, std::span<const facts::Entry> entries, uint64_t roots, uint64_t nodes) {
    if (entries.empty()) return fail(id, "no closing entry");
    const uint64_t count = entries.size() - 1;
    if (roots > count || entries[count].first != count) return fail(id, "the runs do not end where they should");
    // One pass without branches decides; only a damaged file pays for the pass that
    // names the entry at fault.
    uint64_t last = roots;
    bool bad = false;
    for (uint64_t i = 0; i < count; ++i) {
        const facts::Entry& e = entries[i];
        bad |= (e.first <= i) | (e.first < last) | (e.first > count) | (e.node >= nodes);
        last = e.first;
    }
    if (!bad) return {};
    last = roots;
    for (uint64_t i = 0; i < count; ++i) {
        const facts::Entry& e = entries[i];
        if (e.first <= i || e.first < last || e.first > count) return fail(id, "entry " + num(i) + " has its run out of order");
        if (e.node >= nodes) return fail(id, "entry " + num(i) + " names no node");
        last = e.first;
    }
    return {};
}

template <class T>
bool rising(std::span<const T> values, uint64_t limit) {
    bool bad = false;
    T last = 0;
    for (const T value : values) {
        bad |= (value > limit) | (value < last);
        last = value;
    }
    return !bad;
}

// The payload slots' ends as the table keeps them: a slot of its own holds the end of its
// lists, rising within `limit`; an alias shows the lists of the slot before it, and holds
// the number of the slot of its own those are (the slot before, or what that one names).
// The last end is that of all the entries. Requires a bit per slot in `aliases`.
template <class T>
bool slot_ends_sound(std::span<const T> ends, std::span<const uint64_t> aliases, uint64_t limit) {
    // Written without branches on the bits, which follow the data: selects instead.
    uint64_t last = 0;
    bool bad = false;
    bool before = false;  // whether the slot before is an alias
    for (size_t v = 0; v < ends.size(); ++v) {
        const bool aliased = (aliases[v / 64] >> (v % 64) & 1) != 0;
        const uint64_t end = ends[v];
        const uint64_t owner = before ? static_cast<uint64_t>(ends[v > 0 ? v - 1 : 0]) : v - 1;
        const bool alias_bad = v == 0 || end != owner;
        const bool own_bad = end > limit || end < last;
        bad |= aliased ? alias_bad : own_bad;
        last = aliased ? last : end;
        before = aliased;
    }
    // Every kept entry belongs to a slot: the snapshot written from the table is sized by
    // the kept entries and filled slot by slot, so the two must agree.
    return !bad && last == limit;
}

Result<void> no_tree() {
    return fail(Section::ChildTransitions, "the child lists are no tree numbered from the root");
}

// Every child numbered after its parent and listed once, so that the child lists form a
// tree from the root: the general rule, for lists in any order.
Result<void> tree_sound_anyhow(std::span<const uint32_t> shifts, std::span<const uint32_t> transitions) {
    const uint64_t n = shifts.size();
    const uint64_t m = transitions.size();
    std::vector<uint64_t> listed((n + 63) / 64, 0);
    for (uint64_t v = 0; v < n; ++v) {
        const uint64_t b = shifts[v];
        const uint64_t e = v + 1 < n ? shifts[v + 1] : m;
        if (b >= e) continue;
        if (e > m) return fail(Section::NodeShifts, "the children of node " + num(v) + " run past the child list");
        for (uint64_t pos = b; pos < e; ++pos) {
            const uint32_t c = transitions[pos];
            if (c >= n || c <= v || (listed[c / 64] >> (c % 64) & 1) != 0) return no_tree();
            listed[c / 64] |= uint64_t{1} << (c % 64);
        }
    }
    return {};
}

// The same rule for lists laid out in node order (`shifts` never falls), as every file
// this brindlex writes has them, at a fraction of the cost: the parent of position p is
// the last node whose list starts at or before p, so a scatter of the starts and a
// running maximum give every position's parent without a branch on the data.
Result<void> tree_sound(std::span<const uint32_t> shifts, std::span<const uint32_t> transitions) {
    const uint64_t n = shifts.size();
    const uint64_t m = transitions.size();
    bool falls = false;
    uint32_t last = 0;
    for (const uint32_t b : shifts) {
        falls |= b < last;
        last = b;
    }
    if (falls || last > m || shifts[0] != 0) return tree_sound_anyhow(shifts, transitions);
    std::vector<uint32_t> parent(m + 1, 0);
    for (uint64_t v = 0; v < n; ++v) parent[shifts[v]] = static_cast<uint32_t>(v);
    std::vector<uint64_t> listed((n + 63) / 64 + 1, 0);
    bool bad = false;
    uint32_t owner = 0;
    for (uint64_t pos = 0; pos < m; ++pos) {
        owner = std::max(owner, parent[pos]);
        const uint32_t c = transitions[pos];
        bad |= (c >= n) | (c <= owner);
        const uint64_t k = std::min<uint64_t>(c, n);  // past the last node: a spare bit
        uint64_t& word = listed[k / 64];
        bad |= (word >> (k % 64) & 1) != 0;
        word |= uint64_t{1} << (k % 64);
    }
    return bad ? no_tree() : Result<void>{};
}

}  // namespace

// What the two halves rely on: the figures, a root, and every per-node section sized by
// the nodes.
Result<void> check_shape(const Parsed& p) {
    const auto meta = p.as<uint64_t>(Section::Meta);
    if (meta.size() != kMetaCount) return fail(Section::Meta, "it holds " + num(meta.size()) + " values");
    const uint64_t flags = meta[kFlags];
    if (meta[kIdMode] > 1 || flags >= kKnownFlags) return fail(Section::Meta, "values this brindlex does not know");

    const uint64_t n = p.counts[static_cast<size_t>(Section::NodeShifts)];
    if (n == 0 || n >= lookup::kNoNode) return fail(Section::NodeShifts, "no root node, or too many nodes");
    for (const Section per_node : {Section::ChildLabels, Section::HasPayload, Section::SlotPresent, Section::SlotCounts,
                                   Section::BestBelow}) {
        if (p.counts[static_cast<size_t>(per_node)] != n) return fail(per_node, "not one entry per node");
    }
    return {};
}

// The two halves of the linear pass, each reading its own sections, so that they can run
// side by side; each requires check_shape.
Result<void> check_nodes(const Parsed& p) {
    const uint64_t flags = p.as<uint64_t>(Section::Meta)[kFlags];
    const auto shifts = p.as<uint32_t>(Section::NodeShifts);
    const uint64_t n = shifts.size();
    if (auto ok = tree_sound(shifts, p.as<uint32_t>(Section::ChildTransitions)); !ok) return ok;

    // The payload table: a bit per slot, slot 0 no alias, end offsets in range and rising,
    // aliases naming earlier slots of their own.
    const auto aliases = p.as<uint64_t>(Section::SlotAliases);
    if (aliases.size() != (n + 63) / 64 || (aliases[0] & 1) != 0) return fail(Section::SlotAliases, "the bits do not fit the slots");
    const auto ids = p.as<uint32_t>(Section::VideoIds);
    const auto counts = p.as<uint32_t>(Section::VideoCounts);
    const auto ends32 = p.as<uint32_t>(Section::SlotEnds32);
    const auto ends64 = p.as<uint64_t>(Section::SlotEnds64);
    const bool wide = !ends64.empty();
    if (wide ? (ends64.size() != n || !ends32.empty() || !slot_ends_sound(ends64, aliases, ids.size()))
             : (ends32.size() != n || !slot_ends_sound(ends32, aliases, ids.size()))) {
        return fail(Section::SlotEnds32, "the offsets do not rise within the lists, or leave entries to no slot");
    }
    const auto count_ends = p.as<uint64_t>(Section::SlotCountEnds);
    if ((flags & kSplitEnds) != 0 ? (count_ends.size() != n || !rising(count_ends, counts.size()) ||
                                     count_ends[n - 1] != counts.size())
                                  : (!count_ends.empty() || counts.size() != ids.size())) {
        return fail(Section::SlotCountEnds, "the offsets do not rise within the lists, or leave entries to no slot");
    }
    return {};
}

Result<void> check_terms(const Parsed& p) {
    const auto meta = p.as<uint64_t>(Section::Meta);
    const uint64_t flags = meta[kFlags];
    const uint64_t n = p.counts[static_cast<size_t>(Section::NodeShifts)];

    // The facts: the walk's entries for a tree, the reversed-term index beside them.
    const bool tree = (flags & kTree) != 0;
    const auto walk = p.as<facts::Entry>(Section::WalkEntries);
    const auto reversed = p.as<facts::Entry>(Section::ReversedEntries);
    if (tree) {
        if (meta[kMaxDepth] >= n) return fail(Section::Meta, "the depth is beyond the nodes");
        if (auto ok = check_entries(Section::WalkEntries, walk, meta[kRootCount], n); !ok) return ok;
    } else if (!walk.empty() || meta[kRootCount] != 0 || (flags & (kRising | kReversedUsable)) != 0) {
        return fail(Section::WalkEntries, "entries for a store that is no tree");
    }
    if ((flags & kReversedUsable) != 0) {
        if (auto ok = check_entries(Section::ReversedEntries, reversed, meta[kReversedRootCount], n); !ok) return ok;
    } else if (!reversed.empty() || meta[kReversedRootCount] != 0) {
        return fail(Section::ReversedEntries, "entries where none are used");
    }

    // The term lookups: count fixes and spellings by node, sorted; spellings UTF-8, not
    // empty, and only on terms.
    const auto slot_counts = p.as<uint32_t>(Section::SlotCounts);
    const auto has_payload = p.as<uint8_t>(Section::HasPayload);
    const auto fixes = p.as<lookup::CountFix>(Section::CountFixes);
    for (size_t i = 0; i < fixes.size(); ++i) {
        if (fixes[i].node >= n || (i > 0 && fixes[i].node <= fixes[i - 1].node)) {
            return fail(Section::CountFixes, "node numbers out of order or beyond the last node");
        }
        // Only a saturated total hides a term's own count.
        if (slot_counts[fixes[i].node] != UINT32_MAX) return fail(Section::CountFixes, "a fix for a total that did not saturate");
    }
    const auto nodes = p.as<uint32_t>(Section::SpellingNodes);
    const auto ends = p.as<uint32_t>(Section::SpellingEnds);
    const auto text = p.as<char>(Section::SpellingText);
    if (ends.size() != nodes.size() || text.size() != (ends.empty() ? 0 : ends.back()) || !rising(ends, text.size())) {
        return fail(Section::SpellingEnds, "the offsets do not fit the text");
    }
    uint32_t begin = 0;
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i] >= n || (i > 0 && nodes[i] <= nodes[i - 1])) {
            return fail(Section::SpellingNodes, "node numbers out of order or beyond the last node");
        }
        if (ends[i] == begin) return fail(Section::SpellingEnds, "an empty spelling");
        if (has_payload[nodes[i]] == 0) return fail(Section::SpellingNodes, "a spelling for a node that is no term");
        if (!utf8::valid(std::string_view(text.data() + begin, ends[i] - begin))) {
            return fail(Section::SpellingText, "a spelling is not UTF-8");
        }
        begin = ends[i];
    }

    // Text video ids: each int id of the engine names one.
    const auto text_ends = p.as<uint32_t>(Section::VideoTextEnds);
    if (!text_ends.empty()) {
        if (meta[kIdMode] != static_cast<uint64_t>(IdMode::Int32)) return fail(Section::VideoTextEnds, "text ids for UUIDs");
        const std::string wrong =
            lookup::check_video_texts(text_ends, p.as<char>(Section::VideoText), p.as<uint32_t>(Section::VideoIntIds));
        if (!wrong.empty()) return fail(Section::VideoTextEnds, wrong);
    } else if (!p.as<char>(Section::VideoText).empty()) {
        return fail(Section::VideoText, "text without offsets");
    }
    return {};
}

// The word starts: there with the flag, and only then. Requires both halves (it reads the
// child lists as a tree).
Result<void> check_word_starts(const Parsed& p) {
    const uint64_t flags = p.as<uint64_t>(Section::Meta)[kFlags];
    const auto word_nodes = p.as<lookup::WordNode>(Section::WordNodes);
    const auto word_terms = p.as<uint32_t>(Section::WordTerms);
    const auto parents = p.as<uint32_t>(Section::TermParents);
    if ((flags & kWords) != 0) {
        const auto ok = lookup::check_words(word_nodes, word_terms, parents,
                                            {p.as<uint32_t>(Section::NodeShifts), p.as<uint32_t>(Section::ChildLabels),
                                             p.as<uint32_t>(Section::ChildTransitions), p.as<uint8_t>(Section::HasPayload)});
        if (!ok) return fail(Section::WordNodes, ok.error().message);
    } else if (!word_nodes.empty() || !word_terms.empty() || !parents.empty() || (flags & kWordSeparators) != 0) {
        return fail(Section::WordNodes, "word starts in an index built without them");
    }
    const auto separators = p.as<uint32_t>(Section::WordSeparators);
    if ((flags & kWordSeparators) != 0) {
        uint32_t last = 0;
        for (const uint32_t c : separators) {
            if (c <= last || !utf8::is_scalar(c)) return fail(Section::WordSeparators, "the separators are not rising characters");
            last = c;
        }
    } else if (!separators.empty()) {
        return fail(Section::WordSeparators, "separators without the flag that says they are there");
    }
    return {};
}

}  // namespace brindlex::mapped
