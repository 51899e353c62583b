#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "GisTecplotFile.h"
#include "GxBox.h"
#include "TestSupport.h"
#include "WholeBoxFill.h"

namespace {

struct Converted {
    GxGrid grid;
    std::string warnings;  // as "line: text", one per line, "(lost)" where data was lost
    std::vector<double> values;
    int nodes;
};

std::string describe(const std::vector<TecplotWarning>& warnings) {
    std::string s;
    for (const TecplotWarning& w : warnings)
        s += std::to_string(w.line) + ": " + w.text + (w.lost ? " (lost)" : "") + "\n";
    return s;
}

// Converts a Tecplot text the way the run does, on a grid of the given extent.
Converted convert(const std::string& text, GxGridParam par, bool velocity = false) {
    TempDir dir;
    GisTecplotFile file(dir.write("zone.dat", text), "r");
    Converted c{GxGrid(par.NumRow(), par.NumCol()), {}, {}, file.nodeCount()};
    if (file.good()) {
        file.getXYValue(velocity);
        file.toGrid(c.grid, par);
    }
    c.warnings = describe(file.warnings());
    c.values.assign(file.values().begin(), file.values().end());
    return c;
}

// Eight columns and rows; the centre of column k at x = -1.5 + k, of row r at
// y = 5.5 - r. The square (0, 0)-(4, 4) covers rows and columns 2 to 5.
const GxGridParam kSquareGrid(-2, 6, -2, 6, 1, 1);

// Compares rows and columns 2 to 5 with a literal; every other cell must be 0.
void expectSquare(const GxGrid& grid, const double (&want)[4][4]) {
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col) {
            const bool inside = row >= 2 && row <= 5 && col >= 2 && col <= 5;
            EXPECT_EQ(grid.RowCol(row, col), inside ? want[row - 2][col - 2] : 0.0) << "row " << row << ", col " << col;
        }
}

std::string zone(const std::string& nodes, const std::string& elements) {
    std::istringstream in(nodes);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += !line.empty();
    return "TITLE = \"test\"\nZONE N=" + std::to_string(count) + ", F=FEPOINT\n" + nodes + elements;
}

}  // namespace

TEST(Rasteriser, TriangleAsFourNodeElementFillsItsPlane) {
    // z = x + 2y; centres on the hypotenuse x + y = 4 count as inside.
    const auto c = convert(zone("0 0 0 0 0\n4 0 4 0 0\n0 4 8 0 0\n", "1 2 3 3\n"), kSquareGrid);
    expectSquare(c.grid, {{7.5, 0, 0, 0}, {5.5, 6.5, 0, 0}, {3.5, 4.5, 5.5, 0}, {1.5, 2.5, 3.5, 4.5}});
}

TEST(Rasteriser, RectangleFromSouthEastIsBilinear) {
    const auto c = convert(zone("4 0 0 0 0\n4 4 4 0 0\n0 4 0 0 0\n0 0 0 0 0\n", "1 2 3 4\n"), kSquareGrid);
    expectSquare(c.grid, {{0.4375, 1.3125, 2.1875, 3.0625},
                          {0.3125, 0.9375, 1.5625, 2.1875},
                          {0.1875, 0.5625, 0.9375, 1.3125},
                          {0.0625, 0.1875, 0.3125, 0.4375}});
}

TEST(Rasteriser, RectangleFromSouthWestIsSplitAlongItsDiagonal) {
    // A horizontal first edge fails the rectangle test: planes z = y and z = x.
    const auto c = convert(zone("0 0 0 0 0\n4 0 0 0 0\n4 4 4 0 0\n0 4 0 0 0\n", "1 2 3 4\n"), kSquareGrid);
    expectSquare(c.grid, {{0.5, 1.5, 2.5, 3.5}, {0.5, 1.5, 2.5, 2.5}, {0.5, 1.5, 1.5, 1.5}, {0.5, 0.5, 0.5, 0.5}});
}

// Only a rectangle takes the bilinear path. Any other quadrilateral, even one
// that passes some of the rectangle's edge tests, is the triangles 1 2 3 and
// 1 3 4, whose planes share the diagonal from node 1 to node 3.
TEST(Rasteriser, NearRectanglesAreTwoTriangles) {
    const char* const quads[] = {
        "4 0 1 0 0\n4 4 4 0 0\n0 5 2 0 0\n0 1 0 0 0\n",  // vertical sides, sheared
        "4 0 1 0 0\n4 4 4 0 0\n0 3 2 0 0\n0 0 0 0 0\n",  // vertical sides, north edge sloping
        "4 0 1 0 0\n4 4 4 0 0\n1 4 2 0 0\n0 0 0 0 0\n",  // one vertical side
    };
    for (const char* nodes : quads) {
        SCOPED_TRACE(nodes);
        const auto quad = convert(zone(nodes, "1 2 3 4\n"), kSquareGrid);
        const auto split = convert(zone(nodes, "1 2 3 3\n1 3 4 4\n"), kSquareGrid);
        double filled = 0;
        for (int row = 0; row < 8; ++row)
            for (int col = 0; col < 8; ++col) {
                ASSERT_EQ(quad.grid.RowCol(row, col), split.grid.RowCol(row, col)) << "row " << row << ", col " << col;
                filled += quad.grid.RowCol(row, col) > 0;
            }
        EXPECT_GT(filled, 8) << "the quadrilateral covers cells";
    }
}

// Before, the bilinear weights were right only for a rectangle listed from its
// south-east corner: listed from the south-west, north-east or north-west
// corner (first edge vertical, so still filled bilinearly), the same rectangle
// gave a transposed or extrapolated grid, with values below every node's. Now
// every start gives the south-east start's grid, bit for bit.
TEST(Rasteriser, EveryStartOfARectangleGivesItsBilinearGrid) {
    // South-east 1, north-east 2, north-west 3, south-west 4.
    const char *const se = "4 0 1 0 0\n", *const ne = "4 4 2 0 0\n", *const nw = "0 4 3 0 0\n",
                      *const sw = "0 0 4 0 0\n";
    const std::string fromSouthEast = std::string(se) + ne + nw + sw;
    const auto expected = convert(zone(fromSouthEast, "1 2 3 4\n"), kSquareGrid);
    const double row2[4] = {2.96875, 2.65625, 2.34375, 2.03125}, row5[4] = {3.53125, 2.84375, 2.15625, 1.46875};
    for (int col = 2; col <= 5; ++col) {
        EXPECT_EQ(expected.grid.RowCol(2, col), row2[col - 2]) << "row 2, col " << col;
        EXPECT_EQ(expected.grid.RowCol(5, col), row5[col - 2]) << "row 5, col " << col;
    }
    const std::string starts[] = {std::string(sw) + nw + ne + se, std::string(ne) + se + sw + nw,
                                  std::string(nw) + sw + se + ne};
    for (const std::string& nodes : starts) {
        const auto c = convert(zone(nodes, "1 2 3 4\n"), kSquareGrid);
        for (int row = 0; row < 8; ++row)
            for (int col = 0; col < 8; ++col)
                ASSERT_EQ(c.grid.RowCol(row, col), expected.grid.RowCol(row, col))
                    << "listed from " << nodes.substr(0, 3) << ": row " << row << ", col " << col;
    }
}

TEST(Rasteriser, ElementLayoutAndDegenerateElements) {
    const std::string square = "4 0 0 0 0\n4 4 4 0 0\n0 4 0 0 0\n0 0 0 0 0\n";
    const auto once = convert(zone(square, "1 2 3 4\n"), kSquareGrid);
    struct Case {
        std::string elements;
        bool same;
        const char* why;
    };
    const Case cases[] = {
        {"1 2\n3 4\n", true, "an element across two lines"},
        {"1 2 3 4 1\n2 3 4\n", true, "five numbers on a line start the next element"},
        {"1 2 3 4\n1 2 3 4\n", true, "the same element twice changes nothing"},
        {"1 2 3 4\nZONE N=4, E=1\n", true, "a second zone stops the elements"},
        {"1 2\n", false, "an element cut short is dropped"},
        {"1 1 1 1\n2 2 3 3\n", false, "collinear triangles store nothing"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.why);
        const auto c = convert(zone(square, k.elements), kSquareGrid);
        for (int row = 0; row < 8; ++row)
            for (int col = 0; col < 8; ++col)
                ASSERT_EQ(c.grid.RowCol(row, col), k.same ? once.grid.RowCol(row, col) : 0.0)
                    << "row " << row << ", col " << col;
    }
}

TEST(Rasteriser, SharedDiagonalGetsOneValue) {
    // Both planes pass through nodes 0 and 2: the centres on the diagonal from
    // (0, 0) to (4, 4) hold x there.
    const auto c = convert(zone("0 0 0 0 0\n4 0 0 0 0\n4 4 4 0 0\n0 4 0 0 0\n", "1 2 3 4\n"), kSquareGrid);
    for (int k = 2; k <= 5; ++k) EXPECT_EQ(c.grid.RowCol(7 - k, k), -1.5 + k) << "diagonal cell " << k;
}

// Before, a rectangle wholly outside the grid got the range of cell (0, 0) and
// stored its extrapolated value there, and a rectangle ending short of the
// centres of column 0 still evaluated column 0.
TEST(Rasteriser, RectangleOutsideTheGridStoresNothing) {
    const char* const rectangles[] = {
        "20 0 5 0 0\n20 4 5 0 0\n16 4 5 0 0\n16 0 5 0 0\n",          // east of the grid
        "-2.8 0 5 0 0\n-2.8 4 5 0 0\n-3 4 5 0 0\n-3 0 5 0 0\n",      // ends short of column 0's centres
        "4 6.8 5 0 0\n4 9 5 0 0\n0 9 5 0 0\n0 6.8 5 0 0\n",          // starts north of row 0's centres
        "-1.5 0 5 0 0\n-1.5 4 5 0 0\n-1.5 4 5 0 0\n-1.5 0 5 0 0\n",  // zero width on column 0's centres
    };
    for (const char* nodes : rectangles) {
        const auto c = convert(zone(nodes, "1 2 3 4\n"), kSquareGrid);
        for (int row = 0; row < 8; ++row)
            for (int col = 0; col < 8; ++col) ASSERT_EQ(c.grid.RowCol(row, col), 0.0) << nodes << row << col;
    }
}

// Before, a mesh whose west and north edges are the grid's (the usual way to
// choose an extent) left column 0 and row 0 at 0: the range of cells was found
// by truncating its quotients toward zero. Each cell must hold the value at its
// centre, column 0 and row 0 like the others, on both paths: z = x + 2y + 10,
// exact at every centre, from nodes on the grid's edges.
TEST(Rasteriser, MeshOnTheGridsEdgesFillsColumnZeroAndRowZero) {
    const char* const meshes[] = {
        // a rectangle, listed from the south-east corner
        "6 -2 12 0 0\n6 6 28 0 0\n-2 6 20 0 0\n-2 -2 4 0 0\n",
        // the same square from the south-west corner: two triangles
        "-2 -2 4 0 0\n6 -2 12 0 0\n6 6 28 0 0\n-2 6 20 0 0\n",
    };
    for (const char* nodes : meshes) {
        const auto c = convert(zone(nodes, "1 2 3 4\n"), kSquareGrid);
        for (int row = 0; row < 8; ++row)
            for (int col = 0; col < 8; ++col) {
                const double x = -1.5 + col, y = 5.5 - row;
                EXPECT_NEAR(c.grid.RowCol(row, col), x + 2 * y + 10, 1e-12)
                    << nodes << "row " << row << ", col " << col;
            }
    }
}

// Before, a node number outside the table was looked up outside the arrays.
TEST(Rasteriser, ElementWithNodeOutsideTheTableIsSkipped) {
    const auto c =
        convert(zone("0 0 1 0 0\n4 0 1 0 0\n0 4 1 0 0\n", "1 2 0 3\n1 2 4 3\n-1 1 2 3\n1 2 3 3\n"), kSquareGrid);
    EXPECT_EQ(c.warnings, "6: 3 elements skipped for node numbers outside 1 to 3, the first is element 1 (lost)\n");
    EXPECT_EQ(c.grid.RowCol(5, 2), 1.0);
}

// Skipped elements are counted to the end of the element section and then
// summed up in one warning at the line of the first, ahead of the reason the
// section ended. Only a section that ends at the ZONE of a second zone keeps
// the file whole.
TEST(Rasteriser, ElementSectionWarningsInOrder) {
    const std::string square = "4 0 0 0 0\n4 4 4 0 0\n0 4 0 0 0\n0 0 0 0 0\n";  // lines 3 to 6
    struct Case {
        std::string elements;
        std::string warnings;
    };
    const Case cases[] = {
        {"1 2 3 4\n", ""},
        {"1 2 3 4", ""},
        {"1 2 3 4\n1 2", "8: element 2 has only 2 of its 4 node numbers and is dropped (lost)\n"},
        {"1 2 3 4\n1 2 3\n", "9: element 2 has only 3 of its 4 node numbers and is dropped (lost)\n"},
        {"1 2 3 4\n1 2 99999999999 4\n",
         "8: element 2 names a node number beyond 2147483647; the rest of the file is not read (lost)\n"},
        {"1 2 3 4\nZONE N=4,\n", ""},
        {"5 2 3 4\n", "7: 1 element skipped for node numbers outside 1 to 4, the first is element 1 (lost)\n"},
        {"1 2 3 4\n0 1 2 3\n\n1 2 3 4\n9 9 9 9\n1 2\n",
         "8: 2 elements skipped for node numbers outside 1 to 4, the first is element 2 (lost)\n"
         "13: element 5 has only 2 of its 4 node numbers and is dropped (lost)\n"},
        {"5 2 3 4\n1 2 3 4\nq\n",
         "7: 1 element skipped for node numbers outside 1 to 4, the first is element 1 (lost)\n"
         "9: elements end at \"q\", which is not a node number; the rest of the file is not read (lost)\n"},
        {"0 2 3 4\n1 2 2147483648 4\n",
         "7: 1 element skipped for node numbers outside 1 to 4, the first is element 1 (lost)\n"
         "8: element 2 names a node number beyond 2147483647; the rest of the file is not read (lost)\n"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.elements);
        EXPECT_EQ(convert(zone(square, k.elements), kSquareGrid).warnings, k.warnings);
    }
}

// Before, an element section that stopped at any token other than a second
// zone's ZONE (a stray word, a decimal number, an end marker) ended the run
// with exit status 0 and a warning that did not say which token, though every
// later element was lost; a sign at the very end of the input gave no warning
// at all. The token is shown as written: "8.0", not the ".0" left after the 8.
TEST(Rasteriser, ElementSectionStoppedByAToken) {
    const std::string square = "4 0 0 0 0\n4 4 4 0 0\n0 4 0 0 0\n0 0 0 0 0\n";  // lines 3 to 6
    const std::string rest = ", which is not a node number; the rest of the file is not read (lost)\n";
    struct Case {
        std::string elements;
        std::string warnings;
    };
    const Case cases[] = {
        {"1 2 3 4\nZONE N=4,\n", ""},
        {"1 2 3 4\n\n  ZONE\n", ""},
        {"1 2 3 4\n#\n", "8: elements end at \"#\"" + rest},
        {"1 2 3 4\nend-of-data\n", "8: elements end at \"end-of-data\"" + rest},
        {"1 2 3 4\nzone N=4,\n", ""},  // the keyword in any letter case, as in the record
        {"1 2 3 4 ZONES\n", "7: elements end at \"ZONES\"" + rest},
        {"1 2 3 4ZONE\n", "7: elements end at \"4ZONE\"" + rest},
        {"1 2 3 4\n1 2 3 8.0\n",
         "8: 1 element skipped for node numbers outside 1 to 4, the first is element 2 (lost)\n"
         "8: elements end at \"8.0\"" +
             rest},
        {"1 2 3 4.0\n", "7: elements end at \"4.0\"" + rest},
        {"1 2 3 4\n-", "8: elements end at \"-\"" + rest},
        {"1 2 3 4\n1 2 ZONE\n", "8: element 2 has only 2 of its 4 node numbers and is dropped (lost)\n"},
        {"1 2 3 4\n1 2.5 3 4\n", "8: element 2 is cut short at \"2.5\"" + rest},
        {"1 2 3 4\n1\t+\t3 4\n", "8: element 2 is cut short at \"+\"" + rest},
        {"1 2 3 4\n\"q\\\x01\xc3\xa9\"\n", "8: elements end at \"\\\"q\\\\\\x01\xc3\xa9\\\"\"" + rest},
        {"1 2 3 4\n" + std::string(45, 'w') + "\n", "8: elements end at \"" + std::string(40, 'w') + "...\"" + rest},
        {"1 2 3 4\n" + std::string(39, 'w') + "\xc3\xa9w\n",
         "8: elements end at \"" + std::string(39, 'w') + "...\"" + rest},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.elements);
        const auto c = convert(zone(square, k.elements), kSquareGrid);
        EXPECT_EQ(c.warnings, k.warnings);
        EXPECT_EQ(c.grid.RowCol(2, 5), 3.0625) << "the first element is filled";
    }
}

// The node count of a record that starts "ZONE N=<count>," is read as before;
// any other is read by name. Before, the token after ZONE was always the
// count's, two characters dropped from its front and one from its end: the
// rows marked "was" read a count of their own, with a warning.
TEST(ZoneReader, NodeCountToken) {
    const std::string notWhole = "\" is not a whole number from 0 to 2147483647; nothing is read (lost)\n";
    struct Case {
        std::string record;
        int nodes;
        std::string warnings;
        bool ok;
    };
    const Case cases[] = {
        {"ZONE N=3, E=1", 3, "", true},
        {"ZONE N=12,E=10, F=FEPOINT", 12, "", true},
        {"ZONE N=0, E=0", 0, "", true},
        {"ZONE N=1234 E=1", 1234, "", true},  // was 123: the last digit dropped
        {"ZONE N=5", 5, "", true},            // was 0: three characters
        {"ZONE T=\"a\", N=3,", 3, "", true},  // was 0: a zone title first
        {"ZONE X=3,", 0, "2: the ZONE record has no node count (N=<count> or NODES=<count>); nothing is read (lost)\n",
         true},                                                      // was 3
        {"ZONE N=-5,", 0, "2: node count \"N=-5" + notWhole, true},  // was -5
        {"ZONE N=+3,", 0, "2: node count \"N=+3" + notWhole, true},  // was 3
        {"ZONE N=99999999999,", 0,
         "2: node count in \"N=99999999999,\" does not fit in an int; no node is read (lost)\n", true},
        {"ZONE N=2147483647,", 2147483647, "", true},  // the largest count that is read
        {"ZONE N=2147483648,", 0, "2: node count in \"N=2147483648,\" does not fit in an int; no node is read (lost)\n",
         true},
        // Was "no zone here": a zone in any letter case begins the record now.
        {"no such record", 0, "3: no ZONE record; nothing is read (lost)\n", false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.record);
        TempDir dir;
        GisTecplotFile file(dir.write("z.dat", "TITLE = \"x\"\n" + k.record + "\n"), "r");
        EXPECT_EQ(file.good(), k.ok);
        EXPECT_EQ(file.nodeCount(), k.nodes);
        EXPECT_EQ(describe(file.warnings()), k.warnings);
        file.getXYValue(false);
        EXPECT_TRUE(file.coords().empty());
    }
}

// A zone record cut off by the end of the input leaves the file unread; that is
// its only warning, whatever its node-count token holds.
TEST(ZoneReader, FileEndingWithinTheZoneRecord) {
    for (const char* text : {"ZONE", "ZONE N=4,", "TITLE\nZONE N=4 E=1", "ZONE N=99999999999, E=1"}) {
        SCOPED_TRACE(text);
        TempDir dir;
        GisTecplotFile file(dir.write("z.dat", text), "r");
        EXPECT_FALSE(file.good());
        ASSERT_EQ(file.warnings().size(), 1u);
        EXPECT_EQ(file.warnings()[0].text, "the file ends within its ZONE record");
    }
}

TEST(ZoneReader, NodeValuesInBothModes) {
    const std::string text = zone("0 0 0.01 5 5\n1 0 2 3 4 7 7\n\n2 0 0.5 0 0\n3 0 -1 1 1\n4 5 0.0100001 0 1e-3\n", "");
    struct Case {
        bool velocity;
        std::vector<double> values;
    };
    const Case cases[] = {
        {false, {0.01, 2, 0.5, -1, 0.0100001}},
        {true, {0, 2.5, 0, 0, std::sqrt(0.0 * 0.0 + 1e-3 * 1e-3) / 0.0100001}},
    };
    for (const Case& k : cases) {
        const auto c = convert(text, kSquareGrid, k.velocity);
        EXPECT_EQ(c.values, k.values);
        EXPECT_EQ(c.warnings, "");
    }
    TempDir dir;
    GisTecplotFile file(dir.write("z.dat", text), "r");
    file.getXYValue(false);
    EXPECT_EQ(file.xmin(), 0);
    EXPECT_EQ(file.xmax(), 4);
    EXPECT_EQ(file.ymax(), 5);
}

// Before, the rest of the announced nodes were still appended after the table
// failed: a corrupt count of 2147483647 would have filled memory.
TEST(ZoneReader, ShortNodeTableAppendsNoPlaceholders) {
    const auto ended = convert("ZONE N=2147483647,\n0 0 1 0 0\n1 1 1 0", kSquareGrid);
    EXPECT_EQ(ended.warnings, "3: node table ends after 1 of 2147483647 nodes; no element is read (lost)\n");
    EXPECT_EQ(ended.values.size(), 1u);
    const auto word = convert("ZONE N=3,\n0 0 1 0 0\n1 x 1 0 0\n", kSquareGrid);
    EXPECT_EQ(word.warnings, "3: node 2 of 3 holds a value that is not a number; no element is read (lost)\n");
}

// A read error ends the reading as a problem, never as the end of the file
// (reading /proc/self/mem at its start fails with EIO). Skipped while the
// reader does not name its problems.
TEST(ZoneReader, ReadErrorIsNotTheEndOfTheFile) {
    GisTecplotFile file("/proc/self/mem", "r");
    if (file.readProblem().empty()) GTEST_SKIP() << "the reader does not name read errors";
    EXPECT_FALSE(file.good());
    EXPECT_EQ(describe(file.warnings()), "1: " + file.readProblem() + "; the rest of the file is not read (lost)\n");
}

// Before, the node arrays were reserved for the announced count, bounded only
// by the file's size: a sparse file of 100 GB claiming two billion nodes asked
// for 48 GB at once and aborted. Now the first room is at most 2097152 nodes.
TEST(ZoneReader, SparseFileClaimingTwoBillionNodes) {
    TempDir dir;
    const std::string path = dir.write("z.dat", "ZONE N=2000000000,\n0 0 1 0 0\n");
    ASSERT_EQ(::truncate(path.c_str(), 100LL << 30), 0);  // the rest is a hole of NUL bytes
    GisTecplotFile file(path, "r");
    file.getXYValue(false);
    EXPECT_EQ(file.coords().size(), 1u);
    EXPECT_LE(file.coords().capacity(), 2097152u);
    EXPECT_EQ(describe(file.warnings()),
              "3: node 2 of 2000000000 holds a value that is not a number; no element is read (lost)\n");
}

#if !defined(__SANITIZE_ADDRESS__)
namespace {

// Caps the address space at what the process maps now plus headroom bytes.
void limitAddressSpace(long long headroom) {
    std::ifstream status("/proc/self/status");
    long long kiB = 0;
    for (std::string word; status >> word;)
        if (word == "VmSize:" && status >> kiB) break;
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = static_cast<rlim_t>(kiB * 1024 + headroom);
    setrlimit(RLIMIT_AS, &limit);
}

}  // namespace

// Before, a node table whose arrays could not grow aborted the program. Now
// the nodes stop with a warning and no element is read. (Not under
// AddressSanitizer, which cannot run in a capped address space.)
TEST(ZoneReaderDeathTest, NodesBeyondMemoryAreAWarning) {
    std::string text = "ZONE N=200000,\n";
    for (int k = 0; k < 200000; ++k) text += "0 0 1 0 0\n";
    TempDir dir;
    const std::string path = dir.write("z.dat", text + "1 2 3 3\nq\n");
    EXPECT_EXIT(
        {
            GisTecplotFile file(path, "r");
            GxGrid grid(8, 8);
            GxGridParam par = kSquareGrid;
            limitAddressSpace(1 << 20);
            file.getXYValue(false);
            file.toGrid(grid, par);
            std::fputs(describe(file.warnings()).c_str(), stderr);
            std::_Exit(file.coords().empty() && file.good() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "^2: out of memory for node 1 of 200000; no element is read \\(lost\\)\n$");
}
#endif

// Velocity is |momentum| / pile height as specified wherever that is finite;
// only where the squares of finite momenta overflow is it found without them.
TEST(ZoneReader, VelocityOfMomentaWhoseSquaresOverflow) {
    struct Case {
        double mx, my, z;
        double want;
    };
    const Case cases[] = {
        {3, 4, 2, 2.5},
        {3e153, 4e153, 2, std::sqrt(3e153 * 3e153 + 4e153 * 4e153) / 2},  // squares near the largest double
        {1e-200, 1e-200, 2, 0.0},                                         // squares underflow: kept as specified
        {1e200, 1e200, 2, std::hypot(1e200, 1e200) / 2},
        {-1e160, 0, 0.5, 2e160},
        {1e308, 1e308, 2, std::hypot(1e308, 1e308) / 2},
        {1e308, 1e308, 0.02, HUGE_VAL},  // the magnitude itself overflows
    };
    for (const Case& k : cases) {
        std::ostringstream node;
        node.precision(17);
        node << "0 0 " << k.z << ' ' << k.mx << ' ' << k.my << '\n';
        const auto c = convert(zone(node.str(), ""), kSquareGrid, true);
        ASSERT_EQ(c.values.size(), 1u);
        EXPECT_EQ(c.values[0], k.want) << node.str();
    }
}

// Before, an infinite node value (a velocity that overflows) reached the grid
// as "inf" with exit status 0. A value that is not finite is not stored; one
// warning counts them, at the first element that offered one, in line order
// with the warning about skipped elements.
TEST(Rasteriser, ValuesThatAreNotFiniteAreNotStored) {
    // Node 1 of the triangle 1 2 3 3 has an infinite velocity; nodes 4 to 7
    // make a rectangle of finite values, and node 8 an infinite one.
    const std::string nodes =
        "0 0 0.02 1e308 1e308\n4 0 1 1 0\n0 4 1 2 0\n"
        "4 0 1 1 0\n4 4 1 1 0\n0 4 1 1 0\n0 0 1 1 0\n0 0 0.02 1e308 1e308\n";
    struct Case {
        std::string elements;
        std::string warnings;
        double cell;  // row 5, column 2: filled by the rectangle when it comes
    };
    const Case cases[] = {
        {"1 2 3 3\n", "11: 10 values kept out of the grid for not being finite, the first from element 1 (lost)\n",
         0.0},
        {"4 5 6 7\n1 2 3 3\n",
         "12: 10 values kept out of the grid for not being finite, the first from element 2 (lost)\n", 1.0},
        {"4 5 6 8\n", "11: 16 values kept out of the grid for not being finite, the first from element 1 (lost)\n",
         0.0},
        {"9 1 2 3\n4 5 6 7\n1 2 3 3\n",
         "11: 1 element skipped for node numbers outside 1 to 8, the first is element 1 (lost)\n"
         "13: 10 values kept out of the grid for not being finite, the first from element 3 (lost)\n",
         1.0},
        {"4 5 6 7\n1 2 3 3\n9 1 2 3\n",
         "12: 10 values kept out of the grid for not being finite, the first from element 2 (lost)\n"
         "13: 1 element skipped for node numbers outside 1 to 8, the first is element 3 (lost)\n",
         1.0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.elements);
        const auto c = convert(zone(nodes, k.elements), kSquareGrid, true);
        EXPECT_EQ(c.warnings, k.warnings);
        for (int row = 0; row < 8; ++row)
            for (int col = 0; col < 8; ++col)
                ASSERT_TRUE(std::isfinite(c.grid.RowCol(row, col))) << "row " << row << ", col " << col;
        EXPECT_EQ(c.grid.RowCol(5, 2), k.cell);
    }
}

// A grid of no rows but the most columns (or the reverse) takes no value and
// loops over no cell; its elements are still read for what they hold wrong.
TEST(Rasteriser, GridWithoutCellsTakesNothing) {
    const std::string nodes = "0 0 1 0 0\n3e9 0 1 0 0\n0 1 1 0 0\n3e9 1 1 0 0\n";
    for (const GxGridParam& par :
         {GxGridParam(0, 2147483647, 0, 0.5, 1, 1), GxGridParam(0, 0.5, 0, 2147483647, 1, 1)}) {
        const auto c = convert(zone(nodes, "2 4 3 1\n1 2 3 3\n5 1 2 3\n"), par);
        EXPECT_EQ(c.warnings, "9: 1 element skipped for node numbers outside 1 to 4, the first is element 3 (lost)\n");
        GxGridParam p = par;
        GxGrid grid(par.NumRow(), par.NumCol());
        GxCoord2D ptI(0.5, p.ymax_ - 0.5);
        GxCoord2D tri[3] = {{0, 0}, {3e9, 0}, {0, 3e9}};
        double z[3] = {1, HUGE_VAL, 1};
        EXPECT_EQ(fillGridTriangle(grid, tri, z, p, ptI), 0);
    }
}

// An independent oracle: on a mesh of general triangles, a cell whose centre
// lies well inside one triangle holds the barycentric interpolation of its
// node values.
TEST(Rasteriser, TrianglesMatchBarycentricInterpolation) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> jitter(-0.3, 0.3), value(0.5, 9.5);
    const int n = 12;  // nodes per side, spacing 1, grid of cell size 0.25
    std::ostringstream nodes, elements;
    std::vector<double> xs, ys, vs;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const bool edge = i == 0 || j == 0 || i == n - 1 || j == n - 1;
            xs.push_back(i + (edge ? 0 : jitter(rng)));
            ys.push_back(j + (edge ? 0 : jitter(rng)));
            vs.push_back(value(rng));
            nodes.precision(17);
            nodes << xs.back() << ' ' << ys.back() << ' ' << vs.back() << " 0 0\n";
        }
    std::vector<int> tris;
    for (int j = 0; j + 1 < n; ++j)
        for (int i = 0; i + 1 < n; ++i) {
            const int a = j * n + i, b = a + 1, c = a + n + 1, d = a + n;
            for (int t : {a, b, c, a, c, d}) tris.push_back(t);
            elements << a + 1 << ' ' << b + 1 << ' ' << c + 1 << ' ' << c + 1 << '\n'
                     << a + 1 << ' ' << c + 1 << ' ' << d + 1 << ' ' << d + 1 << '\n';
        }
    // Half a cell and more beyond the mesh, so that column 0 and row 0 are in reach.
    const GxGridParam par(-0.5, n - 0.5, -0.5, n - 0.5, 0.25, 0.25);
    const auto conv = convert("ZONE N=" + std::to_string(n * n) + ",\n" + nodes.str() + elements.str(), par);
    int checked = 0;
    for (int row = 0; row < par.NumRow(); ++row)
        for (int col = 0; col < par.NumCol(); ++col) {
            const double px = -0.5 + 0.125 + col * 0.25, py = (n - 0.5) - 0.125 - row * 0.25;
            for (std::size_t t = 0; t < tris.size(); t += 3) {
                const int a = tris[t], b = tris[t + 1], c = tris[t + 2];
                const double det = (ys[b] - ys[c]) * (xs[a] - xs[c]) + (xs[c] - xs[b]) * (ys[a] - ys[c]);
                const double l1 = ((ys[b] - ys[c]) * (px - xs[c]) + (xs[c] - xs[b]) * (py - ys[c])) / det;
                const double l2 = ((ys[c] - ys[a]) * (px - xs[c]) + (xs[a] - xs[c]) * (py - ys[c])) / det;
                const double l3 = 1 - l1 - l2;
                if (l1 > 1e-6 && l2 > 1e-6 && l3 > 1e-6) {
                    const double want = l1 * vs[a] + l2 * vs[b] + l3 * vs[c];
                    EXPECT_NEAR(conv.grid.RowCol(row, col), want, 1e-12 * want) << "row " << row << ", col " << col;
                    ++checked;
                }
            }
        }
    EXPECT_GT(checked, 1500);
}

namespace {

// The first cell whose bits differ, as "row r, col c: got g, want w"; "" when none.
std::string firstDifference(const GxGrid& got, const GxGrid& want) {
    for (int row = 0; row < want.NumRow(); ++row)
        for (int col = 0; col < want.NumCol(); ++col) {
            const double g = got.RowCol(row, col), w = want.RowCol(row, col);
            if (std::memcmp(&g, &w, sizeof g) != 0) {
                std::ostringstream s;
                s.precision(17);
                s << "row " << row << ", col " << col << ": got " << g << ", want " << w;
                return s.str();
            }
        }
    return "";
}

// Fills one triangle both ways into grids of par, cleared first; "" when the
// grids are equal bit for bit and the counts of values not stored agree.
std::string compareFills(GxGridParam par, GxCoord2D tri[3], double z[3], GxGrid& got, GxGrid& want) {
    for (int row = 0; row < want.NumRow(); ++row)
        for (int col = 0; col < want.NumCol(); ++col) {
            got.RowCol(row, col, 0.0);
            want.RowCol(row, col, 0.0);
        }
    GxCoord2D ptI(par.xmin_ + par.resx_ * 0.5, par.ymax_ - par.resy_ * 0.5);
    const long long gotCount = fillGridTriangle(got, tri, z, par, ptI);
    const long long wantCount = wholeBoxFill(want, tri, z, par, ptI);
    std::string diff = firstDifference(got, want);
    if (diff.empty() && gotCount != wantCount)
        diff = std::to_string(gotCount) + " values not finite instead of " + std::to_string(wantCount);
    return diff;
}

std::string describeTriangle(const GxGridParam& par, const GxCoord2D tri[3], const double z[3]) {
    std::ostringstream s;
    s.precision(17);
    s << "grid " << par.xmin_ << ' ' << par.xmax_ << ' ' << par.ymin_ << ' ' << par.ymax_ << ' ' << par.resx_ << ' '
      << par.resy_ << "; triangle";
    for (int k = 0; k < 3; ++k) s << " (" << tri[k].x() << ", " << tri[k].y() << ", " << z[k] << ')';
    return s.str();
}

// Grids with the cell sizes and positions that make stepped centres round:
// fractions that are not binary, georeferenced coordinates, rows so short
// that stepping stalls (every row centre the same double), huge and tiny ones.
std::vector<GxGridParam> differentialGrids() {
    return {
        GxGridParam(-2, 6, -2, 6, 1, 1),
        GxGridParam(-13.7, 20.3, -8.1, 25.9, 0.37, 0.53),
        GxGridParam(0, 10, 0, 10, 0.1, 0.1),
        GxGridParam(0, 20, 0, 20, 1.0 / 3, 1.0 / 7),
        GxGridParam(600000.125, 600006.125, 5100000.7, 5100006.7, 0.1, 0.1),
        GxGridParam(-3, 3, 5e6, 5e6 + 1e-8, 0.1, 1e-10),
        GxGridParam(1e15, 1e15 + 64, -1e15 - 64, -1e15, 1, 1),
        GxGridParam(-3e300, 3e300, -2e300, 2e300, 1e299, 1e299),
        GxGridParam(0, 4e-300, 0, 6e-300, 1e-301, 1e-301),
        GxGridParam(0, 400, 0, 300, 1, 1),
    };
}

// The corners of the two triangles of an element.
const int kFirstTriangle[3] = {0, 1, 2};
const int kSecondTriangle[3] = {0, 2, 3};

}  // namespace

// The fill tests only the rows of each column that can hold an accepted
// centre; the grid must stay the one the whole-box fill gives, bit for bit, on
// every kind of triangle: general, small, slivers down to widths far below a
// rounding error, nearly and exactly collinear nodes, nodes on cell centres
// and just off them (the area tolerance), and nodes far beyond the grid.
TEST(Rasteriser, TriangleRowsMatchTheWholeBoxFill) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto logUniform = [&](double lo, double hi) { return std::pow(10.0, lo + (hi - lo) * unit(rng)); };
    int checked = 0, banded = 0;
    for (const GxGridParam& par : differentialGrids()) {
        const double w = par.xmax_ - par.xmin_, h = par.ymax_ - par.ymin_;
        // A point of the grid's extent, u and v from 0 to 1 across it, and a
        // cell centre near it.
        auto at = [&](double u, double v) { return GxCoord2D(par.xmin_ + u * w, par.ymin_ + v * h); };
        auto centre = [&](double u, double v) {
            return GxCoord2D(par.xmin_ + par.resx_ * (std::floor(u * par.NumCol()) + 0.5),
                             par.ymax_ - par.resy_ * (std::floor(v * par.NumRow()) + 0.5));
        };
        GxGrid got(par.NumRow(), par.NumCol()), want(par.NumRow(), par.NumCol());
        const int count = par.NumCol() >= 300 ? 300 : 2500;
        for (int n = 0; n < count; ++n) {
            GxCoord2D tri[3];
            const int kind = n % 8;
            auto spread = [&] { return -0.3 + 1.6 * unit(rng); };
            if (kind == 0) {  // general
                for (GxCoord2D& p : tri) p = at(spread(), spread());
            } else if (kind == 1) {  // a few cells
                const GxCoord2D c = at(spread(), spread());
                for (GxCoord2D& p : tri)
                    p = GxCoord2D(c.x() + par.resx_ * 6 * (unit(rng) - 0.5), c.y() + par.resy_ * 6 * (unit(rng) - 0.5));
            } else if (kind <= 4) {  // slivers, nearly collinear at kind 4
                const GxCoord2D a = at(spread(), spread()), b = at(spread(), spread());
                const double t = -0.5 + 2 * unit(rng);
                const double off = kind == 4 ? logUniform(-17, -12) * (std::fabs(a.x()) + std::fabs(a.y()) + w)
                                             : logUniform(-10, 0.5) * par.resy_;
                const double dx = b.x() - a.x(), dy = b.y() - a.y(), len = std::hypot(dx, dy);
                const double nx = len > 0 ? -dy / len : 0, ny = len > 0 ? dx / len : 1;
                tri[0] = a;
                tri[1] = b;
                tri[2] = GxCoord2D(a.x() + t * dx + off * nx, a.y() + t * dy + off * ny);
            } else if (kind == 5) {  // collinear by construction
                const GxCoord2D a = at(spread(), spread()), b = at(spread(), spread());
                const double t = unit(rng);
                tri[0] = a;
                tri[1] = b;
                tri[2] = GxCoord2D(a.x() + t * (b.x() - a.x()), a.y() + t * (b.y() - a.y()));
            } else if (kind == 6) {  // nodes on cell centres, or a hair off them
                for (GxCoord2D& p : tri) {
                    p = centre(unit(rng), unit(rng));
                    if (unit(rng) < 0.5)
                        p = GxCoord2D(p.x() + par.resx_ * logUniform(-9, -4) * (unit(rng) - 0.5),
                                      p.y() + par.resy_ * logUniform(-9, -4) * (unit(rng) - 0.5));
                }
            } else {  // nodes far beyond the grid on one or more sides
                for (GxCoord2D& p : tri) {
                    const double reach = logUniform(0, 12);
                    p = at(0.5 + reach * (unit(rng) - 0.5), 0.5 + reach * (unit(rng) - 0.5));
                }
            }
            double z[3];
            for (double& v : z) v = n % 3 == 0 ? 1.0 : 1 + 9 * unit(rng);
            if (n % 97 == 0) z[n % 3] = 1.7e308;  // planes that overflow
            const std::string diff = compareFills(par, tri, z, got, want);
            ASSERT_EQ(diff, "") << describeTriangle(par, tri, z);
            ++checked;
            GxBox box = makeBox(tri[0].x(), tri[0].y(), tri[1].x(), tri[1].y(), 0.0);
            updateBox(box, tri[2]);
            GxGridParam p = par;
            const GxBox range = interRowsCols(box, p);
            banded += range.y2_ - range.y1_ >= 8;
        }
    }
    EXPECT_GT(banded, checked / 3) << "most triangles span enough rows to be filled by bands";
}

// The same comparison over every element of the bundled example files, each
// split into its two triangles, accumulated into one grid per file.
TEST(Rasteriser, ExampleTrianglesMatchTheWholeBoxFill) {
    const std::string here = __FILE__;
    const std::string examples = here.substr(0, here.rfind("tests/unit/")) + "examples/";
    const GxGridParam grids[] = {GxGridParam(600000, 600400, 5100000, 5100300, 2, 2),
                                 GxGridParam(600000.3, 600400.3, 5100000.1, 5100300.1, 0.37, 0.29)};
    int triangles = 0;
    for (const char* name : {"flow_p0.dat", "flow_p1.dat", "flow_p2.dat"}) {
        for (GxGridParam par : grids) {
            SCOPED_TRACE(name);
            GisTecplotFile file(examples + name, "r");
            ASSERT_TRUE(file.good());
            file.getXYValue(false);
            GxCoord2D ptI(par.xmin_ + par.resx_ * 0.5, par.ymax_ - par.resy_ * 0.5);
            GxGrid got(par.NumRow(), par.NumCol()), want(par.NumRow(), par.NumCol());
            const auto& nodes = file.coords();
            const auto& values = file.values();
            long long gotCount = 0, wantCount = 0;
            int vert[4];
            for (;;) {
                for (int& v : vert) file.getAscInt(v);
                if (file.fail()) break;
                for (const int* corners : {kFirstTriangle, kSecondTriangle}) {
                    GxCoord2D tri[3];
                    double z[3];
                    for (int k = 0; k < 3; ++k) {
                        const auto node = static_cast<std::size_t>(vert[corners[k]] - 1);
                        tri[k] = nodes.at(node);
                        z[k] = values.at(node);
                    }
                    gotCount += fillGridTriangle(got, tri, z, par, ptI);
                    wantCount += wholeBoxFill(want, tri, z, par, ptI);
                    ++triangles;
                }
            }
            EXPECT_EQ(firstDifference(got, want), "");
            EXPECT_EQ(gotCount, wantCount);
        }
    }
    EXPECT_GT(triangles, 20000);
}

TEST(MeshLines, OutlinesAreClosed) {
    struct Case {
        std::string nodes;
        std::vector<int> vert;
        const char* want;
    };
    const std::string square = "4 0 0 0 0\n4 4 0 0 0\n0 4 0 0 0\n0 0 0 0 0\n";
    const Case cases[] = {
        {square, {1, 2, 3, 4}, "4 0\n4 4\n0 4\n0 0\n4 0\nEND\n"},
        {square, {4, 3, 2, 1}, "0 0\n0 4\n4 4\n4 0\n0 0\nEND\n"},
        {square, {1, 2, 3, 3}, "4 0\n4 4\n0 4\n4 0\nEND\n"},
        {"0 0 0 0 0\n0 0 0 0 0\n5 0 0 0 0\n5 0 0 0 0\n", {1, 2, 3, 3}, "0 0\n0 0\n5 0\n5 0\n0 0\nEND\n"},
        {"0.1 0.00001 0 0 0\n1 0 0 0 0\n0.33333333333333 2.5e11 0 0 0\n",
         {1, 2, 3, 3},
         "0.1 1e-05\n1 0\n0.33333333333 2.5e+11\n0.1 1e-05\nEND\n"},
        {square, {1, 2, 3, 5}, ""},
    };
    const auto precision = std::cout.precision();
    for (const Case& k : cases) {
        TempDir dir;
        GisTecplotFile file(dir.write("z.dat", zone(k.nodes, "")), "r");
        file.getXYValue(false);
        std::vector<int> vert = k.vert;
        testing::internal::CaptureStdout();
        file.toMeshLines(vert.data());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), k.want);
        EXPECT_EQ(std::cout.precision(), 11);
    }
    std::cout.precision(precision);
}
