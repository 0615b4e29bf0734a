// The compiled peer of the walk: a symmetric-delete index in C++, timed beside
// walk_terms on the same queries, natively, each query once, in sequence (cold), and its
// answers compared with the walk's.
//
//   symdelete_bench SNAPSHOT WORDS QUERIES
//
// WORDS holds the indexed terms, one a line (the terms of SNAPSHOT); QUERIES one query a
// line. Two strings within distance k become equal after at most k deletions from each,
// and cutting both to their first P code points never raises their distance. The index
// maps the 64-bit hash of every string made by deleting up to 2 code points from a word's
// first 7 to the words it came from, in an open-addressing table of keys over one array
// of word numbers; a query hashes its own deletions, collects the candidates once each,
// drops those whose length differs by more than k, and verifies the rest with a banded
// Levenshtein distance that stops as soon as the band exceeds k. Prints, per bound, both
// medians and 99th percentiles, build time and memory, and the number of answers that
// differ (which must be 0).
//
// Built with `cmake --build build/release --target symdelete_bench`; never part of the
// module.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bench_files.hpp"
#include "core/snapshot/snapshot.hpp"
#include "core/text/utf8.hpp"
#include "core/facts/facts.hpp"
#include "core/walk/walk.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kPrefix = 7;
constexpr uint32_t kMaxK = 2;

double us_since(Clock::time_point a) { return std::chrono::duration<double, std::micro>(Clock::now() - a).count(); }

uint64_t hash_of(std::span<const uint32_t> s) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
    for (const uint32_t c : s) {
        h ^= c;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    return h ? h : 1;  // 0 marks an empty slot
}

// The hashes of s and of every string made from it by deleting up to k code points,
// each once.
void deletion_hashes(std::span<const uint32_t> s, uint32_t k, std::vector<uint64_t>& out) {
    out.clear();
    std::vector<std::vector<uint32_t>> level{std::vector<uint32_t>(s.begin(), s.end())};
    out.push_back(hash_of(s));
    for (uint32_t round = 0; round < k; ++round) {
        std::vector<std::vector<uint32_t>> next;
        for (const auto& t : level) {
            for (size_t i = 0; i < t.size(); ++i) {
                std::vector<uint32_t> d;
                d.reserve(t.size() - 1);
                d.insert(d.end(), t.begin(), t.begin() + static_cast<std::ptrdiff_t>(i));
                d.insert(d.end(), t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.end());
                out.push_back(hash_of(d));
                next.push_back(std::move(d));
            }
        }
        level = std::move(next);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

// Levenshtein distance of a and b if at most k, else k + 1: cells beyond the band
// |i - j| <= k are never needed, and the row minimum ends the loop early.
uint32_t banded_distance(std::span<const uint32_t> a, std::span<const uint32_t> b, uint32_t k,
                         std::vector<uint32_t>& row) {
    const size_t n = a.size(), m = b.size();
    if ((n > m ? n - m : m - n) > k) return k + 1;
    const uint32_t far = k + 1;
    row.assign(m + 1, far);
    for (size_t j = 0; j <= std::min<size_t>(m, k); ++j) row[j] = static_cast<uint32_t>(j);
    for (size_t i = 1; i <= n; ++i) {
        const size_t lo = i > k ? i - k : 1;
        const size_t hi = std::min(m, i + k);
        uint32_t diag = row[lo - 1];
        uint32_t left = i <= k ? static_cast<uint32_t>(i) : far;
        if (lo == 1) row[0] = left;
        uint32_t best = left;
        for (size_t j = lo; j <= hi; ++j) {
            const uint32_t up = row[j];
            uint32_t c = diag + (a[i - 1] != b[j - 1]);
            c = std::min({c, up + 1, left + 1, far});
            diag = up;
            row[j] = left = c;
            best = std::min(best, c);
        }
        if (hi < m) row[hi + 1] = far;
        if (best > k) return far;
    }
    return std::min(row[m], far);
}

class SymmetricDelete {
public:
    explicit SymmetricDelete(const std::vector<std::vector<uint32_t>>& words) : words_(words) {
        std::vector<std::pair<uint64_t, uint32_t>> pairs;
        std::vector<uint64_t> hashes;
        for (uint32_t w = 0; w < words.size(); ++w) {
            const auto& word = words[w];
            deletion_hashes(std::span(word).first(std::min(kPrefix, word.size())), kMaxK, hashes);
            for (const uint64_t h : hashes) pairs.emplace_back(h, w);
        }
        std::sort(pairs.begin(), pairs.end());
        postings_.reserve(pairs.size());
        size_t keys = 0;
        for (size_t i = 0; i < pairs.size(); ++i) keys += i == 0 || pairs[i].first != pairs[i - 1].first;
        size_t capacity = 1;
        while (capacity < 2 * keys) capacity <<= 1;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        for (size_t i = 0; i < pairs.size();) {
            size_t j = i;
            while (j < pairs.size() && pairs[j].first == pairs[i].first) postings_.push_back(pairs[j++].second);
            size_t at = pairs[i].first & mask_;
            while (slots_[at].hash) at = (at + 1) & mask_;
            slots_[at] = {pairs[i].first, static_cast<uint32_t>(postings_.size() - (j - i)),
                          static_cast<uint32_t>(j - i)};
            i = j;
        }
        seen_.assign(words.size(), 0);
    }

    size_t memory_bytes() const {
        return slots_.capacity() * sizeof(Slot) + postings_.capacity() * 4 + seen_.capacity() * 4;
    }

    // (word number, distance) for every word within k (k <= kMaxK) of q.
    void query(std::span<const uint32_t> q, uint32_t k, std::vector<std::pair<uint32_t, uint32_t>>& out) {
        out.clear();
        if (++epoch_ == 0) {
            std::fill(seen_.begin(), seen_.end(), 0);
            epoch_ = 1;
        }
        deletion_hashes(q.first(std::min(kPrefix, q.size())), k, hashes_);
        for (const uint64_t h : hashes_) {
            size_t at = h & mask_;
            while (slots_[at].hash && slots_[at].hash != h) at = (at + 1) & mask_;
            if (!slots_[at].hash) continue;
            for (uint32_t p = slots_[at].first; p < slots_[at].first + slots_[at].count; ++p) {
                const uint32_t w = postings_[p];
                if (seen_[w] == epoch_) continue;
                seen_[w] = epoch_;
                const uint32_t d = banded_distance(q, words_[w], k, row_);
                if (d <= k) out.emplace_back(w, d);
            }
        }
    }

private:
    struct Slot {
        uint64_t hash = 0;
        uint32_t first = 0;
        uint32_t count = 0;
    };
    const std::vector<std::vector<uint32_t>>& words_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> postings_;
    size_t mask_ = 0;
    std::vector<uint32_t> seen_;
    uint32_t epoch_ = 0;
    std::vector<uint64_t> hashes_;
    std::vector<uint32_t> row_;
};

void summary(const char* name, uint32_t k, std::vector<double> t) {
    std::sort(t.begin(), t.end());
    std::printf("%s k=%u median_us %.2f p99_us %.2f\n", name, k, t[t.size() / 2], t[t.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brindlex;
    if (argc != 4) {
        std::fprintf(stderr, "usage: symdelete_bench SNAPSHOT WORDS QUERIES\n");
        return 2;
    }
    auto store = bench::load_snapshot(argv[1]);
    if (!store) {
        std::fprintf(stderr, "bad snapshot\n");
        return 1;
    }
    (void)facts::reversed_of(*store);  // made ahead, as loading an index does

    const auto word_texts = bench::lines_of(argv[2]);
    std::vector<std::vector<uint32_t>> words;
    for (const auto& w : word_texts) words.push_back(utf8::decode(w));
    const auto start = Clock::now();
    SymmetricDelete peer(words);
    std::printf("peer build_s %.3f memory_mb %.1f words %zu\n", us_since(start) / 1e6,
                static_cast<double>(peer.memory_bytes()) / 1e6, words.size());

    const auto queries = bench::lines_of(argv[3]);
    std::vector<std::pair<uint32_t, uint32_t>> found;
    for (uint32_t k = 0; k <= kMaxK; ++k) {
        std::vector<double> walk_us, peer_us;
        size_t mismatches = 0;
        for (const auto& q : queries) {
            auto a = Clock::now();
            auto walked = walk_terms(*store, q, k, std::nullopt);
            walk_us.push_back(us_since(a));
            a = Clock::now();
            const std::vector<uint32_t> decoded = utf8::decode(q);
            peer.query(decoded, k, found);
            peer_us.push_back(us_since(a));
            // The same terms at the same distances, in any order.
            std::vector<std::pair<std::string, uint32_t>> x, y;
            if (walked) {
                for (const auto& m : *walked) x.emplace_back(m.term, m.distance);
            }
            for (const auto& [w, d] : found) y.emplace_back(word_texts[w], d);
            std::sort(x.begin(), x.end());
            std::sort(y.begin(), y.end());
            mismatches += x != y;
        }
        summary("walk", k, walk_us);
        summary("peer", k, peer_us);
        std::printf("compared k=%u queries %zu mismatches %zu\n", k, queries.size(), mismatches);
    }
    return 0;
}
