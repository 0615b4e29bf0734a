// What an index file keeps beside the snapshot for the term lookups (its "notes"):
// the spelling to show for terms whose catalogue spelling differs from the trie's
// (folded) text, and the own counts that subtraction cannot give (TermIndex, CountFix).
//
// Layout, all integers unsigned 32-bit little-endian:
//   S; S node numbers, strictly increasing; S end offsets into the text, not decreasing;
//   the text (UTF-8, spelling i between end i-1, or 0, and end i);
//   F; F pairs (node number, count), node numbers strictly increasing.
// Nothing may follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "core/lookup/term_index.hpp"
#include "core/store/array.hpp"

namespace brindlex::lookup {

class Spellings {
public:
    // The spelling shown for `node`, if it has one of its own.
    std::optional<std::string_view> of(uint32_t node) const;
    // The same, looked up from `hint` onwards when the node follows the one looked up
    // last (then a few steps instead of a search); updates the hint.
    std::optional<std::string_view> of(uint32_t node, size_t& hint) const;
    size_t size() const { return nodes_.size(); }
    size_t memory_bytes() const { return (nodes_.capacity() + ends_.capacity()) * 4 + text_.capacity(); }
    size_t borrowed_bytes() const { return nodes_.borrowed_bytes() + ends_.borrowed_bytes() + text_.borrowed_bytes(); }

    // The three arrays, for writing them out and reading them back (core/mapped), which
    // checks them as decode does.
    struct Parts {
        Array<uint32_t> nodes;
        Array<uint32_t> ends;
        Array<char> text;
    };
    Parts parts() const { return {nodes_, ends_, text_}; }
    static Spellings from_parts(Parts p) {
        Spellings s;
        s.nodes_ = std::move(p.nodes);
        s.ends_ = std::move(p.ends);
        s.text_ = std::move(p.text);
        return s;
    }

private:
    friend struct Notes;
    Array<uint32_t> nodes_;
    Array<uint32_t> ends_;
    Array<char> text_;
};

struct Notes {
    Spellings spellings;
    std::vector<CountFix> fixes;

    // Reads notes for `store`; the error says what is wrong. Beyond their layout, notes
    // must agree with the store: a spelling only for a term node (one with a payload of
    // its own) and never empty, a count fix only for a node whose total saturated (where
    // subtraction cannot give the own count); other notes would change answers the
    // store alone gives.
    static Result<Notes> decode(std::span<const std::byte> bytes, const TrieStore& store);
};

}  // namespace brindlex::lookup
