// Times the core alone, without Python: loads a snapshot, times finishing the store (what
// construction and restoring add after the fields: the walk's facts) and making the
// reversed-term index (on the first split search), then walk_terms over a query file (one
// query per line), each query once, in sequence, per bound. Useful under perf or callgrind.
//   walk_bench SNAPSHOT QUERIES [BOUND] [fastest|oneway|reference]
// Built with `cmake --build build/release --target walk_bench`.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_files.hpp"
#include "core/snapshot/snapshot.hpp"
#include "core/facts/facts.hpp"
#include "core/ranking/ranking.hpp"
#include "core/walk/walk.hpp"

namespace {

double ms_since(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brindlex;
    if (argc < 3) {
        std::fprintf(stderr, "usage: walk_bench SNAPSHOT QUERIES [BOUND] [fastest|oneway|reference|ranking]\n");
        return 2;
    }
    auto store = bench::load_snapshot(argv[1]);
    if (!store) {
        std::fprintf(stderr, "bad snapshot\n");
        return 1;
    }
    double best_finish = 1e300, best_reversed = 1e300;
    for (int run = 0; run < 5; ++run) {
        TrieStore copy = *store;
        auto a = std::chrono::steady_clock::now();
        finish_store(copy);
        best_finish = std::min(best_finish, ms_since(a));
        a = std::chrono::steady_clock::now();
        facts::reversed_of(copy);
        best_reversed = std::min(best_reversed, ms_since(a));
    }
    const facts::Reversed& reversed = facts::reversed_of(*store);
    std::printf("finish_store %.1f ms, reversed-term index %.1f ms (best of 5): %zu entries, %zu reversed "
                "entries, %.1f MB in all\n",
                best_finish, best_reversed, facts::entry_count(facts::facts_of(*store).entries), facts::entry_count(reversed.entries),
                static_cast<double>(facts::memory_bytes(*store)) / 1e6);

    const std::vector<std::string> queries = bench::lines_of(argv[2]);
    const std::string choice = argc > 4 ? argv[4] : "fastest";
    auto median = [](std::vector<double>& t) {
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    };
    if (choice == "ranking") {
        const uint32_t k = argc > 3 ? static_cast<uint32_t>(std::stoul(argv[3])) : 1;
        std::vector<double> walk, rank;
        size_t records = 0;
        for (const auto& q : queries) {
            // The records ranking starts from: a term's nodes, or the prefix nodes when none.
            const auto a = std::chrono::steady_clock::now();
            auto r = walk_nodes(*store, q, k, true, std::nullopt);
            if (r && r->empty()) r = walk_nodes(*store, q, k, false, std::nullopt);
            walk.push_back(ms_since(a) * 1e3);
            records += r ? r->size() : 0;
        }
        for (const auto& q : queries) {
            const auto a = std::chrono::steady_clock::now();
            auto r = rank_videos(*store, q, k, 10, std::nullopt, std::nullopt);
            rank.push_back(ms_since(a) * 1e3);
        }
        std::printf("k=%u walk median %.2f us  ranking median %.2f us  records %.1f a query\n", k, median(walk),
                    median(rank), static_cast<double>(records) / static_cast<double>(queries.size()));
        return 0;
    }
    const WalkKernel kernel = choice == "reference" ? WalkKernel::Reference
                              : choice == "oneway"  ? WalkKernel::OneWay
                                                    : WalkKernel::Fastest;
    const uint32_t first = argc > 3 ? static_cast<uint32_t>(std::stoul(argv[3])) : 0;
    const uint32_t last = argc > 3 ? first : 2;
    for (uint32_t k = first; k <= last; ++k) {
        std::vector<double> times;
        size_t records = 0;
        for (const auto& q : queries) {
            const auto a = std::chrono::steady_clock::now();
            auto r = walk_terms(*store, q, k, std::nullopt, kernel);
            times.push_back(ms_since(a) * 1e3);
            records += r ? r->size() : 0;
        }
        std::sort(times.begin(), times.end());
        std::printf("k=%u median %.2f us  p99 %.2f us  records %zu\n", k, times[times.size() / 2],
                    times[times.size() * 99 / 100], records);
    }
}
