// Grid parameters (counts by truncation toward zero) and the grid's cells.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <new>
#include <stdexcept>
#include <vector>

#include "GxGrid.h"

namespace {

// Sees the cells in storage order.
struct GridProbe : GxGrid {
    using GxGrid::GxGrid;
    std::size_t size() const { return cellCount(); }
    double at(std::size_t i) const { return data_[i]; }
    std::size_t indexOf(int row, int col) const { return index(row, col); }
};

}  // namespace

TEST(GxGridParam, CountsTruncateTowardZero) {
    struct Case {
        double xmin, xmax, ymin, ymax, resx, resy;
        int cols, rows;
    };
    const Case cases[] = {
        {0, 100, 0, 50, 10, 10, 10, 5},
        {0, 105, 0, 95, 10, 10, 10, 9},    // leftover strips belong to no cell
        {0, 100, 0, 100, 30, 30, 3, 3},    // 3.33 is not rounded up
        {0, 0.3, 0, 0.3, 0.1, 0.1, 2, 2},  // the quotient is just below 3
        {0, 2.9999999999999996, 0, 10.5, 1, 1, 2, 10},
        {0, 5, 0, 5, 10, 10, 0, 0},
        {7, 7, -3, -3, 1, 1, 0, 0},
        {-20, 10, -20, 0, 10, 10, 3, 2},
        {0, -25, 0, -9.99, 10, 1, -2, -9},  // toward zero, not down
        {0, 1e300, 0, -1e300, 1, 1, INT_MAX, INT_MIN},
        {0, 1, 0, 1, 0, NAN, INT_MAX, 0},
    };
    for (const Case& c : cases) {
        const GxGridParam p(c.xmin, c.xmax, c.ymin, c.ymax, c.resx, c.resy);
        EXPECT_EQ(p.NumCol(), c.cols) << "x from " << c.xmin << " to " << c.xmax << " by " << c.resx;
        EXPECT_EQ(p.NumRow(), c.rows) << "y from " << c.ymin << " to " << c.ymax << " by " << c.resy;
    }
}

TEST(GxGridParam, FieldsInConstructorOrderAndCountsNotCached) {
    GxGridParam p(1, 2, 3, 4, 5, 6);
    EXPECT_EQ(std::vector<double>({p.xmin_, p.xmax_, p.ymin_, p.ymax_, p.resx_, p.resy_}),
              std::vector<double>({1, 2, 3, 4, 5, 6}));
    p.setLimits(0, 100, 0, 50);
    p.setResolution(10, 25);
    EXPECT_EQ(p.NumCol(), 10);
    EXPECT_EQ(p.NumRow(), 2);
    p.resx_ = 20;
    EXPECT_EQ(p.NumCol(), 5);
}

TEST(GxGrid, TruncToIntSaturates) {
    struct Case {
        double in;
        int out;
    };
    for (const Case c : {Case{2.9, 2}, Case{-2.9, -2}, Case{-0.5, 0}, Case{2147483647.9, INT_MAX},
                         Case{2147483648.0, INT_MAX}, Case{-2147483648.9, INT_MIN}, Case{-2147483649.0, INT_MIN},
                         Case{INFINITY, INT_MAX}, Case{-INFINITY, INT_MIN}, Case{NAN, 0}})
        EXPECT_EQ(truncToInt(c.in), c.out) << c.in;
}

TEST(GxGrid, CellsRowAfterRowAllZeroAtStart) {
    GridProbe g(5, 10);
    ASSERT_EQ(g.size(), 50u);
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(g.at(i), 0.0) << "index " << i;
    g.RowCol(1, 0, 7.5);
    EXPECT_EQ(g.at(10), 7.5);
    EXPECT_EQ(g.RowCol(0, 10), 0.0);  // past the last column, not into row 1
    EXPECT_EQ(g.RowCol(1, 0), 7.5);

    // Writes land where the laid-out grid says: row 0 is the first line.
    GxGrid small(3, 4);
    small.RowCol(0, 3, 1);
    small.RowCol(2, 0, 2);
    small.RowCol(1, 1, -3);
    small.RowCol(1, 1, 4);  // the last write wins
    const double expected[3][4] = {
        {0, 0, 0, 1},
        {0, 4, 0, 0},
        {2, 0, 0, 0},
    };
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col)
            EXPECT_EQ(small.RowCol(row, col), expected[row][col]) << "row " << row << ", col " << col;
}

TEST(GxGrid, PairsOutsideTheGridReadZeroAndWriteNothing) {
    GridProbe g(5, 10);
    for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 10; ++col) g.RowCol(row, col, 1.0 + row * 10 + col);
    const int outside[][2] = {{-1, 0}, {0, -1},  {5, 0},       {0, 10},      {4, 10},
                              {5, 9},  {-1, -1}, {INT_MIN, 0}, {0, INT_MIN}, {INT_MAX, INT_MAX},
                              {1, -10}};
    for (const auto& rc : outside) {
        EXPECT_EQ(g.RowCol(rc[0], rc[1]), 0.0) << "row " << rc[0] << ", col " << rc[1];
        g.RowCol(rc[0], rc[1], -99.0);
    }
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_EQ(g.at(i), 1.0 + static_cast<double>(i)) << "index " << i;
}

TEST(GxGrid, CountsOfZeroOrBelowGiveNoCells) {
    struct Case {
        int rows, cols, keptRows, keptCols;
    };
    const Case cases[] = {{0, 7, 0, 7},  {7, 0, 7, 0},   {-3, 5, 0, 5},
                          {4, -1, 4, 0}, {-2, -3, 0, 0}, {INT_MIN, INT_MIN, 0, 0}};
    for (const Case& c : cases) {
        GridProbe g(c.rows, c.cols);
        EXPECT_EQ(g.NumRow(), c.keptRows);
        EXPECT_EQ(g.NumCol(), c.keptCols);
        EXPECT_EQ(g.size(), 0u) << c.rows << " x " << c.cols;
        g.RowCol(0, 0, 1.0);
        EXPECT_EQ(g.RowCol(0, 0), 0.0);
    }
}

// The cell count and the cell index are 64-bit: in int arithmetic
// 2147483647 x 2147483647 wraps to a grid of one cell, and row 2 of a grid a
// billion columns wide lies past the range of int.
TEST(GxGrid, CellCountAndIndexAre64Bit) {
    EXPECT_THROW(GxGrid(INT_MAX, INT_MAX), std::length_error);
    GridProbe wide(0, 1000000000);
    EXPECT_EQ(wide.indexOf(2, 999999999), 2999999999u);
    EXPECT_EQ(wide.NumCol(), 1000000000);
}

// A block larger than memory throws; the grid's cells are mapped from the
// system, not taken with operator new, so this holds under AddressSanitizer too.
TEST(GxGrid, BlockLargerThanMemoryThrows) {
    bool thrown = false;
    try {
        GxGrid g(1000000000, 1000000000);
    } catch (const std::bad_alloc&) {
        thrown = true;
    } catch (const std::length_error&) {
        thrown = true;
    }
    EXPECT_TRUE(thrown);
}
