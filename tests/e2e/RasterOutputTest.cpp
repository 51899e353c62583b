// A raster written through GDAL keeps the promises of the text writer, through
// the real binary where a case folder cannot hold the conditions: a signal in
// the middle of the write, another user's read-only file, permission bits and
// the file-creation mask, a dangling link, and runs writing one name at once.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"

#ifdef MESHRASTER_HAVE_GDAL

namespace {

const std::string kOld = "old raster\n";

// A pile-height run onto cols x rows cells of 1 with no input, into out.
std::string config(int cols, int rows, const std::string& out) {
    return "PileHeight\nxmin 0\nymin 0\nxmax " + std::to_string(cols) + "\nymax " + std::to_string(rows) +
           "\nresx 1\nresy 1\noutput " + out + "\ninput\n";
}

std::set<std::string> entries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

Launch launch(const TempDir& dir, std::vector<std::string> args) {
    Launch l;
    l.args = std::move(args);
    l.cwd = dir.path();
    return l;
}

// The private folder a raster is written in, beside out.
bool hasPrivateFolder(const TempDir& dir, const std::string& out) {
    for (const std::string& name : entries(dir.path()))
        if (name.rfind("." + out + ".tmp-", 0) == 0) return true;
    return false;
}

constexpr int kNobody = 65534;

#define SKIP_WHEN_REFUSED(result)                                                                       \
    if ((result).status == kSetupRefused) GTEST_SKIP() << "the system refused the test's set-up";       \
    if ((result).status == kProgramUnreachable)                                                         \
        GTEST_SKIP() << "the other user cannot run the program: a folder above it is closed to others"; \
    static_assert(true)

}  // namespace

// Before, each of these signals left the hidden folder with a partial raster
// of hundreds of megabytes beside the output. Now the handler the text writer
// uses removes the folder with all in it, the old raster stays, and the
// process still ends by the signal.
TEST(RasterOutput, InterruptedWriteLeavesTheOldRasterAndNothingBeside) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        bool interrupted = false;
        // The signal must come while GDAL writes; a run that ends first is
        // tried again on a larger grid.
        for (int side = 3000; side <= 12000 && !interrupted; side *= 2) {
            TempDir dir;
            dir.write("run.cfg", config(side, side, "out.tif"));
            dir.write("out.tif", kOld);
            ChildProcess child(launch(dir, {"-f", "GTiff", "--co", "COMPRESS=DEFLATE", "run.cfg"}));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            bool seen = false;
            while (child.running() && !seen && std::chrono::steady_clock::now() < deadline) {
                seen = hasPrivateFolder(dir, "out.tif");
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            // Into the write, not at its first file.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ::kill(child.pid(), sig);
            const RunResult& r = child.wait();
            if (r.status == 0) continue;
            interrupted = true;
            EXPECT_TRUE(seen) << "signal " << sig;
            EXPECT_EQ(r.status, 128 + sig) << "signal " << sig << ": " << r.out << r.err;
            EXPECT_EQ(readFile(dir.file("out.tif")), kOld) << "signal " << sig;
            EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"out.tif", "run.cfg"})) << "signal " << sig;
        }
        EXPECT_TRUE(interrupted) << "signal " << sig << ": every run ended before the signal came";
    }
}

// Before, another user's read-only p.tif was replaced, exit 0, and became the
// caller's. Now it is refused as the text writer refuses it, and so is a
// read-only side file the raster would replace.
TEST(RasterOutput, ReadOnlyRasterOrSideFileIsKept) {
    struct Row {
        const char* readOnly;  // the file made read-only
        const char* format;
        const char* out;
        const char* err;  // after "OUT: "
    };
    const std::string denied = std::strerror(EACCES);
    const Row rows[] = {
        {"p.tif", "GTiff", "p.tif", ""},
        {"p.prj", "AAIGrid", "p.asc", "its side file p.prj: "},
    };
    for (const Row& row : rows) {
        TempDir dir;
        ::chmod(dir.path().c_str(), 0777);
        dir.write("run.cfg", config(3, 2, row.out));
        dir.write(row.readOnly, kOld);
        ::chmod(dir.file(row.readOnly).c_str(), 0444);
        Launch l = launch(dir, {"-f", row.format, "--srs", "EPSG:32632", "run.cfg"});
        if (::geteuid() == 0) {
            l.user = kNobody;
            ASSERT_EQ(::chown(dir.file(row.readOnly).c_str(), kNobody, kNobody), 0);
        }
        const RunResult r = runLaunch(l);
        SKIP_WHEN_REFUSED(r);
        EXPECT_EQ(r.status, 1) << row.readOnly;
        EXPECT_EQ(r.out, "Can't open output file " + std::string(row.out) + "\n") << row.readOnly;
        EXPECT_EQ(r.err, "run.cfg:9: the input list names no file; every cell of the grid is 0\n" +
                             std::string(row.out) + ": " + row.err + denied + "\n")
            << row.readOnly;
        EXPECT_EQ(readFile(dir.file(row.readOnly)), kOld) << row.readOnly;
        EXPECT_EQ(entries(dir.path()), (std::set<std::string>{row.readOnly, "run.cfg"})) << row.readOnly;
    }
}

// Before, a new raster under umask 0 got 0666 (the text writer: 0664) and the
// .prj of a 0600 raster became 0644. Now a new raster gets 0664 less the mask,
// a replaced one keeps its bits, and every side file gets the raster's.
TEST(RasterOutput, PermissionBitsOfTheRasterAndItsSideFiles) {
    struct Row {
        int old;  // the old raster's bits, -1 for none
        int mask;
        int expected;
    };
    const Row rows[] = {{-1, 0000, 0664}, {-1, 0022, 0644}, {-1, 0077, 0600}, {0600, 0000, 0600}, {0640, 0022, 0640}};
    for (const Row& row : rows) {
        const std::string what = "old " + std::to_string(row.old) + ", umask " + std::to_string(row.mask);
        TempDir dir;
        dir.write("run.cfg", config(3, 2, "r.asc"));
        if (row.old >= 0) {
            dir.write("r.asc", kOld);
            ::chmod(dir.file("r.asc").c_str(), static_cast<mode_t>(row.old));
        }
        Launch l = launch(dir, {"-f", "AAIGrid", "--srs", "EPSG:32632", "run.cfg"});
        l.umask = row.mask;
        const RunResult r = runLaunch(l);
        SKIP_WHEN_REFUSED(r);
        EXPECT_EQ(r.status, 0) << what << ": " << r.out << r.err;
        EXPECT_EQ(permissionBits(dir.file("r.asc")), row.expected) << what;
        EXPECT_EQ(permissionBits(dir.file("r.prj")), row.expected) << what;
    }
}

// Before, a dangling link as the output was replaced by a regular file. Now,
// as for the text, the link stays and the file it names is made, with its side
// file beside it.
TEST(RasterOutput, DanglingLinkCreatesItsTarget) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("real"));
    dir.write("run.cfg", config(3, 2, "out.asc"));
    std::filesystem::create_symlink("real/grid.asc", dir.file("out.asc"));
    const RunResult r = runLaunch(launch(dir, {"-f", "AAIGrid", "--srs", "EPSG:32632", "run.cfg"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("out.asc")));
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("out.asc")).string(), "real/grid.asc");
    EXPECT_EQ(entries(dir.file("real")), (std::set<std::string>{"grid.asc", "grid.prj"}));
    EXPECT_EQ(readFile(dir.file("real/grid.asc")).substr(0, 8), "ncols   ");
}

// Before, of five runs writing one AAIGrid name with different reference
// systems, the raster sometimes came with another run's .prj (3 and 5 rounds
// of 20). Now each run's files are renamed as one unit under the folder's
// lock: the raster's width (each run's own) always comes with its own .prj.
TEST(RasterOutput, ConcurrentRunsNeverMixRasterAndSideFile) {
    const char* const systems[] = {"EPSG:32632", "EPSG:32633", "EPSG:4326", "EPSG:3857", "EPSG:25832"};
    constexpr int kRuns = 5;
    // What each run writes alone.
    std::vector<std::string> prj(kRuns);
    for (int k = 0; k < kRuns; ++k) {
        TempDir dir;
        dir.write("run.cfg", config(400 + k, 300, "r.asc"));
        const RunResult r = runLaunch(launch(dir, {"-f", "AAIGrid", "--srs", systems[k], "run.cfg"}));
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        prj[k] = readFile(dir.file("r.prj"));
    }
    for (int round = 0; round < 6; ++round) {
        TempDir dir;
        for (int k = 0; k < kRuns; ++k) dir.write(std::to_string(k) + ".cfg", config(400 + k, 300, "r.asc"));
        std::vector<std::unique_ptr<ChildProcess>> runs;
        for (int k = 0; k < kRuns; ++k)
            runs.push_back(std::make_unique<ChildProcess>(
                launch(dir, {"-q", "-f", "AAIGrid", "--srs", systems[k], std::to_string(k) + ".cfg"})));
        for (auto& run : runs) EXPECT_EQ(run->wait().status, 0) << run->wait().out << run->wait().err;
        const std::string raster = readFile(dir.file("r.asc"));
        ASSERT_EQ(raster.compare(0, 8, "ncols   "), 0) << round;
        const int k = std::stoi(raster.substr(8)) - 400;
        ASSERT_TRUE(k >= 0 && k < kRuns) << round;
        EXPECT_EQ(readFile(dir.file("r.prj")), prj[k]) << "round " << round << ": the raster of " << systems[k];
        EXPECT_EQ(entries(dir.path()).size(), kRuns + 2u) << round;
    }
}

#endif
