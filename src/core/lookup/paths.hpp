// The texts of completion's items as a tree of labels shared by the items (lookup/
// complete.cpp, lookup/fuzzy_complete.cpp): an item names the last label of its text;
// texts compare by climbing to their common ancestor.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include "core/text/utf8.hpp"

namespace brindlex::lookup {

struct PathNode {
    uint32_t label;
    uint32_t parent;
    uint32_t depth;
};

class Paths {
public:
    Paths() { nodes_.push_back({0, 0, 0}); }  // the prefix itself

    static constexpr uint32_t kPrefix = 0;

    uint32_t extend(uint32_t parent, uint32_t label) {
        nodes_.push_back({label, parent, nodes_[parent].depth + 1});
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    std::strong_ordering compare(uint32_t a, uint32_t b) const {
        if (a == b) return std::strong_ordering::equal;
        const uint32_t a_start = a;
        const uint32_t b_start = b;
        const uint32_t da = nodes_[a].depth;
        const uint32_t db = nodes_[b].depth;
        while (nodes_[a].depth > db) a = nodes_[a].parent;
        while (nodes_[b].depth > da) b = nodes_[b].parent;
        if (a == b) return da <=> db;  // one text starts the other: the shorter first
        while (nodes_[a].parent != nodes_[b].parent) {
            a = nodes_[a].parent;
            b = nodes_[b].parent;
        }
        const auto by_label = nodes_[a].label <=> nodes_[b].label;
        if (by_label != 0) return by_label;
        // Two children of one node with one label (a store not laid out by the package):
        // the texts part further down, or not at all.
        return compare_texts(a_start, b_start);
    }

    // Whole texts compared label by label: the slow way, for equal labels at a fork.
    std::strong_ordering compare_texts(uint32_t a, uint32_t b) const {
        std::vector<uint32_t> x, y;
        for (; a != kPrefix; a = nodes_[a].parent) x.push_back(nodes_[a].label);
        for (; b != kPrefix; b = nodes_[b].parent) y.push_back(nodes_[b].label);
        return std::lexicographical_compare_three_way(x.rbegin(), x.rend(), y.rbegin(), y.rend());
    }

    void append_text(uint32_t id, std::string& out) const {
        labels_.clear();
        for (; id != kPrefix; id = nodes_[id].parent) labels_.push_back(nodes_[id].label);
        for (auto it = labels_.rbegin(); it != labels_.rend(); ++it) utf8::append(out, *it);
    }

    uint32_t label(uint32_t id) const { return nodes_[id].label; }
    uint32_t parent(uint32_t id) const { return nodes_[id].parent; }
    uint32_t depth(uint32_t id) const { return nodes_[id].depth; }
    size_t size() const { return nodes_.size(); }

private:
    std::vector<PathNode> nodes_;
    mutable std::vector<uint32_t> labels_;
};

}  // namespace brindlex::lookup
