#include "core/mapped/writer.hpp"

#include <bit>
#include <cstring>
#include <span>

#include "core/check/check.hpp"
#include "core/checksum/crc32c.hpp"
#include "core/facts/facts.hpp"
#include "core/mapped/reader.hpp"

namespace brindlex::mapped {

namespace {

class Sink {
public:
    explicit Sink(uint32_t sections) : sections_(sections), out_(table_end()) {}

    template <class T>
    void section(Section id, std::span<const T> items) {
        out_.resize((out_.size() + kAlign - 1) / kAlign * kAlign);
        const uint64_t offset = out_.size();
        const size_t bytes = items.size() * sizeof(T);
        out_.resize(offset + bytes);
        if (bytes != 0) std::memcpy(out_.data() + offset, items.data(), bytes);
        std::byte* entry = out_.data() + kHeaderSize + kTableEntrySize * count_++;
        put(entry, static_cast<uint32_t>(id));
        put(entry + 4, static_cast<uint32_t>(sizeof(T)));
        put(entry + 8, offset);
        put(entry + 16, static_cast<uint64_t>(items.size()));
    }

    std::vector<std::byte> finish(const FileInfo& info) {
        out_.resize((out_.size() + kAlign - 1) / kAlign * kAlign);
        std::byte* h = out_.data();
        std::memcpy(h, kMagic.data(), kMagic.size());
        put(h + 8, kVersion);
        h[10] = static_cast<std::byte>(info.text_mode);
        put(h + 12, count_);
        put(h + 16, info.video_top_n);
        put(h + 24, static_cast<uint64_t>(out_.size()));
        const std::span<const std::byte> all(out_);
        put(h + 32, checksum::crc32c(all.subspan(kHeaderSize, table_end() - kHeaderSize)));
        put(h + 40, checksum::crc32c(all.subspan(table_end())));
        put(h + 44, checksum::crc32c(all.first(44)));
        return std::move(out_);
    }

private:
    size_t table_end() const { return kHeaderSize + kTableEntrySize * sections_; }

    template <class T>
    static void put(std::byte* at, T value) {
        std::memcpy(at, &value, sizeof value);  // little-endian: checked by the caller
    }

    uint32_t sections_;
    std::vector<std::byte> out_;
    uint32_t count_ = 0;
};

}  // namespace

Result<std::vector<std::byte>> write_index(const TrieStore& store, const lookup::TermIndex& index,
                                           const lookup::Spellings& spellings, const lookup::VideoTexts& texts,
                                           const FileInfo& info, const lookup::Words& words) {
    if constexpr (std::endian::native != std::endian::little) {
        return internal_error("index files are used in place on little-endian machines only");
    }
    // A file used in place is not checked again when it is opened beyond what keeps reads
    // in range, so only a sound store is written so; a damaged one stays a snapshot, which
    // every command checks on load.
    if (!check::check_store(store).damage.empty()) return internal_error("the store is damaged");
    const facts::Facts& f = facts::facts_of(store);
    const facts::Reversed& rev = facts::reversed_of(store);
    const PayloadTable::PartsView slots = store.payloads.parts();
    const lookup::TermIndexParts terms = lookup::TermIndexParts::of(index);
    const lookup::Spellings::Parts spelt = spellings.parts();

    const uint64_t flags = (f.tree ? kTree : 0) | (f.rising ? kRising : 0) | (rev.usable ? kReversedUsable : 0) |
                           (slots.split ? kSplitEnds : 0) | (terms.saturated ? kSaturated : 0) |
                           (terms.distinct_labels ? kDistinctLabels : 0) | (words.empty() ? 0 : kWords) |
                           (words.empty() || !words.knows_separators() ? 0 : kWordSeparators);
    std::array<uint64_t, kMetaCount> meta{};
    meta[kIdMode] = static_cast<uint64_t>(store.id_mode);
    meta[kMaxDepth] = f.max_depth;
    meta[kFlags] = flags;
    meta[kRootCount] = f.root_count;
    meta[kReversedRootCount] = rev.usable ? rev.root_count : 0;
    meta[kTermCount] = terms.terms;

    const facts::Exact& exact = facts::exact_of(store);
    Sink sink(kRequiredSections + (texts.present() ? 2 : 0) + (words.empty() ? 0 : words.knows_separators() ? 4 : 3) + (exact.usable ? 2 : 0));
    sink.section(Section::Meta, std::span<const uint64_t>(meta));
    sink.section(Section::NodeShifts, store.node_shifts.span());
    sink.section(Section::ChildLabels, store.child_labels.span());
    sink.section(Section::ChildTransitions, store.child_transitions.span());
    sink.section(Section::HasPayload, store.has_payload.span());
    sink.section(Section::SlotPresent, slots.present);
    sink.section(Section::SlotCounts, slots.counts);
    sink.section(Section::SlotAliases, slots.aliases);
    sink.section(Section::SlotEnds32, slots.ends32);
    sink.section(Section::SlotEnds64, slots.ends64);
    sink.section(Section::SlotCountEnds, slots.counts_ends);
    sink.section(Section::VideoIds, slots.video_ids);
    sink.section(Section::VideoCounts, slots.video_counts);
    sink.section(Section::VideoUuids, store.video_uuids.span());
    sink.section(Section::VideoIntIds, store.video_int_ids.span());
    sink.section(Section::WalkEntries, f.entries.span());
    sink.section(Section::ReversedEntries, rev.usable ? rev.entries.span() : std::span<const facts::Entry>());
    sink.section(Section::BestBelow, terms.best.span());
    sink.section(Section::CountFixes, terms.fixes.span());
    sink.section(Section::SpellingNodes, spelt.nodes.span());
    sink.section(Section::SpellingEnds, spelt.ends.span());
    sink.section(Section::SpellingText, spelt.text.span());
    if (texts.present()) {
        sink.section(Section::VideoTextEnds, texts.ends().span());
        sink.section(Section::VideoText, texts.text().span());
    }
    if (!words.empty()) {
        const lookup::Words::Parts w = words.parts();
        sink.section(Section::WordNodes, w.nodes.span());
        sink.section(Section::WordTerms, w.terms.span());
        sink.section(Section::TermParents, w.parents.span());
        if (words.knows_separators()) sink.section(Section::WordSeparators, w.separators.span());
    }
    if (exact.usable) {
        sink.section(Section::ExactSlots, exact.slots.span());
        sink.section(Section::ExactTexts, exact.texts.span());
    }
    std::vector<std::byte> file = sink.finish(info);

    // What the reader would refuse is not written: the caller falls back to version 1.
    if (auto checked = check_index(file, false); !checked) return std::unexpected(std::move(checked.error()));
    return file;
}

}  // namespace brindlex::mapped
