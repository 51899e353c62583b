#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "RunConfig.h"
#include "TestSupport.h"

namespace {

// The configuration text read from run.cfg, and the warnings the reading gave,
// with the file named as "run.cfg".
struct Read {
    RunConfig cfg;
    std::string warnings;
    explicit Read(const std::string& text) {
        TempDir dir;
        GisAscFile cfgFile(dir.write("run.cfg", text), "r");
        std::ostringstream out;
        cfg = readRunConfig(cfgFile, out);
        warnings = out.str();
        const std::string folder = dir.path() + '/';
        for (std::size_t at; (at = warnings.find(folder)) != std::string::npos;) warnings.erase(at, folder.size());
    }
};

const std::string kGrid = "xmin 1 ymin 2 xmax 30 ymax 40 resx 0.5 resy 0.25 ";

}  // namespace

TEST(RunConfig, TokensByPosition) {
    struct Case {
        std::string text;
        bool isVelocity;
        std::string outFileName;
        std::vector<std::string> inFileNames;
    };
    const Case cases[] = {
        {"Velocity " + kGrid + "output g.grd input a.dat b.dat", true, "g.grd", {"a.dat", "b.dat"}},
        {"velocity\n" + kGrid + "\noutput\ng.grd\ninput\na.dat\n\nb.dat\n", true, "g.grd", {"a.dat", "b.dat"}},
        {"Depth " + kGrid + "o g.grd i a.dat", false, "g.grd", {"a.dat"}},  // labels are not used
        {"PileHeight " + kGrid + "output g.grd input", false, "g.grd", {}},
        {"PileHeight " + kGrid + "output g.grd", false, "g.grd", {}},
        {"\xEF\xBB\xBFVelocity " + kGrid + "output g.grd input a.dat", true, "g.grd", {"a.dat"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        const RunConfig cfg = Read(k.text).cfg;
        EXPECT_EQ(cfg.isVelocity, k.isVelocity);
        EXPECT_EQ(std::vector<double>({cfg.xmin, cfg.ymin, cfg.xmax, cfg.ymax, cfg.resx, cfg.resy}),
                  std::vector<double>({1, 2, 30, 40, 0.5, 0.25}));
        EXPECT_EQ(cfg.outFileName, k.outFileName);
        EXPECT_EQ(cfg.inFileNames, k.inFileNames);
        EXPECT_EQ(configProblem(cfg), "");
    }
}

// Only the first token that cannot be read is reported, with its line when it
// is there but is not a number; nothing after it is read. "xmax 6OO400" was
// read as 6, and the rest of the token as the next label, so the run blamed
// ymax; every number token must now be a number as a whole.
TEST(RunConfig, FirstFailureIsKeptAndANumberIsAWholeToken) {
    struct Case {
        std::string text;
        std::string problem;
    };
    const Case cases[] = {
        {"", " ends before the mode word"},
        {"\xEF\xBB\xBF", " ends before the mode word"},
        {"PileHeight xmin 1 ymin", " ends before ymin"},
        {"PileHeight " + kGrid + "output", " ends before the output file name"},
        {"PileHeight\nxmin 1\nymin two\nxmax x\n", ":3: ymin \"two\" is not a number"},
        {"PileHeight\nxmin 0\nymin 0\nxmax 6OO400\nymax 5\n", ":4: xmax \"6OO400\" is not a number"},
        {"PileHeight xmin 2,5", ":1: xmin \"2,5\" is not a number"},
        {"PileHeight xmin 0x10", ":1: xmin \"0x10\" is not a number"},
        {"PileHeight xmin 1 ymin 10m", ":1: ymin \"10m\" is not a number"},
        {"PileHeight xmin 1 ymin 2 xmax 1e5x", ":1: xmax \"1e5x\" is not a number"},
        {"PileHeight xmin 1 ymin 2 xmax 30 ymax 40 resx 0.5 resy 0.25x output g.grd input a.dat",
         ":1: resy \"0.25x\" is not a number"},
        // A token is shown with its control characters escaped, and cut after 64 bytes.
        {"PileHeight xmin \x1b[2J\x7f", ":1: xmin \"\\x1b[2J\\x7f\" is not a number"},
        {"PileHeight xmin " + std::string(65, '7') + "x",
         ":1: xmin \"" + std::string(64, '7') + "...\" is not a number"},
        // Reading stopped short of the end of the file.
        {"PileHeight\n" + std::string(2000000, 'x'), ":2: a token longer than 1 MiB"},
        {"PileHeight " + kGrid + "output g.grd input a.dat\n" + std::string(2000000, 'x'),
         ":2: a token longer than 1 MiB"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text.substr(0, 80));
        const RunConfig cfg = Read(k.text).cfg;
        EXPECT_EQ(configProblem(cfg), k.problem);
        if (k.problem.find("longer") == std::string::npos) {
            EXPECT_EQ(cfg.outFileName, "");
            EXPECT_TRUE(cfg.inFileNames.empty());
        }
    }
}

// A read error was taken for the end of the configuration: the input list was
// cut there and the run went on. (Errors in the middle of the file are injected
// into the real binary in tests/e2e.)
TEST(RunConfig, ReadErrorIsAProblemNotTheEnd) {
    // Reading /proc/self/mem from its first byte fails with EIO.
    GisAscFile cfgFile("/proc/self/mem", "r");
    if (!cfgFile.good()) GTEST_SKIP() << "/proc/self/mem cannot be opened here";
    std::ostringstream warnings;
    const RunConfig cfg = readRunConfig(cfgFile, warnings);
    EXPECT_EQ(configProblem(cfg), ":1: read error: Input/output error");
    EXPECT_EQ(warnings.str(), "");
}

// A mode word that is not exactly "Velocity" silently converted pile height,
// and a missing label shifted every later token, so that the first input name
// was taken as the label and not converted. Both are now named; what is read
// stays the same. A byte-order mark before the mode word is skipped.
TEST(RunConfig, ModeWordAndFirstWrongLabelAreWarnedAbout) {
    struct Case {
        std::string text;
        std::string warnings;
        std::vector<std::string> inFileNames;
    };
    const std::string grid = kGrid + "output g.grd ";
    const Case cases[] = {
        {"Velocity " + grid + "input a.dat", "", {"a.dat"}},
        {"PileHeight " + grid + "input a.dat", "", {"a.dat"}},
        {"\xEF\xBB\xBFVelocity " + grid + "input a.dat", "", {"a.dat"}},
        {"\xEF\xBB\xBF\nPileHeight\n" + grid + "input a.dat", "", {"a.dat"}},
        // Labels in any letter case.
        {"Velocity XMIN 1 Ymin 2 xMax 30 ymax 40 RESX 0.5 resY 0.25 OUTPUT g.grd Input a.dat", "", {"a.dat"}},
        {"velocity\n" + grid + "input a.dat", "", {"a.dat"}},
        {"\xEF\xBB\xBFpileheight " + grid + "input a.dat", "", {"a.dat"}},
        {"PILEHEIGHT xmin 1 ymin 2 xmax 30 ymax 40 resx 0.5 resy 0.25 OUTPUT g.grd INPUT a.dat", "", {"a.dat"}},
        {"Height\n" + grid + "input a.dat",
         "run.cfg:1: mode word \"Height\" is neither Velocity nor PileHeight; pile height is used\n",
         {"a.dat"}},
        // The input label missing: the first name is taken as the label.
        {"PileHeight\n" + kGrid + "\noutput g.grd\na.dat\nb.dat\n",
         "run.cfg:4: label input expected, found \"a.dat\"\n",
         {"b.dat"}},
        // Only the first wrong label is named: it explains the shift of the rest.
        {"PileHeight\nx 1\ny 2\nxmax 30\nymax 40\nresx 0.5\nresy 0.25\no g.grd\ni a.dat",
         "run.cfg:2: label xmin expected, found \"x\"\n",
         {"a.dat"}},
        {"PileHeight\n" + kGrid + "\nout g.grd\ninput a.dat",
         "run.cfg:3: label output expected, found \"out\"\n",
         {"a.dat"}},
        // No label before the input list, nor any name: a grid of zeros, said.
        {"PileHeight " + grid, "run.cfg:1: the input list names no file; every cell of the grid is 0\n", {}},
        {"PileHeight " + grid + "\ninput\n\n",
         "run.cfg:2: the input list names no file; every cell of the grid is 0\n",
         {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        const Read r(k.text);
        EXPECT_EQ(r.warnings, k.warnings);
        EXPECT_EQ(r.cfg.inFileNames, k.inFileNames);
    }
}

// "velocity" converted pile height with a warning that scrolled away, and so
// did "Velocty"; a missing output label wrote a file named "input", and a
// missing input label left the first file unconverted, all with exit status 0.
// A near miss of the mode word, and a missing label that shifts a file name
// into the wrong place, are now refused; other words keep their warning.
TEST(RunConfig, NearMissesAndShiftedLabelsAreRefused) {
    struct Case {
        std::string text;
        std::string problem;
    };
    TempDir dir;
    const std::string file = dir.write("a.dat", "");  // an input that exists
    const std::string grid = kGrid + "output g.grd ";
    const std::string nearMiss = " is not known; did you mean Velocity?";
    const Case cases[] = {
        {"Velocty " + grid + "input a.dat", ":1: mode word \"Velocty\"" + nearMiss},      // a letter left out
        {"VELOCITYS " + grid + "input a.dat", ":1: mode word \"VELOCITYS\"" + nearMiss},  // one added
        {"Velcoity " + grid + "input a.dat", ":1: mode word \"Velcoity\"" + nearMiss},    // two swapped
        {"Velocit\x01y " + grid + "input a.dat", ":1: mode word \"Velocit\\x01y\"" + nearMiss},
        {"Veloc " + grid + "input a.dat", ""},                     // three edits: pile height, with a warning
        {"Velocty xmin", ":1: mode word \"Velocty\"" + nearMiss},  // before what ends the file
        {"PileHeight\n" + kGrid + "\ng.grd\ninput " + file,
         ":3: the label output is missing before \"g.grd\"; the output file would be named \"input\""},
        {"PileHeight\n" + kGrid + "\ng.grd\nINPUT\n",
         ":3: the label output is missing before \"g.grd\"; the output file would be named \"INPUT\""},
        {"PileHeight\n" + grid + "\n" + file + " b.dat\n",
         ":3: the label input is missing before \"" + file +
             "\"; that file would be taken for the label and not converted"},
        {"PileHeight\n" + grid + "\ninputs b.dat\n", ""},  // a wrong label naming no file: a warning
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        const Read r(k.text);
        EXPECT_EQ(configProblem(r.cfg), k.problem);
        if (!k.problem.empty()) {
            EXPECT_EQ(r.warnings, "") << "the refusal says it all";
        }
    }
}
