#include "core/lookup/spellings.hpp"

#include <algorithm>
#include <cstring>

#include "core/text/utf8.hpp"

namespace brindlex::lookup {

namespace {

class Reader {
public:
    explicit Reader(std::span<const std::byte> bytes) : bytes_(bytes) {}

    std::optional<uint32_t> u32() {
        if (bytes_.size() - pos_ < 4) return std::nullopt;
        uint32_t v = 0;
        for (int k = 3; k >= 0; --k) v = (v << 8) | std::to_integer<uint32_t>(bytes_[pos_ + static_cast<size_t>(k)]);
        pos_ += 4;
        return v;
    }
    // Room for `count` items of `width` bytes each.
    bool holds(uint64_t count, uint64_t width) const { return count <= (bytes_.size() - pos_) / width; }
    std::string_view text(size_t n) {
        const auto* p = reinterpret_cast<const char*>(bytes_.data() + pos_);
        pos_ += n;
        return {p, n};
    }
    bool at_end() const { return pos_ == bytes_.size(); }

private:
    std::span<const std::byte> bytes_;
    size_t pos_ = 0;
};

}  // namespace

std::optional<std::string_view> Spellings::of(uint32_t node) const {
    const auto it = std::lower_bound(nodes_.begin(), nodes_.end(), node);
    if (it == nodes_.end() || *it != node) return std::nullopt;
    const auto i = static_cast<size_t>(it - nodes_.begin());
    const uint32_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_.data(), text_.size()).substr(begin, ends_[i] - begin);
}

std::optional<std::string_view> Spellings::of(uint32_t node, size_t& hint) const {
    const size_t n = nodes_.size();
    size_t i = hint <= n && (hint == 0 || nodes_[hint - 1] < node) ? hint : 0;
    for (int step = 0; step < 8 && i < n && nodes_[i] < node; ++step) ++i;
    if (i < n && nodes_[i] < node) {
        i = static_cast<size_t>(std::lower_bound(nodes_.begin() + static_cast<std::ptrdiff_t>(i), nodes_.end(), node) -
                                nodes_.begin());
    }
    hint = i;
    if (i == n || nodes_[i] != node) return std::nullopt;
    const uint32_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(begin, ends_[i] - begin);
}

Result<Notes> Notes::decode(std::span<const std::byte> bytes, const TrieStore& store) {
    const size_t node_count = store.node_count();
    Reader r(bytes);
    Notes notes;
    auto fail = [](const char* what) { return internal_error(std::string("term notes: ") + what); };

    const auto spelled = r.u32();
    if (!spelled || !r.holds(*spelled, 8)) return fail("the spelling table is cut short");
    Spellings& sp = notes.spellings;
    std::vector<uint32_t> nodes(*spelled);
    std::vector<uint32_t> ends(*spelled);
    for (auto& v : nodes) v = *r.u32();
    for (auto& e : ends) e = *r.u32();
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i] >= node_count || (i > 0 && nodes[i] <= nodes[i - 1])) {
            return fail("spelling node numbers out of order or beyond the last node");
        }
        if (i > 0 && ends[i] < ends[i - 1]) return fail("spelling offsets out of order");
    }
    const uint32_t text_size = ends.empty() ? 0 : ends.back();
    if (!r.holds(text_size, 1)) return fail("the spelling text is cut short");
    const std::string_view text = r.text(text_size);
    uint32_t begin = 0;
    for (size_t i = 0; i < ends.size(); ++i) {
        const uint32_t end = ends[i];
        if (end == begin) return fail("an empty spelling");
        if (!utf8::valid(text.substr(begin, end - begin))) return fail("a spelling is not UTF-8");
        const uint32_t v = nodes[i];
        if (v >= store.has_payload.size() || !store.has_payload[v]) return fail("a spelling for a node that is no term");
        begin = end;
    }
    sp.nodes_ = std::move(nodes);
    sp.ends_ = std::move(ends);
    sp.text_ = std::vector<char>(text.begin(), text.end());

    const auto fixed = r.u32();
    if (!fixed || !r.holds(*fixed, 8)) return fail("the count table is cut short");
    notes.fixes.resize(*fixed);
    for (auto& f : notes.fixes) {
        f.node = *r.u32();
        f.count = *r.u32();
    }
    for (size_t i = 0; i < notes.fixes.size(); ++i) {
        if (notes.fixes[i].node >= node_count || (i > 0 && notes.fixes[i].node <= notes.fixes[i - 1].node)) {
            return fail("count node numbers out of order or beyond the last node");
        }
        const uint32_t v = notes.fixes[i].node;
        if (v >= store.payloads.size() || store.payloads.count(v) != UINT32_MAX) {
            return fail("a count fix for a node whose total did not saturate");
        }
    }
    if (!r.at_end()) return fail("bytes after the count table");
    return notes;
}

}  // namespace brindlex::lookup
