#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Version.h"

namespace {

using Action = CommandLine::Action;

// Parses args as the arguments after the program's name, and checks that argv
// is left as it was: the caller may still print it.
CommandLine parse(std::vector<std::string> args) {
    args.insert(args.begin(), "MeshRaster");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::vector<char*> before = argv;
    const CommandLine cl = parseCommandLine(static_cast<int>(args.size()), argv.data());
    EXPECT_EQ(argv, before) << "argv was reordered";
    return cl;
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) text += "[" + arg + "] ";
    return text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

}  // namespace

TEST(CommandLine, RunsOnTheOneConfigurationFile) {
    struct Case {
        std::vector<std::string> args;
        std::string configName;
        std::string format;
        std::string srs;
        std::vector<std::string> creationOptions;
    };
    const Case cases[] = {
        {{"run.cfg"}, "run.cfg", "", "", {}},
        {{"--", "-x"}, "-x", "", "", {}},
        {{"-"}, "-", "", "", {}},  // a lone dash is a name, not an option
        {{"--format", "GTiff", "run.cfg"}, "run.cfg", "GTiff", "", {}},
        {{"run.cfg", "--format", "GTiff"}, "run.cfg", "GTiff", "", {}},
        {{"-fCOG", "run.cfg"}, "run.cfg", "COG", "", {}},
        {{"--format=AAIGrid", "run.cfg"}, "run.cfg", "AAIGrid", "", {}},
        {{"--form", "GTiff", "run.cfg"}, "run.cfg", "GTiff", "", {}},
        {{"-f", "-x", "run.cfg"}, "run.cfg", "-x", "", {}},  // a value may begin with a dash
        {{"-f", "korven-ascii", "run.cfg"}, "run.cfg", "", "", {}},
        {{"-f", "GTiff", "-f", "KORVEN-ASCII", "run.cfg"}, "run.cfg", "", "", {}},
        {{"-f", "GTiff", "-s", "EPSG:32632", "--co", "COMPRESS=DEFLATE", "--co=PREDICTOR=3", "run.cfg"},
         "run.cfg",
         "GTiff",
         "EPSG:32632",
         {"COMPRESS=DEFLATE", "PREDICTOR=3"}},
        {{"--srs=+proj=utm +zone=32", "-fGTiff", "--co", "A==", "run.cfg"},
         "run.cfg",
         "GTiff",
         "+proj=utm +zone=32",
         {"A=="}},
        {{"-f", "GTiff", "--", "--co"}, "--co", "GTiff", "", {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(joined(k.args));
        const CommandLine cl = parse(k.args);
        EXPECT_EQ(cl.action, Action::run);
        EXPECT_EQ(cl.problem, "");
        EXPECT_EQ(cl.configName, k.configName);
        EXPECT_EQ(cl.format, k.format);
        EXPECT_EQ(cl.srs, k.srs);
        EXPECT_FALSE(cl.hasNodata);
        EXPECT_EQ(cl.creationOptions, k.creationOptions);
    }
}

// -o replaces the configuration's output name; a .tif name stands for
// --format GTiff where the options that need a GDAL format are checked.
TEST(CommandLine, OutputNameAndQuiet) {
    struct Case {
        std::vector<std::string> args;
        std::string output;  // empty: no -o
        bool textAsked;
        bool quiet;
    };
    const Case cases[] = {
        {{"run.cfg"}, "", false, false},
        {{"-o", "ph.tif", "run.cfg"}, "ph.tif", false, false},
        {{"run.cfg", "--output=a b.grd"}, "a b.grd", false, false},
        {{"--out", "x.grd", "-o", "y.grd", "run.cfg"}, "y.grd", false, false},  // the last one counts
        {{"-qo-", "run.cfg"}, "-", false, true},
        {{"--quiet", "-f", "KORVEN-ASCII", "run.cfg"}, "", true, true},
        {{"-o", "ph.TIFF", "--srs", "EPSG:32632", "--co", "TILED=YES", "run.cfg"}, "ph.TIFF", false, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(joined(k.args));
        const CommandLine cl = parse(k.args);
        EXPECT_EQ(cl.action, Action::run);
        EXPECT_EQ(cl.configName, "run.cfg");
        EXPECT_EQ(cl.hasOutput, !k.output.empty());
        EXPECT_EQ(cl.output, k.output);
        EXPECT_EQ(cl.textAsked, k.textAsked);
        EXPECT_EQ(cl.quiet, k.quiet);
    }
}

TEST(CommandLine, NodataIsANumber) {
    struct Case {
        std::string value;
        double number;  // NaN for "nan"
    };
    const Case cases[] = {
        {"-9999", -9999},   {"0", 0},     {"+1.5", 1.5},       {"3.4e+038", 3.4e38},
        {"1e-320", 1e-320}, {"nan", NAN}, {"-inf", -INFINITY},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.value);
        const CommandLine cl = parse({"-f", "GTiff", "--nodata", k.value, "run.cfg"});
        EXPECT_EQ(cl.action, Action::run);
        EXPECT_TRUE(cl.hasNodata);
        EXPECT_EQ(cl.nodata, k.value);
        if (std::isnan(k.number)) {
            EXPECT_TRUE(std::isnan(cl.nodataValue));
        } else {
            EXPECT_EQ(cl.nodataValue, k.number);
        }
    }
    for (const char* value : {"abc", "1e400", "1,5", "12abc", " 1", "1 ", "+-1", "++1", "+", "0x10"}) {
        SCOPED_TRACE(value);
        const CommandLine cl = parse({"-f", "GTiff", "--nodata", value, "run.cfg"});
        EXPECT_EQ(cl.action, Action::usageError);
        EXPECT_EQ(cl.problem, std::string("MeshRaster: option '--nodata' needs a number, not '") + value + "'");
    }
}

// Help and version act where they stand: what comes before them is checked,
// what comes after is not looked at.
TEST(CommandLine, HelpAndVersion) {
    struct Case {
        std::vector<std::string> args;
        Action action;
    };
    const Case cases[] = {
        {{"-h"}, Action::help},
        {{"--help"}, Action::help},
        {{"--he"}, Action::help},
        {{"a.cfg", "b.cfg", "--help"}, Action::help},
        {{"--help", "--frobnicate"}, Action::help},
        {{"-hV"}, Action::help},
        {{"-V"}, Action::version},
        {{"--version", "run.cfg"}, Action::version},
        {{"-f", "GTiff", "--ver"}, Action::version},
        {{"--frobnicate", "--help"}, Action::usageError},
        {{"--", "--help"}, Action::run},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(joined(k.args));
        EXPECT_EQ(parse(k.args).action, k.action);
    }
}

TEST(CommandLine, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string problem;  // empty: the usage text alone, as before there were options
    };
    const std::string gdalOnly = "' needs a GDAL format; the KORVEN-ASCII text cannot hold it";
    const std::string roles =
        "ROLE=NAME or ROLE=POSITION, ROLE one of x, y, height, xmomentum, ymomentum, xvelocity, yvelocity, not ";
    const Case cases[] = {
        {{}, ""},
        {{"a.cfg", "b.cfg"}, ""},
        {{"a.cfg", "b.cfg", "c.cfg"}, ""},
        {{"-f", "GTiff", "a.cfg", "b.cfg"}, ""},
        {{"--", "a.cfg", "b.cfg"}, ""},
        {{"--"}, "MeshRaster: no configuration file given"},
        {{"--format", "GTiff"}, "MeshRaster: no configuration file given"},
        {{"--frobnicate", "run.cfg"}, "MeshRaster: unrecognized option '--frobnicate'"},
        {{"--frobnicate=3", "run.cfg"}, "MeshRaster: unrecognized option '--frobnicate=3'"},
        {{"-x", "run.cfg"}, "MeshRaster: unrecognized option '-x'"},
        {{"run.cfg", "-x"}, "MeshRaster: unrecognized option '-x'"},
        {{"-kV"}, "MeshRaster: unrecognized option '-k'"},
        {{"-:"}, "MeshRaster: unrecognized option '-:'"},
        {{"-\xc3\xa9", "run.cfg"}, "MeshRaster: unrecognized option '-\xc3\xa9'"},
        {{"--format"}, "MeshRaster: option '--format' requires a value"},
        {{"run.cfg", "--form"}, "MeshRaster: option '--format' requires a value"},
        {{"run.cfg", "-f"}, "MeshRaster: option '-f' requires a value"},
        {{"--format=", "run.cfg"}, "MeshRaster: option '--format' requires a value"},
        {{"-s", "", "run.cfg"}, "MeshRaster: option '-s' requires a value"},
        {{"--srs", "", "run.cfg"}, "MeshRaster: option '--srs' requires a value"},
        {{"run.cfg", "--nodata"}, "MeshRaster: option '--nodata' requires a value"},
        {{"run.cfg", "--co"}, "MeshRaster: option '--co' requires a value"},
        {{"--help=yes"}, "MeshRaster: option '--help' doesn't allow a value"},
        {{"--quiet=yes", "run.cfg"}, "MeshRaster: option '--quiet' doesn't allow a value"},
        {{"run.cfg", "-o"}, "MeshRaster: option '-o' requires a value"},
        {{"--output=", "run.cfg"}, "MeshRaster: option '--output' requires a value"},
        {{"-o", "a.grd", "--srs", "EPSG:32632", "run.cfg"}, "MeshRaster: option '--srs" + gdalOnly},
        {{"-f", "korven-ascii", "-o", "a.tif", "--nodata", "0", "run.cfg"}, "MeshRaster: option '--nodata" + gdalOnly},
        {{"--vers=1", "run.cfg"}, "MeshRaster: option '--version' doesn't allow a value"},
        {{"-f", "GTiff", "--co", "COMPRESS", "run.cfg"}, "MeshRaster: option '--co' needs NAME=VALUE, not 'COMPRESS'"},
        {{"-f", "GTiff", "--co", "=DEFLATE", "run.cfg"}, "MeshRaster: option '--co' needs NAME=VALUE, not '=DEFLATE'"},
        {{"--column", "h=3", "run.cfg"}, "MeshRaster: option '--column' needs " + roles + "'h=3'"},
        {{"--column", "height", "run.cfg"}, "MeshRaster: option '--column' needs " + roles + "'height'"},
        {{"--column=height=", "run.cfg"}, "MeshRaster: option '--column' needs " + roles + "'height='"},
        {{"run.cfg", "--variable"}, "MeshRaster: option '--variable' requires a value"},
        {{"--time", "soon", "run.cfg"}, "MeshRaster: option '--time' needs a solution time or last, not 'soon'"},
        {{"--time", "nan", "run.cfg"}, "MeshRaster: option '--time' needs a solution time or last, not 'nan'"},
        {{"-s", "EPSG:32632", "run.cfg"}, "MeshRaster: option '--srs" + gdalOnly},
        {{"--nodata", "0", "run.cfg"}, "MeshRaster: option '--nodata" + gdalOnly},
        {{"-f", "Korven-Ascii", "--co", "A=B", "run.cfg"}, "MeshRaster: option '--co" + gdalOnly},
        {{"-f", "GTiff", "--srs", "EPSG:32632", "-f", "KORVEN-ASCII", "run.cfg"},
         "MeshRaster: option '--srs" + gdalOnly},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(joined(k.args));
        const CommandLine cl = parse(k.args);
        EXPECT_EQ(cl.action, Action::usageError);
        EXPECT_EQ(cl.problem, k.problem);
    }
}

// Each --column gives one role its column, as written; the last one given for
// a role counts.
TEST(CommandLine, ColumnsAndVariableChosen) {
    const CommandLine cl = parse({"--column", "Height=Flow Depth", "--column=xmomentum=4", "run.cfg", "--column", "x=1",
                                  "--column", "x=2", "--variable", "T"});
    ASSERT_EQ(cl.action, Action::run);
    const std::string want[7] = {"2", "", "Flow Depth", "4", "", "", ""};
    for (int r = 0; r < 7; ++r) EXPECT_EQ(cl.columns.role[r], want[r]) << roleWord(static_cast<ColumnRole>(r));
    EXPECT_EQ(cl.columns.variable, "T");
}

TEST(CommandLine, TimeIsANumberOrLast) {
    const CommandLine at = parse({"--time", "+1.5e1", "run.cfg"});
    EXPECT_TRUE(at.hasTime && !at.lastTime);
    EXPECT_EQ(at.time, 15.0);
    const CommandLine last = parse({"--time=Last", "run.cfg"});
    EXPECT_TRUE(last.hasTime && last.lastTime);
    EXPECT_FALSE(parse({"run.cfg"}).hasTime);
}

// getopt keeps its place between calls: without a fresh start, the call after
// one that stopped inside "-kx" went on with the "x" left over from it.
TEST(CommandLine, StartsAfreshAfterACallThatStoppedInsideAnOptionGroup) {
    EXPECT_EQ(parse({"-kx", "run.cfg"}).problem, "MeshRaster: unrecognized option '-k'");
    const CommandLine cl = parse({"run.cfg"});
    EXPECT_EQ(cl.action, Action::run);
    EXPECT_EQ(cl.configName, "run.cfg");
}

TEST(CommandLine, HelpListsEveryOptionAfterTheUsageLines) {
    std::ostringstream usage, help, version;
    printUsage(usage);
    printHelp(help);
    printVersion(version);
    const std::vector<std::string> usageLines = lines(usage.str());
    const std::vector<std::string> helpLines = lines(help.str());
    ASSERT_EQ(usageLines.size(), 12u);
    EXPECT_EQ(usageLines.front(), "Use MeshRaster ConfigFile");
    ASSERT_GT(helpLines.size(), usageLines.size() + 2);
    EXPECT_EQ(std::vector<std::string>(helpLines.begin(), helpLines.begin() + 12), usageLines);
    EXPECT_EQ(helpLines[12], "");
    EXPECT_EQ(helpLines[13], "Options:");
    // Each option the parser takes, as "  -f, --format" or "      --co" at the start of a line.
    for (const char* option : {"-h, --help ", "-V, --version ", "-f, --format NAME ", "-o, --output NAME ",
                               "-q, --quiet ", "-j, --jobs N ", "-s, --srs DEFINITION ", "    --nodata VALUE ",
                               "    --co NAME=VALUE ", "    --column ROLE=COLUMN", "    --variable NAME ", "    -- "}) {
        SCOPED_TRACE(option);
        int found = 0;
        for (const std::string& line : helpLines) found += line.rfind(std::string("  ") + option, 0) == 0;
        EXPECT_EQ(found, 1);
    }
    for (const std::string& line : helpLines) EXPECT_LE(line.size(), 79u) << line;
    EXPECT_EQ(lines(version.str()).front(), std::string("MeshRaster ") + MESHRASTER_VERSION);
}
