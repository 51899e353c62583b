#include "NumberTextBench.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "BenchData.h"
#include "GxGrid.h"
#include "NumberText.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double best(const std::vector<double>& t) { return *std::min_element(t.begin(), t.end()); }

double median(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return t.size() % 2 ? t[t.size() / 2] : 0.5 * (t[t.size() / 2 - 1] + t[t.size() / 2]);
}

// SplitMix64: 64-bit patterns from a fixed seed, fast enough not to count
// beside the two conversions.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t operator()() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
};

double fromBits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

char* bareToChars(char* out, double v) { return std::to_chars(out, out + 24, v, std::chars_format::general, 11).ptr; }

// Every value and a space after it into buf, as the writer puts them; returns the length.
template <class Format>
std::size_t formatAll(const std::vector<double>& values, std::vector<char>& buf, Format format) {
    char* p = buf.data();
    for (const double v : values) {
        p = format(p, v);
        *p++ = ' ';
    }
    return static_cast<std::size_t>(p - buf.data());
}

// Times both conversions on values, back to back in each repetition, and
// checks that they wrote the same bytes.
void compare(const char* name, const std::vector<double>& values, int reps, bool& ok) {
    std::vector<char> a(values.size() * 25 + 1), b(a.size());  // zeroed: their pages are in place before timing
    std::vector<double> ta, tb, ratio;
    std::size_t la = 0, lb = 0;
    for (int rep = 0; rep < reps; ++rep) {
        Clock::time_point start = Clock::now();
        la = formatAll(values, a, formatGeneral11);
        ta.push_back(secondsSince(start));
        start = Clock::now();
        lb = formatAll(values, b, bareToChars);
        tb.push_back(secondsSince(start));
        ratio.push_back(tb.back() / ta.back());
    }
    const double n = static_cast<double>(values.size());
    std::printf("  %s: %zu values\n", name, values.size());
    std::printf("    %-32s %6.1f ns/value (median %.1f)\n", "(a) formatGeneral11", best(ta) * 1e9 / n,
                median(ta) * 1e9 / n);
    std::printf("    %-32s %6.1f ns/value (median %.1f)\n", "(b) std::to_chars(general, 11)", best(tb) * 1e9 / n,
                median(tb) * 1e9 / n);
    std::printf("    (b)/(a) = %.2f (paired median %.2f)\n", best(tb) / best(ta), median(ratio));
    const bool same = la == lb && std::memcmp(a.data(), b.data(), la) == 0;
    std::printf("    check: (a) and (b) wrote the same %zu bytes: %s\n", la, same ? "yes" : "NO");
    ok = ok && same;
}

}  // namespace

void benchFormatter(int gridSide, int reps, bool& ok) {
    std::vector<double> gridValues;
    {
        GxGrid grid(gridSide, gridSide);
        fillPileGrid(grid);
        for (int row = 0; row < gridSide; ++row)
            for (int col = 0; col < gridSide; ++col)
                if (grid.RowCol(row, col) != 0.0) gridValues.push_back(grid.RowCol(row, col));
    }
    // As many finite non-zero doubles of random bits, every magnitude alike.
    std::vector<double> randomValues;
    SplitMix64 rng{1};
    while (randomValues.size() < gridValues.size()) {
        const double v = fromBits(rng());
        if (std::isfinite(v) && v != 0.0) randomValues.push_back(v);
    }
    std::printf("\n6. Formatter: ns per non-zero value, formatGeneral11 against std::to_chars(general, 11)\n");
    compare("the writer's grid values", gridValues, reps, ok);
    compare("random doubles (random bits, finite)", randomValues, reps, ok);
}

int verifyFormatter(long long count) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::printf(
        "verify-formatter: %lld random bit patterns on %u threads (seeds 1 to %u), formatGeneral11 against "
        "std::to_chars(general, 11)\n",
        count, threads, threads);
    std::fflush(stdout);
    std::atomic<long long> done{0}, mismatches{0}, fallbacks{0};
    std::atomic<unsigned> finished{0};
    std::mutex printing;
    auto work = [&](unsigned t) {
        SplitMix64 rng{t + 1};
        const long long share = count / threads + (t < count % threads ? 1 : 0);
        long long chunk = 0, chunkFallbacks = 0;
        for (long long k = 0; k < share; ++k) {
            const double v = fromBits(rng());
            char a[32], b[32];
            const char* endA = formatGeneral11(a, v);
            const char* endB = bareToChars(b, v);
            if (endA - a != endB - b || std::memcmp(a, b, static_cast<std::size_t>(endB - b)) != 0) {
                if (mismatches++ < 20) {
                    const std::lock_guard<std::mutex> lock(printing);
                    std::printf("  mismatch for %a: %.*s instead of %.*s\n", v, static_cast<int>(endA - a), a,
                                static_cast<int>(endB - b), b);
                }
            }
            chunkFallbacks += formatGeneral11Fast(a, v) == nullptr;
            if (++chunk == (1 << 20)) {
                done += chunk;
                chunk = 0;
            }
        }
        done += chunk;
        fallbacks += chunkFallbacks;
        ++finished;
    };
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work, t);
    double lastReport = 0.0;
    while (finished < threads) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double elapsed = secondsSince(start);
        if (elapsed - lastReport < 30.0) continue;
        lastReport = elapsed;
        const double n = static_cast<double>(done.load()), rate = n / elapsed;
        const std::lock_guard<std::mutex> lock(printing);
        std::printf("  %5.1f %%: %.0f compared, %lld mismatches, %.1f M/s, about %.0f s to go\n",
                    100.0 * n / static_cast<double>(count), n, mismatches.load(), rate / 1e6,
                    (static_cast<double>(count) - n) / rate);
        std::fflush(stdout);
    }
    for (std::thread& t : pool) t.join();
    const double elapsed = secondsSince(start);
    std::printf("verify-formatter: %lld compared in %.0f s (%.1f M/s): %lld mismatches; %lld took the exact fallback\n",
                done.load(), elapsed, static_cast<double>(done.load()) / elapsed / 1e6, mismatches.load(),
                fallbacks.load());
    return mismatches == 0 ? 0 : 1;
}
