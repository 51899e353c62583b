// The zone record read from a file: where it ends, what a refusal leaves
// unread, and the elements of a triangle zone.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "GisTecplotFile.h"
#include "TestSupport.h"

namespace {

// What the run makes of a Tecplot text on the grid of eight by eight cells from
// (-2, -2) to (6, 6): the centre of column k at x = -1.5 + k, of row r at y = 5.5 - r.
struct Read {
    bool good;
    bool refused;
    int nodes;
    int nodesPerElement;
    std::string warnings;  // "line: text", one a line, "(lost)" where data was lost
    std::vector<double> values;
    GxGrid grid{8, 8};
};

Read read(const std::string& text) {
    TempDir dir;
    GisTecplotFile file(dir.write("zone.dat", text), "r");
    Read r{file.good(), file.refused(), file.nodeCount(), file.nodesPerElement(), "", {}};
    if (r.good) {
        GxGridParam par(-2, 6, -2, 6, 1, 1);
        file.getXYValue(false);
        file.toGrid(r.grid, par);
    }
    for (const TecplotWarning& w : file.warnings())
        r.warnings += std::to_string(w.line) + ": " + w.text + (w.lost ? " (lost)" : "") + "\n";
    r.values.assign(file.values().begin(), file.values().end());
    return r;
}

// The first cell, row by row, where two grids differ, or "".
std::string firstDifference(const GxGrid& a, const GxGrid& b) {
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col)
            if (a.RowCol(row, col) != b.RowCol(row, col))
                return "row " + std::to_string(row) + ", col " + std::to_string(col) + ": " +
                       std::to_string(a.RowCol(row, col)) + " and " + std::to_string(b.RowCol(row, col));
    return "";
}

// The square (0, 0)-(4, 4) with the pile height z = x + 2y.
const std::string kNodes = "0 0 0 0 0\n4 0 4 0 0\n4 4 12 0 0\n0 4 8 0 0\n";

}  // namespace

// The zone record ends before the first line that begins with a number, or
// with the ZONE of another zone; quoted text is one unit in the preamble.
TEST(ZoneReader, RecordEndsBeforeTheFirstNodeLine) {
    struct Case {
        std::string text;
        int nodes;
        std::vector<double> values;
        std::string warnings;
    };
    const Case cases[] = {
        {"TITLE = \"a ZONE b\"\nVARIABLES = \"X\" \"Y\"\n\"H\" \"MX\" \"MY\"\nzone T=\"x\"\n N=2, E=0\n\n  "
         "DT=(SINGLE)\n"
         "\n  0 0 1 0 0\n.5 1 2 0 0\n",
         2,
         {1, 2},
         ""},
        {"Zone N=1\n-1 0 3 0 0\n", 1, {3}, ""},
        // A quote that is not closed ends with its line; a quoted VARIABLES is no list.
        {"TITLE = \"open\nZONE N=1\n0 0 2 0 0\n", 1, {2}, ""},
        {"TITLE = \"VARIABLES X\"\nZONE N=1\n0 0 2 0 0\n", 1, {2}, ""},
        // Comment lines, in the preamble and in the record, are skipped whole.
        {"# the zone of the flow\n  # \"ZONE\nZONE N=1,\n0 0 2 0 0\n", 1, {2}, ""},
        {"ZONE T=\"x\"\n# N=5, ET=BRICK\n NODES=1\n0 0 2 0 0\n", 1, {2}, ""},
        // A line that begins with ZONETYPE= goes on with the record.
        {"ZONE T=\"x\", NODES=1\nZONETYPE=FETRIANGLE\n0 0 2 0 0\n", 1, {2}, ""},
        {"ZONE N=1\n+1 0 3 0 0\n", 1, {3}, ""},
        // A second zone's ZONE ends the record, and then the elements, as before.
        {"ZONE N=0\nZONE N=1,\n0 0 9 0 0\n", 0, {}, ""},
        // A node line that is not one: reported as before, at its line.
        {"ZONE N=1\n1e400 0 3 0 0\n",
         1,
         {},
         "2: node 1 of 1 holds a value that is not a number; no element is read (lost)\n"},
        {"ZONE N=2, F=FEPOINT\n", 2, {}, "2: node table ends after 0 of 2 nodes; no element is read (lost)\n"},
        // SOLUTIONTIME and the rest that MeshRaster does not use, over three lines.
        {"ZONE STRANDID=1,\nSOLUTIONTIME=12.5\nAUXDATA N=\"5\" N=1\n0 0 4 0 0\n", 1, {4}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Read r = read(c.text);
        EXPECT_TRUE(r.good);
        EXPECT_FALSE(r.refused);
        EXPECT_EQ(r.nodes, c.nodes);
        EXPECT_EQ(r.values, c.values);
        EXPECT_EQ(r.warnings, c.warnings);
    }
    TempDir dir;
    EXPECT_EQ(GisTecplotFile(dir.write("t.dat", "ZONE N=1, SOLUTIONTIME=12.5\n0 0 4 0 0\n"), "r").time(), 12.5);
}

// Where the record ends with the file: a last line without its newline, or no
// more than the keyword, is a record cut short, as before.
TEST(ZoneReader, RecordThatEndsWithTheFile) {
    struct Case {
        std::string text;
        bool good;
        std::string warnings;
    };
    const std::string cut = "the file ends within its ZONE record (lost)\n";
    const Case cases[] = {
        {"ZONE", false, "1: " + cut},
        {"ZONE\n", false, "2: " + cut},
        {"ZONE \n\n \n", false, "4: " + cut},
        {"ZONE N=4,\nE=1", false, "2: " + cut},
        {"ZONE N=0\n", true, ""},
        {"ZONE T=\"t\"\n", true,
         "1: the ZONE record has no node count (N=<count> or NODES=<count>); nothing is read (lost)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Read r = read(c.text);
        EXPECT_EQ(r.good, c.good);
        EXPECT_EQ(r.warnings, c.warnings);
    }
}

// As when only the record's first line was read, that line is taken up to
// 100000 characters after the node-count token, and the node table starts
// where they end: inside the line when it is longer, and then out of step.
TEST(ZoneReader, RecordLineTakenUpTo100000CharactersAsBefore) {
    struct Case {
        std::size_t spaces;  // after the token, before "0 0 7 0 0" on the record's line
        double value;        // the pile height of node 1
    };
    for (const char* start : {"ZONE N=1,", "ZONE\nN=1,"})
        for (const Case c : {Case{99990, 3}, Case{99993, 5}, Case{100000, 7}, Case{5, 3}}) {
            SCOPED_TRACE(std::string(start) + " and " + std::to_string(c.spaces) + " spaces");
            const Read r = read(start + std::string(c.spaces, ' ') + "0 0 7 0 0\n5 5 3 0 0\n");
            EXPECT_EQ(r.values, std::vector<double>{c.value});
        }
}

// What is refused leaves the whole file unread: no node, no element, and
// no warning about them.
TEST(ZoneReader, RefusedZoneIsNotRead) {
    const Read brick = read("ZONE N=4, E=1, F=FEPOINT, ET=BRICK\n" + kNodes + "1 2 3 4 1 2 3 4\n");
    EXPECT_TRUE(brick.good);
    EXPECT_TRUE(brick.refused);
    EXPECT_EQ(brick.nodes, 0);
    EXPECT_TRUE(brick.values.empty());
    EXPECT_EQ(firstDifference(brick.grid, GxGrid(8, 8)), "");
    EXPECT_EQ(brick.warnings.substr(0, 30), "1: zone type \"ET=BRICK\" is not");
    const Read three = read("VARIABLES = A B C\nZONE N=4, E=1\n" + kNodes + "1 2 3 4\n");
    EXPECT_TRUE(three.refused);
    EXPECT_EQ(three.nodes, 0);
    EXPECT_EQ(three.warnings.substr(0, 30), "1: VARIABLES names 3 variables");
}

// A triangle zone's elements were read four numbers at a time, out of step,
// and gave a wrong grid with exit status 0. Each is now the triangle a b c,
// filled as the four-node triangle a b c c.
TEST(ZoneReader, TriangleZoneIsReadThreeNumbersAnElement) {
    struct Case {
        std::string triangles, fourNodes, warnings;
    };
    const std::string rest = ", which is not a node number; the rest of the file is not read";
    const Case cases[] = {
        {"1 2 3\n1 3 4\n", "1 2 3 3\n1 3 4 4\n", ""},
        {"1 2 3 1\n3 4", "1 2 3 3\n1 3 4 4\n", ""},  // line ends do not delimit elements
        {"1 2 3\n1 3\n", "1 2 3 3\n", "8: element 2 has only 2 of its 3 node numbers and is dropped (lost)\n"},
        {"1 2 3\n1 3 x\n", "1 2 3 3\n", "7: element 2 is cut short at \"x\"" + rest + " (lost)\n"},
        {"1 2 5\n1 3 4\n", "1 3 4 4\n",
         "6: 1 element skipped for node numbers outside 1 to 4, the first is element 1 (lost)\n"},
        {"1 2 3\nZONE N=1\n", "1 2 3 3\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.triangles);
        const Read tri = read("ZONE N=4, ZONETYPE=FETRIANGLE\n" + kNodes + c.triangles);
        const Read four = read("ZONE N=4\n" + kNodes + c.fourNodes);
        EXPECT_EQ(tri.nodesPerElement, 3);
        EXPECT_EQ(tri.warnings, c.warnings);
        EXPECT_EQ(firstDifference(tri.grid, four.grid), "");
    }
    // The plane z = x + 2y at the centre (2.5, 1.5).
    EXPECT_EQ(read("ZONE N=4, ET=TRIANGLE\n" + kNodes + "1 2 3\n").grid.RowCol(4, 4), 5.5);
}

TEST(MeshLines, TriangleOfATriangleZone) {
    TempDir dir;
    GisTecplotFile file(dir.write("z.dat", "ZONE N=4, ET=TRIANGLE\n" + kNodes), "r");
    file.getXYValue(false);
    int vert[4] = {1, 2, 3, 99};  // the fourth number is not the element's
    const auto precision = std::cout.precision();
    testing::internal::CaptureStdout();
    file.toMeshLines(vert);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0 0\n4 0\n4 4\n0 0\nEND\n");
    std::cout.precision(precision);
}

// The element count was never compared with what was read: a file cut off
// in its element section, or a triangle zone written four numbers an element,
// gave a grid unlike the mesh with exit status 0. Where the record states the
// count, exactly that many elements are read and converted.
TEST(ZoneReader, ElementCountStatedIsTheCountRead) {
    struct Case {
        std::string record, elements, warnings;
        std::string sameGridAs;  // four-node elements that give the grid expected
    };
    const std::string rest = ", which is not a node number; the rest of the file is not read";
    const std::string converted = "; the elements read are converted (lost)\n";
    const Case cases[] = {
        {"ZONE N=4, E=2", "1 2 3 3\n1 3 4 4\n", "", "1 2 3 3\n1 3 4 4\n"},
        {"ZONE N=4, E=0", "", "", ""},
        {"ZONE N=4, E=2", "1 2 3 3\n", "7: zone 1 states 2 elements (E=2) and holds 1" + converted, "1 2 3 3\n"},
        {"ZONE T=\"t=0\", N=4, ELEMENTS=1", "",
         "6: zone 1 \"t=0\" states 1 element (ELEMENTS=1) and holds 0" + converted, ""},
        {"ZONE N=4, E=3", "1 2 3 3\nZONE N=1\n", "7: zone 1 states 3 elements (E=3) and holds 1" + converted,
         "1 2 3 3\n"},
        {"ZONE N=4, E=2", "1 2 3 3\n1 3 x\n", "7: element 2 is cut short at \"x\"" + rest + " (lost)\n", "1 2 3 3\n"},
        // More: only the stated elements are converted.
        {"ZONE N=4, E=1", "1 2 3 3\n1 3 4 4\n",
         "6: zone 1 states 1 element (E=1) of 4 node numbers and holds more: 8 node numbers where 4 belong; what "
         "follows "
         "element 1 is not converted (lost)\n",
         "1 2 3 3\n"},
        {"ZONE N=4, E=1", "1 2 3 3\n1 3\nZONE N=1\n",
         "6: zone 1 states 1 element (E=1) of 4 node numbers and holds more: 6 node numbers where 4 belong; what "
         "follows "
         "element 1 is not converted (lost)\n",
         "1 2 3 3\n"},
        // A triangle zone written four numbers an element, and a quadrilateral
        // zone written three: caught by the count.
        {"ZONE N=4, E=2, ZONETYPE=FETRIANGLE", "1 2 3 3\n1 3 4 4\n",
         "7: zone 1 states 2 elements (E=2) of 3 node numbers and holds more: 8 node numbers where 6 belong; what "
         "follows "
         "element 2 is not converted (lost)\n",
         "1 2 3 3\n3 1 3 3\n"},
        {"ZONE N=4, E=4, ET=QUADRILATERAL", "1 2 3\n1 3 4\n3 4 2\n2 4 1\n",
         "10: zone 1 states 4 elements (E=4) and holds 3" + converted, "1 2 3 1\n3 4 3 4\n2 2 4 1\n"},
        // The last number ends the file without a line end: perhaps cut ("10"
        // of "104"), so its element is dropped.
        {"ZONE N=4, E=2", "1 2 3 3\n1 3 4 4",
         "7: element 2 ends the file within a number, without a line end: the file looks cut; the element is "
         "dropped (lost)\n",
         "1 2 3 3\n"},
        {"ZONE N=4, E=1", "1 2 3 3 ", "", "1 2 3 3\n"},
        // Without a count, as before: the last number is read.
        {"ZONE N=4", "1 2 3 3\n1 3 4 4", "", "1 2 3 3\n1 3 4 4\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record + "\n" + c.elements);
        const Read r = read(c.record + "\n" + kNodes + c.elements);
        EXPECT_EQ(r.warnings, c.warnings);
        EXPECT_EQ(firstDifference(r.grid, read("ZONE N=4\n" + kNodes + c.sameGridAs).grid), "");
    }
}

// Only the first zone of a file was read: a time series lost every later
// step with exit status 0. Each zone is read in turn, a refused one passed
// over with a warning that names it, and each cell keeps the largest value.
TEST(ZoneReader, EveryZoneIsReadInTurn) {
    struct Case {
        std::string zones;
        int zonesRead;
        std::string warnings;
        std::string sameGridAs;  // one zone's elements that give the grid expected
    };
    // kNodes is z = x + 2y; these are z = 12 - x - 2y on the same square.
    const std::string falling = "0 0 12 0 0\n4 0 8 0 0\n4 4 0 0 0\n0 4 4 0 0\n";
    const std::string cells = "1 2 3 3\n1 3 4 4\n";
    const std::string brick = "ZONE T=\"b\", N=1, E=1, ET=BRICK\n0 0 1 0 0\n1 1 1 1 1 1 1 1\n";
    const Case cases[] = {
        {"ZONE N=4, E=2\n" + kNodes + cells + "zone, N=4, E=2\n" + falling + cells, 2, "", ""},
        {"ZONE N=4, E=2\n" + kNodes + cells + brick + "ZONE N=4, E=2\n" + falling + cells, 3,
         "8: zone 2 \"b\": zone type \"ET=BRICK\" is not read; MeshRaster reads triangle and quadrilateral zones "
         "(ET=TRIANGLE, ET=QUADRILATERAL, ZONETYPE=FETRIANGLE or ZONETYPE=FEQUADRILATERAL); the zone is not read "
         "(lost)\n",
         ""},
        {brick + "ZONE N=4, E=2\n" + kNodes + cells, 2,
         "1: zone 1 \"b\": zone type \"ET=BRICK\" is not read; MeshRaster reads triangle and quadrilateral zones "
         "(ET=TRIANGLE, ET=QUADRILATERAL, ZONETYPE=FETRIANGLE or ZONETYPE=FEQUADRILATERAL); the zone is not read "
         "(lost)\n",
         "rising"},
        // The VARIABLES list is the file's: refused, no zone is read.
        {"VARIABLES = A B C\nZONE N=4, E=2\n" + kNodes + cells + "ZONE N=4, E=2\n" + falling + cells, 1,
         "1: VARIABLES names 3 variables; MeshRaster needs five values per node (x, y, pile height, x momentum, y "
         "momentum); nothing is read (lost)\n",
         "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zones);
        TempDir dir;
        GisTecplotFile file(dir.write("zones.dat", c.zones), "r");
        GxGrid grid(8, 8);
        GxGridParam par(-2, 6, -2, 6, 1, 1);
        int zones = 0;
        do {
            ++zones;
            file.getXYValue(false);
            file.toGrid(grid, par);
        } while (file.nextZone());
        EXPECT_EQ(zones, c.zonesRead);
        std::string warnings;
        for (const TecplotWarning& w : file.warnings())
            warnings += std::to_string(w.line) + ": " + w.text + (w.lost ? " (lost)" : "") + "\n";
        EXPECT_EQ(warnings, c.warnings);
        // Both planes, or one of them, or nothing.
        GxGrid want(8, 8);
        const Read rising = read("ZONE N=4\n" + kNodes + cells), fallingRead = read("ZONE N=4\n" + falling + cells);
        for (int row = 0; row < 8; ++row)
            for (int col = 0; col < 8; ++col) {
                if (c.sameGridAs != "none") want.raise(row, col, rising.grid.RowCol(row, col));
                if (c.sameGridAs.empty()) want.raise(row, col, fallingRead.grid.RowCol(row, col));
            }
        EXPECT_EQ(firstDifference(grid, want), "");
    }
}

// Block-packed zones were refused. Each variable's values in turn, across any
// lines, give the grid of the same mesh written one node a line; cell-centred
// values give each element its one value.
TEST(ZoneReader, BlockPackingGivesThePointPackedGrid) {
    struct Case {
        std::string block, point;
    };
    const std::string cells = "1 2 3 3\n1 3 4 4\n";
    const Case cases[] = {
        {"ZONE N=4, E=2, F=FEBLOCK\n0 4 4 0\n0 0 4 4\n0 4 12 8\n0 0 0 0\n0 0 0 0\n" + cells, kNodes + cells},
        {"ZONE N=4, E=2, DATAPACKING=BLOCK\n0 4\n4 0 0 0 4 4 0 4 12 8 0 0 0 0 0\n0 0 0\n" + cells, kNodes + cells},
        {"VARIABLES = h x z y\nZONE N=4, E=2, F=FEBLOCK\n0 4 12 8\n0 4 4 0\n9 9 9 9\n0 0 4 4\n" + cells,
         kNodes + cells},
        // One value an element: 5 in the first triangle, 7 in the second.
        {"ZONE N=4, E=2, F=FEBLOCK, VARLOCATION=([3-5]=CELLCENTERED)\n0 4 4 0\n0 0 4 4\n5 7\n0 0\n0 0\n" + cells,
         "0 0 5 0 0\n4 0 5 0 0\n4 4 5 0 0\n0 4 5 0 0\n0 0 7 0 0\n4 4 7 0 0\n0 4 7 0 0\n1 2 3 3\n5 6 7 7\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.block);
        const Read block = read(c.block);
        EXPECT_EQ(block.warnings, "");
        const int nodes = static_cast<int>(std::count(c.point.begin(), c.point.end(), '\n')) - 2;
        EXPECT_EQ(firstDifference(block.grid, read("ZONE N=" + std::to_string(nodes) + "\n" + c.point).grid), "");
    }
    // The cell-centred zone's second triangle, by itself, holds 7.
    const Read centred = read(cases[3].block);
    EXPECT_EQ(centred.grid.RowCol(2, 2), 7.0);  // the centre (0.5, 3.5), in triangle 1 3 4 only
}

// A zone that shares another's variables or elements was dropped: they are
// read again where that zone holds them, block- or point-packed.
TEST(ZoneReader, SharedVariablesAndElementsAreReadAgain) {
    const std::string cells = "1 2 3 3\n1 3 4 4\n";
    const std::string falling = "0 0 12 0 0\n4 0 8 0 0\n4 4 0 0 0\n0 4 4 0 0\n";
    const std::string first = "ZONE N=4, E=2\n" + kNodes + cells;
    const std::string firstBlock = "ZONE N=4, E=2, F=FEBLOCK\n0 4 4 0\n0 0 4 4\n0 4 12 8\n0 0 0 0\n0 0 0 0\n" + cells;
    const std::string second[] = {
        "ZONE N=4, E=2, VARSHARELIST=([1,2]=1), CONNECTIVITYSHAREZONE=1\n12 0 0\n8 0 0\n0 0 0\n4 0 0\n",
        "ZONE N=4, E=2, F=FEBLOCK, VARSHARELIST=([1-2, 4-5]=1), CONNECTIVITYSHAREZONE=1\n12 8 0 4\n",
        "ZONE N=4, E=2, D=(1,2,FECONNECT)\n12 0 0 8 0 0\n0 0 0\n4 0 0\n",
    };
    GxGrid want(8, 8);
    const Read rising = read("ZONE N=4\n" + kNodes + cells), fallingRead = read("ZONE N=4\n" + falling + cells);
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col) {
            want.raise(row, col, rising.grid.RowCol(row, col));
            want.raise(row, col, fallingRead.grid.RowCol(row, col));
        }
    for (const std::string& zone1 : {first, firstBlock})
        for (const std::string& zone2 : second) {
            SCOPED_TRACE(zone1 + zone2);
            TempDir dir;
            GisTecplotFile file(dir.write("shared.dat", zone1 + zone2 + first), "r");
            GxGrid grid(8, 8);
            GxGridParam par(-2, 6, -2, 6, 1, 1);
            int zones = 0;
            do {
                ++zones;
                file.getXYValue(false);
                file.toGrid(grid, par);
            } while (file.nextZone());
            EXPECT_EQ(zones, 3);  // and the third, after the shared one, is still read
            EXPECT_TRUE(file.warnings().empty()) << file.warnings().front().text;
            EXPECT_EQ(firstDifference(grid, want), "");
        }
}
