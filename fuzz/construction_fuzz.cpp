// Construction from the flat arrays, as the binding feeds it: check_shape, choose_video_ids,
// build_store. A built store must aggregate as a plain model does, answer every query
// without an internal failure, and round-trip through a snapshot unchanged.
//
// Input, read front to back (reads past the end give 0):
//   n                        node count (one byte)
//   shape                    bits 0-1 / 2-3: node_shifts / payloads length off by 0, 0, +1, -1
//   node_shifts              one number each
//   child_labels             n label bytes (see label())
//   child_transitions        a count byte, then one number each
//   payloads                 a tag byte each: bit 0 present; when present, count (number),
//                            an id count byte (mod 16) and the ids (numbers), then, when
//                            bit 1 is set, a separate count byte for video_counts
//                            (a mismatch the binding refuses, kept to test the pass)
//   video_index              a count byte, a form byte (0: 4 bytes each, 1: 16 bytes
//                            each, other: a length byte (mod 20) per entry), the bytes
//   video_top_n              a byte: 255 is 2^64-1, 254 a 32-bit number follows
//   query settings           two bytes (see settings_from)
// A number is one byte, or 255 followed by a 32-bit little-endian value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "fuzz_common.hpp"
#include "core/construct/construct.hpp"
#include "core/payload/payload.hpp"

namespace {

using namespace brindlex;

class Stream {
public:
    explicit Stream(std::span<const uint8_t> in) : in_(in) {}

    uint8_t byte() { return pos_ < in_.size() ? in_[pos_++] : 0; }

    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t{byte()} << (8 * i);
        return v;
    }

    uint32_t number() {
        const uint8_t b = byte();
        return b == 0xFF ? u32() : b;
    }

    // Labels as the binding gives them: 0 or a Unicode scalar value, of every UTF-8 width.
    uint32_t label() {
        const uint8_t b = byte();
        if (b < 0x80) return b;
        if (b < 0xE0) return 0xE0 + (b - 0x80);      // two UTF-8 bytes (Latin letters)
        if (b < 0xF0) return 0x4E00 + (b - 0xE0);    // three bytes
        if (b < 0xFF) return 0x1F600 + (b - 0xF0);   // four bytes (outside the BMP)
        uint32_t c = u32() % 0x110000;
        if (c >= 0xD800 && c <= 0xDFFF) c -= 0x800;  // no surrogates
        return c;
    }

private:
    std::span<const uint8_t> in_;
    size_t pos_ = 0;
};

size_t adjusted(size_t n, unsigned code) {
    if (code == 2) return n + 1;
    if (code == 3 && n > 0) return n - 1;
    return n;
}

struct Slot {
    bool present = false;
    uint32_t count = 0;
    std::vector<uint32_t> ids;
    std::vector<uint32_t> counts;
};

// The aggregation pass, done plainly with ordered maps. Nodes fold from N-1 down to 0; a
// child above its parent gives its finished payload, one below its input, itself nothing.
// Equal sums are ordered by video number, as merge does. Once a sum has saturated, equal
// stored counts may stand for different sums, whose order (and which of them a cut keeps)
// is free; `saturated` tells the caller that only the totals can then be compared.
struct ModelPass {
    std::vector<Payload> done;
    std::vector<uint8_t> merged;  // the node went through merge: its list is sorted, each video once
    bool saturated = false;
};

ModelPass model_aggregate(const StoreParts& parts, const std::vector<Slot>& slots, uint64_t top_n) {
    const size_t n = slots.size();
    ModelPass pass;
    pass.merged.assign(n, 0);
    std::vector<Payload>& done = pass.done;
    done.resize(n);
    auto input = [&](size_t v) {
        Payload p;
        if (!slots[v].present) return p;
        p.count = slots[v].count;
        p.video_ids = slots[v].ids;
        p.video_counts.assign(slots[v].counts.begin(), slots[v].counts.begin() + slots[v].ids.size());
        return p;
    };
    for (size_t v = n; v-- > 0;) {
        Payload acc = input(v);
        const uint64_t begin = parts.node_shifts[v];
        const uint64_t end = v + 1 < n ? parts.node_shifts[v + 1] : parts.child_transitions.size();
        for (uint64_t pos = begin; pos < end; ++pos) {
            const size_t c = parts.child_transitions[pos];
            if (c == v) continue;
            pass.merged[v] = 1;
            const Payload other = c > v ? done[c] : input(c);
            std::map<uint32_t, uint64_t> sums;
            for (size_t i = 0; i < acc.video_ids.size(); ++i) sums[acc.video_ids[i]] += acc.video_counts[i];
            for (size_t i = 0; i < other.video_ids.size(); ++i) sums[other.video_ids[i]] += other.video_counts[i];
            std::vector<std::pair<uint32_t, uint64_t>> sorted(sums.begin(), sums.end());
            std::stable_sort(sorted.begin(), sorted.end(),
                             [](const auto& a, const auto& b) { return a.second > b.second; });
            acc.count = saturating_add(acc.count, other.count);
            acc.video_ids.clear();
            acc.video_counts.clear();
            for (const auto& [id, sum] : sorted) {
                pass.saturated = pass.saturated || sum > kCountMax;
                acc.video_ids.push_back(id);
                acc.video_counts.push_back(static_cast<uint32_t>(std::min<uint64_t>(sum, kCountMax)));
            }
        }
        if (acc.video_ids.size() > top_n) {
            acc.video_ids.resize(static_cast<size_t>(top_n));
            acc.video_counts.resize(static_cast<size_t>(top_n));
        }
        done[v] = std::move(acc);
    }
    return pass;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Stream in(std::span(data, size));

    const size_t n = in.byte();
    const uint8_t shape = in.byte();
    StoreParts parts;
    parts.node_shifts.resize(adjusted(n, shape & 3));
    for (uint32_t& s : parts.node_shifts) s = in.number();
    parts.child_labels.resize(n);
    for (uint32_t& c : parts.child_labels) c = in.label();
    parts.child_transitions.resize(in.byte());
    for (uint32_t& t : parts.child_transitions) t = in.number();

    std::vector<Slot> slots(adjusted(n, (shape >> 2) & 3));
    for (Slot& slot : slots) {
        const uint8_t tag = in.byte();
        if ((tag & 1) == 0) continue;
        slot.present = true;
        slot.count = in.number();
        slot.ids.resize(in.byte() % 16);
        for (uint32_t& id : slot.ids) id = in.number();
        slot.counts.resize((tag & 2) != 0 ? in.byte() % 16 : slot.ids.size());
        for (uint32_t& c : slot.counts) c = in.number();
    }

    VideoIndexBytes index;
    const size_t videos = in.byte();
    const uint8_t form = in.byte();
    for (size_t i = 0; i < videos; ++i) {
        const size_t len = form == 0 ? 4 : form == 1 ? 16 : in.byte() % 20;
        index.lengths.push_back(len);
        for (size_t k = 0; k < len; ++k) index.bytes.push_back(in.byte());
    }

    const uint8_t top = in.byte();
    const uint64_t top_n = top == 0xFF ? UINT64_MAX : top == 0xFE ? in.u32() : top;
    const uint8_t qa = in.byte();
    const fuzz::QuerySettings q = fuzz::settings_from(qa, in.byte());

    if (check_shape(parts.node_shifts.size(), parts.child_labels.size(), slots.size(), parts.child_transitions)) {
        return 0;
    }
    for (const Slot& slot : slots) {
        if (!slot.present) {
            parts.payloads.push_absent();
        } else {
            parts.payloads.push(slot.count, slot.ids, slot.counts);
        }
    }
    auto chosen = choose_video_ids(index);
    if (!chosen) return 0;
    parts.videos = std::move(*chosen);

    // The pass fails exactly on a non-empty child range that leaves child_transitions, or
    // a payload with fewer counts than ids; nothing else may stop it.
    bool expect_failure = false;
    for (size_t v = 0; v < n; ++v) {
        const uint64_t begin = parts.node_shifts[v];
        const uint64_t end = v + 1 < n ? parts.node_shifts[v + 1] : parts.child_transitions.size();
        expect_failure = expect_failure || (begin < end && end > parts.child_transitions.size());
        expect_failure = expect_failure || slots[v].counts.size() < slots[v].ids.size();
    }
    const ModelPass model = expect_failure ? ModelPass{} : model_aggregate(parts, slots, top_n);

    auto built = build_store(std::move(parts), top_n);
    fuzz::check(built.has_value() != expect_failure, "build_store fails on a store it should build, or the reverse");
    if (!built) return 0;
    const TrieStore& store = *built;

    fuzz::check(store.payloads.size() == n && store.has_payload.size() == n, "built store has the wrong slot count");
    for (size_t v = 0; v < n; ++v) {
        fuzz::check(store.has_payload[v] == (slots[v].present ? 1 : 0), "has_payload differs from the input");
        fuzz::check(store.payloads.present(v), "an aggregated slot is absent");
        const PayloadView p = store.payloads.view(v);
        const Payload& want = model.done[v];
        fuzz::check(p.count == want.count, "aggregated count differs from the model");
        fuzz::check(p.video_ids.size() == p.video_counts.size() && p.video_ids.size() <= top_n,
                    "aggregated lists differ in length or exceed video_top_n");
        if (model.merged[v]) {
            std::vector<uint32_t> ids(p.video_ids.begin(), p.video_ids.end());
            std::ranges::sort(ids);
            fuzz::check(std::ranges::adjacent_find(ids) == ids.end(), "a merged list names a video twice");
            fuzz::check(std::ranges::is_sorted(p.video_counts, std::greater<>()), "a merged list is not sorted by count");
        }
        if (!model.saturated) {
            fuzz::check(std::ranges::equal(p.video_ids, want.video_ids) &&
                            std::ranges::equal(p.video_counts, want.video_counts),
                        "aggregated video lists differ from the model");
        }
    }

    fuzz::check_linear_size(store, std::nullopt);
    fuzz::run_queries(store, q, /*must_succeed=*/true);
    fuzz::check_round_trip(store);
    return 0;
}
