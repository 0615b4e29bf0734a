#include "core/mapped/reader.hpp"

#include <bit>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "core/checksum/crc32c.hpp"
#include "core/facts/facts.hpp"
#include "core/mapped/sections.hpp"

namespace brindlex::mapped {

namespace {

static_assert(sizeof(facts::Entry) == 12 && alignof(facts::Entry) == 4);
static_assert(sizeof(facts::ExactSlot) == 12 && alignof(facts::ExactSlot) == 4);
static_assert(sizeof(lookup::CountFix) == 8 && alignof(lookup::CountFix) == 4);
static_assert(sizeof(VideoUuid) == 16 && alignof(VideoUuid) == 1);
static_assert(sizeof(lookup::WordNode) == 16 && alignof(lookup::WordNode) == 4);

// The element width each section must have.
uint32_t width_of(Section id) {
    switch (id) {
        case Section::Meta:
        case Section::SlotAliases:
        case Section::SlotEnds64:
        case Section::SlotCountEnds: return 8;
        case Section::HasPayload:
        case Section::SlotPresent:
        case Section::SpellingText:
        case Section::VideoText:
        case Section::ExactTexts: return 1;
        case Section::VideoUuids: return 16;
        case Section::WalkEntries:
        case Section::ReversedEntries:
        case Section::ExactSlots: return 12;
        case Section::CountFixes: return 8;
        case Section::WordNodes: return 16;
        default: return 4;
    }
}

// Everything but the checksum of the sections (verify_and_check).
Result<Parsed> parse(std::span<const std::byte> file) {
    if constexpr (std::endian::native != std::endian::little) {
        return internal_error("index files of version 2 are read on little-endian machines only");
    }
    if (file.size() < kHeaderSize) {
        return internal_error("the file is cut short inside its header (" + num(file.size()) + " of " +
                              num(kHeaderSize) + " bytes)");
    }
    if (reinterpret_cast<uintptr_t>(file.data()) % 8 != 0) return internal_error("the file's bytes are not aligned");
    if (std::memcmp(file.data(), kMagic.data(), kMagic.size()) != 0) return internal_error("no index file");
    if (checksum::crc32c(file.first(44)) != get<uint32_t>(file.subspan(44))) {
        return internal_error("the header's checksum does not match: the file is damaged");
    }
    if (get<uint16_t>(file.subspan(8)) != kVersion) return internal_error("the file is of another format version");
    Parsed p;
    p.info.text_mode = std::to_integer<uint8_t>(file[10]);
    p.info.video_top_n = get<uint64_t>(file.subspan(16));
    const uint32_t sections = get<uint32_t>(file.subspan(12));
    if (p.info.text_mode > 2 || file[11] != std::byte{0} || get<uint32_t>(file.subspan(36)) != 0 ||
        sections < kRequiredSections || sections > kMostSections) {
        return internal_error("the header holds values this brindlex does not know");
    }
    const uint64_t length = get<uint64_t>(file.subspan(24));
    if (length != file.size()) {
        if (file.size() < length) {
            return internal_error("the file is cut short: it holds " + num(file.size()) + " bytes of the " +
                                  num(length) + " its header promises");
        }
        return internal_error(num(file.size() - length) + " bytes follow the " + num(length) +
                              " its header promises: the file is damaged");
    }
    const size_t table_end = kHeaderSize + kTableEntrySize * size_t{sections};
    p.table_end = table_end;
    if (file.size() < table_end) return internal_error("the file is cut short inside its section table");
    if (checksum::crc32c(file.subspan(kHeaderSize, table_end - kHeaderSize)) != get<uint32_t>(file.subspan(32))) {
        return internal_error("the section table's checksum does not match: the file is damaged");
    }
    std::array<bool, kLastSection + 1> seen{};
    for (uint32_t k = 0; k < sections; ++k) {
        const auto entry = file.subspan(kHeaderSize + kTableEntrySize * k, kTableEntrySize);
        const uint32_t id = get<uint32_t>(entry);
        const uint32_t width = get<uint32_t>(entry.subspan(4));
        const uint64_t offset = get<uint64_t>(entry.subspan(8));
        const uint64_t count = get<uint64_t>(entry.subspan(16));
        if (id == 0 || id > kLastSection || (id > kRequiredSections && !is_optional(id)) || seen[id]) {
            return internal_error("the section table is damaged");
        }
        seen[id] = true;
        const auto section = static_cast<Section>(id);
        if (width != width_of(section) || get<uint64_t>(entry.subspan(24)) != 0 || offset % kAlign != 0 ||
            offset < table_end || offset > file.size() || count > (file.size() - offset) / width) {
            return internal_error(std::string("the section table's entry for ") + name_of(section) +
                                  " is damaged");
        }
        p.bytes[id] = file.subspan(offset, count * width);
        p.counts[id] = count;
    }
    for (uint32_t id = 1; id <= kRequiredSections; ++id) {
        if (!seen[id]) return internal_error("the section table is damaged");
    }
    if (seen[static_cast<size_t>(Section::VideoTextEnds)] != seen[static_cast<size_t>(Section::VideoText)] ||
        seen[static_cast<size_t>(Section::ExactSlots)] != seen[static_cast<size_t>(Section::ExactTexts)]) {
        return internal_error("the section table is damaged");
    }
    p.exact = seen[static_cast<size_t>(Section::ExactSlots)];
    return p;
}

// Runs `side` on a second thread while `main` runs on this one (both on this one when no
// thread can be started, or for a file too small to be worth one).
template <class Side, class Main>
void side_by_side(bool worth_a_thread, Side side, Main main) {
    std::optional<std::thread> beside;
    if (worth_a_thread) {
        try {
            beside.emplace(side);
        } catch (const std::system_error&) {
        }
    }
    main();
    if (beside) {
        beside->join();
    } else {
        side();
    }
}

// The linear pass, and when `verify` the checksum of the sections. Two cores halve it: the
// checksum beside the pass (the two read the same pages, and take about as long), or,
// without it, the pass's two halves side by side. A wrong checksum is reported before any
// other fault, and faults in the order the sections are listed above.
constexpr uint64_t kThreadWorthy = uint64_t{1} << 16;  // nodes

Result<void> verify_and_check(const Parsed& p, std::span<const std::byte> file, bool verify) {
    if (auto ok = check_shape(p); !ok) return ok;
    const bool big = p.counts[static_cast<size_t>(Section::NodeShifts)] >= kThreadWorthy;
    Result<void> nodes, terms;
    if (verify) {
        const auto sections = file.subspan(p.table_end);
        uint32_t crc = 0;
        side_by_side(big, [&crc, sections] { crc = checksum::crc32c(sections); }, [&] {
            nodes = check_nodes(p);
            if (nodes) terms = check_terms(p);
        });
        if (crc != get<uint32_t>(file.subspan(40))) return internal_error("the checksum does not match: the file is damaged");
    } else {
        side_by_side(big, [&terms, &p] { terms = check_terms(p); }, [&] { nodes = check_nodes(p); });
    }
    if (!nodes) return nodes;
    if (!terms) return terms;
    return check_word_starts(p);
}

template <class T>
Array<T> view(const Parsed& p, Section id, const std::shared_ptr<const void>& keeper) {
    return Array<T>::borrowed(p.as<T>(id), keeper);
}

}  // namespace

bool is_version2(std::span<const std::byte> file) {
    return file.size() >= 10 && std::memcmp(file.data(), kMagic.data(), kMagic.size()) == 0 &&
           get<uint16_t>(file.subspan(8)) == kVersion;
}

Result<FileInfo> check_index(std::span<const std::byte> file, bool verify) {
    auto parsed = parse(file);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    if (auto ok = verify_and_check(*parsed, file, verify); !ok) return std::unexpected(std::move(ok.error()));
    return parsed->info;
}

Result<Opened> read_index(std::span<const std::byte> file, std::shared_ptr<const void> keeper, bool verify) {
    auto parsed = parse(file);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    const Parsed& p = *parsed;
    if (auto ok = verify_and_check(p, file, verify); !ok) return std::unexpected(std::move(ok.error()));

    const auto meta = p.as<uint64_t>(Section::Meta);
    const uint64_t flags = meta[kFlags];
    Opened o;
    o.info = p.info;
    TrieStore& s = o.store;
    s.node_shifts = view<uint32_t>(p, Section::NodeShifts, keeper);
    s.child_labels = view<uint32_t>(p, Section::ChildLabels, keeper);
    s.child_transitions = view<uint32_t>(p, Section::ChildTransitions, keeper);
    s.has_payload = view<uint8_t>(p, Section::HasPayload, keeper);
    s.video_uuids = view<VideoUuid>(p, Section::VideoUuids, keeper);
    s.video_int_ids = view<uint32_t>(p, Section::VideoIntIds, keeper);
    s.id_mode = static_cast<IdMode>(meta[kIdMode]);
    s.payloads = PayloadTable::from_parts({
        .present = view<uint8_t>(p, Section::SlotPresent, keeper),
        .aliases = view<uint64_t>(p, Section::SlotAliases, keeper),
        .counts = view<uint32_t>(p, Section::SlotCounts, keeper),
        .ends32 = view<uint32_t>(p, Section::SlotEnds32, keeper),
        .ends64 = view<uint64_t>(p, Section::SlotEnds64, keeper),
        .counts_ends = view<uint64_t>(p, Section::SlotCountEnds, keeper),
        .split = (flags & kSplitEnds) != 0,
        .video_ids = view<uint32_t>(p, Section::VideoIds, keeper),
        .video_counts = view<uint32_t>(p, Section::VideoCounts, keeper),
    });

    auto f = std::make_shared<facts::Facts>();
    f->max_depth = meta[kMaxDepth];
    f->tree = (flags & kTree) != 0;
    f->entries = view<facts::Entry>(p, Section::WalkEntries, keeper);
    f->root_count = static_cast<uint32_t>(meta[kRootCount]);
    f->rising = (flags & kRising) != 0;
    facts::Reversed rev;
    rev.usable = (flags & kReversedUsable) != 0;
    if (rev.usable) {
        rev.entries = view<facts::Entry>(p, Section::ReversedEntries, keeper);
        rev.root_count = static_cast<uint32_t>(meta[kReversedRootCount]);
    }
    f->set_reversed(std::move(rev));
    if (p.exact) {
        // Nothing to check at load: every probe stays in the slots and every text read in
        // the texts, and a node past the last names none (facts/exact.hpp).
        facts::Exact exact;
        exact.slots = view<facts::ExactSlot>(p, Section::ExactSlots, keeper);
        exact.texts = view<uint8_t>(p, Section::ExactTexts, keeper);
        exact.nodes = static_cast<uint32_t>(s.node_shifts.size());
        exact.usable = true;
        f->set_exact(std::move(exact));
    }
    adopt_facts(s, std::move(f));

    o.index = lookup::TermIndexParts{
        .best = view<uint32_t>(p, Section::BestBelow, keeper),
        .fixes = view<lookup::CountFix>(p, Section::CountFixes, keeper),
        .terms = meta[kTermCount],
        .saturated = (flags & kSaturated) != 0,
        .distinct_labels = (flags & kDistinctLabels) != 0,
    }.make();
    o.spellings = lookup::Spellings::from_parts({
        .nodes = view<uint32_t>(p, Section::SpellingNodes, keeper),
        .ends = view<uint32_t>(p, Section::SpellingEnds, keeper),
        .text = view<char>(p, Section::SpellingText, keeper),
    });
    o.texts = lookup::VideoTexts(view<uint32_t>(p, Section::VideoTextEnds, keeper), view<char>(p, Section::VideoText, keeper));
    if ((flags & kWords) != 0) {
        o.words = lookup::Words::from_parts({
            .nodes = view<lookup::WordNode>(p, Section::WordNodes, keeper),
            .terms = view<uint32_t>(p, Section::WordTerms, keeper),
            .parents = view<uint32_t>(p, Section::TermParents, keeper),
            .separators = view<uint32_t>(p, Section::WordSeparators, keeper),
            .knows_separators = (flags & kWordSeparators) != 0,
        });
    }
    return o;
}

}  // namespace brindlex::mapped
