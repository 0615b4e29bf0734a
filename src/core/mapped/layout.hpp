// Version 2 index files: the store, its facts and the term lookups as the queries read
// them, so that a file is used in place (mapped) with nothing computed per node.
//
//   header         48 bytes, as version 1 opens (magic, version, text mode, video_top_n,
//                  checksums); its other fields say where the section table is and how
//                  long the file is
//   section table  32 bytes a section: id, element width, offset, element count, 0
//   sections       each at a multiple of 64 bytes, zero padding between and after them,
//                  every value fixed-width little-endian
//
// Header fields (offset, size): magic 0/8, version 8/2 (2), text mode 10/1, reserved
// 11/1 (0), section count 12/4, video_top_n 16/8, file length 24/8, CRC-32C of the
// section table 32/4, reserved 36/4 (0), CRC-32C of every byte after the table 40/4,
// CRC-32C of header bytes 0..43 44/4. docs/index-file-format.md says what each section
// holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace brindlex::mapped {

inline constexpr std::array<uint8_t, 8> kMagic = {0x89, 'B', 'R', 'X', '\r', '\n', 0x1A, '\n'};
inline constexpr uint16_t kVersion = 2;
inline constexpr size_t kHeaderSize = 48;
inline constexpr size_t kTableEntrySize = 32;
inline constexpr size_t kAlign = 64;

// The sections, by id; each comes once in a file, in any order.
enum class Section : uint32_t {
    Meta = 1,               // u64 values, indexed by Meta below
    NodeShifts = 2,         // u32 per node
    ChildLabels = 3,        // u32 per node
    ChildTransitions = 4,   // u32 per child position
    HasPayload = 5,         // u8 per node
    SlotPresent = 6,        // u8 per node
    SlotCounts = 7,         // u32 per node: the subtree totals
    SlotAliases = 8,        // u64 per 64 slots: bit v, slot v shows slot v - 1's lists
    SlotEnds32 = 9,         // u32 per node: end of its own lists (or empty, then Ends64)
    SlotEnds64 = 10,        // u64 per node, when the ends do not fit 32 bits
    SlotCountEnds = 11,     // u64 per node, when a slot's two lists differ in length
    VideoIds = 12,          // u32 per kept list entry
    VideoCounts = 13,       // u32 per kept list entry
    VideoUuids = 14,        // 16 bytes per video
    VideoIntIds = 15,       // u32 per video
    WalkEntries = 16,       // 12 bytes per entry (info, first, node), closing entry last
    ReversedEntries = 17,   // the same, for the reversed-term index
    BestBelow = 18,         // u32 per node
    CountFixes = 19,        // 8 bytes per fix (node, count)
    SpellingNodes = 20,     // u32 per spelling
    SpellingEnds = 21,      // u32 per spelling
    SpellingText = 22,      // UTF-8 bytes
    // Optional: a file without them (one of int or UUID ids, built without word starts)
    // holds sections 1 to 22 only.
    VideoTextEnds = 23,     // u32 per text video id: its end in VideoText
    VideoText = 24,         // UTF-8 bytes
    // Matching inside titles (lookup/words.hpp), only in a file with kWords set:
    WordNodes = 27,         // 16 bytes per word node (first child, first term, label, best), closing node last
    WordTerms = 28,         // u32 per word's term: a node number
    TermParents = 29,       // u32 per node
    // The exact-term table (facts/exact.hpp), both or neither; without them it is made at load:
    ExactSlots = 32,        // 12 bytes per slot (tag, node, text offset)
    ExactTexts = 33,        // each term as a varint length and its UTF-8 bytes
    // With kWords and kWordSeparators: the characters of the trie that separate words.
    WordSeparators = 34,    // u32 per character, rising
};
// Every file holds sections 1 to kRequiredSections; the optional ones beside them have ids
// up to kLastSection (ids between belong to no section yet).
inline constexpr uint32_t kRequiredSections = 22;
inline constexpr uint32_t kLastSection = 34;
inline constexpr bool is_optional(uint32_t id) {
    return (id >= 23 && id <= 24) || (id >= 27 && id <= 29) || (id >= 32 && id <= 34);
}
// The most sections a file holds.
inline constexpr uint32_t kMostSections = kRequiredSections + 2 + 3 + 2 + 1;

// The values of the Meta section, by index.
enum Meta : size_t {
    kIdMode = 0,
    kMaxDepth = 1,
    kFlags = 2,
    kRootCount = 3,
    kReversedRootCount = 4,
    kTermCount = 5,
    kMetaCount = 6,
};

// Bits of Meta kFlags.
inline constexpr uint64_t kTree = 1;            // the walk's entries are made (facts.tree)
inline constexpr uint64_t kRising = 2;          // their runs' labels rise
inline constexpr uint64_t kReversedUsable = 4;  // the reversed-term index is made
inline constexpr uint64_t kSplitEnds = 8;       // the payload counts have end offsets of their own
inline constexpr uint64_t kSaturated = 16;      // some subtree total reached 4294967295
inline constexpr uint64_t kDistinctLabels = 32; // no two children of a node share a label
inline constexpr uint64_t kWords = 64;          // the word sections are there
inline constexpr uint64_t kWordSeparators = 128; // with kWords: section 34 is there
inline constexpr uint64_t kKnownFlags = 256;    // flags at or above are unknown

// What the header says beside the sections.
struct FileInfo {
    uint8_t text_mode = 0;
    uint64_t video_top_n = UINT64_MAX;
};

}  // namespace brindlex::mapped
