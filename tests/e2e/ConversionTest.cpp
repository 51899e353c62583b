#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

// Grid of four by four cells of 1 over (0, 0)-(4, 4); a square element of
// pile height 2 over (0.5, 0.5)-(3.5, 3.5) has cell centres on its north and
// west sides (outside its range) and on its east and south sides (inside).
const char* const kConfig = "PileHeight xmin 0 ymin 0 xmax 4 ymax 4 resx 1 resy 1 output out.grd input ";
const char* const kHeader =
    "GRIDREG\nINFO\nUNITS  meters\n"
    "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\n"
    "GRIDDEF 4 4 0 10000004 1 1 3.4e+037\nINFO_END\n";
const std::string kSquareNodes = "3.5 0.5 2 0 0\n3.5 3.5 2 0 0\n0.5 3.5 2 0 0\n0.5 0.5 2 0 0\n";
const std::string kZeroGrid = std::string(kHeader) + "0 0 0 0 \n0 0 0 0 \n0 0 0 0 \n0 0 0 0 \nEND\n";
const std::string kSquareGrid = std::string(kHeader) + "0 0 0 0 \n0 2 2 2 \n0 2 2 2 \n0 2 2 2 \nEND\n";

struct Case {
    const char* name;
    std::string tecplot;  // the one input file, in.dat
    std::string grid;     // expected grid file
    std::string warning;  // expected standard error
    int status;
    bool found = true;  // "Asc File in.dat" rather than "... not found..."
};

std::string zone(const std::string& record, const std::string& rest) {
    return "TITLE = \"t\"\n" + record + "\n" + rest;
}

class Conversion : public testing::TestWithParam<Case> {};

}  // namespace

TEST_P(Conversion, WarnsKeepsStdoutAndGrid) {
    const Case& c = GetParam();
    TempDir dir;
    dir.write("in.dat", c.tecplot);
    dir.write("run.cfg", std::string(kConfig) + "in.dat\n");
    const RunResult r = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
    EXPECT_EQ(r.out, c.found ? "Asc File in.dat\n" : "Asc File in.dat not found...\n");
    EXPECT_EQ(r.err, c.warning);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(readFile(dir.file("out.grd")), c.grid);
}

INSTANTIATE_TEST_SUITE_P(
    Input, Conversion,
    testing::Values(
        Case{"Whole", zone("ZONE N=4, E=1", kSquareNodes + "1 2 3 4\n"), kSquareGrid, "", 0},
        Case{"NoNewlineAtTheEnd", zone("ZONE N=4, E=1", kSquareNodes + "1 2 3 4"), kSquareGrid, "", 0},
        Case{"CountOfZero", zone("ZONE N=0, E=0", ""), kZeroGrid, "", 0},
        Case{"NoZoneRecord", "TITLE = \"t\"\n1 2 3\n", kZeroGrid, "in.dat:3: no ZONE record; nothing is read\n", 1,
             false},
        Case{"CountWithoutComma", zone("ZONE N=40 E=1", kSquareNodes + "1 2 3 4\n"), kSquareGrid,
             "in.dat:2: node-count token \"N=40\" is not N=<count> followed by a comma; read as 4 nodes\n", 1},
        Case{"TitleBeforeCount", zone("ZONE T=\"a\", N=4,", kSquareNodes), kZeroGrid,
             "in.dat:2: node-count token \"T=\"a\",\" is not N=<count> followed by a comma; read as 0 nodes\n"
             "in.dat:3: element 1 has only 1 of its 4 node numbers and is dropped\n",
             1},
        Case{"NodeTableEndsEarly", zone("ZONE N=5, E=1", kSquareNodes), kZeroGrid,
             "in.dat:7: node table ends after 4 of 5 nodes; no element is read\n", 1},
        Case{"NodeTableHoldsAWord", zone("ZONE N=4, E=1", "3.5 0.5 2 0 0\n3.5 x 2 0 0\n"), kZeroGrid,
             "in.dat:4: node 2 of 4 holds a value that is not a number; no element is read\n", 1},
        Case{"NodeNumbersOutsideTheTable", zone("ZONE N=4, E=3", kSquareNodes + "1 2 3 4\n0 1 2 3\n1 2 3 5\n"),
             kSquareGrid, "in.dat:8: 2 elements skipped for node numbers outside 1 to 4, the first is element 2\n", 1},
        Case{"OneNodeNumberOutsideTheTable", zone("ZONE N=4, E=2", kSquareNodes + "1 2 3 4\n1 2 3 0\n"), kSquareGrid,
             "in.dat:8: 1 element skipped for node numbers outside 1 to 4, the first is element 2\n", 1},
        Case{"ElementCutShort", zone("ZONE N=4, E=2", kSquareNodes + "1 2 3 4\n1 2"), kSquareGrid,
             "in.dat:8: element 2 has only 2 of its 4 node numbers and is dropped\n", 1},
        Case{"SecondZoneIsNotRead", zone("ZONE N=4, E=1", kSquareNodes + "1 2 3 4\nZONE N=1,\n0 0 9 0 0\n"),
             kSquareGrid,
             "in.dat:8: elements end at a token that is not a node number; the rest of the file is not read\n", 0}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(Conversion, UnopenableInputStillWritesTheGrid) {
    TempDir dir;
    dir.write("run.cfg", std::string(kConfig) + "missing.dat\n");
    const RunResult r = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
    EXPECT_EQ(r.out, "Asc File missing.dat not found...\n");
    EXPECT_EQ(r.err, "missing.dat: can't open the file\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(dir.file("out.grd")), kZeroGrid);
}

TEST(Conversion, OverlappingFilesInEitherOrderAndTwice) {
    // The second file's triangle (plane 2(x - 1)) overlaps the first file's square
    // and is higher in part.
    TempDir dir;
    dir.write("a.dat", zone("ZONE N=4, E=1", kSquareNodes + "1 2 3 4\n"));
    dir.write("b.dat", zone("ZONE N=3, E=1", "1 1 0 0 0\n4 1 6 0 0\n1 4 0 0 0\n1 2 3 3\n"));
    const std::vector<std::string> lists = {"a.dat b.dat", "b.dat a.dat", "b.dat a.dat b.dat a.dat"};
    std::string first;
    for (const std::string& list : lists) {
        dir.write("run.cfg", std::string(kConfig) + list + "\n");
        const RunResult r = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
        EXPECT_EQ(r.status, 0);
        const std::string grid = readFile(dir.file("out.grd"));
        if (first.empty()) first = grid;
        EXPECT_EQ(grid, first) << list;
    }
    EXPECT_EQ(first, std::string(kHeader) + "0 0 0 0 \n0 2 3 2 \n0 2 3 5 \n0 2 2 2 \nEND\n");
}

TEST(Conversion, VelocityAroundAPileHeightOfOneHundredth) {
    // Momentum (3, 4) everywhere; velocity 5 / h where h > 0.01, else 0.
    struct Row {
        const char* height;
        const char* cell;
    };
    const Row rows[] = {{"0.01", "0"}, {"0.005", "0"}, {"0.0100001", "499.99500005"}, {"2", "2.5"}};
    for (const Row& row : rows) {
        TempDir dir;
        std::string nodes;
        for (const char* xy : {"3.5 0.5", "3.5 3.5", "0.5 3.5", "0.5 0.5"})
            nodes += std::string(xy) + " " + row.height + " 3 4\n";
        dir.write("in.dat", zone("ZONE N=4, E=1", nodes + "1 2 3 4\n"));
        std::string config = std::string(kConfig) + "in.dat\n";
        config.replace(0, 10, "Velocity");
        dir.write("run.cfg", config);
        const RunResult r = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
        const std::string c = row.cell, line = "0 " + c + " " + c + " " + c + " \n";
        EXPECT_EQ(readFile(dir.file("out.grd")), std::string(kHeader) + "0 0 0 0 \n" + line + line + line + "END\n")
            << "pile height " << row.height;
    }
}

TEST(Conversion, BundledExampleConvertsCleanly) {
    TempDir dir;
    for (const char* name : {"flow_p0.dat", "flow_p1.dat", "flow_p2.dat", "pileheight.cfg"})
        dir.write(name, readFile(std::string(MESHRASTER_SOURCE_DIR) + "/examples/" + name));
    const RunResult r = runProgram(MESHRASTER_BINARY, {"pileheight.cfg"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Asc File flow_p0.dat\nAsc File flow_p1.dat\nAsc File flow_p2.dat\n");
    EXPECT_EQ(r.err, "");
    const std::string grid = readFile(dir.file("pileheight.grd"));
    EXPECT_NE(grid.find("GRIDDEF 200 150 600000 15100300 2 2 3.4e+037\n"), std::string::npos);
    EXPECT_EQ(grid.substr(grid.size() - 4), "END\n");
}
