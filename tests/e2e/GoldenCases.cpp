// Golden end-to-end cases: each folder under tests/cases is copied into a fresh
// temporary folder, the real binary runs there, and what it printed, returned
// and left behind is compared byte for byte with the folder's expected files.
// tests/cases/README.md describes the files of a case.
//
// With MESHRASTER_UPDATE_CASES set in the environment, a run writes what it got
// into the case's folder first (stdout, stderr, status, NAME.expected): the way
// to make the expected files of a new case, to be read before committing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

const std::string kExpectedSuffix = ".expected";
#ifdef MESHRASTER_HAVE_GDAL
constexpr bool kHaveGdal = true;
#else
constexpr bool kHaveGdal = false;
#endif
const char* const kEmpty = "";

bool endsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Files of a case folder that say what to expect rather than being inputs.
bool isExpectation(const std::string& name) {
    static const std::set<std::string> names = {"args", "stdout", "stderr", "stderr.re", "status", "about", "requires"};
    return names.count(name) > 0 || endsWith(name, kExpectedSuffix);
}

// The case folders as the build found them, in order.
const std::vector<std::string> kCaseNames = {
#include "GoldenCaseNames.inc"
};

// A file of the case folder, or fallback when it is absent.
std::string caseFile(const fs::path& folder, const std::string& name, const std::string& fallback = kEmpty) {
    return fs::exists(folder / name) ? readFile((folder / name).string()) : fallback;
}

void writeCaseFile(const fs::path& folder, const std::string& name, const std::string& text) {
    std::ofstream(folder / name, std::ios::binary | std::ios::trunc) << text;
}

// The lines of text without their newlines.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

// Every entry of a folder with its content, those of its subfolders as
// "sub/name" (a run from another folder than its configuration's needs one);
// an entry that is neither a folder nor a regular file (a symbolic link is
// followed) stands as a marker.
std::map<std::string, std::string> folderContent(const fs::path& folder, bool inputsOnly,
                                                 const std::string& prefix = "") {
    std::map<std::string, std::string> content;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = prefix + entry.path().filename().string();
        if (inputsOnly && prefix.empty() && isExpectation(name)) continue;
        if (fs::is_directory(entry.path()) && !fs::is_symlink(entry.path()))
            content.merge(folderContent(entry.path(), inputsOnly, name + '/'));
        else
            content[name] =
                fs::is_regular_file(entry.path()) ? readFile(entry.path().string()) : "<not a regular file>";
    }
    return content;
}

// Empty when equal, else where the texts first differ, by line, so that a
// differing grid reads as its row.
std::string difference(const std::string& got, const std::string& expected) {
    if (got == expected) return "";
    const std::vector<std::string> a = lines(got), b = lines(expected);
    std::size_t k = 0;
    while (k < a.size() && k < b.size() && a[k] == b[k]) ++k;
    const auto show = [](const std::vector<std::string>& v, std::size_t i) {
        if (i >= v.size()) return std::string("(no line)");
        return "\"" + (v[i].size() > 200 ? v[i].substr(0, 200) + "..." : v[i]) + "\"";
    };
    return "first difference on line " + std::to_string(k + 1) + ": got " + show(a, k) + ", expected " + show(b, k) +
           " (" + std::to_string(got.size()) + " bytes, expected " + std::to_string(expected.size()) + ")";
}

void expectSame(const std::string& got, const std::string& expected, const std::string& what) {
    const std::string d = difference(got, expected);
    if (!d.empty()) ADD_FAILURE() << what << ": " << d;
}

// Writes what the run gave as the case's expectations.
void update(const fs::path& folder, const RunResult& r, const std::map<std::string, std::string>& before,
            const std::map<std::string, std::string>& after) {
    const auto keep = [&folder](const std::string& name, const std::string& text) {
        if (text.empty())
            fs::remove(folder / name);
        else
            writeCaseFile(folder, name, text);
    };
    keep("stdout", r.out);
    if (!fs::exists(folder / "stderr.re")) keep("stderr", r.err);
    writeCaseFile(folder, "status", std::to_string(r.status) + "\n");
    for (const auto& entry : fs::directory_iterator(folder))
        if (endsWith(entry.path().filename().string(), kExpectedSuffix)) fs::remove(entry.path());
    for (const auto& [name, text] : after) {
        const auto old = before.find(name);
        if (old == before.end() || old->second != text) writeCaseFile(folder, name + kExpectedSuffix, text);
    }
}

// A case run as its folder gives it (jobs 0), or with "--jobs N" put first:
// files converted one at a time, or at once, must give the same bytes.
struct Run {
    std::string folder;
    int jobs;
    int processes = 0;  // under mpirun -n processes, in the MPI build
};

// The case's arguments for a run. A case with no argument stays without one
// ("--jobs" alone would change what it tests), and so does a case that gives
// its own number of jobs.
std::vector<std::string> runArguments(const std::vector<std::string>& caseArgs, int jobs) {
    const bool ownJobs = std::any_of(caseArgs.begin(), caseArgs.end(), [](const std::string& a) {
        return a.rfind("-j", 0) == 0 || a.rfind("--jobs", 0) == 0;
    });
    if (jobs == 0 || caseArgs.empty() || ownJobs) return caseArgs;
    std::vector<std::string> args = {"--jobs", std::to_string(jobs)};
    args.insert(args.end(), caseArgs.begin(), caseArgs.end());
    return args;
}

// How a failure names its run.
void PrintTo(const Run& run, std::ostream* out) {
    *out << run.folder;
    if (run.jobs > 0) *out << " with --jobs " << run.jobs;
    if (run.processes > 0) *out << " on " << run.processes << " processes";
}

std::vector<Run> runs(int jobs) {
    std::vector<Run> all;
    for (const std::string& name : kCaseNames) all.push_back(Run{name, jobs});
    return all;
}

// Whether the case's file requires holds the word (a line of its own).
bool caseRequires(const fs::path& folder, const std::string& word) {
    for (const std::string& line : lines(caseFile(folder, "requires")))
        if (line == word) return true;
    return false;
}

// False for a case of the raster formats in a build without GDAL, and for the
// refusal of a build without it in one with GDAL.
bool runsInThisBuild(const fs::path& folder) {
    return caseRequires(folder, "gdal") ? kHaveGdal : !(caseRequires(folder, "nogdal") && kHaveGdal);
}

// The number of input files the case's configuration lists: the tokens after
// the sixteenth (mode word, six labelled numbers, the labelled output name and
// the input list's label).
std::size_t inputCount(const fs::path& folder, const std::vector<std::string>& args) {
    // Not /dev/zero, which some cases read as their configuration.
    const fs::path config = folder / (args.empty() ? "run.cfg" : args.back());
    if (!fs::is_regular_file(config)) return 0;
    std::istringstream in(readFile(config.string()));
    std::size_t tokens = 0;
    for (std::string token; in >> token;) ++tokens;
    return tokens > 16 ? tokens - 16 : 0;
}

#ifdef MESHRASTER_MPIEXEC
const char* const kLauncher = MESHRASTER_MPIEXEC;
#else
const char* const kLauncher = "mpirun";
#endif

// mpirun's arguments for the program on processes: as root too, more
// processes than processors, without mpirun's own lines on a failure, and
// without its wait of a second or two before it ends a run that failed.
std::vector<std::string> launcherArguments(int processes, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--allow-run-as-root", "--oversubscribe", "-q"};
    all.insert(all.end(), {"--mca", "odls_base_sigkill_timeout", "0"});
    all.insert(all.end(), {"-n", std::to_string(processes), MESHRASTER_BINARY});
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

void checkRun(const Run& run);

class Case : public testing::TestWithParam<Run> {};

}  // namespace

TEST_P(Case, Run) {
    if (!runsInThisBuild(fs::path(MESHRASTER_CASES_DIR) / GetParam().folder))
        GTEST_SKIP() << "this case is for a build " << (kHaveGdal ? "without" : "with") << " GDAL";
    checkRun(GetParam());
}

// Files converted one at a time or at once make the same grid and the same
// messages: every case with several input files, run with --jobs 1 and with
// --jobs 4, gives its expected bytes.
TEST(GoldenJobs, SeveralInputFilesGiveTheSameBytes) {
    int checked = 0;
    for (const std::string& name : kCaseNames) {
        const fs::path folder = fs::path(MESHRASTER_CASES_DIR) / name;
        if (!runsInThisBuild(folder) || inputCount(folder, lines(caseFile(folder, "args"))) < 2) continue;
        for (const int jobs : {1, 4}) {
            SCOPED_TRACE(name + " with --jobs " + std::to_string(jobs));
            checkRun({name, jobs});
            ++checked;
        }
    }
    EXPECT_GE(checked, 20) << "the cases with several input files were not found";
}

// One file's node table and elements cut into parts that threads read at
// once give what one reader gives: every case, each of its sections cut into
// parts of a few lines (MESHRASTER_ITEMS_AT_ONCE), on three threads, gives its
// expected bytes, messages and status. The cases hold what readers stumble on
// (cut files, words among the numbers, nodes over two lines, Fortran numbers),
// so each part's check that it read what one reader would is tried on them.
TEST(GoldenJobs, OneFileReadInPartsGivesTheSameBytes) {
    ::setenv("MESHRASTER_ITEMS_AT_ONCE", "2", 1);
    int checked = 0;
    for (const std::string& name : kCaseNames) {
        const fs::path folder = fs::path(MESHRASTER_CASES_DIR) / name;
        if (!runsInThisBuild(folder)) continue;
        SCOPED_TRACE(name + " read in parts on three threads");
        checkRun({name, 3});
        ++checked;
    }
    ::unsetenv("MESHRASTER_ITEMS_AT_ONCE");
    EXPECT_GE(checked, 100);
}

namespace {

void checkRun(const Run& run) {
    const fs::path folder = fs::path(MESHRASTER_CASES_DIR) / run.folder;
    const bool updating = run.jobs == 0 && std::getenv("MESHRASTER_UPDATE_CASES") != nullptr;
    ASSERT_TRUE(updating || fs::exists(folder / "status")) << "a case states its exit status in the file status";
    ASSERT_FALSE(fs::exists(folder / "stderr") && fs::exists(folder / "stderr.re")) << "stderr or stderr.re, not both";

    TempDir dir;
    const std::map<std::string, std::string> inputs = folderContent(folder, true);
    for (const auto& [name, text] : inputs) {
        fs::create_directories((fs::path(dir.path()) / name).parent_path());
        dir.write(name, text);
    }
    const std::vector<std::string> args = runArguments(lines(caseFile(folder, "args", "run.cfg\n")), run.jobs);
    const RunResult r = run.processes == 0 ? runProgram(MESHRASTER_BINARY, args, dir.path())
                                           : runProgram(kLauncher, launcherArguments(run.processes, args), dir.path());
    const std::map<std::string, std::string> after = folderContent(dir.path(), false);
    if (updating) update(folder, r, inputs, after);

    if (run.processes > 1 && caseRequires(folder, "one-process")) {
        // A format written from the whole grid, which no process of several
        // holds: refused before anything is read, nothing written.
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out.rfind("MeshRaster: ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("or run one process\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(after, inputs) << "the folder is as it was";
        return;
    }
    EXPECT_EQ(std::to_string(r.status) + "\n", caseFile(folder, "status")) << "exit status";
    expectSame(r.out, caseFile(folder, "stdout"), "standard output");
    if (fs::exists(folder / "stderr.re"))
        EXPECT_TRUE(std::regex_match(r.err, std::regex(caseFile(folder, "stderr.re")))) << "standard error:\n" << r.err;
    else
        expectSame(r.err, caseFile(folder, "stderr"), "standard error");

    // The folder afterwards: the inputs unchanged, except where NAME.expected
    // gives what NAME must hold, and nothing else.
    std::map<std::string, std::string> expected = inputs;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (endsWith(name, kExpectedSuffix))
            expected[name.substr(0, name.size() - kExpectedSuffix.size())] = readFile(entry.path().string());
    }
    for (const auto& [name, text] : expected) {
        const auto got = after.find(name);
        if (got == after.end())
            ADD_FAILURE() << name << " is missing after the run";
        else
            expectSame(got->second, text, name);
    }
    for (const auto& entry : after)
        EXPECT_TRUE(expected.count(entry.first)) << entry.first << " appeared, and the case expects no such file";
}

}  // namespace

const auto caseName = [](const testing::TestParamInfo<Run>& param) { return param.param.folder; };
INSTANTIATE_TEST_SUITE_P(Golden, Case, testing::ValuesIn(runs(0)), caseName);

#ifdef MESHRASTER_MPIEXEC
// The MPI build: every case run by mpirun on one, two and three processes
// gives its expected bytes, messages and status.
std::vector<Run> processRuns() {
    std::vector<Run> all;
    for (const std::string& name : kCaseNames)
        for (const int processes : {1, 2, 3}) all.push_back(Run{name, 0, processes});
    return all;
}
INSTANTIATE_TEST_SUITE_P(GoldenMpi, Case, testing::ValuesIn(processRuns()),
                         [](const testing::TestParamInfo<Run>& param) {
                             return param.param.folder + "_on_" + std::to_string(param.param.processes);
                         });
#endif
