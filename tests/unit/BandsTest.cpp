// The grid in bands: the --memory size, the cutting of a grid into bands, a
// band's cells, the rows an element reaches and the elements that cannot give
// a value that is not finite.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "Bands.h"
#include "CommandLine.h"
#include "GxGrid.h"
#include "Rasteriser.h"

TEST(Bands, MemorySizes) {
    struct Case {
        const char* text;
        bool ok;
        unsigned long long bytes;
    };
    const Case cases[] = {
        {"1", true, 1},
        {"4096", true, 4096},
        {"512M", true, 512ULL << 20},
        {"512m", true, 512ULL << 20},
        {"3K", true, 3072},
        {"2G", true, 2ULL << 30},
        {"1T", true, 1ULL << 40},
        {"16777215T", true, 16777215ULL << 40},
        {"18446744073709551615", true, ~0ULL},
        {"16777216T", false, 0},  // 2^64
        {"18446744073709551616", false, 0},
        {"0", false, 0},
        {"0K", false, 0},
        {"", false, 0},
        {"M", false, 0},
        {"1.5G", false, 0},
        {"-1", false, 0},
        {"+1", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"1KB", false, 0},
        {"1KiB", false, 0},
        {"1P", false, 0},
        {"1e9", false, 0},
        {"0x10", false, 0},
    };
    for (const Case& c : cases) {
        unsigned long long bytes = 0;
        EXPECT_EQ(readMemorySize(c.text, bytes), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
}

TEST(Bands, PlanFromTheLimit) {
    struct Case {
        long long rows, cols;
        unsigned long long limit;
        int jobs;
        bool ok;
        int rowsPerBand, bands;
    };
    const Case cases[] = {
        {150, 200, 40 << 10, 1, true, 12, 13},
        {150, 200, 4 << 10, 4, true, 1, 150},
        {150, 200, 3 << 10, 1, false, 0, 0},  // one row of 1600 bytes is more than half the limit
        {150, 200, 3200, 1, true, 1, 150},    // exactly half
        {10, 10, 1ULL << 30, 1, true, 10, 1},
        {2147483647, 1000, 1ULL << 30, 8, true, 67108, 32001},
        {2147483647, 2147483647, ~0ULL, 8, true, 536870912, 4},
        {0, 10, 1 << 20, 1, false, 0, 0},
        {10, 0, 1 << 20, 1, false, 0, 0},
    };
    for (const Case& c : cases) {
        BandPlan plan;
        const std::string what =
            std::to_string(c.rows) + " x " + std::to_string(c.cols) + " in " + std::to_string(c.limit);
        ASSERT_EQ(planBands(c.rows, c.cols, c.limit, c.jobs, plan), c.ok) << what;
        if (!c.ok) continue;
        EXPECT_EQ(plan.rowsPerBand, c.rowsPerBand) << what;
        EXPECT_EQ(plan.bands, c.bands) << what;
        // Every band but the last is full, and the last is not empty.
        EXPECT_GE(static_cast<long long>(plan.bands) * plan.rowsPerBand, c.rows) << what;
        EXPECT_LT(static_cast<long long>(plan.bands - 1) * plan.rowsPerBand, c.rows) << what;
        // A band and the buffers stay within the limit, and each buffer holds whole records.
        const unsigned long long band = static_cast<unsigned long long>(plan.rowsPerBand) * c.cols * 8;
        EXPECT_LE(band, c.limit / 2) << what;
        EXPECT_EQ(plan.bandBuffer % kSpillRecord, 0u) << what;
        EXPECT_EQ(plan.readBatch % kSpillRecord, 0u) << what;
        EXPECT_GE(plan.readBatch, plan.bandBuffer) << what;
        EXPECT_LE(plan.bandBuffer, std::size_t{1} << 20) << what;
        EXPECT_GE(plan.textBlockCells, 1u) << what;
        EXPECT_LE(plan.textBlockCells, 40000u) << what;
        if (c.limit >= (64ULL << 20)) {
            EXPECT_LE(static_cast<unsigned long long>(plan.bands) * plan.bandBuffer, std::max(c.limit / 8, 16ULL << 20))
                << what;
        }
    }
    // The band's rows come from the limit, not from the grid: a taller grid
    // has more bands of the same height.
    BandPlan low, tall;
    ASSERT_TRUE(planBands(1000, 500, 1 << 20, 2, low));
    ASSERT_TRUE(planBands(100000, 500, 1 << 20, 2, tall));
    EXPECT_EQ(low.rowsPerBand, tall.rowsPerBand);
    EXPECT_EQ(tall.bands, (100000 + tall.rowsPerBand - 1) / tall.rowsPerBand);
}

TEST(Bands, BandStoresItsRowsOnly) {
    GxGrid band(10, 3, 4, 7);
    EXPECT_EQ(band.NumRow(), 10);
    EXPECT_EQ(band.NumCol(), 3);
    EXPECT_EQ(band.firstRow(), 4);
    EXPECT_EQ(band.endRow(), 7);
    EXPECT_EQ(band.cellCount(), 9u);
    for (int row = -1; row <= 10; ++row)
        for (int col = -1; col <= 3; ++col) band.raise(row, col, 100 * row + col + 1000);
    for (int row = 0; row < 10; ++row)
        for (int col = 0; col < 3; ++col)
            EXPECT_EQ(band.RowCol(row, col), row >= 4 && row < 7 ? 100 * row + col + 1000 : 0.0) << row << ' ' << col;
    // The stored cells, the band's first row first.
    EXPECT_EQ(band.data()[0], 1400.0);
    EXPECT_EQ(band.data()[8], 1602.0);

    // Ranges are cut to the grid; a band of no rows stores nothing.
    const GxGrid tail(10, 3, 8, 12), none(10, 3, 0, 0), past(10, 3, 12, 14);
    EXPECT_EQ(tail.endRow(), 10);
    EXPECT_EQ(tail.cellCount(), 6u);
    EXPECT_EQ(none.cellCount(), 0u);
    EXPECT_EQ(past.cellCount(), 0u);
    GxGrid counting(10, 3, 0, 0);
    counting.raise(0, 0, 5.0);
    EXPECT_EQ(counting.RowCol(0, 0), 0.0);
}

namespace {

// Fills one element on a whole grid; returns the count of values not finite.
long long fillWhole(GxGrid& grid, GxGridParam& par, const GxCoord2D* pts, const double* z, bool oneTriangle) {
    const GxCoord2D* node[4] = {&pts[0], &pts[1], &pts[2], &pts[3]};
    ElementRasteriser raster(grid, par);
    return raster.fill(node, z, oneTriangle);
}

}  // namespace

// Every row an element's fill stores into is within the rows elementRows
// gives it, for rectangles, quadrilaterals and triangles in, across and
// outside the grid; a miss would lose cells of the bands beyond.
TEST(Bands, ElementRowsHoldEveryCellFilled) {
    std::mt19937_64 random(21);
    std::uniform_real_distribution<double> coord(-4, 24), size(0.01, 9);
    GxGridParam par(0, 20, 0, 15, 0.7, 0.5);
    for (int n = 0; n < 3000; ++n) {
        GxCoord2D pts[4];
        const int kind = n % 3;
        const double x = coord(random), y = coord(random), w = size(random), h = size(random);
        if (kind == 0) {  // an axis rectangle, first edge vertical
            pts[0] = GxCoord2D(x, y);
            pts[1] = GxCoord2D(x, y + h);
            pts[2] = GxCoord2D(x + w, y + h);
            pts[3] = GxCoord2D(x + w, y);
        } else {
            for (GxCoord2D& p : pts) p = GxCoord2D(x + size(random), y + size(random));
        }
        const bool oneTriangle = kind == 2;
        const double z[4] = {1, 2, 3, 4};
        GxGrid grid(par.NumRow(), par.NumCol());
        fillWhole(grid, par, pts, z, oneTriangle);
        const GxCoord2D* node[4] = {&pts[0], &pts[1], &pts[2], &pts[3]};
        int first = 0, last = -1;
        const bool any = elementRows(node, oneTriangle, par, first, last);
        for (int row = 0; row < grid.NumRow(); ++row)
            for (int col = 0; col < grid.NumCol(); ++col)
                if (grid.RowCol(row, col) != 0.0) {
                    ASSERT_TRUE(any) << "element " << n;
                    ASSERT_GE(row, first) << "element " << n;
                    ASSERT_LE(row, last) << "element " << n;
                }
    }
}

// The edges of the test that spares the first pass a counting fill: what it
// passes gives no value that is not finite even at its bounds, and what does
// give one is never passed.
TEST(Bands, ElementsThatCannotGiveNonFiniteValues) {
    const double big = 0x1p100, tiny = 0x1p-100;
    struct Case {
        const char* what;
        GxCoord2D pts[4];
        double z[4];
        bool oneTriangle;
        bool may;
    };
    const Case cases[] = {
        {"rectangle at the bounds",
         {{-big, -big}, {-big, big}, {big, big}, {big, -big}},
         {big, -big, big, -big},
         false,
         false},
        {"rectangle of the least width",
         {{0, 0}, {0, 10}, {tiny, 10}, {tiny, 0}},
         {big, -big, big, -big},
         false,
         false},
        {"rectangle narrower than that", {{0, 0}, {0, 10}, {tiny / 2, 10}, {tiny / 2, 0}}, {1, 2, 3, 4}, false, true},
        {"value beyond the bound", {{0, 0}, {0, 10}, {10, 10}, {10, 0}}, {2 * big, 1, 1, 1}, false, true},
        {"node beyond the bound", {{0, 0}, {0, 10}, {10, 10}, {2 * big, 0}}, {1, 1, 1, 1}, false, true},
        {"value not finite", {{0, 0}, {0, 10}, {10, 10}, {10, 0}}, {1, NAN, 1, 1}, false, true},
        {"triangle", {{0, 0}, {10, 1}, {3, 9}, {3, 9}}, {big, -big, big, 1}, true, false},
        {"collinear triangle", {{0, 0}, {1, 1}, {2, 2}, {2, 2}}, {big, -big, big, 1}, true, false},
        {"triangle of the least area",
         {{0, 0}, {0x1p-150, 0}, {0, 0x1p-150}, {0, 0x1p-150}},
         {1, 2, 3, 1},
         true,
         false},
        {"triangle smaller than that", {{0, 0}, {0x1p-160, 0}, {0, 0x1p-160}, {0, 0x1p-160}}, {1, 2, 3, 1}, true, true},
        {"second triangle collinear by rounding",
         {{0, 0}, {10, 0}, {10, 10}, {10 + 0x1p-1000, 10}},
         {1, 2, 3, 4},
         false,
         false},
        {"quadrilateral", {{0, 0}, {10, 1}, {9, 9}, {1, 8}}, {1, 2, 3, 4}, false, false},
        {"the fourth node of one triangle still counts", {{0, 0}, {10, 1}, {9, 9}, {NAN, 8}}, {1, 2, 3, 4}, true, true},
    };
    GxGridParam par(-10, 10, -10, 10, 0.5, 0.5);
    for (const Case& c : cases) {
        const GxCoord2D* node[4] = {&c.pts[0], &c.pts[1], &c.pts[2], &c.pts[3]};
        EXPECT_EQ(elementMayGiveNonFinite(node, c.z, c.oneTriangle, true), c.may) << c.what;
        EXPECT_TRUE(elementMayGiveNonFinite(node, c.z, c.oneTriangle, false)) << c.what;
        if (!c.may) {
            GxGrid grid(par.NumRow(), par.NumCol());
            EXPECT_EQ(fillWhole(grid, par, c.pts, c.z, c.oneTriangle), 0) << c.what;
        }
    }
}

TEST(Bands, GridBoundsModest) {
    EXPECT_TRUE(gridBoundsModest(GxGridParam(-0x1p100, 0x1p100, -1, 1, 0x1p100, 1e-300)));
    EXPECT_FALSE(gridBoundsModest(GxGridParam(0, 0x1p101, 0, 1, 1, 1)));
    EXPECT_FALSE(gridBoundsModest(GxGridParam(0, 1, 0, 1, 1, NAN)));
    EXPECT_FALSE(gridBoundsModest(GxGridParam(0, 1, -INFINITY, 1, 1, 1)));
}
