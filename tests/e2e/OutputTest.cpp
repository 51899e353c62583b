// The grid file through the real binary where a golden case folder cannot hold
// the conditions: a file-size limit, a full file system, links, permission
// bits, a signal in the middle of the write, two runs at once, a failing
// standard output, and a failed allocation of the output block. Every run that
// can use both ways of making the temporary file (unnamed, and named where the
// file system refuses unnamed ones) runs with each.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"

namespace {

const std::string kOld = "old grid\n";

// A pile-height run onto cols x rows cells of 1, listing inputs, into out.
std::string config(int cols, int rows, const std::string& out = "out.grd", const std::string& inputs = "") {
    return "PileHeight\nxmin 0\nymin 0\nxmax " + std::to_string(cols) + "\nymax " + std::to_string(rows) +
           "\nresx 1\nresy 1\noutput " + out + "\ninput " + inputs + "\n";
}

// The warning of a configuration whose input list is empty, as config() makes it.
const std::string kEmptyList = "run.cfg:9: the input list names no file; every cell of the grid is 0\n";

// The grid file of config(cols, rows) with every cell 0 (or 2, for the square).
std::string gridText(int cols, int rows, const char* cell = "0 ") {
    std::string s =
        "GRIDREG\nINFO\nUNITS  meters\n"
        "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\nGRIDDEF " +
        std::to_string(cols) + ' ' + std::to_string(rows) + " 0 " + std::to_string(10000000 + rows) +
        " 1 1 3.4e+037\nINFO_END\n";
    std::string row;
    for (int c = 0; c < cols; ++c) row += cell;
    row += '\n';
    for (int r = 0; r < rows; ++r) s += row;
    return s + "END\n";
}

// A square over the whole of config(2, 2), pile height 2 at every node.
const char* const kSquare =
    "TITLE = \"square\"\nZONE N=4, E=1, F=FEPOINT\n-1 -1 2 3 4\n3 -1 2 3 4\n3 3 2 3 4\n-1 3 2 3 4\n1 2 3 4\n";

// Equal texts; on a difference, where it starts rather than two grids of megabytes.
testing::AssertionResult sameText(const std::string& got, const std::string& expected) {
    if (got == expected) return testing::AssertionSuccess();
    std::size_t k = 0;
    while (k < got.size() && k < expected.size() && got[k] == expected[k]) ++k;
    return testing::AssertionFailure() << "the texts differ from byte " << k << " on (" << got.size() << " bytes, "
                                       << expected.size() << " expected): \"" << got.substr(k, 40) << "\" for \""
                                       << expected.substr(k, 40) << '"';
}

// The entries of a folder, hidden ones included.
std::set<std::string> entries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

// The two ways the temporary file is made.
struct Way {
    const char* name;
    bool refuseUnnamed;
};
const Way kWays[] = {{"unnamed temporary file", false}, {"named temporary file", true}};

Launch launchIn(const TempDir& dir, const Way& way, const std::string& cfg = "run.cfg") {
    Launch l;
    l.args = {cfg};
    l.cwd = dir.path();
    l.refuseUnnamedFiles = way.refuseUnnamed;
    return l;
}

#define SKIP_WHEN_REFUSED(result)                                                                       \
    if ((result).status == kSetupRefused) GTEST_SKIP() << "the system refused the test's set-up";       \
    if ((result).status == kProgramUnreachable)                                                         \
        GTEST_SKIP() << "the other user cannot run the program: a folder above it is closed to others"; \
    static_assert(true)

}  // namespace

// Before, the file-size limit killed the program with SIGXFSZ and no message,
// leaving the first 16 KiB of the new grid in place of the old one.
TEST(Output, FileSizeLimitKeepsTheOldFile) {
    for (const Way& way : kWays) {
        TempDir dir;
        dir.write("run.cfg", config(200, 200));
        dir.write("out.grd", kOld);
        Launch l = launchIn(dir, way);
        l.fileSizeLimit = 16384;
        const RunResult r = runLaunch(l);
        SKIP_WHEN_REFUSED(r);
        EXPECT_EQ(r.status, 1) << way.name;
        EXPECT_EQ(r.out, "Can't write output file out.grd\n") << way.name;
        EXPECT_EQ(r.err, kEmptyList + "out.grd: " + std::strerror(EFBIG) + "\n") << way.name;
        EXPECT_TRUE(sameText(readFile(dir.file("out.grd")), kOld)) << way.name;
        EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"out.grd", "run.cfg"})) << way.name;
    }
}

// A disk that fills up during the write: a 64 KiB tmpfs in a mount namespace of
// its own, which needs root (or a user namespace); skipped where refused.
TEST(Output, FullFileSystemKeepsTheOldFile) {
    std::string unshare;
    for (const char* p : {"/usr/bin/unshare", "/bin/unshare"})
        if (fileExists(p)) unshare = p;
    if (unshare.empty()) GTEST_SKIP() << "no unshare";
    TempDir dir;
    std::filesystem::create_directory(dir.file("fs"));
    dir.write("run.cfg", config(200, 200));
    dir.write("mount.sh",
              "mount -t tmpfs -o size=64k meshraster-test fs || exit 125\n"
              "cp run.cfg fs/ && printf 'old grid\\n' > fs/out.grd && cd fs || exit 126\n"
              "\"$1\" run.cfg > ../stdout 2> ../stderr; echo $? > ../status\n"
              "cat out.grd > ../after; ls -A > ../entries\n");
    const RunResult setup = runProgram(unshare, {"--mount", "/bin/sh", "mount.sh", MESHRASTER_BINARY}, dir.path());
    if (setup.status == kSetupRefused || !fileExists(dir.file("status")))
        GTEST_SKIP() << "no tmpfs could be mounted: " << setup.err;
    EXPECT_EQ(readFile(dir.file("status")), "1\n");
    EXPECT_EQ(readFile(dir.file("stdout")), "Can't write output file out.grd\n");
    EXPECT_EQ(programErrors(readFile(dir.file("stderr"))), kEmptyList + "out.grd: " + std::strerror(ENOSPC) + "\n");
    EXPECT_TRUE(sameText(readFile(dir.file("after")), kOld));
    EXPECT_EQ(readFile(dir.file("entries")), "out.grd\nrun.cfg\n");
}

// The link stays a link and its target gets the grid; a rename onto the name
// itself would have put a file in place of the link.
TEST(Output, SymbolicLinkTargetIsReplaced) {
    struct Row {
        const char* what;
        const char* output;                                      // the name in the configuration
        std::vector<std::pair<const char*, const char*>> links;  // link name, its text
        const char* target;                                      // the file that gets the grid
        bool targetExists;
    };
    const Row rows[] = {
        {"a link to an old file", "out.grd", {{"out.grd", "real/target.grd"}}, "real/target.grd", true},
        {"a link to a new file", "out.grd", {{"out.grd", "real/target.grd"}}, "real/target.grd", false},
        {"a chain of links", "out.grd", {{"out.grd", "l2"}, {"l2", "real/target.grd"}}, "real/target.grd", true},
        {"a relative link in a folder",
         "sub/out.grd",
         {{"sub/out.grd", "../real/target.grd"}},
         "real/target.grd",
         true},
    };
    for (const Way& way : kWays) {
        for (const Row& row : rows) {
            const std::string what = std::string(row.what) + ", " + way.name;
            TempDir dir;
            std::filesystem::create_directory(dir.file("real"));
            std::filesystem::create_directory(dir.file("sub"));
            dir.write("run.cfg", config(3, 2, row.output));
            if (row.targetExists) dir.write(row.target, kOld);
            for (const auto& [name, text] : row.links) std::filesystem::create_symlink(text, dir.file(name));
            const RunResult r = runLaunch(launchIn(dir, way));
            SKIP_WHEN_REFUSED(r);
            EXPECT_EQ(r.status, 0) << what << ": " << r.out << r.err;
            EXPECT_TRUE(sameText(readFile(dir.file(row.target)), gridText(3, 2))) << what;
            for (const auto& [name, text] : row.links)
                EXPECT_EQ(std::filesystem::read_symlink(dir.file(name)).string(), text) << what;
            EXPECT_EQ(entries(dir.file("real")), std::set<std::string>{"target.grd"}) << what;
        }
    }
}

// A new file gets 0664 less the file-creation mask; a replaced one keeps its
// bits, whatever the mask. A named temporary file starts out as 0600, so both
// ways are checked.
TEST(Output, PermissionBits) {
    struct Row {
        int old;  // the old file's bits, -1 for no old file
        int mask;
        int expected;
    };
    const Row rows[] = {{-1, 0000, 0664},   {-1, 0022, 0644},   {-1, 0077, 0600},   {-1, 0002, 0664},
                        {0600, 0022, 0600}, {0640, 0077, 0640}, {0755, 0022, 0755}, {0666, 0077, 0666}};
    for (const Way& way : kWays) {
        for (const Row& row : rows) {
            TempDir dir;
            dir.write("run.cfg", config(3, 2));
            if (row.old >= 0) {
                dir.write("out.grd", kOld);
                ::chmod(dir.file("out.grd").c_str(), static_cast<mode_t>(row.old));
            }
            Launch l = launchIn(dir, way);
            l.umask = row.mask;
            const RunResult r = runLaunch(l);
            SKIP_WHEN_REFUSED(r);
            const std::string what =
                std::string(way.name) + ", old " + std::to_string(row.old) + ", umask " + std::to_string(row.mask);
            EXPECT_EQ(r.status, 0) << what;
            EXPECT_EQ(permissionBits(dir.file("out.grd")), row.expected) << what;
            EXPECT_TRUE(sameText(readFile(dir.file("out.grd")), gridText(3, 2))) << what;
        }
    }
}

// A user without root rights, for the runs that root would pass unhindered.
constexpr int kNobody = 65534;

// A grid file its owner made read-only is not replaced, as when it was written
// in place (a rename would replace it, since the folder is writable). Root may
// write any file, so under root the run is made as another user.
TEST(Output, ReadOnlyFileIsKept) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    dir.write("run.cfg", config(3, 2));
    dir.write("out.grd", kOld);
    ::chmod(dir.file("out.grd").c_str(), 0444);
    Launch l = launchIn(dir, kWays[0]);
    if (::geteuid() == 0) {
        l.user = kNobody;
        ASSERT_EQ(::chown(dir.file("out.grd").c_str(), kNobody, kNobody), 0);
    }
    const RunResult r = runLaunch(l);
    SKIP_WHEN_REFUSED(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Can't open output file out.grd\n");
    EXPECT_EQ(r.err, kEmptyList + "out.grd: " + std::strerror(EACCES) + "\n");
    EXPECT_EQ(readFile(dir.file("out.grd")), kOld);
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"out.grd", "run.cfg"}));
}

// Run by root, a replaced file keeps its owner and group: the new file is
// root's until it is given back. (Another user cannot give a file away.)
TEST(Output, ReplacedFileKeepsItsOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    for (const Way& way : kWays) {
        TempDir dir;
        dir.write("run.cfg", config(3, 2));
        dir.write("out.grd", kOld);
        ASSERT_EQ(::chown(dir.file("out.grd").c_str(), kNobody, kNobody), 0);
        ::chmod(dir.file("out.grd").c_str(), 0640);
        const RunResult r = runLaunch(launchIn(dir, way));
        SKIP_WHEN_REFUSED(r);
        EXPECT_EQ(r.status, 0) << way.name;
        struct stat info {};
        ASSERT_EQ(::stat(dir.file("out.grd").c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, static_cast<uid_t>(kNobody)) << way.name;
        EXPECT_EQ(info.st_gid, static_cast<gid_t>(kNobody)) << way.name;
        EXPECT_EQ(info.st_mode & 07777, 0640u) << way.name;
        EXPECT_TRUE(sameText(readFile(dir.file("out.grd")), gridText(3, 2))) << way.name;
    }
}

namespace {

// How the child's temporary file shows: a hidden name beside out.grd, or an
// unnamed file of dir among its descriptors; None while it has none.
enum class Temporary { None, Named, Unnamed };
Temporary temporaryOf(const ChildProcess& child, const TempDir& dir) {
    for (const std::string& name : entries(dir.path()))
        if (name.rfind(".out.grd.", 0) == 0) return Temporary::Named;
    const std::string fds = "/proc/" + std::to_string(child.pid()) + "/fd";
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(fds, ec)) {
        const std::string link = std::filesystem::read_symlink(e.path(), ec).string();
        if (link.rfind(dir.path() + "/", 0) == 0 && link.find("(deleted)") != std::string::npos)
            return Temporary::Unnamed;
    }
    return Temporary::None;
}

}  // namespace

// Before, an interrupted run left the part written so far in place of the old
// grid. Now the old file stays and no temporary file is left behind: the
// unnamed one vanishes with the process, the named one is removed by the
// signal's handler, and the process still ends by the signal.
TEST(Output, InterruptedRunLeavesTheOldFile) {
    for (const Way& way : kWays) {
        for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
            const std::string what = std::string(way.name) + ", signal " + std::to_string(sig);
            bool interrupted = false;
            // The signal must come while the file is written; a run that ends
            // first is tried again on a larger grid.
            for (int side = 2000; side <= 8000 && !interrupted; side *= 2) {
                TempDir dir;
                dir.write("run.cfg", config(side, side));
                dir.write("out.grd", kOld);
                ChildProcess child(launchIn(dir, way));
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                Temporary seen = Temporary::None;
                while (child.running() && seen == Temporary::None && std::chrono::steady_clock::now() < deadline) {
                    seen = temporaryOf(child, dir);
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                ::kill(child.pid(), sig);
                const RunResult& r = child.wait();
                SKIP_WHEN_REFUSED(r);
                if (r.status == 0) continue;
                interrupted = true;
                EXPECT_EQ(seen, way.refuseUnnamed ? Temporary::Named : Temporary::Unnamed) << what;
                EXPECT_EQ(r.status, 128 + sig) << what << ": " << r.out << r.err;
                EXPECT_TRUE(sameText(readFile(dir.file("out.grd")), kOld)) << what;
                EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"out.grd", "run.cfg"})) << what;
            }
            EXPECT_TRUE(interrupted) << what << ": every run ended before the signal came";
        }
    }
}

// A grid made in bands (--memory) holds two files beside the output while it
// writes: the spill of the bands, which has no name from the start, and the
// grid's temporary file. A signal then leaves the old grid and nothing else,
// with the temporary file named or not, and the process ends by the signal.
TEST(Output, InterruptedRunInBandsLeavesTheOldFile) {
    // The descriptors of the child that are files of dir without a name.
    const auto unnamedFiles = [](const ChildProcess& child, const TempDir& dir) {
        int count = 0;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(child.pid()) + "/fd", ec)) {
            const std::string link = std::filesystem::read_symlink(e.path(), ec).string();
            count += link.rfind(dir.path() + "/", 0) == 0 && link.find("(deleted)") != std::string::npos;
        }
        return count;
    };
    const std::string square =
        "TITLE = \"square\"\nZONE N=4, E=1, F=FEPOINT\n"
        "-1 -1 2 3 4\n-1 9000 1 3 4\n9000 9000 3 3 4\n9000 -1 0.5 3 4\n1 2 3 4\n";
    for (const Way& way : kWays) {
        for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
            const std::string what = std::string(way.name) + ", signal " + std::to_string(sig);
            bool interrupted = false;
            for (int side = 2000; side <= 8000 && !interrupted; side *= 2) {
                TempDir dir;
                dir.write("run.cfg", config(side, side, "out.grd", "a.dat"));
                dir.write("a.dat", square);
                dir.write("out.grd", kOld);
                Launch l = launchIn(dir, way);
                l.args = {"--memory", "16M", "--jobs", "2", "run.cfg"};
                ChildProcess child(l);
                // Both files are there once the grid's text is being written.
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                bool bothSeen = false;
                while (child.running() && !bothSeen && std::chrono::steady_clock::now() < deadline) {
                    const int unnamed = unnamedFiles(child, dir);
                    bool named = false;
                    for (const std::string& name : entries(dir.path()))
                        named = named || name.rfind(".out.grd.", 0) == 0;
                    bothSeen = way.refuseUnnamed ? unnamed >= 1 && named : unnamed >= 2;
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                ::kill(child.pid(), sig);
                const RunResult& r = child.wait();
                SKIP_WHEN_REFUSED(r);
                if (r.status == 0 || !bothSeen) continue;
                interrupted = true;
                EXPECT_EQ(r.status, 128 + sig) << what << ": " << r.out << r.err;
                EXPECT_TRUE(sameText(readFile(dir.file("out.grd")), kOld)) << what;
                EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"a.dat", "out.grd", "run.cfg"})) << what;
            }
            EXPECT_TRUE(interrupted) << what << ": every run ended before the signal came";
        }
    }
}

// Before, two runs on one name both exited 0 and left a file holding NUL bytes
// and two END lines. Now each writes its own temporary file and the later
// rename wins: one complete grid, never a mix.
TEST(Output, TwoRunsOnOneNameLeaveOneCompleteGrid) {
    const std::string a = gridText(1500, 1000), b = gridText(1000, 1500);
    for (const Way& way : kWays) {
        for (int round = 0; round < 3; ++round) {
            TempDir dir;
            dir.write("a.cfg", config(1500, 1000));
            dir.write("b.cfg", config(1000, 1500));
            dir.write("out.grd", kOld);
            ChildProcess first(launchIn(dir, way, "a.cfg"));
            ChildProcess second(launchIn(dir, way, "b.cfg"));
            const RunResult ra = first.wait(), rb = second.wait();
            SKIP_WHEN_REFUSED(ra);
            EXPECT_EQ(ra.status, 0) << way.name << ": " << ra.out << ra.err;
            EXPECT_EQ(rb.status, 0) << way.name << ": " << rb.out << rb.err;
            const std::string got = readFile(dir.file("out.grd"));
            EXPECT_TRUE(got == a || got == b) << way.name << ": a mix of " << got.size() << " bytes";
            EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"a.cfg", "b.cfg", "out.grd"})) << way.name;
        }
    }
}

// The grid comes first: a standard output that cannot take the messages stops
// nothing, and the exit status says that they were lost. Before, a pipe
// without a reader ended the run with SIGPIPE, and a closed standard output
// handed its descriptor to the next file opened.
TEST(Output, FailingStandardOutputStillWritesTheGrid) {
    struct Row {
        const char* what;
        Launch::Out out;
        const char* inputs;
        int status;
        const char* err;
    };
    const char* const lost = "standard output: can't write the messages\n";
    const Row rows[] = {
        {"closed (>&-)", Launch::Out::Closed, "q.dat", 1, lost},
        {"a pipe without a reader (| head -c0)", Launch::Out::PipeWithoutReader, "q.dat", 1, lost},
        {"/dev/full", Launch::Out::DevFull, "q.dat", 1, lost},
        {"a pipe without a reader, after a warning", Launch::Out::PipeWithoutReader, "missing.dat q.dat", 1,
         "missing.dat: can't open the file\nstandard output: can't write the messages\n"},
        // Only a message that is lost counts: this run has none to write.
        {"closed, no message to write", Launch::Out::Closed, "", 0, kEmptyList.c_str()},
    };
    for (const Row& row : rows) {
        TempDir dir;
        dir.write("run.cfg", config(2, 2, "out.grd", row.inputs));
        dir.write("q.dat", kSquare);
        Launch l = launchIn(dir, kWays[0]);
        l.out = row.out;
        const RunResult r = runLaunch(l);
        EXPECT_EQ(r.status, row.status) << row.what;
        EXPECT_EQ(r.err, row.err) << row.what;
        const bool converted = std::string(row.inputs).find("q.dat") != std::string::npos;
        EXPECT_TRUE(sameText(readFile(dir.file("out.grd")), converted ? gridText(2, 2, "2 ") : gridText(2, 2)))
            << row.what;
    }
}

// The output names the configuration or an input through a link: the same
// file, refused before anything is converted. Before, the input was
// overwritten and the run exited 0.
TEST(Output, OutputIsAnInputThroughALink) {
    struct Row {
        const char* what;
        bool hard;
        const char* linkTo;
        const char* problem;
    };
    const Row rows[] = {
        {"a hard link to an input", true, "q.dat", "the output file is also an input file"},
        {"a symbolic link to an input", false, "q.dat", "the output file is also an input file"},
        {"a hard link to the configuration", true, "run.cfg", "the output file is the configuration file"},
        {"a symbolic link to the configuration", false, "run.cfg", "the output file is the configuration file"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const std::string cfg = config(2, 2, "out.grd", "q.dat");
        dir.write("run.cfg", cfg);
        dir.write("q.dat", kSquare);
        if (row.hard)
            std::filesystem::create_hard_link(dir.file(row.linkTo), dir.file("out.grd"));
        else
            std::filesystem::create_symlink(row.linkTo, dir.file("out.grd"));
        const RunResult r = runLaunch(launchIn(dir, kWays[0]));
        EXPECT_EQ(r.status, 1) << row.what;
        EXPECT_EQ(r.out, std::string("ConfigFile run.cfg: ") + row.problem + "; name another output file\n")
            << row.what;
        EXPECT_EQ(r.err, "") << row.what;
        EXPECT_EQ(readFile(dir.file("q.dat")), kSquare) << row.what;
        EXPECT_EQ(readFile(dir.file("run.cfg")), cfg) << row.what;
        EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"out.grd", "q.dat", "run.cfg"})) << row.what;
    }
}

// /dev/stdout as the grid file is written through the name, as a device is,
// whatever standard output is: its link into /proc names a pipe by a text that
// is no path, and a file that the shell opened. Before the grid file was
// replaced whole, the link was followed to "pipe:[...]", which does not exist.
// (A case folder cannot hold this: its standard output is checked as messages.)
TEST(Output, StandardOutputAsTheGridFile) {
    const char* const shells[] = {"'%s' run.cfg | cat > got", "'%s' run.cfg > got"};
    for (const char* shell : shells) {
        TempDir dir;
        dir.write("run.cfg", config(2, 2, "/dev/stdout"));
        char command[4096];
        std::snprintf(command, sizeof command, shell, MESHRASTER_BINARY);
        const RunResult r = runProgram("/bin/sh", {"-c", command}, dir.path());
        EXPECT_EQ(r.status, 0) << shell << ": " << r.err;
        EXPECT_EQ(readFile(dir.file("got")), gridText(2, 2)) << shell;
        EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"got", "run.cfg"})) << shell;
    }
}

// Memory is short just when the output's block is needed: the smallest
// address-space limit under which the run succeeds is found, and 64 KiB less
// must give the output file's line, not an abort. Before, the failed block
// ended the run with std::bad_alloc (exit 134). Not under AddressSanitizer,
// which reserves terabytes of address space for itself.
TEST(Output, OutputBlockOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#endif
    TempDir dir;
    dir.write("run.cfg", config(2, 2));
    const auto runWithLimit = [&dir](rlim_t kib) {
        std::filesystem::remove(dir.file("out.grd"));
        Launch l = launchIn(dir, kWays[0]);
        l.addressSpaceLimit = kib * 1024;
        return runLaunch(l);
    };
    // Smallest limit, in steps of 64 KiB, that lets the run succeed.
    rlim_t low = 0, high = 1 << 20;  // KiB
    ASSERT_EQ(runWithLimit(high).status, 0);
    while (high - low > 64) {
        const rlim_t mid = (low + high) / 2 / 64 * 64;
        (runWithLimit(mid).status == 0 ? high : low) = mid;
    }
    // Just below it, the size check, which counts the writer's blocks, the
    // writer's own allocation or, as a grid beyond the limit is made in bands
    // whose text blocks shrink to fit, the reading of the configuration finds
    // the memory missing; none leaves anything behind.
    const RunResult r = runWithLimit(high - 64);
    EXPECT_EQ(r.status, 1) << "limit " << high - 64 << " KiB";
    const bool checked = r.err.find(", more than the address-space limit (ulimit -v); raise") != std::string::npos;
    const bool reading = r.err == "ConfigFile run.cfg:1: out of memory\n";
    EXPECT_EQ(r.out, checked || reading ? "" : "Can't write output file out.grd\n");
    EXPECT_TRUE(checked || reading || r.err == kEmptyList + "out.grd: out of memory\n") << r.err;
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"run.cfg"});
}

// output /dev/stdout with standard output redirected to a file: the "Asc File"
// lines were written over the grid's first bytes, exit 0. The file standard
// output names is now replaced as any output, and the messages go to
// standard error.
TEST(Output, GridOnStandardOutputRedirectedToAFileStaysWhole) {
    TempDir dir;
    dir.write("run.cfg", config(2, 2, "/dev/stdout", "q.dat"));
    dir.write("q.dat", kSquare);
    const RunResult r = runLaunch(launchIn(dir, kWays[0]));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameText(r.out, gridText(2, 2, "2 "))) << r.out;
    EXPECT_EQ(r.err, "Asc File q.dat\n");
}
