// The benchmark's own parts that its figures rest on: the bare formatting and
// scan it compares with, the one file of four zones, the limit's processes and
// their reports, the file comparison and the room test of the scale section.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "AscGrid.h"
#include "BareText.h"
#include "BenchData.h"
#include "Files.h"
#include "LimitParts.h"
#include "TestSupport.h"
#include "WholeRun.h"

namespace {

// A small grid of every kind of cell the text holds: zeros, fractions, large,
// tiny and negative values.
GxGrid sampleGrid(const GxGridParam& par) {
    GxGrid grid(par.NumRow(), par.NumCol());
    for (int row = 0; row < grid.NumRow(); ++row)
        for (int col = 0; col < grid.NumCol(); ++col)
            if ((row + col) % 3 != 0) grid.RowCol(row, col, std::pow(-3.7, row - col) * (1.0 + 0.1 * col) / 7.0);
    return grid;
}

TEST(BareText, FormatsTheWritersBytesAndNeverPastItsRoom) {
    TempDir dir;
    const GxGridParam par(600000.0, 600007.5, 5100000.0, 5100004.5, 0.5, 0.5);
    const GxGrid grid = sampleGrid(par);
    ASSERT_TRUE(writeAscGrid(dir.file("w.grd"), grid, par));
    const std::string written = readFile(dir.file("w.grd"));
    std::vector<char> buf(formatRoom(grid));
    const std::size_t length = formatGrid(buf.data(), buf.size(), grid, par);
    EXPECT_EQ(std::string(buf.data(), length), written);
    // The format part sizes its buffer from the grid file and a row's worst
    // case: that must fit, and a room too small stops the formatting before
    // it writes past the room.
    const std::size_t rowRoom = static_cast<std::size_t>(grid.NumCol()) * 25 + 1;
    struct Room {
        std::size_t bytes;
        bool fits;
    };
    for (const Room room : {Room{written.size() + rowRoom, true}, Room{written.size() - 1, false},
                            Room{gridHeader(grid, par).size(), false}, Room{0, false}}) {
        std::vector<char> small(room.bytes + 64, '#');
        EXPECT_EQ(formatGrid(small.data(), room.bytes, grid, par) != 0, room.fits) << room.bytes;
        EXPECT_EQ(std::string(small.data() + room.bytes, 64), std::string(64, '#')) << room.bytes;
    }
}

TEST(OneFile, ZonesJoinedUnderOneHeaderScanAndConvertAsTheFourFiles) {
    TempDir dir;
    const RunData d = makeRunData(4000, 60, dir);
    std::vector<std::string> texts;
    long long separate = 0;
    double sum = 0.0;
    for (const std::string& f : d.files) {
        texts.push_back(readFile(f));
        separate += scanTecplot(texts.back(), sum);
    }
    const std::string joined = joinZones(texts);
    EXPECT_EQ(joined.find("TITLE"), 0u);
    EXPECT_EQ(joined.find("TITLE", 1), std::string::npos);
    EXPECT_EQ(joined.find("VARIABLES", joined.find("VARIABLES") + 1), std::string::npos);
    double joinedSum = 0.0;
    EXPECT_EQ(separate, 5 * d.totalNodes + 4 * d.elements);
    EXPECT_EQ(scanTecplot(joined, joinedSum), separate);
    EXPECT_EQ(joinedSum, sum);

    // The binary converts the one file to the grid of the four.
    const std::string one = dir.write("one.tec", joined), output = dir.file("one.grd");
    const std::string config = writeConfig("one.cfg", d.par, output, {one}, dir);
    const RunResult four = runProgram(MESHRASTER_BINARY, {"-j", "1", d.config}, dir.path());
    ASSERT_EQ(four.status, 0) << four.err;
    const RunResult single = runProgram(MESHRASTER_BINARY, {"-j", "2", config}, dir.path());
    ASSERT_EQ(single.status, 0) << single.err;
    EXPECT_EQ(single.out, "Asc File " + one + "\n");
    EXPECT_TRUE(sameFiles(output, d.output));
}

TEST(OneFile, TextsWithoutAZoneAddNothingAndEveryZoneEndsItsLine) {
    EXPECT_EQ(joinZones({"TITLE = \"a\"\nZONE N=1\n1 2 3 4 5", "no zone here\n", "TITLE = \"b\"\nZONE N=2\n6\n"}),
              "TITLE = \"a\"\nZONE N=1\n1 2 3 4 5\nZONE N=2\n6\n");
    EXPECT_EQ(joinZones({"nothing"}), "");
}

TEST(LimitParts, ReportsAreReadLineByLine) {
    struct Case {
        const char* out;
        bool ran;
        double seconds;
        long long count;
        bool identical;
    };
    for (const Case c :
         {Case{"seconds 0.25\ncount 12\nidentical 1\n", true, 0.25, 12, true},
          Case{"count 7\nseconds 1e-3\nidentical 0\n", true, 0.001, 7, false}, Case{"count 7\n", false, 0.0, 7, false},
          Case{"", false, 0.0, 0, false}, Case{"seconds x\n", false, 0.0, 0, false}}) {
        const PartReport r = parseReport(c.out);
        EXPECT_EQ(r.ran, c.ran) << c.out;
        EXPECT_EQ(r.seconds, c.seconds) << c.out;
        EXPECT_EQ(r.count, c.count) << c.out;
        EXPECT_EQ(r.identical, c.identical) << c.out;
        EXPECT_EQ(r.error.empty(), c.ran) << c.out;
    }
}

// Each part in its own process of the benchmark, on a real run's files.
TEST(LimitParts, EachPartRunsInAFreshProcessOnTheRunsFiles) {
    TempDir dir;
    const RunData d = makeRunData(4000, 60, dir);
    ASSERT_EQ(runProgram(MESHRASTER_BINARY, {d.config}, dir.path()).status, 0);
    std::vector<std::string> scanArgs{"scan"};
    scanArgs.insert(scanArgs.end(), d.files.begin(), d.files.end());
    const PartReport scanned = limitPart(MESHRASTER_BENCH, scanArgs, dir.path());
    ASSERT_TRUE(scanned.ran) << scanned.error;
    EXPECT_EQ(scanned.count, 5 * d.totalNodes + 4 * d.elements);

    const auto exact = [](double v) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", v);
        return std::string(text);
    };
    std::vector<std::string> formatArgs{"format",           d.output,           exact(d.par.xmin_), exact(d.par.xmax_),
                                        exact(d.par.ymin_), exact(d.par.ymax_), exact(d.par.resx_), exact(d.par.resy_)};
    const PartReport formatted = limitPart(MESHRASTER_BENCH, formatArgs, dir.path());
    ASSERT_TRUE(formatted.ran) << formatted.error;
    EXPECT_TRUE(formatted.identical);
    EXPECT_GT(formatted.count, 0);
    // Another extent formats another header: no longer the grid file's bytes.
    formatArgs[2] = exact(d.par.xmin_ + 1.0);
    formatArgs[3] = exact(d.par.xmax_ + 1.0);
    EXPECT_FALSE(limitPart(MESHRASTER_BENCH, formatArgs, dir.path()).identical);

    for (const char* durable : {"", "fsync"}) {
        std::vector<std::string> writeArgs{"write", d.output, dir.file("bare.grd")};
        if (*durable) writeArgs.push_back(durable);
        const PartReport written = limitPart(MESHRASTER_BENCH, writeArgs, dir.path());
        ASSERT_TRUE(written.ran) << written.error;
        EXPECT_EQ(written.count, readThrough(d.output));
        EXPECT_TRUE(sameFiles(d.output, dir.file("bare.grd")));
        std::remove(dir.file("bare.grd").c_str());
    }

    // A part it does not know, a missing file, a number that is not one.
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"read", d.output},
                                                  {"scan"},
                                                  {"write", dir.file("none.grd"), dir.file("x.grd")},
                                                  {"write", d.output, dir.file("x.grd"), "sync"},
                                                  {"format", d.output, "1", "2", "3", "4", "0.5", "0.5x"}}) {
        const PartReport r = limitPart(MESHRASTER_BENCH, wrong, dir.path());
        EXPECT_FALSE(r.ran) << wrong[0];
        EXPECT_EQ(r.error.rfind("exit status ", 0), 0u) << r.error;
    }
}

TEST(Files, SameFilesComparesEveryByteAndTheLength) {
    TempDir dir;
    std::string big(3 << 20, 'a');
    const std::string a = dir.write("a", big);
    big.back() = 'b';
    const std::string lastByte = dir.write("b", big);
    big.pop_back();
    const std::string shorter = dir.write("c", big);
    EXPECT_TRUE(sameFiles(a, dir.write("a2", std::string(3 << 20, 'a'))));
    EXPECT_FALSE(sameFiles(a, lastByte));
    EXPECT_FALSE(sameFiles(a, shorter));
    EXPECT_FALSE(sameFiles(a, dir.file("missing")));
    EXPECT_EQ(readThrough(lastByte), 3 << 20);
    EXPECT_EQ(readThrough(dir.file("missing")), -1);
    std::string text;
    EXPECT_TRUE(readWhole(shorter, text));
    EXPECT_EQ(text.size(), (3u << 20) - 1);
    EXPECT_FALSE(readWhole(dir.file("missing"), text));
}

TEST(Scale, RefusedWithTheReasonWhenTheDiskOrTheMemoryIsShortOrUnknown) {
    const ScaleNeed need = scaleNeed(32000000, 256000000);
    EXPECT_GT(need.disk, 80LL * 32000000 + 2LL * 6 * 256000000);
    EXPECT_GT(need.memory, 8LL * 256000000);
    struct Case {
        long long disk, memory;
        std::vector<std::string> said;  // empty: allowed
    };
    for (const Case& c :
         {Case{need.disk, need.memory, {}}, Case{need.disk - 1, need.memory, {"free disk", "needed"}},
          Case{need.disk, need.memory - 1, {"available memory"}}, Case{-1, need.memory, {"free disk is unknown"}},
          Case{need.disk, -1, {"available memory is unknown"}}, Case{0, 0, {"free disk", "; ", "available memory"}}}) {
        const std::string why = scaleRefusal(need, c.disk, c.memory);
        EXPECT_EQ(why.empty(), c.said.empty()) << why;
        for (const std::string& part : c.said) EXPECT_NE(why.find(part), std::string::npos) << why;
    }
}

}  // namespace
