// The real binary in what a golden case folder (tests/cases) cannot hold: a
// device as the grid file, the order of lines across standard output and
// standard error, names that are no fit for a folder, grids that reach the
// allocator, and the long table of words in place of each grid number. (The
// grid file's own conditions, permission bits among them, are OutputTest.cpp.)
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"

namespace {

// The worked example of the grid file: xmin 0, ymin -20, xmax 30, ymax 0, cells of 10.
const char* const kWorkedExample =
    "GRIDREG\n"
    "INFO\n"
    "UNITS  meters\n"
    "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\n"
    "GRIDDEF 3 2 0 10000000 10 10 3.4e+037\n"
    "INFO_END\n"
    "0 0 0 \n"
    "0 0 0 \n"
    "END\n";

// Builds a configuration laid out one label and value per line, mode on line 1.
std::string config(const std::vector<std::string>& numbers, const std::string& tail = "output out.grd\ninput\n") {
    const char* const labels[] = {"xmin", "ymin", "xmax", "ymax", "resx", "resy"};
    std::string s = "PileHeight\n";
    for (int k = 0; k < 6; ++k) s += std::string(labels[k]) + ' ' + numbers[static_cast<std::size_t>(k)] + '\n';
    return s + tail;
}

const std::vector<std::string> kExampleNumbers = {"0", "-20", "30", "0", "10", "10"};

RunResult runIn(const TempDir& dir) { return runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path()); }

std::size_t entries(const TempDir& dir) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir.path()), {}));
}

}  // namespace

// The message is the case output_disk_full; here, that the device is never
// deleted or replaced by a file.
TEST(Run, FullDiskLeavesTheDevice) {
    TempDir dir;
    dir.write("run.cfg", config(kExampleNumbers, "output /dev/full\ninput\n"));
    EXPECT_EQ(runIn(dir).status, 1);
    struct stat info;
    ASSERT_EQ(::stat("/dev/full", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

// A warning goes to standard error right after its file's progress line: with
// both streams in one file, the lines come in that order.
TEST(Run, WarningFollowsItsFilesLine) {
    const std::string nodes = "3.5 0.5 2 0 0\n3.5 3.5 2 0 0\n0.5 3.5 2 0 0\n0.5 0.5 2 0 0\n";
    TempDir dir;
    dir.write("a.dat", "TITLE = \"t\"\nZONE N=4, E=2\n" + nodes + "1 2 3 4\n1 2");
    dir.write("b.dat", "TITLE = \"t\"\nZONE N=4, E=1\n" + nodes + "1 2 3 4\n");
    dir.write("run.cfg", "PileHeight xmin 0 ymin 0 xmax 4 ymax 4 resx 1 resy 1 output out.grd input a.dat b.dat\n");
    const RunResult r =
        runProgram("/bin/sh", {"-c", std::string("'") + MESHRASTER_BINARY + "' run.cfg 2>&1"}, dir.path());
    EXPECT_EQ(r.out,
              "Asc File a.dat\na.dat:8: element 2 has only 2 of its 4 node numbers and is dropped\n"
              "Asc File b.dat\n");
}

// Each word in place of each grid number is refused, the old grid file kept.
// One word per place has a case folder, number_not_a_number_<place>_<word>;
// this table holds the other pairings.
TEST(Run, NonNumberInPlaceOfANumber) {
    struct Word {
        const char* text;
        const char* folder;  // its name in a case folder's name
    };
    const Word words[] = {{"abc", "abc"},          {"nan", "nan"},     {"inf", "inf"},
                          {"-inf", "minus_inf"},   {"1e400", "1e400"}, {"-1e400", "minus_1e400"},
                          {"-", "minus"},          {"1e", "1e"},       {"1e+", "1e_plus"},
                          {"+.5e", "plus_dot_5e"}, {".", "dot"},       {"x1", "x1"}};
    const char* const names[] = {"xmin", "ymin", "xmax", "ymax", "resx", "resy"};
    for (std::size_t w = 0; w < std::size(words); ++w) {
        for (std::size_t place = 0; place < 6; ++place) {
            if (place == w % 6) {
                const std::string folder = std::string("number_not_a_number_") + names[place] + '_' + words[w].folder;
                EXPECT_TRUE(std::filesystem::is_directory(std::string(MESHRASTER_CASES_DIR) + '/' + folder)) << folder;
                continue;
            }
            std::vector<std::string> numbers = kExampleNumbers;
            numbers[place] = words[w].text;
            TempDir dir;
            dir.write("run.cfg", config(numbers));
            dir.write("out.grd", "keep");
            const RunResult r = runIn(dir);
            const std::string what = std::string(names[place]) + ' ' + words[w].text;
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(r.out, "ConfigFile run.cfg:" + std::to_string(place + 2) + ": " + names[place] + " \"" +
                                 words[w].text + "\" is not a number\n")
                << what;
            EXPECT_EQ(r.err, "") << what;
            EXPECT_EQ(readFile(dir.file("out.grd")), "keep") << what;
            EXPECT_EQ(entries(dir), 2u) << what;
        }
    }
}

// A grid that fits in the machine's memory but not under the address-space
// limit reached the allocator, which failed it; the size check now knows the
// limit and names it. A grid beyond it is made in bands of rows (below), but
// one whose single row of 800 MB does not fit under 256 MiB cannot be: the
// run ends with its message and writes nothing. Not under AddressSanitizer,
// which cannot run under such a limit. (Grids larger than the machine's
// memory: the case folders grid_larger_than_memory* and grid_memory_*.)
TEST(Run, GridBeyondTheAddressSpaceLimit) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#endif
    const std::vector<std::string> numbers = {"0", "0", "100000000", "10", "1", "1"};
    const char* const expected =
        "out of memory\nthe grid of 10 rows x 100000000 columns needs 7.5 GiB, more than the address-space limit "
        "(ulimit -v); raise resx\n";
    const auto run = [](const TempDir& dir) {
        Launch l;
        l.args = {"run.cfg"};
        l.cwd = dir.path();
        l.addressSpaceLimit = 256 << 20;
        return runLaunch(l);
    };
    {
        // An old grid file stays as it was.
        TempDir dir;
        dir.write("run.cfg", config(numbers));
        dir.write("out.grd", "keep");
        const RunResult r = run(dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err,
                  "run.cfg:9: the input list names no file; every cell of the grid is 0\n" + std::string(expected));
        EXPECT_EQ(readFile(dir.file("out.grd")), "keep");
        EXPECT_EQ(entries(dir), 2u);
    }
    {
        // With an input listed: nothing is converted and no grid file appears.
        TempDir dir;
        dir.write("run.cfg", config(numbers, "output out.grd\ninput q.dat\n"));
        dir.write(
            "q.dat",
            "TITLE = \"square\"\nZONE N=4, E=1, F=FEPOINT\n-1 -1 2 3 4\n3 -1 2 3 4\n3 3 2 3 4\n-1 3 2 3 4\n1 2 3 4\n");
        const RunResult r = run(dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, expected);
        EXPECT_FALSE(fileExists(dir.file("out.grd")));
    }
}

// The grid of 4000 x 4000 cells (122 MiB) under an address-space limit of
// 96 MiB: made in bands of rows, it is the very grid of a run without the
// limit, from a rectangle and two triangles that cross every band's edges.
TEST(Run, GridBeyondTheAddressSpaceLimitIsMadeInBands) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#endif
    const std::string square =
        "TITLE = \"square\"\nZONE N=4, E=1, F=FEPOINT\n"
        "-1 -1 2 3 4\n-1 4001 1 3 4\n4001 4001 3 3 4\n4001 -1 0.5 3 4\n1 2 3 4\n";
    const std::string triangles =
        "TITLE = \"triangles\"\nZONE N=4, E=2, F=FEPOINT\n"
        "0.3 0.2 7 3 4\n3999.1 10 5 3 4\n2000 3999.7 9 3 4\n10 3000 1e-3 3 4\n"
        "1 2 3 3\n1 3 4 4\n";
    std::string grids[2];
    for (int limited = 0; limited < 2; ++limited) {
        TempDir dir;
        dir.write("run.cfg", config({"0", "0", "4000", "4000", "1", "1"}, "output out.grd\ninput a.dat b.dat\n"));
        dir.write("a.dat", square);
        dir.write("b.dat", triangles);
        Launch l;
        l.args = {"--jobs", "2", "run.cfg"};
        l.cwd = dir.path();
        if (limited) l.addressSpaceLimit = 96 << 20;
        const RunResult r = runLaunch(l);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Asc File a.dat\nAsc File b.dat\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(entries(dir), 4u);
        grids[limited] = readFile(dir.file("out.grd"));
    }
    EXPECT_GT(grids[0].size(), 32000000u);
    EXPECT_TRUE(grids[0] == grids[1]);
}

// A control character in a file name reaches standard error escaped, in every
// kind of line that shows a name; standard output keeps the name as written.
// Before, a name holding ESC [ 2 J cleared the terminal of whoever read the
// warnings. (\n, \t and \r cannot be in a name here: they separate tokens of
// the configuration.)
TEST(Run, NamesOnStandardErrorAreEscaped) {
    struct Row {
        std::string name;
        std::string shown;
    };
    const Row rows[] = {{"q\x1b[2J.dat", "q\\x1b[2J.dat"},
                        {"q\x01\x7f.dat", "q\\x01\\x7f.dat"},
                        {"caf\xc3\xa9.dat", "caf\xc3\xa9.dat"}};
    const std::string nodes = "3.5 0.5 2 0 0\n3.5 3.5 2 0 0\n0.5 3.5 2 0 0\n0.5 0.5 2 0 0\n";
    for (const Row& row : rows) {
        TempDir dir;
        // One file with a warning of its own, one missing.
        dir.write(row.name, "TITLE = \"t\"\nZONE N=4, E=2\n" + nodes + "1 2 3 4\n1 2");
        dir.write("run.cfg", "PileHeight xmin 0 ymin 0 xmax 4 ymax 4 resx 1 resy 1 output out.grd input " + row.name +
                                 " missing-" + row.name + "\n");
        const RunResult r = runIn(dir);
        EXPECT_EQ(r.status, 1) << row.shown;
        EXPECT_EQ(r.out, "Asc File " + row.name + "\nAsc File missing-" + row.name + " not found...\n") << row.shown;
        EXPECT_EQ(r.err, row.shown + ":8: element 2 has only 2 of its 4 node numbers and is dropped\nmissing-" +
                             row.shown + ": can't open the file\n")
            << row.shown;
    }
}
