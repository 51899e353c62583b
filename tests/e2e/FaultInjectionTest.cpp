// Hostile input through the real binary, where a golden case folder cannot hold
// it: folders in place of files, lines and tokens of millions of characters,
// and truncated copies of the example files checked against an oracle. (NUL
// bytes, absurd counts, node numbers and coordinates, and grids too large for
// memory are case folders: nul_*, node_*, extreme_*, grid_larger_than_memory*.)
// The run must never crash, must report every failure and reflect it in its
// exit status, and must produce the grid of what it could read.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

// One configuration in run.cfg, one or two Tecplot files beside it.
struct Trial {
    TempDir dir;
    RunResult result;
    Trial(const std::string& cfg, const std::map<std::string, std::string>& files = {}) {
        dir.write("run.cfg", cfg);
        for (const auto& [name, text] : files) dir.write(name, text);
        result = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
    }
    std::string grid() const { return readFile(dir.file("out.grd")); }
};

std::string config(const std::string& inputs, const std::string& grid = "0 0 2 2 1 1",
                   const std::string& mode = "PileHeight") {
    std::istringstream numbers(grid);
    std::string s = mode;
    for (const char* label : {"xmin", "ymin", "xmax", "ymax", "resx", "resy"}) {
        std::string n;
        numbers >> n;
        s += std::string("\n") + label + ' ' + n;
    }
    return s + "\noutput out.grd\ninput " + inputs + '\n';
}

// A square from (-1, -1) to (3, 3) over the whole 2 by 2 grid of config(); pile
// height 2 and momentum (3, 4) at every node, so velocity 2.5.
const char* const kHeader = "TITLE = \"square\"\nZONE N=4, E=1, F=FEPOINT\n";
const char* const kNodes = "-1 -1 2 3 4\n3 -1 2 3 4\n3 3 2 3 4\n-1 3 2 3 4\n";
const std::string kSquare = std::string(kHeader) + kNodes + "1 2 3 4\n";

std::string gridOf(const std::string& rows, const std::string& def = "2 2 0 10000002 1 1") {
    return "GRIDREG\nINFO\nUNITS  meters\n"
           "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\n"
           "GRIDDEF " +
           def + " 3.4e+037\nINFO_END\n" + rows + "END\n";
}
const std::string kTwos = gridOf("2 2 \n2 2 \n");

}  // namespace

TEST(FaultInjection, FoldersInPlaceOfFiles) {
    {
        TempDir dir;
        std::filesystem::create_directory(dir.file("cfg"));
        const RunResult r = runProgram(MESHRASTER_BINARY, {"cfg"}, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Can't open ConfigFile cfg\n");
    }
    {
        // The input is reported and skipped, the grid still written, the run fails.
        Trial run(config("sub q.dat"), {{"q.dat", kSquare}});
        std::filesystem::create_directory(run.dir.file("sub"));
        run.result = runProgram(MESHRASTER_BINARY, {"run.cfg"}, run.dir.path());
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.out, "Asc File sub not found...\nAsc File q.dat\n");
        EXPECT_EQ(run.result.err, "sub: can't open the file\n");
        EXPECT_EQ(run.grid(), kTwos);
    }
    {
        Trial run(config("q.dat"), {{"q.dat", kSquare}});
        std::filesystem::remove(run.dir.file("out.grd"));
        std::filesystem::create_directory(run.dir.file("out.grd"));
        run.result = runProgram(MESHRASTER_BINARY, {"run.cfg"}, run.dir.path());
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.out, "Asc File q.dat\nCan't open output file out.grd\n");
        EXPECT_TRUE(std::filesystem::is_directory(run.dir.file("out.grd")));
    }
}

// Lines of millions of characters are read; a single token of more than 1 MiB
// ends the reading of its file (an endless one, as in a binary file, would
// take all memory): the configuration is then rejected, and an input file is
// reported and converted no further.
TEST(FaultInjection, LinesOfMillionsOfCharacters) {
    const std::string longToken(1000000, 'x'), tooLong(3000000, 'x');
    const std::string sevens = [] {
        std::string s;
        for (int k = 0; k < 1500000; ++k) s += " 7";
        return s;
    }();
    auto labelled = [](const std::string& label) {
        return "PileHeight " + label + " 0 ymin 0 xmax 2 ymax 2 resx 1 resy 1 output out.grd input q.dat";
    };
    const std::string tooLongConfig = "ConfigFile run.cfg:1: a token longer than 1 MiB\n";
    const std::string kNoOutput = "<none>";  // standard output stays empty
    struct Case {
        const char* what;
        std::string cfg, dat;
        int status;
        std::string err;  // the start of standard error
        bool grid;        // the grid file is written
        std::string out;  // standard output, when not the one progress line
    };
    const Case cases[] = {
        {"label", labelled(longToken), kSquare, 0, "run.cfg:1: label xmin expected, found \"xxxx", true, ""},
        {"label over 1 MiB", labelled(tooLong), kSquare, 1, tooLongConfig, false, kNoOutput},
        {"preamble", config("q.dat"), "TITLE = \"" + longToken + "\"\n" + kSquare, 0, "", true, ""},
        // The file is reported; the words are the Tecplot reader's.
        {"preamble over 1 MiB", config("q.dat"), "TITLE = \"" + tooLong + "\"\n" + kSquare, 1, "q.dat:1: ", false,
         "Asc File q.dat not found...\n"},
        // The zone record's rest is discarded up to 100000 characters only.
        {"zone record", config("q.dat"), "ZONE N=4, T=\"" + tooLong + "\"\n" + kNodes + "1 2 3 4\n", 1,
         "q.dat:1: node 1 of 4 holds a value that is not a number", true, ""},
        // The columns beyond 100000 characters are read as further nodes.
        {"extra columns", config("q.dat"),
         std::string(kHeader) + "-1 -1 2 3 4" + sevens + "\n3 -1 2 3 4\n3 3 2 3 4\n-1 3 2 3 4\n1 2 3 4\n", 1,
         "q.dat:3: ", true, ""},
        // Any token but a second zone's ZONE loses the elements after it; one
        // over 1 MiB is not even read.
        {"element token", config("q.dat"), kSquare + tooLong + "\n", 1, "q.dat:8: ", true, ""},
    };
    for (const Case& c : cases) {
        Trial run(c.cfg, {{"q.dat", c.dat}});
        EXPECT_EQ(run.result.status, c.status) << c.what;
        EXPECT_EQ(run.result.err.substr(0, c.err.size()), c.err) << c.what;
        if (c.err.empty()) {
            EXPECT_EQ(run.result.err, "") << c.what;
        }
        EXPECT_EQ(run.result.out, c.out == kNoOutput ? "" : c.out.empty() ? "Asc File q.dat\n" : c.out) << c.what;
        EXPECT_EQ(run.grid() != "<missing>", c.grid) << c.what;
    }
    Trial longName(config(longToken), {});
    EXPECT_EQ(longName.result.status, 1);
    EXPECT_EQ(longName.result.out, "Asc File " + longToken + " not found...\n");
    EXPECT_EQ(longName.grid(), "<missing>");  // nothing read, nothing written
    Trial tooLongName(config(tooLong), {});
    EXPECT_EQ(tooLongName.result.status, 1);
    EXPECT_EQ(tooLongName.result.err, "ConfigFile run.cfg:9: a token longer than 1 MiB\n");
    EXPECT_EQ(tooLongName.grid(), "<missing>");
}

namespace {

// Where the parts of an intact Tecplot file lie, found here by plain splitting
// (one zone record line, one node per line, four numbers per element, or three
// in a triangle zone).
struct Layout {
    std::string text;
    std::size_t perElement = 4;                                // node numbers an element
    std::size_t nodesStart = 0;                                // first byte of the node table
    std::size_t fifthStart = 0, fifthEnd = 0;                  // last node's fifth number
    std::vector<std::string> nodeLines;                        // with their newlines
    std::vector<std::pair<std::size_t, std::size_t>> numbers;  // element numbers: [start, end)
    double xmin = 1e300, xmax = -1e300, ymin = 1e300, ymax = -1e300;

    explicit Layout(std::string t) : text(std::move(t)) {
        const std::size_t zone = text.find("ZONE N=");
        const long count = std::stol(text.substr(zone + 7));
        std::size_t p = text.find('\n', zone) + 1;
        if (text.substr(zone, p - zone).find("ZONETYPE=FETRIANGLE") != std::string::npos) perElement = 3;
        nodesStart = p;
        for (long k = 0; k < count; ++k) {
            const std::size_t end = text.find('\n', p) + 1;
            const std::string line = text.substr(p, end - p);
            nodeLines.push_back(line);
            std::istringstream in(line);
            double x, y;
            in >> x >> y;
            xmin = std::min(xmin, x), xmax = std::max(xmax, x), ymin = std::min(ymin, y), ymax = std::max(ymax, y);
            std::size_t q = 0;
            for (int field = 0; field < 5; ++field) {
                q = line.find_first_not_of(" \t", q);
                fifthStart = p + q;
                q = line.find_first_of(" \t\n", q);
            }
            fifthEnd = p + q;
            p = end;
        }
        for (;;) {
            const std::size_t start = text.find_first_not_of(" \t\r\n", p);
            if (start == std::string::npos) break;
            p = text.find_first_of(" \t\r\n", start);
            if (p == std::string::npos) p = text.size();
            numbers.emplace_back(start, p);
        }
    }
};

// What the run must make of the first cut bytes of a file with this layout.
struct Expected {
    bool warning = false;
    bool eitherWay = false;  // the cut falls inside the last node's last number
    std::string elements;    // the elements read, one a line, as the oracle file lists them
};

Expected expectedFor(const Layout& f, std::size_t cut) {
    Expected e;
    if (cut < f.fifthEnd) {
        // Before or inside the node table: nothing of the mesh is converted.
        e.warning = true;
        e.eitherWay = cut > f.fifthStart;
        return e;
    }
    // The record states the element count, so a number that ends the file
    // without a line end may have been cut ("1" of "11"): only numbers with a
    // byte after them make elements, and every cut short of the whole file is
    // a count short of the stated one.
    std::size_t complete = 0;
    for (const auto& number : f.numbers) complete += number.second < cut;
    const std::size_t per = f.perElement, elements = complete / per;
    for (std::size_t k = 0; k < elements * per; ++k) {
        const auto [start, end] = f.numbers[k];
        e.elements += f.text.substr(start, end - start) + (k % per == per - 1 ? "\n" : " ");
    }
    e.warning = elements < f.numbers.size() / per;
    return e;
}

// The zone record without its element count: the oracle's file holds only
// the elements of the intact part, and is read as a file that states none.
std::string withoutElementCount(std::string header) {
    const std::size_t count = header.find(", E=");
    if (count != std::string::npos) header.erase(count, header.find(',', count + 1) - count);
    return header;
}

// Every example file, or a generated mesh when there are none.
std::vector<std::string> meshFiles() {
    std::vector<std::string> names;
    const std::string examples = std::string(MESHRASTER_SOURCE_DIR) + "/examples";
    if (std::filesystem::is_directory(examples))
        for (const auto& entry : std::filesystem::directory_iterator(examples))
            if (entry.path().extension() == ".dat") names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    if (names.empty()) names.push_back("generated");
    return names;
}

std::string meshText(const std::string& name) {
    if (name != "generated") return readFile(std::string(MESHRASTER_SOURCE_DIR) + "/examples/" + name);
    // Six by six cells of 10 m, rectangles from their south-east corner, every
    // third one split into triangles; the pile height rises to the north-east.
    std::string nodes, elements;
    for (int j = 0; j <= 6; ++j)
        for (int i = 0; i <= 6; ++i)
            nodes += std::to_string(i * 10) + ' ' + std::to_string(j * 10) + ' ' + std::to_string(i + j) + ".25 1 1\n";
    int cells = 0;
    for (int j = 0; j < 6; ++j)
        for (int i = 0; i < 6; ++i, ++cells) {
            const int sw = j * 7 + i + 1, se = sw + 1, ne = se + 7, nw = sw + 7;
            elements += std::to_string(se) + ' ' + std::to_string(ne) + ' ' + std::to_string(nw) + ' ' +
                        std::to_string(cells % 3 == 0 ? nw : sw) + '\n';
        }
    return "TITLE = \"generated\"\nZONE N=49, E=36, F=FEPOINT\n" + nodes + elements;
}

class Truncated : public ::testing::TestWithParam<std::string> {};

}  // namespace

// The file cut at 50 evenly spaced points and at the edges of its parts: no
// crash, a warning and exit status 1 whenever the cut falls inside the node
// table or inside an element, and the grid of the intact part, which the oracle
// writes out by hand (the same nodes, only the elements complete before the cut)
// and converts on its own.
TEST_P(Truncated, GivesTheGridOfTheIntactPart) {
    const Layout f(meshText(GetParam()));
    ASSERT_FALSE(f.numbers.empty());
    std::vector<std::size_t> cuts;
    for (std::size_t k = 0; k < 50; ++k) cuts.push_back(f.text.size() * k / 50);
    for (std::size_t c : {f.nodesStart - 1, f.nodesStart, f.fifthStart + 1, f.fifthEnd, f.numbers[0].first,
                          f.numbers[5].first + 1, f.numbers[3].second, f.numbers[6].second, f.text.size() - 1})
        cuts.push_back(c);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

    // About 40 by 30 cells over the whole mesh, both value modes.
    std::ostringstream grid;
    grid.precision(17);
    grid << f.xmin << ' ' << f.ymin << ' ' << f.xmax << ' ' << f.ymax << ' ' << (f.xmax - f.xmin) / 40 << ' '
         << (f.ymax - f.ymin) / 30;
    const std::string mode = GetParam().find_first_of("13579") != std::string::npos ? "Velocity" : "PileHeight";
    TempDir dir;
    std::string header = withoutElementCount(f.text.substr(0, f.nodesStart));
    for (const std::string& line : f.nodeLines) header += line;
    std::map<std::string, std::string> oracle;  // grid of each list of elements
    for (const std::size_t cut : cuts) {
        SCOPED_TRACE(GetParam() + " cut after " + std::to_string(cut) + " bytes");
        const Expected e = expectedFor(f, cut);
        if (!oracle.count(e.elements)) {
            dir.write("whole.dat", header + e.elements);
            dir.write("whole.cfg", config("whole.dat", grid.str(), mode));
            const RunResult r = runProgram(MESHRASTER_BINARY, {"whole.cfg"}, dir.path());
            ASSERT_EQ(r.status, 0) << r.err;
            oracle[e.elements] = readFile(dir.file("out.grd"));
        }
        dir.write("cut.dat", f.text.substr(0, cut));
        dir.write("cut.cfg", config("cut.dat", grid.str(), mode));
        const RunResult r = runProgram(MESHRASTER_BINARY, {"cut.cfg"}, dir.path());
        ASSERT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status;
        EXPECT_TRUE(r.out == "Asc File cut.dat\n" || r.out == "Asc File cut.dat not found...\n") << r.out;
        if (e.eitherWay)
            EXPECT_EQ(r.status == 1, r.err.rfind("cut.dat", 0) == 0) << r.err;
        else {
            EXPECT_EQ(r.status, e.warning ? 1 : 0) << r.err;
            EXPECT_EQ(r.err.rfind("cut.dat", 0) == 0, e.warning) << r.err;
        }
        EXPECT_EQ(readFile(dir.file("out.grd")), oracle[e.elements]);
    }
    // The cuts met many different intact parts, and the whole file is not empty of values.
    EXPECT_GT(oracle.size(), 15u);
    EXPECT_NE(oracle.rbegin()->second, oracle[""]);
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, Truncated, ::testing::ValuesIn(meshFiles()),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                             std::string name = param.param;
                             std::replace_if(
                                 name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });
