// Times the walk alone, without Python: loads a snapshot and a query file (one query per
// line) and prints the median and 99th percentile of walk_terms per bound, and the
// number of records. Useful under perf or callgrind.
//   walk_bench SNAPSHOT QUERIES [BOUND] [reference]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/walk/walk.hpp"
#include "core/snapshot/snapshot.hpp"

int main(int argc, char** argv) {
    using namespace brindlex;
    if (argc < 3) {
        std::fprintf(stderr, "usage: walk_bench SNAPSHOT QUERIES [BOUND] [reference]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto store = snapshot::decode(std::as_bytes(std::span<const char>(bytes)));
    if (!store) {
        std::fprintf(stderr, "bad snapshot\n");
        return 1;
    }
    std::ifstream qin(argv[2]);
    std::vector<std::string> queries;
    for (std::string line; std::getline(qin, line);) queries.push_back(line);
    const WalkKernel kernel = argc > 4 ? WalkKernel::Reference : WalkKernel::Fastest;
    const uint32_t first = argc > 3 ? static_cast<uint32_t>(std::stoul(argv[3])) : 0;
    const uint32_t last = argc > 3 ? first : 2;
    for (uint32_t k = first; k <= last; ++k) {
        std::vector<double> times;
        size_t records = 0;
        for (const auto& q : queries) {
            const auto a = std::chrono::steady_clock::now();
            auto r = walk_terms(*store, q, k, std::nullopt, kernel);
            const auto b = std::chrono::steady_clock::now();
            records += r ? r->size() : 0;
            times.push_back(std::chrono::duration<double, std::micro>(b - a).count());
        }
        std::sort(times.begin(), times.end());
        std::printf("k=%u median %.2f us  p99 %.2f us  records %zu\n", k, times[times.size() / 2],
                    times[times.size() * 99 / 100], records);
    }
}
