#pragma once

// How bench_ledger prints a figure ("name: min / median / max unit (min / median / max of N)"),
// and the yardstick the warm figures stand beside.

#include <ftw.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace qm::bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline void printStats(const char* name, std::vector<double> values, const char* unit,
                       double scale) {
    std::sort(values.begin(), values.end());
    std::printf("%s: %.1f / %.1f / %.1f %s (min / median / max of %zu)\n", name,
                values.front() * scale, values[values.size() / 2] * scale, values.back() * scale,
                unit, values.size());
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

inline int statted(const char*, const struct stat*, int, struct FTW*) {
    return 0;
}

// A stat of every file and folder under `root` and nothing else: the least any check of the
// whole tree for changes costs.
inline double bareStatOfTree(const std::string& root) {
    const auto start = Clock::now();
    ::nftw(root.c_str(), statted, 64, FTW_PHYS);
    return secondsSince(start);
}

}  // namespace qm::bench
