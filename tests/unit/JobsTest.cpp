// Work on several threads: results taken in order, the grid's maximum kept
// whatever the order, and the grid text the same bytes with any number of jobs.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "GxGrid.h"
#include "Jobs.h"
#include "MeshRaster.h"
#include "TestSupport.h"

TEST(Jobs, QuotaOfTheControlGroup) {
    struct Case {
        const char* cpuMax;
        int processors;
    };
    const Case cases[] = {
        {"max 100000", 0}, {"200000 100000", 2}, {"150000 100000", 2}, {"50000 100000\n", 1}, {"100000 100000", 1},
        {"", 0},           {"-1 100000", 0},     {"100000 0", 0},      {"12x 100000", 0},     {"300000 100000 7", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(quotaProcessors(c.cpuMax), c.processors) << '"' << c.cpuMax << '"';
    EXPECT_GE(availableProcessors(), 1);
}

TEST(Jobs, TakesInOrderWithinTheWindow) {
    for (const int jobs : {1, 2, 3, 8}) {
        const std::size_t count = 200, window = 3;
        std::atomic<std::size_t> taken{0};
        std::atomic<bool> beyondWindow{false};
        std::vector<int> done(count, 0);
        std::vector<std::size_t> order;
        runInOrder(
            count, jobs, window,
            [&](std::size_t k) {
                if (k >= taken.load() + window) beyondWindow = true;
                // Later items often finish first.
                if (k % 5 == 0) std::this_thread::yield();
                done[k] = 1;
            },
            [&](std::size_t k) {
                EXPECT_EQ(done[k], 1) << "taken before its work finished";
                order.push_back(k);
                taken = k + 1;
                return true;
            });
        ASSERT_EQ(order.size(), count) << jobs << " jobs";
        for (std::size_t k = 0; k < count; ++k) EXPECT_EQ(order[k], k);
        EXPECT_FALSE(beyondWindow) << jobs << " jobs: work started past the window";
    }
}

TEST(Jobs, StopsWhenTakeFailsOrWorkThrows) {
    for (const int jobs : {1, 4}) {
        std::atomic<std::size_t> worked{0};
        std::size_t taken = 0;
        runInOrder(
            1000, jobs, 2, [&](std::size_t) { ++worked; },
            [&](std::size_t k) {
                ++taken;
                return k < 9;
            });
        EXPECT_EQ(taken, 10u);
        EXPECT_LE(worked.load(), 12u) << "work went on after a failed take";

        std::size_t takenBeforeThrow = 0;
        EXPECT_THROW(runInOrder(
                         100, jobs, 4,
                         [](std::size_t k) {
                             if (k == 7) throw std::runtime_error("work 7");
                         },
                         [&](std::size_t) { return ++takenBeforeThrow, true; }),
                     std::runtime_error);
        EXPECT_LE(takenBeforeThrow, 7u);
    }
}

// Threads raising cells at once keep each cell's largest value, bit for bit
// the sequential result: no value lost between a read and a write.
TEST(Jobs, SharedGridKeepsTheLargestValue) {
    const int rows = 64, cols = 64, threads = 4, perThread = 200000;
    std::vector<std::vector<double>> offers(threads);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> value(-1, 100);
    for (auto& list : offers)
        for (int k = 0; k < perThread; ++k) list.push_back(k % 97 == 0 ? std::nan("") : value(rng));
    const auto cellOf = [&](int t, int k) { return (k * 7919 + t * 31) % (rows * cols); };

    GxGrid expected(rows, cols);
    for (int t = 0; t < threads; ++t)
        for (int k = 0; k < perThread; ++k)
            expected.raise(cellOf(t, k) / cols, cellOf(t, k) % cols, offers[t][static_cast<std::size_t>(k)]);

    GxGrid shared(rows, cols);
    shared.setShared(true);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int k = 0; k < perThread; ++k)
                shared.raise(cellOf(t, k) / cols, cellOf(t, k) % cols, offers[t][static_cast<std::size_t>(k)]);
        });
    for (std::thread& th : pool) th.join();
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) ASSERT_EQ(shared.RowCol(r, c), expected.RowCol(r, c)) << r << ' ' << c;
    EXPECT_FALSE(std::signbit(shared.RowCol(0, 0)));
}

// Blocks of text end inside rows and at their ends; rows may be longer than a
// block, or a single cell.
TEST(Jobs, GridTextIsTheSameWithAnyNumberOfJobs) {
    struct Shape {
        int rows, cols;
    };
    const Shape shapes[] = {{1, 100001}, {100001, 1}, {317, 211}, {400, 100}, {3, 3}};
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> value(0, 5000);
    for (const Shape& s : shapes) {
        const GxGridParam par(0, s.cols * 0.5, 0, s.rows * 0.5, 0.5, 0.5);
        GxGrid grid(s.rows, s.cols);
        for (int r = 0; r < s.rows; ++r)
            for (int c = 0; c < s.cols; ++c)
                if (rng() % 3 != 0) grid.RowCol(r, c, value(rng) / std::pow(10.0, static_cast<double>(rng() % 12)));
        TempDir dir;
        ASSERT_TRUE(writeAscGrid(dir.file("one.grd"), grid, par, 1));
        const std::string one = readFile(dir.file("one.grd"));
        for (const int jobs : {2, 3, 7}) {
            ASSERT_TRUE(writeAscGrid(dir.file("many.grd"), grid, par, jobs));
            EXPECT_TRUE(readFile(dir.file("many.grd")) == one) << s.rows << " x " << s.cols << ", " << jobs << " jobs";
        }
    }
}
