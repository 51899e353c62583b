// Timing, rows, ratios and checks: how every section of the benchmark takes
// and prints its figures.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// Seconds that f takes.
template <class F>
double timed(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The times of one variant over the repetitions: the best is the figure, the
// median and the spread show the noise of a shared machine.
struct Samples {
    std::vector<double> t;
    double best() const { return *std::min_element(t.begin(), t.end()); }
    double median() const {
        std::vector<double> s = t;
        std::sort(s.begin(), s.end());
        return s.size() % 2 ? s[s.size() / 2] : 0.5 * (s[s.size() / 2 - 1] + s[s.size() / 2]);
    }
};

// One row: the best time, the rate of `mega` million units and the time per
// item, then the median and the spread, (worst - best) / best.
inline void printRow(const char* name, const Samples& s, double mega, const char* unit, double items,
                     const char* item) {
    const double spread = *std::max_element(s.t.begin(), s.t.end()) / s.best() - 1.0;
    std::printf("  %-40s %7.3f s %7.1f M%s/s %6.1f ns/%-6s (median %.3f s, spread %.0f %%)\n", name, s.best(),
                mega / s.best(), unit, s.best() * 1e9 / items, item, s.median(), 100.0 * spread);
}

// num / den as the ratio of the bests and as the median of the ratios of each
// repetition, whose two variants ran back to back: the steadier figure when
// other work shares the machine.
inline void printRatio(const char* name, const Samples& num, const Samples& den) {
    Samples r;
    for (std::size_t k = 0; k < num.t.size() && k < den.t.size(); ++k) r.t.push_back(num.t[k] / den.t[k]);
    std::printf("  %s = %.2f (paired median %.2f)\n", name, num.best() / den.best(), r.median());
}

// A check that makes the figures trustworthy; a failed one fails the run.
inline void check(bool& ok, const std::string& what, bool passed) {
    std::printf("  check: %s: %s\n", what.c_str(), passed ? "yes" : "NO");
    ok = ok && passed;
}

// KiB as MiB with one decimal.
inline std::string mib(long kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024.0);
    return text;
}
