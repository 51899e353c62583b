#include <gtest/gtest.h>

#include "GxBox.h"
#include "GxGeometry.h"
#include "GxGrid.h"

namespace {

void expectBox(const GxBox& got, double x1, double y1, double x2, double y2) {
    EXPECT_EQ(got.x1_, x1);
    EXPECT_EQ(got.y1_, y1);
    EXPECT_EQ(got.x2_, x2);
    EXPECT_EQ(got.y2_, y2);
}

}  // namespace

// Ten columns and five rows; centres of column 0 at x = 5, of row 0 at y = 45.
TEST(InterRowsCols, SelectsCellsByTheirCentres) {
    struct Case {
        GxBox box;
        double fcol, frow, lcol, lrow;
        const char* why;
        bool meets = true;
    };
    const Case cases[] = {
        {{12, 13, 38, 31}, 1, 2, 3, 3, "inside"},
        {{15, 13, 35, 31}, 2, 2, 3, 3, "centre on the west side out, on the east side in"},
        // Before, the quotients were truncated toward zero: this box missed
        // column 0 and row 0 although it covers their centres, and the box
        // ending short of column 0's centres below still got column 0.
        {{0, 0, 30, 50}, 0, 0, 2, 4, "a box from the west and north edges takes column 0 and row 0"},
        {{5, 13, 38, 45}, 1, 1, 3, 3, "centres of column 0 and row 0 on the west and north sides out"},
        {{-8, 0, 5, 50}, 0, 0, 0, 4, "centres of column 0 on the east side in"},
        {{-10, -10, 30, 60}, 0, 0, 2, 4, "clamped to the grid"},
        {{6, 13, 14, 31}, 1, 2, 0, 3, "no column centre between the sides"},
        {{-8, 0, 4, 50}, 0, 0, 0, 0, "ends short of column 0's centres", false},
        {{20, 46, 30, 60}, 0, 0, 0, 0, "ends short of row 0's centres", false},
        {{200, 0, 300, 50}, 0, 0, 0, 0, "east of the grid", false},
        {{-30, 0, -16, 50}, 0, 0, 0, 0, "west of the grid", false},
    };
    GxGridParam grid(0, 100, 0, 50, 10, 10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        GxBox box = c.box;
        expectBox(interRowsCols(box, grid), c.fcol, c.frow, c.lcol, c.lrow);
        bool meets = true;
        interRowsCols(c.box, grid, meets);
        EXPECT_EQ(meets, c.meets) << "the range of a box outside the grid stands for no overlap";
    }
}

TEST(BoxUtilities, BuildGrowScaleAndSnap) {
    expectBox(makeBox(5, 1, 2, 3, 0.0), 2, 1, 5, 3);
    expectBox(makeBox(0, 0, 2, 2, 0.5), -0.5, -0.5, 2.5, 2.5);

    GxBox grown(2, 1, 5, 3);
    updateBox(grown, GxCoord2D(7, 0));
    expectBox(grown, 2, 0, 7, 3);
    GxBox inverted(10, 10, -10, -10);  // one point moves both sides of each axis
    updateBox(inverted, GxCoord2D(1, 2));
    expectBox(inverted, 1, 2, 1, 2);
    GxBox other(0, 0, 1, 1);
    updateBox(other, GxGeometry(GxBox(-1, 0.5, 0.5, 4)));
    expectBox(other, -1, 0, 1, 4);
    updateBox(other, GxGeometry(GxBox(0, -2, 3, 3)));  // each side moves only outward
    expectBox(other, -1, -2, 3, 4);

    GxBox box(0, 0, 10, 4);
    EXPECT_EQ(box.center(), GxCoord2D(5, 2));
    EXPECT_NE(box.center(), GxCoord2D(5, 3));
    GxBox in = box, out = box;
    zoomIn(in, 0.5);
    expectBox(in, 2.5, 1, 7.5, 3);
    zoomOut(out, 0.5);
    expectBox(out, -5, -2, 15, 6);

    GxBox a(-2.5, -0.5, 7.2, 3.0), b(-2.5, -3.0, -0.5, -1.2), c(4, 2, 8, 6);
    expectBox(adjustToCut(a, 2, 1), -4, -1, 8, 3);
    expectBox(adjustToCut(b, 2, 1), -4, -3, 0, -1);
    expectBox(adjustToCut(c, 2, 1), 4, 2, 8, 6);
    expectBox(a, -2.5, -0.5, 7.2, 3.0);  // the box itself is unchanged
}
