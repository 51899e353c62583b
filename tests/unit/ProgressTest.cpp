// The progress and summary lines a terminal shows, and the grid figures the
// summary gives.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "GxGrid.h"
#include "Progress.h"

TEST(Progress, ProgressText) {
    const struct {
        std::size_t read, files;
        int percent;
        const char* text;
    } cases[] = {
        {0, 0, -1, "0 of 0 files read"},
        {0, 1, -1, "0 of 1 file read"},
        {3, 12, -1, "3 of 12 files read"},
        {12, 12, 0, "12 of 12 files read, grid 0 % written"},
        {12, 12, 45, "12 of 12 files read, grid 45 % written"},
        {1, 1, 100, "1 of 1 file read, grid 100 % written"},
    };
    for (const auto& k : cases) EXPECT_EQ(progressText(k.read, k.files, k.percent), k.text);
}

TEST(Progress, SummaryText) {
    const struct {
        GridSummary grid;
        double seconds;
        const char* text;
    } cases[] = {
        {{150, 200, 1911, 0.01, 3.25},
         1.44,
         "wrote ph.tif (GTiff): 150 rows x 200 columns, 1911 cells with a value from 0.01 to 3.25, in 1.4 s"},
        {{2, 3, 1, -1e-9, -1e-9},
         0.04,
         "wrote ph.tif (GTiff): 2 rows x 3 columns, 1 cell with a value from -1e-09 to -1e-09, in 0.0 s"},
        {{0, 3, 0, 0, 0}, 61, "wrote ph.tif (GTiff): 0 rows x 3 columns, no cell with a value, in 61.0 s"},
        {{1, 1, 1, 1.0 / 3, 123456789},
         2,
         "wrote ph.tif (GTiff): 1 row x 1 column, 1 cell with a value from 0.333333 to 1.23457e+08, in 2.0 s"},
    };
    for (const auto& k : cases) EXPECT_EQ(summaryText(k.grid, "ph.tif", "GTiff", k.seconds), k.text);
}

// A cell holds a value when it is not 0; the range leaves out NaN, and a
// negative value below every other counts as the least.
TEST(Progress, GridSummaryCountsTheCellsThatHoldAValue) {
    const double rows[3][4] = {
        {0.0, 2.5, 0.0, -0.0},
        {NAN, 0.0, -1.5, 0.0},
        {0.0, 1e-300, 0.0, 7.0},
    };
    GxGrid grid(3, 4);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) grid.RowCol(r, c, rows[r][c]);
    const GridSummary s = summariseGrid(grid);
    EXPECT_EQ(s.rows, 3);
    EXPECT_EQ(s.cols, 4);
    EXPECT_EQ(s.withValue, 5);
    EXPECT_EQ(s.min, -1.5);
    EXPECT_EQ(s.max, 7.0);

    const GridSummary empty = summariseGrid(GxGrid(2, 0));
    EXPECT_EQ(empty.rows, 2);
    EXPECT_EQ(empty.cols, 0);
    EXPECT_EQ(empty.withValue, 0);
}
