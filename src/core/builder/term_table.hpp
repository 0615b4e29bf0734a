// Entries merged by term: each distinct term once, with its count summed and its videos
// summed per video, and the videos numbered in the order the entries first name them.
// Counts add with saturation at 4294967295, as the store's counts do.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/builder/interner.hpp"

namespace brindlex::build {

class TermTable {
public:
    // Takes distinct terms numbered in order, with their counts, as the table's terms;
    // requires a table with no terms yet.
    void adopt(TextInterner&& terms, std::vector<uint32_t>&& counts) {
        terms_ = std::move(terms);
        counts_ = std::move(counts);
    }

    // Adds `count` to the term (UTF-8, checked by the caller) and returns its number.
    uint32_t add_term(std::string_view term, uint32_t count);

    // The number of a video id, new ids numbered in order. Ids of both sizes may be
    // numbered; the caller refuses a mix before the store is built.
    uint32_t video_number(const VideoKey& key) {
        bool added = false;
        return videos_.intern(key, added);
    }

    // Adds `count` to the video's count in the term's list.
    void add_video(uint32_t term, uint32_t video, uint32_t count) { rows_.push_back({term, video, count}); }

    size_t term_count() const { return terms_.size(); }
    size_t video_rows() const { return rows_.size(); }
    std::string_view term(uint32_t t) const { return terms_[t]; }
    uint32_t count(uint32_t t) const { return counts_[t]; }
    // The term's count without saturation: what its entries add up to.
    uint64_t exact_count(uint32_t t) const;
    const VideoInterner& videos() const { return videos_; }
    VideoInterner& videos() { return videos_; }

    // Each term's video list: its videos once each, by count, largest first, the first
    // named first among equal counts. Term t's lists are [starts[t], starts[t + 1]).
    struct Lists {
        std::vector<uint64_t> starts;
        std::vector<uint32_t> ids;
        std::vector<uint32_t> counts;
    };
    // Consumes the video rows.
    Lists take_lists();

    size_t memory_bytes() const;

private:
    struct Row {
        uint32_t term;
        uint32_t video;
        uint32_t count;
    };

    TextInterner terms_;
    std::vector<uint32_t> counts_;
    // The exact counts of the (few) terms whose count saturated.
    std::unordered_map<uint32_t, uint64_t> beyond_;
    VideoInterner videos_;
    std::vector<Row> rows_;
};

}  // namespace brindlex::build
