// The eight fields of a trie store, in declared order:
//
//   1 node_shifts        sequence of 32-bit varints
//   2 child_labels       sequence of characters (UTF-8; label 0 is the byte 00)
//   3 child_transitions  sequence of 32-bit varints
//   4 payloads           sequence of optional Payload records: tag 00, or tag 01 then
//                        count (32-bit varint), video_ids and video_counts (sequences of
//                        32-bit varints, kept with whatever lengths they have)
//   5 video_uuids        sequence of 16-byte groups
//   6 video_int_ids      sequence of 32-bit varints
//   7 id_mode            enumeration tag of IdMode (0 Uuid, 1 Int32)
//   8 has_payload        sequence of booleans
#include "core/snapshot/snapshot.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "core/facts/facts.hpp"
#include "core/snapshot/encoding.hpp"

namespace brindlex::snapshot {

namespace {

constexpr std::string_view kPayloadTypeName = "core::option::Option<brindlex::payload::Payload>";
constexpr std::string_view kIdModeTypeName = "IdMode";
constexpr uint32_t kIdModeVariants = 2;

static_assert(sizeof(VideoUuid) == sizeof(Group16));

// --- sizes ---------------------------------------------------------------------------

size_t size_labels(std::span<const uint32_t> labels) {
    size_t n = size_length(labels.size());
    for (uint32_t c : labels) n += size_char(c);
    return n;
}

size_t size_payloads(const PayloadTable& t) {
    const size_t slots = t.size();
    size_t n = size_length(slots) + slots * size_option_tag();
    if (slots == 0) return n;
    // The elements of the kept lists in two flat passes, then what each slot adds around
    // them: an alias writes the lists it shows, which are kept once, for an earlier slot.
    n += size_varint32_elements(t.kept_video_ids()) + size_varint32_elements(t.kept_video_counts());
    for (size_t v = 0; v < slots; ++v) {
        const PayloadView p = t.view(v);
        if (t.present(v)) {
            n += size_varint32(p.count) + size_length(p.video_ids.size()) + size_length(p.video_counts.size());
            if (t.is_alias(v)) n += size_varint32_elements(p.video_ids) + size_varint32_elements(p.video_counts);
        } else {
            // An absent slot writes no entries (and normally has none).
            n -= size_varint32_elements(p.video_ids) + size_varint32_elements(p.video_counts);
        }
    }
    return n;
}

// --- writers ---------------------------------------------------------------------------

void write_labels(Writer& w, std::span<const uint32_t> labels) {
    write_length(w, labels.size());
    for (uint32_t c : labels) write_char(w, c);
}

void write_payloads(Writer& w, const PayloadTable& t) {
    const size_t slots = t.size();
    write_length(w, slots);
    for (size_t v = 0; v < slots; ++v) {
        if (!t.present(v)) {
            write_option_tag(w, false);
            continue;
        }
        write_option_tag(w, true);
        const PayloadView p = t.view(v);
        write_varint32(w, p.count);
        write_varint32_sequence(w, p.video_ids);
        write_varint32_sequence(w, p.video_counts);
    }
}

void write_uuids(Writer& w, std::span<const VideoUuid> ids) {
    write_length(w, ids.size());
    if (!ids.empty()) std::memcpy(w.pos, ids.data(), ids.size() * sizeof(VideoUuid));
    w.pos += ids.size() * sizeof(VideoUuid);
}

void write_bools(Writer& w, std::span<const uint8_t> flags) {
    write_length(w, flags.size());
    uint8_t* p = w.pos;
    for (size_t i = 0; i < flags.size(); ++i) p[i] = flags[i] != 0 ? 1 : 0;
    w.pos = p + flags.size();
}

// --- readers ---------------------------------------------------------------------------

Decoded<void> read_labels(Reader& r, std::vector<uint32_t>& out) {
    return read_sequence(r, out, [](Reader& rr) { return read_char(rr); });
}

Decoded<void> read_payloads(Reader& r, PayloadTable& t) {
    const auto n = read_length(r);
    if (!n) return std::unexpected(n.error());
    // Each slot takes at least its tag byte. The entries are not reserved ahead: their
    // number is known only once read (counting them first costs more than the geometric
    // growth of the two shared arrays saves).
    t.reserve(reserve_bound(r, *n), 0);
    for (uint64_t i = 0; i < *n; ++i) {
        const auto present = read_option_tag(r, kPayloadTypeName);
        if (!present) return std::unexpected(present.error());
        if (!*present) {
            t.push_absent();
            continue;
        }
        const auto count = read_varint32(r);
        if (!count) return std::unexpected(count.error());
        const auto ids = read_length(r);
        if (!ids) return std::unexpected(ids.error());
        for (uint64_t k = 0; k < *ids; ++k) {
            const auto id = read_varint32(r);
            if (!id) return std::unexpected(id.error());
            t.append_video_id(*id);
        }
        const auto counts = read_length(r);
        if (!counts) return std::unexpected(counts.error());
        for (uint64_t k = 0; k < *counts; ++k) {
            const auto c = read_varint32(r);
            if (!c) return std::unexpected(c.error());
            t.append_video_count(*c);
        }
        t.close_present(*count);
    }
    return {};
}

Decoded<void> read_uuids(Reader& r, std::vector<VideoUuid>& out) {
    const auto n = read_length(r);
    if (!n) return std::unexpected(n.error());
    out.clear();
    if (*n <= r.remaining() / sizeof(VideoUuid)) {
        // All groups are there: one copy.
        out.resize(static_cast<size_t>(*n));
        if (*n != 0) std::memcpy(out.data(), r.pos, out.size() * sizeof(VideoUuid));
        r.pos += out.size() * sizeof(VideoUuid);
        return {};
    }
    // Some group is cut: read the whole ones, then report what the cut one lacks.
    out.reserve(reserve_bound(r, *n, sizeof(VideoUuid)));
    for (uint64_t i = 0; i < *n; ++i) {
        const auto g = read_group16(r);
        if (!g) return std::unexpected(g.error());
        out.push_back(*g);
    }
    return {};
}

Decoded<void> read_bools(Reader& r, std::vector<uint8_t>& out) {
    const auto n = read_length(r);
    if (!n) return std::unexpected(n.error());
    const size_t avail = reserve_bound(r, *n);
    // The first bad byte among those present comes before running out of bytes. One
    // vectorisable pass finds whether there is one; only then is it looked for.
    uint8_t bad = 0;
    for (size_t i = 0; i < avail; ++i) bad |= static_cast<uint8_t>(r.pos[i] > 1);
    if (bad != 0) [[unlikely]] {
        const uint8_t* first = std::find_if(r.pos, r.pos + avail, [](uint8_t b) { return b > 1; });
        return std::unexpected(DecodeError::invalid_boolean_value(*first));
    }
    if (avail < *n) return std::unexpected(DecodeError::unexpected_end(1));
    out.assign(r.pos, r.pos + avail);
    r.pos += avail;
    return {};
}

}  // namespace

size_t encoded_size(const TrieStore& s) {
    return size_varint32_sequence(s.node_shifts) + size_labels(s.child_labels) +
           size_varint32_sequence(s.child_transitions) + size_payloads(s.payloads) +
           size_length(s.video_uuids.size()) + s.video_uuids.size() * size_group16() +
           size_varint32_sequence(s.video_int_ids) + size_enum_tag(static_cast<uint32_t>(s.id_mode)) +
           size_length(s.has_payload.size()) + s.has_payload.size() * size_bool();
}

void encode(const TrieStore& s, std::span<std::byte> out) {
    Writer w(out);
    write_varint32_sequence(w, s.node_shifts);
    write_labels(w, s.child_labels);
    write_varint32_sequence(w, s.child_transitions);
    write_payloads(w, s.payloads);
    write_uuids(w, s.video_uuids);
    write_varint32_sequence(w, s.video_int_ids);
    write_enum_tag(w, static_cast<uint32_t>(s.id_mode));
    write_bools(w, s.has_payload);
    assert(w.pos == reinterpret_cast<uint8_t*>(out.data()) + out.size());
}

std::expected<TrieStore, DecodeError> decode(std::span<const std::byte> in, size_t* used) {
    Reader r(in);
    TrieStore s;
    // Each array is read into a vector of its own, then moved into the store.
    std::vector<uint32_t> shifts, labels, transitions, int_ids;
    std::vector<VideoUuid> uuids;
    std::vector<uint8_t> has_payload;
    if (auto e = read_varint32_sequence(r, shifts); !e) return std::unexpected(e.error());
    if (auto e = read_labels(r, labels); !e) return std::unexpected(e.error());
    if (auto e = read_varint32_sequence(r, transitions); !e) return std::unexpected(e.error());
    if (auto e = read_payloads(r, s.payloads); !e) return std::unexpected(e.error());
    if (auto e = read_uuids(r, uuids); !e) return std::unexpected(e.error());
    if (auto e = read_varint32_sequence(r, int_ids); !e) return std::unexpected(e.error());
    const auto mode = read_enum_tag(r, kIdModeTypeName, kIdModeVariants);
    if (!mode) return std::unexpected(mode.error());
    s.id_mode = static_cast<IdMode>(*mode);
    if (auto e = read_bools(r, has_payload); !e) return std::unexpected(e.error());
    s.node_shifts = std::move(shifts);
    s.child_labels = std::move(labels);
    s.child_transitions = std::move(transitions);
    s.video_uuids = std::move(uuids);
    s.video_int_ids = std::move(int_ids);
    s.has_payload = std::move(has_payload);
    // Bytes after field 8 are ignored. No check across fields.
    if (used) *used = in.size() - r.remaining();
    finish_store(s);
    return s;
}

}  // namespace brindlex::snapshot
