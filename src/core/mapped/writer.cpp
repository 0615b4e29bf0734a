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

size_t aligned(size_t at) { return (at + kAlign - 1) / kAlign * kAlign; }

template <class T>
void put(std::byte* at, T value) {
    std::memcpy(at, &value, sizeof value);  // little-endian: checked by plan_index
}

}  // namespace

size_t IndexPlan::table_end() const { return kHeaderSize + kTableEntrySize * sections_; }

size_t IndexPlan::size() const { return aligned(size_); }

template <class T>
void IndexPlan::section(Section id, std::span<const T> items) {
    size_ = aligned(size_);
    pieces_.push_back({id, static_cast<uint32_t>(sizeof(T)), items.data(), items.size(), size_});
    size_ += items.size() * sizeof(T);
}

Result<void> IndexPlan::write(std::span<std::byte> out) const {
    if (out.size() != size()) return internal_error("write_index: the memory given is not the file's size");
    std::byte* h = out.data();
    std::memset(h, 0, table_end());
    size_t end = table_end();
    for (size_t k = 0; k < pieces_.size(); ++k) {
        const Piece& p = pieces_[k];
        std::memset(h + end, 0, p.offset - end);  // the padding before the section
        const size_t bytes = p.count * p.width;
        if (bytes != 0) std::memcpy(h + p.offset, p.data, bytes);
        end = p.offset + bytes;
        std::byte* entry = h + kHeaderSize + kTableEntrySize * k;
        put(entry, static_cast<uint32_t>(p.id));
        put(entry + 4, p.width);
        put(entry + 8, static_cast<uint64_t>(p.offset));
        put(entry + 16, static_cast<uint64_t>(p.count));
    }
    std::memset(h + end, 0, out.size() - end);
    std::memcpy(h, kMagic.data(), kMagic.size());
    put(h + 8, kVersion);
    h[10] = static_cast<std::byte>(info_.text_mode);
    put(h + 12, static_cast<uint32_t>(pieces_.size()));
    put(h + 16, info_.video_top_n);
    put(h + 24, static_cast<uint64_t>(out.size()));
    const std::span<const std::byte> all(out);
    put(h + 32, checksum::crc32c(all.subspan(kHeaderSize, table_end() - kHeaderSize)));
    put(h + 40, checksum::crc32c(all.subspan(table_end())));
    put(h + 44, checksum::crc32c(all.first(44)));

    // What the reader would refuse is not written: the caller falls back to version 1.
    if (auto checked = check_index(all, false); !checked) return std::unexpected(std::move(checked.error()));
    return {};
}

Result<IndexPlan> plan_index(const TrieStore& store, const lookup::TermIndex& index, const lookup::Spellings& spellings,
                             const lookup::VideoTexts& texts, const FileInfo& info, const lookup::Words& words) {
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
    IndexPlan sink;
    sink.terms_ = lookup::TermIndexParts::of(index);
    sink.spelt_ = spellings.parts();
    const lookup::TermIndexParts& terms = sink.terms_;
    const lookup::Spellings::Parts& spelt = sink.spelt_;

    const uint64_t flags = (f.tree ? kTree : 0) | (f.rising ? kRising : 0) | (rev.usable ? kReversedUsable : 0) |
                           (slots.split ? kSplitEnds : 0) | (terms.saturated ? kSaturated : 0) |
                           (terms.distinct_labels ? kDistinctLabels : 0) | (words.empty() ? 0 : kWords) |
                           (words.empty() || !words.knows_separators() ? 0 : kWordSeparators);
    sink.meta_.assign(kMetaCount, 0);
    std::vector<uint64_t>& meta = sink.meta_;
    meta[kIdMode] = static_cast<uint64_t>(store.id_mode);
    meta[kMaxDepth] = f.max_depth;
    meta[kFlags] = flags;
    meta[kRootCount] = f.root_count;
    meta[kReversedRootCount] = rev.usable ? rev.root_count : 0;
    meta[kTermCount] = terms.terms;

    const facts::Exact& exact = facts::exact_of(store);
    sink.info_ = info;
    sink.sections_ = kRequiredSections + (texts.present() ? 2 : 0) +
                     (words.empty() ? 0 : words.knows_separators() ? 4 : 3) + (exact.usable ? 2 : 0);
    sink.size_ = sink.table_end();
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
        sink.words_ = words.parts();
        const lookup::Words::Parts& w = sink.words_;
        sink.section(Section::WordNodes, w.nodes.span());
        sink.section(Section::WordTerms, w.terms.span());
        sink.section(Section::TermParents, w.parents.span());
        if (words.knows_separators()) sink.section(Section::WordSeparators, w.separators.span());
    }
    if (exact.usable) {
        sink.section(Section::ExactSlots, exact.slots.span());
        sink.section(Section::ExactTexts, exact.texts.span());
    }
    return sink;
}

Result<std::vector<std::byte>> write_index(const TrieStore& store, const lookup::TermIndex& index,
                                           const lookup::Spellings& spellings, const lookup::VideoTexts& texts,
                                           const FileInfo& info, const lookup::Words& words) {
    auto plan = plan_index(store, index, spellings, texts, info, words);
    if (!plan) return std::unexpected(std::move(plan.error()));
    std::vector<std::byte> file(plan->size());
    if (auto written = plan->write(file); !written) return std::unexpected(std::move(written.error()));
    return file;
}

}  // namespace brindlex::mapped
