// Listing the terms under a prefix in code-point order of the trie's text, a chunk at a
// time: a depth-first walk with an explicit stack, so that a caller streams any number of
// terms while holding only one path and one chunk.
//
// A store laid out by the package keeps every child list in rising label order, and its
// own arrays then give the order as they are. Any other tree is
// walked over its own arrays, each child list put in label order as the walk opens it,
// and children of one node that share a label are walked as one group, so that their
// subtrees come out merged in order (terms of equal text in walk order).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "core/lookup/spellings.hpp"
#include "core/lookup/term_index.hpp"
#include "core/store/store.hpp"

namespace brindlex::lookup {

// Terms as the listing hands them out: the shown text (the catalogue's spelling where it
// differs from the trie's), the node and its own count. Reused from chunk to chunk.
struct ListedTerms {
    std::string text;            // the texts, back to back (UTF-8)
    std::vector<uint32_t> ends;  // where each text ends in `text`
    std::vector<uint32_t> counts;

    size_t size() const { return ends.size(); }
    std::string_view term(size_t i) const {
        const uint32_t begin = i == 0 ? 0 : ends[i - 1];
        return std::string_view(text).substr(begin, ends[i] - begin);
    }
    void clear() {
        text.clear();
        ends.clear();
        counts.clear();
    }
};

class Listing {
public:
    // The terms that start with `prefix` (scalar values; the prefix itself counts). The
    // store, index and spellings must outlive the listing: it refers to them.
    Listing(const TrieStore& store, const TermIndex& index, const Spellings& spellings,
            std::span<const uint32_t> prefix);

    // Appends the next terms to `out` until it holds `max` or the listing ends (the
    // prefix's own terms, or a group of equal texts, may take it a little past `max`).
    // Fails only for a store whose arrays a read would leave, which a TermIndex made from
    // it has already refused.
    Result<void> next(ListedTerms& out, size_t max);

    bool done() const { return first_.size() == 0 && frames_.empty() && groups_.empty(); }

private:
    // Positions of a child list still to visit; `text` is the length of the text above.
    struct Frame {
        uint64_t pos, end;
        uint32_t text;
    };
    // A range of `nodes_` (children put in label order) still to visit, a group of equal
    // labels at a time.
    struct Group {
        size_t begin, pos, end;
        uint32_t text;
    };

    void emit(uint32_t node, ListedTerms& out);
    Result<void> next_rising(ListedTerms& out, size_t max);
    Result<void> next_groups(ListedTerms& out, size_t max);
    Result<void> open_group(size_t begin, size_t end);
    void start_rising(std::span<const uint32_t> prefix, ListedTerms& first);
    void start_groups(std::span<const uint32_t> prefix, ListedTerms& first);

    const TrieStore& store_;
    const TermIndex& index_;
    const Spellings& spellings_;
    bool rising_;
    size_t spelling_hint_ = 0;  // where the last spelling was looked up
    std::string text_;  // the compared text of the node last visited
    std::vector<Frame> frames_;
    std::vector<Group> groups_;
    std::vector<uint32_t> nodes_;  // the groups' child lists, stacked
    ListedTerms first_;            // the prefix's own terms, handed out before the rest
    std::string failure_;
};

}  // namespace brindlex::lookup
