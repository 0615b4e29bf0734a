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
#include "core/memory/fresh_pages.hpp"
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

// The usual table, read straight from its arrays: every slot's two lists of one length,
// 32-bit end offsets. Other tables take the general route through each_view.
bool plain_table(const PayloadTable::PartsView& t) { return !t.split && t.ends64.empty(); }

bool alias_bit(std::span<const uint64_t> aliases, size_t v) { return (aliases[v / 64] >> (v % 64) & 1) != 0; }

size_t size_payloads(const PayloadTable& t) {
    const size_t slots = t.size();
    size_t n = size_length(slots) + slots * size_option_tag();
    if (slots == 0) return n;
    // The elements of the kept lists in two flat passes, then what each slot adds around
    // them: an alias writes the lists it shows, which are kept once, for an earlier slot.
    n += size_varint32_elements(t.kept_video_ids()) + size_varint32_elements(t.kept_video_counts());
    const PayloadTable::PartsView parts = t.parts();
    if (plain_table(parts)) {
        // The bytes of the lists shown, sized once for all the slots that show them.
        uint64_t kept_end = 0, shown_begin = 0, shown_end = 0;
        size_t shown_bytes = 0;
        bool sized = true;
        for (size_t v = 0; v < slots; ++v) {
            const bool alias = alias_bit(parts.aliases, v);
            if (!alias) {
                shown_begin = kept_end;
                shown_end = kept_end = parts.ends32[v];
                sized = shown_begin == shown_end;
                shown_bytes = 0;
            }
            const uint64_t m = shown_end - shown_begin;
            const bool present = parts.present[v] != 0;
            if (present) {
                n += size_varint32(parts.counts[v]) + 2 * size_length(m);
                if (!alias) continue;
            }
            if (!sized) {
                shown_bytes = size_varint32_elements(parts.video_ids.subspan(shown_begin, m)) +
                              size_varint32_elements(parts.video_counts.subspan(shown_begin, m));
                sized = true;
            }
            if (present) {
                n += shown_bytes;
            } else {
                n -= shown_bytes;  // an absent slot writes no entries (and normally has none)
            }
        }
        return n;
    }
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

void write_payload_slot(Writer& w, const PayloadView& p) {
    write_option_tag(w, true);
    write_varint32(w, p.count);
    write_varint32_sequence(w, p.video_ids);
    write_varint32_sequence(w, p.video_counts);
}

void write_payloads(Writer& w, const PayloadTable& t) {
    const size_t slots = t.size();
    write_length(w, slots);
    const PayloadTable::PartsView parts = t.parts();
    if (!plain_table(parts)) {
        t.each_view([&](size_t v, const PayloadView& p) {
            if (t.present(v)) {
                write_payload_slot(w, p);
            } else {
                write_option_tag(w, false);
            }
        });
        return;
    }
    // Straight from the arrays, the position in a local pointer. A slot whose longest
    // form leaves a whole word of room is written with wide stores, the others (the last
    // few bytes of the buffer) with the checked writers.
    const uint32_t* ids = parts.video_ids.data();
    const uint32_t* counts = parts.video_counts.data();
    uint64_t kept_end = 0, shown_begin = 0, shown_end = 0;
    uint8_t* p = w.pos;
    for (size_t v = 0; v < slots; ++v) {
        if (!alias_bit(parts.aliases, v)) {
            shown_begin = kept_end;
            shown_end = kept_end = parts.ends32[v];
        }
        if (parts.present[v] == 0) {
            *p++ = 0;
            continue;
        }
        const uint64_t m = shown_end - shown_begin;
        if (static_cast<uint64_t>(w.end - p) < 8 + 1 + 5 + 2 * 5 + 10 * m) [[unlikely]] {
            w.pos = p;
            write_payload_slot(w, {parts.counts[v], std::span<const uint32_t>(ids + shown_begin, m),
                                   std::span<const uint32_t>(counts + shown_begin, m)});
            p = w.pos;
            continue;
        }
        *p++ = 1;
        p = detail::put_varint32_wide(p, parts.counts[v]);
        p = detail::put_varint32_wide(p, static_cast<uint32_t>(m));
        for (uint64_t k = shown_begin; k < shown_end; ++k) p = detail::put_varint32_wide(p, ids[k]);
        p = detail::put_varint32_wide(p, static_cast<uint32_t>(m));
        for (uint64_t k = shown_begin; k < shown_end; ++k) p = detail::put_varint32_wide(p, counts[k]);
    }
    w.pos = p;
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

// ASCII labels, nearly all of them, are taken byte by byte; the others through read_char.
Decoded<void> read_labels(Reader& r, std::vector<uint32_t>& out) {
    const auto n = read_length(r);
    if (!n) return std::unexpected(n.error());
    // Each label takes at least a byte: `out` is sized once, never past the input.
    out = fresh_vector<uint32_t>(reserve_bound(r, *n));
    uint32_t* dst = out.data();
    const uint8_t* p = r.pos;
    const uint8_t* end = r.end;
    for (uint64_t i = 0; i < *n; ++i) {
        if (p != end && *p < 0x80) [[likely]] {
            dst[i] = *p++;
            continue;
        }
        r.pos = p;
        const auto c = read_char(r);
        if (!c) return std::unexpected(c.error());
        dst[i] = *c;  // i < out.size(): one byte at least was read for each label before
        p = r.pos;
    }
    r.pos = p;
    return {};
}

// The usual table, read into flat arrays and handed over whole: every present slot's two
// lists of one length, at most UINT32_MAX entries in all. Returns false, having read part
// of the field, for a table that is not; the caller then reads it slot by slot.
// The entries of one kind of list, end to end, written through a raw pointer into room
// made ahead by doubling: `items` holds the room, the first `used` of them the entries.
struct Entries {
    std::vector<uint32_t> items;
    size_t used = 0;

    // Room is made a slice at a time within a capacity that doubles, so that no more
    // than a slice past the entries is ever touched.
    uint32_t* room_for(uint64_t m) {
        if (items.size() - used < m) {
            const size_t need = used + static_cast<size_t>(m);
            if (need > items.capacity()) reserve_fresh(items, std::max<size_t>(need, 2 * items.capacity() + 1024));
            items.resize(std::min(items.capacity(), std::max<size_t>(need, used + kSlice)));
        }
        return items.data() + used;
    }
    static constexpr size_t kSlice = 4096;
    std::vector<uint32_t> take() {
        items.resize(used);
        return std::move(items);
    }
};

// Appends a list of `m` 32-bit varints: on the fast route when the bytes left hold every
// element in its longest form (so room for them is bounded by the input), else one by
// one, each taking at least a byte.
Decoded<void> read_list(Reader& r, uint64_t m, Entries& out) {
    if (m <= r.remaining() / 5) [[likely]] {
        auto taken = take_varint32s(r, m, out.room_for(m));
        if (taken) out.used += static_cast<size_t>(m);
        return taken;
    }
    for (uint64_t k = 0; k < m; ++k) {
        const auto x = read_varint32(r);
        if (!x) return std::unexpected(x.error());
        *out.room_for(1) = *x;
        ++out.used;
    }
    return {};
}

// Room for the fast route's reads: a slot's tag, count and first length (1 + 5 + 5), and
// the 5 bytes each read of 32-bit form may load.
constexpr size_t kFastSlotHead = 16;

// The usual present slot on the fast route: tag 1, count, two lists of one length, every
// value in a 32-bit form, all inside the input with room to spare. Appends the lists and
// moves `p` past the slot and `lists` to where its lists begin; returns false, having
// moved nothing and kept nothing, for any other slot (the careful route then reads it and
// says what is wrong, if anything).
bool read_fast_slot(const uint8_t*& p, const uint8_t* end, uint32_t& count, Entries& ids, Entries& counts,
                    const uint8_t*& lists) {
    const uint8_t* q = p;
    if (static_cast<size_t>(end - q) < kFastSlotHead || q[0] != 1) return false;
    const detail::Taken32 c = detail::take_varint32(q + 1);
    q += 1 + c.size;
    const uint8_t* first = q;
    const detail::Taken32 m = detail::take_varint32(q);
    q += m.size;
    // Both lists and the second length, each read loading up to 5 bytes.
    if (c.size == 0 || m.size == 0 || m.value > (static_cast<size_t>(end - q) - 5) / 10) return false;
    uint32_t* dst = ids.room_for(m.value);
    uint32_t bad = 0;
    for (uint32_t k = 0; k < m.value; ++k) {
        const detail::Taken32 x = detail::take_varint32(q);
        bad |= static_cast<uint32_t>(x.size == 0);
        dst[k] = x.value;
        q += x.size;
    }
    const detail::Taken32 m2 = detail::take_varint32(q);
    q += m2.size;
    if (bad != 0 || m2.size == 0 || m2.value != m.value) return false;
    // Video counts are nearly all single bytes: those take a predicted branch and one
    // step, where the forms of ids vary too much for a branch to be guessed.
    dst = counts.room_for(m.value);
    for (uint32_t k = 0; k < m.value; ++k) {
        if (q[0] <= kVarintMaxSingle) [[likely]] {
            dst[k] = *q++;
            continue;
        }
        const detail::Taken32 x = detail::take_varint32(q);
        bad |= static_cast<uint32_t>(x.size == 0);
        dst[k] = x.value;
        q += x.size;
    }
    if (bad != 0) return false;
    ids.used += m.value;
    counts.used += m.value;
    count = c.value;
    lists = first;
    p = q;
    return true;
}

// Whether the `size` bytes at `a` and at `b` are equal, a word at a time: the lists of
// a slot are a few dozen bytes, where a call to memcmp costs more than the compare. Reads
// up to 7 bytes past each range (a last word that holds one byte of it), which the
// caller has.
inline bool same_bytes(const uint8_t* a, const uint8_t* b, size_t size) {
    for (; size >= 8; size -= 8, a += 8, b += 8) {
        if (detail::load_le<uint64_t>(a) != detail::load_le<uint64_t>(b)) return false;
    }
    if (size == 0) return true;  // no word may be loaded past the end here
    const uint64_t mask = (uint64_t{1} << (8 * size)) - 1;  // size < 8
    return ((detail::load_le<uint64_t>(a) ^ detail::load_le<uint64_t>(b)) & mask) == 0;
}

// Whether two runs of `size` entries are equal, without a call (as above).
inline bool same_entries(const uint32_t* a, const uint32_t* b, size_t size) {
    uint32_t differ = 0;
    for (size_t k = 0; k < size; ++k) differ |= a[k] ^ b[k];
    return differ == 0;
}

Decoded<bool> read_plain_payloads(Reader& r, uint64_t n, PayloadTable& t) {
    // Each slot takes at least its tag byte: the per-slot arrays are sized once, never
    // past the input, and filled by number (slot v < slots whenever it is read whole).
    const size_t slots = reserve_bound(r, n);
    std::vector<uint8_t> present = fresh_vector<uint8_t>(slots);
    std::vector<uint32_t> counts = fresh_vector<uint32_t>(slots);
    std::vector<uint32_t> ends = fresh_vector<uint32_t>(slots);
    std::vector<uint64_t> aliases((slots + 63) / 64, 0);
    Entries ids, video_counts;
    size_t shown_begin = 0;  // the lists the slot before shows: [shown_begin, shown_end)
    size_t shown_end = 0;
    // The bytes those lists were read from (both lengths and lists), while they are not
    // empty. A slot that repeats them byte for byte shows the same lists, read before
    // without error: it is an alias, and its lists are stepped over unread.
    const uint8_t* shown_bytes = nullptr;
    size_t shown_size = 0;
    for (uint64_t v = 0; v < n; ++v) {
        if (r.pos != r.end && *r.pos == 0) {
            ++r.pos;
            ends[v] = static_cast<uint32_t>(ids.used);
            shown_begin = shown_end = ids.used;
            shown_size = 0;
            continue;
        }
        // Room for the tag, the count's longest form, the lists and what same_bytes may
        // read past them.
        if (shown_size != 0 && static_cast<size_t>(r.end - r.pos) >= 1 + 5 + shown_size + 7 && r.pos[0] == 1) {
            const detail::Taken32 c = detail::take_varint32(r.pos + 1);
            const uint8_t* lists = r.pos + 1 + c.size;
            if (c.size != 0 && same_bytes(lists, shown_bytes, shown_size)) {
                present[v] = 1;
                counts[v] = c.value;
                aliases[v / 64] |= uint64_t{1} << (v % 64);
                ends[v] = static_cast<uint32_t>(ids.used);
                r.pos = lists + shown_size;
                continue;
            }
        }
        const size_t begin = ids.used;
        uint32_t count = 0;
        const uint8_t* lists = nullptr;
        if (!read_fast_slot(r.pos, r.end, count, ids, video_counts, lists)) {
            const auto is_present = read_option_tag(r, kPayloadTypeName);
            if (!is_present) return std::unexpected(is_present.error());
            const auto read_count = read_varint32(r);
            if (!read_count) return std::unexpected(read_count.error());
            lists = r.pos;
            const auto id_count = read_length(r);
            if (!id_count) return std::unexpected(id_count.error());
            if (auto e = read_list(r, *id_count, ids); !e) return std::unexpected(e.error());
            const auto count_count = read_length(r);
            if (!count_count) return std::unexpected(count_count.error());
            if (*count_count != *id_count) return false;
            if (auto e = read_list(r, *count_count, video_counts); !e) return std::unexpected(e.error());
            count = *read_count;
        }
        if (ids.used > UINT32_MAX) return false;
        present[v] = 1;
        counts[v] = count;
        // Lists equal to those the slot before shows are dropped: the slot is an alias,
        // as pushing slot by slot makes it.
        const size_t length = ids.used - begin;
        const uint32_t* id = ids.items.data();
        const uint32_t* vc = video_counts.items.data();
        if (length != 0 && v > 0 && length == shown_end - shown_begin &&
            same_entries(id + begin, id + shown_begin, length) && same_entries(vc + begin, vc + shown_begin, length)) {
            ids.used = video_counts.used = begin;
            aliases[v / 64] |= uint64_t{1} << (v % 64);
        } else {
            shown_begin = begin;
            shown_end = ids.used;
            shown_bytes = lists;
            shown_size = length == 0 ? 0 : static_cast<size_t>(r.pos - lists);
        }
        ends[v] = static_cast<uint32_t>(ids.used);
    }
    t = PayloadTable::whole(std::move(present), std::move(counts), std::move(ends), ids.take(), video_counts.take(),
                            std::move(aliases));
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
        out = fresh_vector<VideoUuid>(static_cast<size_t>(*n));
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
    reserve_fresh(out, avail);
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
    // The buffer is written whole, and is usually fresh.
    advise_huge_pages(out.data(), out.size());
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
