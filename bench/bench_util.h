// Small helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The median time of one call of f over `rounds` rounds, each of `perRound` calls.
inline double medianSeconds(const std::function<void()>& f, int rounds, int perRound) {
    std::vector<double> t;
    for (int r = 0; r < rounds; ++r) {
        auto start = Clock::now();
        for (int i = 0; i < perRound; ++i) f();
        t.push_back(seconds(Clock::now() - start) / perRound);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// Medians of f and of g, measured in alternating rounds so that both see the
// same machine (caches, clock speed, other load).
inline std::pair<double, double> pairedMedians(const std::function<void()>& f, const std::function<void()>& g,
                                               int rounds, int perRound) {
    std::vector<double> a, b;
    for (int r = 0; r < rounds; ++r) {
        a.push_back(medianSeconds(f, 1, perRound));
        b.push_back(medianSeconds(g, 1, perRound));
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[a.size() / 2], b[b.size() / 2]};
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

inline void row(const char* what, double value, const char* unit, double reference, const char* goal) {
    std::printf("%-58s %12.3f %-6s ratio %7.3f  (goal %s)\n", what, value, unit, reference > 0 ? value / reference : 0,
                goal);
}

}  // namespace bench
