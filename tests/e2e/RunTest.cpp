// The real binary, from configuration file to grid file: exact standard output,
// exact bytes of the grid file, its permission bits and the exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

const char* const kUsage =
    "Use MeshRaster ConfigFile\n"
    "ConfigFile format:\n"
    "Velocity (for velocity values) or PileHeight\n"
    "xmin <Output Grid minimum X coordinate>\n"
    "ymin <Output Grid minimum Y coordinate>\n"
    "xmax <Output Grid maximum X coordinate>\n"
    "ymax <Output Grid maximum Y coordinate>\n"
    "resx <Output Grid resolution in X direction>\n"
    "resy <Output Grid resolution in Y direction>\n"
    "output <Output KORVEN-ASCII file>\n"
    "input <Tecplot file 1> <Tecplot file 2> ...\n"
    "... <Tecplot file n>\n";

// The grid file from its GRIDDEF fields (no-data text excluded) and value lines.
std::string gridFile(const std::string& def, const std::vector<std::string>& rows) {
    std::string s =
        "GRIDREG\nINFO\nUNITS  meters\n"
        "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\n"
        "GRIDDEF " +
        def + " 3.4e+037\nINFO_END\n";
    for (const std::string& r : rows) s += r + '\n';
    return s + "END\n";
}

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

// One element reaching past every edge of the worked-example extent (an
// element starting exactly at the west or north edge would leave column 0 and
// row 0 out); every node has pile height 2 and momentum (3, 4): velocity 2.5.
const char* const kZone =
    "TITLE = \"flow\"\nVARIABLES = \"X\" \"Y\" \"H\" \"HU\" \"HV\"\nZONE N=4, E=1, F=FEPOINT\n"
    "-10 -30 2 3 4\n40 -30 2 3 4\n40 10 2 3 4\n-10 10 2 3 4\n1 2 3 4\n";

// Builds a configuration laid out one label and value per line, mode on line 1.
std::string config(const std::vector<std::string>& numbers, const std::string& tail = "output out.grd\ninput\n",
                   const std::string& mode = "PileHeight") {
    const char* const labels[] = {"xmin", "ymin", "xmax", "ymax", "resx", "resy"};
    std::string s = mode + '\n';
    for (int k = 0; k < 6; ++k) s += std::string(labels[k]) + ' ' + numbers[static_cast<std::size_t>(k)] + '\n';
    return s + tail;
}

const std::vector<std::string> kExampleNumbers = {"0", "-20", "30", "0", "10", "10"};

// A fresh folder holding the configuration run.cfg, in which the binary runs.
struct Folder {
    TempDir dir;
    RunResult result;
    explicit Folder(const std::string& cfg, const std::vector<std::string>& args = {"run.cfg"}, bool zone = false) {
        dir.write("run.cfg", cfg);
        if (zone) dir.write("q.dat", kZone);
        result = runProgram(MESHRASTER_BINARY, args, dir.path());
    }
    std::string grid() const { return readFile(dir.file("out.grd")); }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

using Names = std::vector<std::string>;

// Runs a configuration that must be refused: out.grd exists before and keeps
// its content, nothing else is created, and the one line goes to stdout.
void expectRefused(const std::string& cfg, const std::string& out, const std::string& err = "") {
    TempDir dir;
    dir.write("run.cfg", cfg);
    dir.write("out.grd", "keep");
    const RunResult r = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
    EXPECT_EQ(r.status, 1) << cfg;
    EXPECT_EQ(r.out, out) << cfg;
    EXPECT_EQ(r.err, err) << cfg;
    EXPECT_EQ(readFile(dir.file("out.grd")), "keep") << cfg;
    const auto entries = std::distance(std::filesystem::directory_iterator(dir.path()), {});
    EXPECT_EQ(entries, 2) << cfg;
}

}  // namespace

TEST(Run, UsageOnWrongArgumentCount) {
    for (const Names& args : {Names{}, Names{"run.cfg", "run.cfg"}, Names{"a", "b", "c"}}) {
        Folder run(config(kExampleNumbers), args);
        EXPECT_EQ(run.result.status, 2) << args.size() << " arguments";
        EXPECT_EQ(run.result.out, kUsage);
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(run.files(), Names{"run.cfg"});
    }
}

TEST(Run, ConfigurationThatCannotBeOpened) {
    for (const std::string name : {"missing.cfg", "."}) {
        Folder run("", {name});
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.out, "Can't open ConfigFile " + name + "\n");
        EXPECT_EQ(run.files(), Names{"run.cfg"});
    }
}

TEST(Run, WorkedExample) {
    Folder run(config(kExampleNumbers));
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.grid(), kWorkedExample);
}

TEST(Run, LayoutOfTheConfigurationDoesNotMatter) {
    const char* const layouts[] = {
        "PileHeight xmin 0 ymin -20 xmax 30 ymax 0 resx 10 resy 10 output out.grd input q.dat\n",
        "PileHeight\nxmin\n0\nymin\n-20\nxmax\n30\nymax\n0\nresx\n10\nresy\n10\noutput\nout.grd\ninput\nq.dat\n",
        "PileHeight xmin 0 ymin -20 xmax 30 ymax 0 resx 10 resy 10 output out.grd input q.dat",
        "\n\n  PileHeight\r\na 0\r\nb -20\r\nc 30\r\nd 0\r\ne 10\r\nf\t10\r\ng out.grd\r\n\th\r\n\fq.dat\v\r\n",
        "PileHeight xmin 0.0 ymin -2e1 xmax +30 ymax -0 resx 1e1 resy 10.000 output out.grd input\n\nq.dat",
    };
    for (const char* cfg : layouts) {
        Folder run(cfg, {"run.cfg"}, true);
        EXPECT_EQ(run.result.status, 0) << cfg;
        EXPECT_EQ(run.result.out, "Asc File q.dat\n") << cfg;
        EXPECT_EQ(run.grid(), gridFile("3 2 0 10000000 10 10", {"2 2 2 ", "2 2 2 "})) << cfg;
    }
}

TEST(Run, OnlyTheExactModeWordSelectsVelocity) {
    struct Case {
        const char* mode;
        const char* cell;
    };
    for (const Case c : {Case{"Velocity", "2.5"}, Case{"velocity", "2"}, Case{"Velocityx", "2"}, Case{"VELOCITY", "2"},
                         Case{"Velocit", "2"}, Case{"PileHeight", "2"}}) {
        Folder run(config(kExampleNumbers, "output out.grd\ninput q.dat\n", c.mode), {"run.cfg"}, true);
        const std::string row = std::string(c.cell) + ' ' + c.cell + ' ' + c.cell + ' ';
        EXPECT_EQ(run.grid(), gridFile("3 2 0 10000000 10 10", {row, row})) << c.mode;
    }
}

TEST(Run, InputList) {
    struct Case {
        const char* tail;
        const char* out;
        const char* cell;
        int status;
    };
    const Case cases[] = {
        {"output out.grd\ninput\n", "", "0", 0},
        {"output out.grd", "", "0", 0},
        {"output out.grd\ninput q.dat q.dat\n", "Asc File q.dat\nAsc File q.dat\n", "2", 0},
        {"output out.grd\ninput missing.dat\n", "Asc File missing.dat not found...\n", "0", 1},
        {"output out.grd\ninput missing.dat q.dat", "Asc File missing.dat not found...\nAsc File q.dat\n", "2", 1},
    };
    for (const Case& c : cases) {
        Folder run(config(kExampleNumbers, c.tail), {"run.cfg"}, true);
        EXPECT_EQ(run.result.status, c.status) << c.tail;
        EXPECT_EQ(run.result.out, c.out) << c.tail;
        // An input that cannot be opened is also named in a warning.
        EXPECT_EQ(run.result.err.find("missing.dat") != std::string::npos, c.status == 1) << run.result.err;
        const std::string row = std::string(c.cell) + ' ' + c.cell + ' ' + c.cell + ' ';
        EXPECT_EQ(run.grid(), gridFile("3 2 0 10000000 10 10", {row, row})) << c.tail;
    }
}

TEST(Run, ExtentsAndNumberText) {
    struct Case {
        std::vector<std::string> numbers;
        const char* def;
        std::vector<std::string> rows;
    };
    const Case cases[] = {
        {{"0", "0", "95", "10", "10", "10"}, "9 1 0 10000010 10 10", {"0 0 0 0 0 0 0 0 0 "}},
        {{"0", "0", "0.3", "0.1", "0.1", "0.1"}, "2 1 0 10000000.1 0.1 0.1", {"0 0 "}},
        {{"0", "0", "5", "20", "10", "10"}, "0 2 0 10000020 10 10", {"", ""}},
        {{"0", "0", "30", "5", "10", "10"}, "3 0 0 10000005 10 10", {}},
        {{"7", "0", "7", "3", "1", "1"}, "0 3 7 10000003 1 1", {"", "", ""}},
        {{"-1234.125", "12345670.5", "-1233.625", "12345680.5", "0.25", "5"},
         "2 2 -1234.125 22345680.5 0.25 5",
         {"0 0 ", "0 0 "}},
        {{"123456789012", "0", "123456789013", "1", "1", "1"}, "1 1 1.2345678901e+11 10000001 1 1", {"0 "}},
        {{"0", "-1e-7", "2e-5", "0", "1e-5", "1e-7"}, "2 1 0 10000000 1e-05 1e-07", {"0 0 "}},
        {{"0", "0", "2147483647", "0", "1", "1"}, "2147483647 0 0 10000000 1 1", {}},
    };
    for (const Case& c : cases) {
        Folder run(config(c.numbers));
        EXPECT_EQ(run.result.status, 0) << c.def;
        EXPECT_EQ(run.result.out, "") << c.def;
        EXPECT_EQ(run.grid(), gridFile(c.def, c.rows));
    }
}

TEST(Run, ExistingOutputIsReplacedKeepingItsPermissions) {
    TempDir dir;
    dir.write("run.cfg", config(kExampleNumbers));
    dir.write("out.grd", std::string(5000, 'x'));
    ::chmod(dir.file("out.grd").c_str(), 0600);
    const RunResult r = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(dir.file("out.grd")), kWorkedExample);
    EXPECT_EQ(permissionBits(dir.file("out.grd")), 0600);
}

TEST(Run, NewOutputGets0664LessTheUmask) {
    for (const mode_t mask : {0000, 0022, 0077}) {
        const mode_t old = ::umask(mask);
        Folder run(config(kExampleNumbers));
        ::umask(old);
        EXPECT_EQ(permissionBits(run.dir.file("out.grd")), static_cast<int>(0664 & ~mask)) << "umask " << mask;
    }
}

TEST(Run, OutputThatCannotBeWritten) {
    struct Case {
        const char* name;
        const char* out;
    };
    for (const Case c :
         {Case{"missing/out.grd", "Can't open output file missing/out.grd\n"}, Case{".", "Can't open output file .\n"},
          Case{"/dev/full", "Can't write output file /dev/full\n"}}) {
        Folder run(config(kExampleNumbers, std::string("output ") + c.name + "\ninput\n"));
        EXPECT_EQ(run.result.status, 1) << c.name;
        EXPECT_EQ(run.result.out, c.out);
        EXPECT_EQ(run.files(), Names{"run.cfg"});
    }
    struct stat info;
    ASSERT_EQ(::stat("/dev/full", &info), 0);  // a device is never deleted
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

// The configuration ends after each of its first fifteen tokens in turn, with
// and without a newline after the last one.
TEST(Run, ConfigurationThatEndsEarly) {
    const char* const tokens[] = {"PileHeight", "xmin", "0",    "ymin", "-20",  "xmax", "30",
                                  "ymax",       "0",    "resx", "10",   "resy", "10",   "output"};
    const char* const missing[] = {
        "the mode word",
        "the label before xmin",
        "xmin",
        "the label before ymin",
        "ymin",
        "the label before xmax",
        "xmax",
        "the label before ymax",
        "ymax",
        "the label before resx",
        "resx",
        "the label before resy",
        "resy",
        "the label before the output file name",
        "the output file name",
    };
    for (int k = 0; k <= 14; ++k) {
        std::string cfg;
        for (int t = 0; t < k; ++t) cfg += std::string(t ? "\n" : "") + tokens[t];
        for (const char* end : {"", "\n \n"})
            expectRefused(cfg + end, std::string("ConfigFile run.cfg ends before ") + missing[k] + "\n");
    }
}

TEST(Run, NonNumberInPlaceOfANumber) {
    const char* const names[] = {"xmin", "ymin", "xmax", "ymax", "resx", "resy"};
    for (std::size_t place = 0; place < 6; ++place) {
        for (const char* word : {"abc", "nan", "inf", "-inf", "1e400", "-1e400", "-", "1e", "1e+", "+.5e", ".", "x1"}) {
            std::vector<std::string> numbers = kExampleNumbers;
            numbers[place] = word;
            expectRefused(config(numbers), "ConfigFile run.cfg:" + std::to_string(place + 2) + ": " + names[place] +
                                               " is not a number\n");
        }
    }
}

// A number token that cannot be read as the very last bytes of the file was
// reported as the file ending before that number, although the token is there.
TEST(Run, UnreadableLastNumberIsNotReportedAsEndOfFile) {
    for (const char* word : {"1e400", "-", "1e", "."})
        expectRefused(std::string("PileHeight xmin 0 ymin 0 xmax 1 ymax 1 resx 1 resy ") + word,
                      "ConfigFile run.cfg:1: resy is not a number\n");
}

TEST(Run, GridNumbersThatMakeNoGrid) {
    struct Case {
        std::vector<std::string> numbers;
        const char* problem;
    };
    const Case cases[] = {
        {{"0", "0", "30", "20", "0", "10"}, "resx must be greater than 0"},
        {{"0", "0", "30", "20", "-10", "10"}, "resx must be greater than 0"},
        {{"0", "0", "30", "20", "10", "0"}, "resy must be greater than 0"},
        {{"0", "0", "30", "20", "10", "-1"}, "resy must be greater than 0"},
        {{"0", "0", "-30", "20", "10", "10"}, "xmax is below xmin"},
        {{"0", "30", "30", "20", "10", "10"}, "ymax is below ymin"},
        {{"0", "0", "2147483648", "1", "1", "1"},
         "the grid would have more than 2147483647 columns; use a larger resx"},
        {{"-1e308", "0", "1e308", "1", "1", "1"},
         "the grid would have more than 2147483647 columns; use a larger resx"},
        {{"0", "0", "1", "1", "4.9e-324", "1"}, "the grid would have more than 2147483647 columns; use a larger resx"},
        {{"0", "0", "1", "2147483648", "1", "1"}, "the grid would have more than 2147483647 rows; use a larger resy"},
    };
    for (const Case& c : cases)
        expectRefused(config(c.numbers), std::string("ConfigFile run.cfg: ") + c.problem + "\n");
}

TEST(Run, GridLargerThanMemory) {
    // Over the largest block a vector can hold; the cell count in int would be 1.
    expectRefused(config({"0", "0", "2147483647", "2147483647", "1", "1"}), "", "out of memory\n");
#if !defined(__SANITIZE_ADDRESS__)  // AddressSanitizer's operator new aborts instead of throwing
    expectRefused(config({"0", "0", "1e9", "1e9", "1", "1"}), "", "out of memory\n");
#endif
}
