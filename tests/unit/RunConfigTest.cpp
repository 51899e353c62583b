#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunConfig.h"
#include "TestSupport.h"

namespace {

RunConfig read(const std::string& text) {
    TempDir dir;
    GisAscFile cfgFile(dir.write("run.cfg", text), "r");
    return readRunConfig(cfgFile);
}

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
        {"velocity\n" + kGrid + "\noutput\ng.grd\ninput\na.dat\n\nb.dat\n", false, "g.grd", {"a.dat", "b.dat"}},
        {"Velocity2 " + kGrid + "o g.grd i a.dat", false, "g.grd", {"a.dat"}},  // labels are not compared
        {"PileHeight " + kGrid + "output g.grd input", false, "g.grd", {}},
        {"PileHeight " + kGrid + "output g.grd", false, "g.grd", {}},
        // A number ends with its digits: the rest of its token is the next label.
        {"PileHeight xmin 1 ymin 2 xmax 30 ymax 40 resx 0.5 resy 0.25x output g.grd input a.dat",
         false,
         "output",
         {"input", "a.dat"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        const RunConfig cfg = read(k.text);
        EXPECT_EQ(cfg.isVelocity, k.isVelocity);
        EXPECT_EQ(std::vector<double>({cfg.xmin, cfg.ymin, cfg.xmax, cfg.ymax, cfg.resx, cfg.resy}),
                  std::vector<double>({1, 2, 30, 40, 0.5, 0.25}));
        EXPECT_EQ(cfg.outFileName, k.outFileName);
        EXPECT_EQ(cfg.inFileNames, k.inFileNames);
        EXPECT_EQ(configProblem(cfg), "");
    }
}

// Only the first token that cannot be read is reported, with its line when it
// is there but is not a number; nothing after it is read.
TEST(RunConfig, FirstFailureIsKept) {
    struct Case {
        std::string text;
        std::string problem;
    };
    const Case cases[] = {
        {"", " ends before the mode word"},
        {"PileHeight xmin 1 ymin", " ends before ymin"},
        {"PileHeight " + kGrid + "output", " ends before the output file name"},
        {"PileHeight\nxmin 1\nymin two\nxmax x\n", ":3: ymin is not a number"},
        {"PileHeight xmin 1 ymin 2 xmax 30 ymax 40 resx 0.5 resy x output g.grd input a.dat",
         ":1: resy is not a number"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        const RunConfig cfg = read(k.text);
        EXPECT_EQ(configProblem(cfg), k.problem);
        EXPECT_EQ(cfg.outFileName, "");
        EXPECT_TRUE(cfg.inFileNames.empty());
    }
}
