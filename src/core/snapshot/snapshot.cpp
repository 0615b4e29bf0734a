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
    t.each_view([&](size_t v, const PayloadView& p) {
        if (t.present(v)) {
            n += size_varint32(p.count) + size_length(p.video_ids.size()) + size_length(p.video_counts.size());
            if (t.is_alias(v)) n += size_varint32_elements(p.video_ids) + size_varint32_elements(p.video_counts);
        } else {
            // An absent slot writes no entries (and normally has none).
            n -= size_varint32_elements(p.video_ids) + size_varint32_elements(p.video_counts);
        }
    });
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
    t.each_view([&](size_t v, const PayloadView& p) {
        if (!t.present(v)) {
            write_option_tag(w, false);
            return;
        }
        write_option_tag(w, true);
        write_varint32(w, p.count);
        write_varint32_sequence(w, p.video_ids);
        write_varint32_sequence(w, p.video_counts);
    });
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

// The usual table, read into flat arrays and handed over whole: every present slot's two
// lists of one length, at most UINT32_MAX entries in all. Returns false, having read part
// of the field, for a table that is not; the caller then reads it slot by slot.
Decoded<bool> read_plain_payloads(Reader& r, uint64_t n, PayloadTable& t) {
    std::vector<uint8_t> present;
    std::vector<uint32_t> counts, ends, ids, video_counts;
    std::vector<uint64_t> aliases;
    const size_t slots = reserve_bound(r, n);
    present.reserve(slots);
    counts.reserve(slots);
    ends.reserve(slots);
    aliases.reserve(slots / 64 + 1);
    size_t shown_begin = 0;  // the lists the slot before shows: [shown_begin, shown_end)
    size_t shown_end = 0;
    for (uint64_t v = 0; v < n; ++v) {
        if (v % 64 == 0) aliases.push_back(0);
        const auto is_present = read_option_tag(r, kPayloadTypeName);
        if (!is_present) return std::unexpected(is_present.error());
        if (!*is_present) {
            present.push_back(0);
            counts.push_back(0);
            ends.push_back(static_cast<uint32_t>(ids.size()));
            shown_begin = shown_end = ids.size();
            continue;
        }
        const auto count = read_varint32(r);
        if (!count) return std::unexpected(count.error());
        const auto id_count = read_length(r);
        if (!id_count) return std::unexpected(id_count.error());
        const size_t begin = ids.size();
        for (uint64_t k = 0; k < *id_count; ++k) {
            const auto id = read_varint32(r);
            if (!id) return std::unexpected(id.error());
            ids.push_back(*id);
        }
        const auto count_count = read_length(r);
        if (!count_count) return std::unexpected(count_count.error());
        if (*count_count != *id_count) return false;
        for (uint64_t k = 0; k < *count_count; ++k) {
            const auto c = read_varint32(r);
            if (!c) return std::unexpected(c.error());
            video_counts.push_back(*c);
        }
        if (ids.size() > UINT32_MAX) return false;
        present.push_back(1);
        counts.push_back(*count);
        // Lists equal to those the slot before shows are dropped: the slot is an alias,
        // as pushing slot by slot makes it.
        const size_t length = ids.size() - begin;
        if (length != 0 && v > 0 && length == shown_end - shown_begin &&
            std::equal(ids.begin() + begin, ids.end(), ids.begin() + shown_begin) &&
            std::equal(video_counts.begin() + begin, video_counts.end(), video_counts.begin() + shown_begin)) {
            ids.resize(begin);
            video_counts.resize(begin);
            aliases.back() |= uint64_t{1} << (v % 64);
        } else {
            shown_begin = begin;
            shown_end = ids.size();
        }
        ends.push_back(static_cast<uint32_t>(ids.size()));
    }
    t = PayloadTable::whole(std::move(present), std::move(counts), std::move(ends), std::move(ids),
                            std::move(video_counts), std::move(aliases));
    return true;
}

Decoded<void> read_payloads(Reader& r, PayloadTable& t) {
    const Reader start = r;
    const auto n = read_length(r);
    if (!n) return std::unexpected(n.error());
    {
        const auto plain = read_plain_payloads(r, *n, t);
        if (!plain) return std::unexpected(plain.error());
        if (*plain) return {};
        r = start;
        (void)read_length(r);
    }
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
