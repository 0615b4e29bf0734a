// Support for the C++ tests: an independent UTF-8 encoder and Levenshtein distance to check
// the core against, byte strings written as hex, the store builders, and one generator of
// random stores and terms.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/facts/facts.hpp"
#include "core/payload/payload.hpp"
#include "core/store/store.hpp"

namespace brindlex::test {

// UTF-8, written independently of the code under test; a value that is no scalar value
// becomes U+FFFD, as the core writes it.
inline std::string utf8_of(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) {
        uint32_t cp = c;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// The textbook dynamic programme, one row at a time.
inline uint64_t levenshtein(const std::u32string& a, const std::u32string& b) {
    std::vector<uint64_t> prev(b.size() + 1), cur(b.size() + 1);
    std::iota(prev.begin(), prev.end(), uint64_t{0});
    for (size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            cur[j] = std::min({prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1), prev[j] + 1, cur[j - 1] + 1});
        }
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

using Bytes = std::vector<uint8_t>;

// "02 00 FB" -> {0x02, 0x00, 0xFB}
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char ch : text) {
        if (ch == ' ') continue;
        digits += ch;
        if (digits.size() == 2) {
            out.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    if (!digits.empty()) throw std::invalid_argument("odd hex text: " + text);
    return out;
}

inline std::string to_hex(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i != 0) s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

inline std::span<const std::byte> as_input(const Bytes& b) { return std::as_bytes(std::span<const uint8_t>(b)); }

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One node of a store given node by node.
struct NodeDef {
    char32_t label = 0;
    std::vector<uint32_t> children;
    std::optional<Payload> payload;  // set: has_payload, and the node's own payload
};

// Lays the nodes out as a finished store, each child list in the given order, with the
// given 32-bit video ids (Int32 mode) or none (Uuid mode, no videos).
inline TrieStore store_from_nodes(const std::vector<NodeDef>& nodes, std::optional<std::vector<uint32_t>> int_ids) {
    TrieStore s;
    for (const NodeDef& n : nodes) {
        s.node_shifts.push_back(static_cast<uint32_t>(s.child_transitions.size()));
        s.child_labels.push_back(n.label);
        s.child_transitions.insert(s.child_transitions.end(), n.children.begin(), n.children.end());
        if (n.payload) {
            s.payloads.push(n.payload->count, n.payload->video_ids, n.payload->video_counts);
        } else {
            s.payloads.push_absent();
        }
        s.has_payload.push_back(n.payload ? 1 : 0);
    }
    if (int_ids) {
        s.id_mode = IdMode::Int32;
        s.video_int_ids = std::move(*int_ids);
    }
    finish_store(s);
    return s;
}

// The same fields without the walk's facts, as a store never finished.
inline TrieStore unfinished_copy(const TrieStore& s) {
    TrieStore copy;
    copy.node_shifts = s.node_shifts;
    copy.child_labels = s.child_labels;
    copy.child_transitions = s.child_transitions;
    copy.payloads = s.payloads;
    copy.video_uuids = s.video_uuids;
    copy.video_int_ids = s.video_int_ids;
    copy.id_mode = s.id_mode;
    copy.has_payload = s.has_payload;
    return copy;
}

// A tree built node by node; node 0 is the root. build() lays it out as a TrieStore,
// optionally renumbering the nodes (the root stays 0), and finishes it.
struct TreeBuilder {
    std::vector<uint32_t> labels{0};
    std::vector<bool> payload{false};
    std::vector<uint32_t> parent{0};
    std::vector<std::vector<uint32_t>> kids{{}};

    uint32_t add(uint32_t par, char32_t label, bool has_payload = false) {
        const auto id = static_cast<uint32_t>(labels.size());
        labels.push_back(static_cast<uint32_t>(label));
        payload.push_back(has_payload);
        parent.push_back(par);
        kids.emplace_back();
        kids[par].push_back(id);
        return id;
    }

    // Adds the path of `word` below the root, reusing children with the same label, and
    // marks its last node.
    uint32_t word(const std::u32string& w) {
        uint32_t v = 0;
        for (char32_t c : w) {
            uint32_t next = 0;
            for (uint32_t k : kids[v]) {
                if (labels[k] == static_cast<uint32_t>(c)) next = k;
            }
            v = next != 0 ? next : add(v, c);
        }
        payload[v] = true;
        return v;
    }

    size_t size() const { return labels.size(); }

    // Orders every child list by label, as the index builder does; the walk then looks
    // labels up in them instead of reading every child.
    void sort_children() {
        for (auto& list : kids) {
            std::stable_sort(list.begin(), list.end(), [&](uint32_t a, uint32_t b) { return labels[a] < labels[b]; });
        }
    }

    // The numbering that lays the nodes out in depth-first pre-order, children in the
    // order added: the layout the index builder writes (perm[old] = new, for build()).
    std::vector<uint32_t> preorder() const {
        std::vector<uint32_t> perm(size());
        std::vector<uint32_t> stack{0};
        uint32_t next = 0;
        while (!stack.empty()) {
            const uint32_t v = stack.back();
            stack.pop_back();
            perm[v] = next++;
            for (auto k = kids[v].rbegin(); k != kids[v].rend(); ++k) stack.push_back(*k);
        }
        return perm;
    }

    // perm[old] = new number; identity when empty.
    TrieStore build(std::vector<uint32_t> perm = {}) const {
        const size_t n = size();
        if (perm.empty()) {
            perm.resize(n);
            std::iota(perm.begin(), perm.end(), 0u);
        }
        std::vector<uint32_t> old_of(n);
        for (size_t o = 0; o < n; ++o) old_of[perm[o]] = static_cast<uint32_t>(o);
        std::vector<NodeDef> nodes(n);
        for (size_t v = 0; v < n; ++v) {
            const uint32_t o = old_of[v];
            nodes[v].label = static_cast<char32_t>(labels[o]);
            for (uint32_t k : kids[o]) nodes[v].children.push_back(perm[k]);
            if (payload[o]) nodes[v].payload = Payload{1, {0}, {1}};
        }
        return store_from_nodes(nodes, std::nullopt);
    }
};

// Characters of the random trees and terms: ASCII, Latin-1, outside the BMP, the last
// scalar value.
inline const std::vector<uint32_t> kAlphabet = {'a', 'b', 'c', 0xE9, 0x1F600, 0x10FFFF};

class RandomStores {
public:
    // Small stores keep every length below 6 (for tests that decode every cut).
    explicit RandomStores(uint64_t seed, bool small = false) : rng_(seed), small_(small) {}

    uint64_t below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }

    // A value of any magnitude, often at a varint boundary.
    uint32_t u32() {
        static constexpr uint32_t kEdges[] = {0, 1, 249, 250, 251, 252, 255, 256, 65534, 65535, 65536, 65537,
                                              0x7FFF'FFFFu, 0x8000'0000u, 0xFFFF'FFFEu, 0xFFFF'FFFFu};
        switch (below(5)) {
            case 0:
                return kEdges[below(std::size(kEdges))];
            case 1:
                return static_cast<uint32_t>(below(251));
            case 2:
                return static_cast<uint32_t>(251 + below(65536 - 251));
            case 3:
                return static_cast<uint32_t>(65536 + below(0x1'0000'0000ull - 65536));
            default:
                return static_cast<uint32_t>(below(4));
        }
    }

    uint32_t scalar() {
        switch (below(5)) {
            case 0:
                return 0;
            case 1:
                return static_cast<uint32_t>(below(0x80));
            case 2:
                return static_cast<uint32_t>(0x80 + below(0x800 - 0x80));
            case 3: {
                uint32_t c = static_cast<uint32_t>(0x800 + below(0x10000 - 0x800));
                return (c >= 0xD800 && c <= 0xDFFF) ? c - 0x800 : c;
            }
            default:
                return static_cast<uint32_t>(0x10000 + below(0x110000 - 0x10000));
        }
    }

    size_t length() {
        if (small_) return below(6);
        switch (below(6)) {
            case 0:
                return 0;
            case 1:
                return 1;
            case 2:
                return 250 + below(4);  // around the one-byte limit of the length varint
            default:
                return below(24);
        }
    }

    std::vector<uint32_t> u32s() {
        std::vector<uint32_t> v(length());
        for (auto& x : v) x = u32();
        return v;
    }

    // Fields of any shape and value, as a snapshot may hold them (mostly no trie at all).
    TrieStore store() {
        TrieStore s;
        s.node_shifts = u32s();
        std::vector<uint32_t> labels(length());
        for (auto& c : labels) c = scalar();
        s.child_labels = std::move(labels);
        s.child_transitions = u32s();
        const size_t slots = length();
        std::vector<uint32_t> ids, counts;
        for (size_t v = 0; v < slots; ++v) {
            if (below(4) == 0) {
                s.payloads.push_absent();
                continue;
            }
            // A third of the slots repeat the lists of the last present one, as nodes along
            // a chain do (the table keeps them once), sometimes after an absent slot.
            if (v == 0 || below(3) != 0) {
                ids = u32s();
                counts = below(3) == 0 ? u32s() : std::vector<uint32_t>(ids.size());
                for (auto& c : counts) c = u32();
            }
            s.payloads.push(u32(), ids, counts);
        }
        std::vector<VideoUuid> uuids(length());
        for (auto& id : uuids)
            for (auto& b : id) b = static_cast<uint8_t>(below(256));
        s.video_uuids = std::move(uuids);
        s.video_int_ids = u32s();
        s.id_mode = below(2) == 0 ? IdMode::Uuid : IdMode::Int32;
        std::vector<uint8_t> has_payload(length());
        for (auto& b : has_payload) b = static_cast<uint8_t>(below(2));
        s.has_payload = std::move(has_payload);
        finish_store(s);
        return s;
    }

    // A tree of `nodes` nodes over kAlphabet, children numbered after their parents; some
    // chains are long, so that terms beyond one machine word exist; a few edges carry no
    // label.
    TrieStore tree(size_t nodes) {
        std::vector<std::vector<uint32_t>> children(nodes);
        for (uint32_t v = 1; v < nodes; ++v) {
            const uint32_t parent = below(4) == 0 ? v - 1 : static_cast<uint32_t>(below(v));
            children[parent].push_back(v);
        }
        TrieStore s;
        for (size_t v = 0; v < nodes; ++v) {
            s.node_shifts.push_back(static_cast<uint32_t>(s.child_transitions.size()));
            s.child_transitions.insert(s.child_transitions.end(), children[v].begin(), children[v].end());
            s.child_labels.push_back(v == 0 || below(20) == 0 ? 0 : kAlphabet[below(kAlphabet.size())]);
            s.has_payload.push_back(static_cast<uint8_t>(below(2)));
            s.payloads.push_absent();
        }
        finish_store(s);
        return s;
    }

    // A term over kAlphabet, mostly its first two characters.
    std::u32string term(size_t max_len) {
        std::u32string t(below(max_len + 1), U'a');
        for (char32_t& c : t) c = kAlphabet[below(3) == 0 ? below(kAlphabet.size()) : below(2)];
        return t;
    }

private:
    std::mt19937_64 rng_;
    bool small_;
};

}  // namespace brindlex::test
