#include "core/lookup/listing.hpp"

#include <algorithm>

#include "core/facts/facts.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::lookup {

Listing::Listing(const TrieStore& store, const TermIndex& index, const Spellings& spellings,
                 std::span<const uint32_t> prefix)
    : store_(store), index_(index), spellings_(spellings) {
    const facts::Facts& facts = facts::facts_of(store);
    // Rising strictly: no two children of a node share a label, and none needs sorting.
    rising_ = facts.tree && facts.rising;
    for (const uint32_t cp : prefix) utf8::append(text_, cp);
    if (rising_) {
        start_rising(prefix, first_);
    } else {
        start_groups(prefix, first_);
    }
}

void Listing::emit(uint32_t node, ListedTerms& out) {
    const std::string_view shown = spellings_.of(node, spelling_hint_).value_or(std::string_view(text_));
    out.text.append(shown);
    out.ends.push_back(static_cast<uint32_t>(out.text.size()));
    out.counts.push_back(index_.own_count(store_, node));
}

void Listing::start_rising(std::span<const uint32_t> prefix, ListedTerms& first) {
    index_.spelling(store_, prefix, nodes_);  // one node at most: labels are distinct
    if (nodes_.empty()) return;               // no term starts so
    const uint32_t at = nodes_.front();
    nodes_.clear();
    if (at != 0 && store_.has_payload[at]) emit(at, first);
    const auto range = store_.child_range(at);
    if (range.begin < range.end) frames_.push_back({range.begin, range.end, static_cast<uint32_t>(text_.size())});
}

void Listing::start_groups(std::span<const uint32_t> prefix, ListedTerms& first) {
    if (store_.node_count() == 0) return;
    index_.spelling(store_, prefix, nodes_);
    if (nodes_.empty()) return;
    for (const uint32_t v : nodes_) {
        if (v != 0 && store_.has_payload[v]) emit(v, first);
    }
    if (auto opened = open_group(0, nodes_.size()); !opened) failure_ = std::move(opened.error().message);
}

// Stacks the labelled children of nodes_[begin, end) in label order, children of one
// label in walk order, as a new group to visit.
Result<void> Listing::open_group(size_t begin, size_t end) {
    const size_t from = nodes_.size();
    const size_t nodes = store_.node_count();
    for (size_t i = begin; i < end; ++i) {
        const auto range = store_.child_range(nodes_[i]);
        if (range.end > store_.child_transitions.size()) return internal_error("a child list runs past its end");
        for (uint64_t pos = range.begin; pos < range.end; ++pos) {
            const uint32_t c = store_.child_transitions[pos];
            if (c >= nodes) return internal_error("a child is not a node");
            if (store_.child_labels[c] != 0) nodes_.push_back(c);
        }
    }
    const auto by_label = [&](uint32_t a, uint32_t b) { return store_.child_labels[a] < store_.child_labels[b]; };
    const auto first = nodes_.begin() + static_cast<std::ptrdiff_t>(from);
    if (!std::is_sorted(first, nodes_.end(), by_label)) std::stable_sort(first, nodes_.end(), by_label);
    if (nodes_.size() > from) groups_.push_back({from, from, nodes_.size(), static_cast<uint32_t>(text_.size())});
    return {};
}

Result<void> Listing::next(ListedTerms& out, size_t max) {
    if (!failure_.empty()) return internal_error(failure_);
    if (first_.size() != 0) {
        for (size_t i = 0; i < first_.size(); ++i) {
            out.text.append(first_.term(i));
            out.ends.push_back(static_cast<uint32_t>(out.text.size()));
            out.counts.push_back(first_.counts[i]);
        }
        first_.clear();
    }
    return rising_ ? next_rising(out, max) : next_groups(out, max);
}

// Child lists in rising label order: the store's own order is the listing's. A store laid
// out by the package numbers its nodes in this very order, so the walk reads its arrays
// front to back.
Result<void> Listing::next_rising(ListedTerms& out, size_t max) {
    const size_t nodes = store_.node_count();
    const size_t positions = store_.child_transitions.size();
    while (out.size() < max && !frames_.empty()) {
        Frame& f = frames_.back();
        if (f.pos >= f.end) {
            frames_.pop_back();
            continue;
        }
        if (f.pos >= positions) return internal_error("a child list runs past its end");
        const uint32_t c = store_.child_transitions[f.pos++];
        if (c >= nodes) return internal_error("a child is not a node");
        const uint32_t label = store_.child_labels[c];
        if (label == 0) continue;
        text_.resize(f.text);
        utf8::append(text_, label);
        if (store_.has_payload[c]) emit(c, out);
        const auto range = store_.child_range(c);
        if (range.begin < range.end) {
            frames_.push_back({range.begin, range.end, static_cast<uint32_t>(text_.size())});  // `f` is not used again
        }
    }
    return {};
}

Result<void> Listing::next_groups(ListedTerms& out, size_t max) {
    while (out.size() < max && !groups_.empty()) {
        Group& g = groups_.back();
        if (g.pos >= g.end) {
            nodes_.resize(g.begin);
            groups_.pop_back();
            continue;
        }
        const uint32_t label = store_.child_labels[nodes_[g.pos]];
        const size_t begin = g.pos;
        size_t end = begin + 1;
        while (end < g.end && store_.child_labels[nodes_[end]] == label) ++end;
        g.pos = end;
        text_.resize(g.text);
        utf8::append(text_, label);
        for (size_t i = begin; i < end; ++i) {
            if (store_.has_payload[nodes_[i]]) emit(nodes_[i], out);
        }
        if (auto opened = open_group(begin, end); !opened) return opened;  // `g` is not used again
    }
    return {};
}

}  // namespace brindlex::lookup
