// A run across processes under mpirun, in the MPI build, where a golden case
// cannot go: one process killed while the others wait for it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "TestSupport.h"

#ifdef MESHRASTER_MPIEXEC

namespace {

const char* const kMesh =
    "VARIABLES = \"X\", \"Y\", \"Z\", \"PILE_HEIGHT\", \"VX\", \"VY\"\n"
    "ZONE N=4, E=1, F=FEPOINT, ET=QUADRILATERAL\n"
    "0 0 0 1 0 0\n0 -20 0 2 0 0\n30 -20 0 3 0 0\n30 0 0 4 0 0\n"
    "1 2 3 4\n";

// The number of the process of the binary that mpirun started as rank, in
// folder; 0 when none is seen within seconds.
pid_t processOfRank(int rank, const std::string& folder, int seconds) {
    const std::string wanted = "OMPI_COMM_WORLD_RANK=" + std::to_string(rank);
    const auto binary = std::filesystem::canonical(MESHRASTER_BINARY);
    const auto cwd = std::filesystem::canonical(folder);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string pid = entry.path().filename().string();
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            std::error_code e1, e2;
            if (std::filesystem::read_symlink(entry.path() / "exe", e1) != binary || e1) continue;
            if (std::filesystem::read_symlink(entry.path() / "cwd", e2) != cwd || e2) continue;
            const std::string environ = readFile((entry.path() / "environ").string());
            if (environ.find(wanted + '\0') != std::string::npos) return static_cast<pid_t>(std::stol(pid));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

// A mesh of side x side nodes over [0, 1000] x [0, 1000], turned by angle
// (radians) about the centre: axis-aligned rectangles when 0, else quads
// filled as triangles; its values vary with the file and the node.
std::string bigMesh(int side, double angle, int seed) {
    std::string text = "VARIABLES = \"X\", \"Y\", \"Z\", \"PILE_HEIGHT\", \"VX\", \"VY\"\n";
    text += "ZONE N=" + std::to_string(side * side) + ", E=" + std::to_string((side - 1) * (side - 1)) +
            ", F=FEPOINT, ET=QUADRILATERAL\n";
    char line[160];
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j) {
            const double x = 1000.0 * i / (side - 1) - 500, y = 1000.0 * j / (side - 1) - 500;
            const double h = std::sin(0.01 * i * seed) + std::cos(0.013 * j) + 2 + (i * 7 + j * seed) % 11 * 0.01;
            std::snprintf(line, sizeof line, "%.9g %.9g 0 %.9g 0 0\n", 500 + x * std::cos(angle) - y * std::sin(angle),
                          500 + x * std::sin(angle) + y * std::cos(angle), h);
            text += line;
        }
    for (int i = 0; i + 1 < side; ++i)
        for (int j = 0; j + 1 < side; ++j) {
            const int a = i * side + j + 1;
            // Counter-clockwise from the south-east corner, first edge vertical.
            std::snprintf(line, sizeof line, "%d %d %d %d\n", a + side, a + side + 1, a + 1, a);
            text += line;
        }
    return text;
}

}  // namespace

// Elements enough to fill the buffers of every process many times over, in
// files that cover the whole grid, so that each process sends to every other
// and waits for room: three processes give the bytes and lines of one.
TEST(Processes, ManyElementsToEveryBandGiveTheGridOfOneProcess) {
    TempDir dir;
    dir.write("a.dat", bigMesh(260, 0, 3));
    dir.write("b.dat", bigMesh(240, 0.3, 5));
    dir.write("c.dat", bigMesh(200, 0, 7));
    dir.write("run.cfg",
              "PileHeight xmin 0 ymin 0 xmax 1000 ymax 1000 resx 1 resy 1 output out.grd input a.dat b.dat "
              "c.dat\n");
    const RunResult one = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
    ASSERT_EQ(one.status, 0) << one.err;
    const std::string expected = readFile(dir.file("out.grd"));
    for (const char* jobs : {"1", "2"}) {
        SCOPED_TRACE(std::string("three processes of ") + jobs + " threads");
        std::remove(dir.file("out.grd").c_str());
        const RunResult three = runProgram(
            MESHRASTER_MPIEXEC,
            {"--allow-run-as-root", "--oversubscribe", "-q", "-n", "3", MESHRASTER_BINARY, "-j", jobs, "run.cfg"},
            dir.path());
        EXPECT_EQ(three.status, 0) << three.err;
        EXPECT_EQ(three.out, one.out);
        EXPECT_EQ(three.err, one.err);
        EXPECT_TRUE(readFile(dir.file("out.grd")) == expected) << "the grids differ";
    }
}

// Processes started with other arguments (mpirun's "A : B"): process 1
// cannot open its configuration, so no process reads anything, and process 0
// says why in process 1's own words; the old grid stays.
TEST(Processes, AProcessThatCannotStartIsReportedByProcessZero) {
    TempDir dir;
    dir.write("q.dat", kMesh);
    dir.write("run.cfg", "PileHeight xmin 0 ymin -20 xmax 30 ymax 0 resx 10 resy 10 output out.grd input q.dat\n");
    dir.write("out.grd", "the old grid\n");
    const RunResult r = runProgram(MESHRASTER_MPIEXEC,
                                   {"--allow-run-as-root", "--oversubscribe", "-q", "-n", "1", MESHRASTER_BINARY,
                                    "run.cfg", ":", "-n", "1", MESHRASTER_BINARY, "missing.cfg"},
                                   dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "MeshRaster: process 1 of 2 cannot start the run:\nCan't open ConfigFile missing.cfg\n");
    EXPECT_EQ(readFile(dir.file("out.grd")), "the old grid\n");
}

// The second input is a named pipe, which process 1 waits on while process 0
// waits for process 1's elements. Process 1 killed there ends the run with a
// failure, and the old grid stays: no part of a grid is published.
TEST(Processes, OneProcessKilledEndsTheRunWithoutPublishingAGrid) {
    TempDir dir;
    dir.write("q.dat", kMesh);
    dir.write("run.cfg",
              "PileHeight xmin 0 ymin -20 xmax 30 ymax 0 resx 10 resy 10 output out.grd input q.dat slow.dat\n");
    dir.write("out.grd", "the old grid\n");
    ASSERT_EQ(::mkfifo(dir.file("slow.dat").c_str(), 0600), 0);
    Launch launch;
    launch.program = MESHRASTER_MPIEXEC;
    launch.args = {"--allow-run-as-root", "--oversubscribe", "-q", "-n", "2", MESHRASTER_BINARY, "run.cfg"};
    launch.cwd = dir.path();
    ChildProcess run(launch);
    const pid_t second = processOfRank(1, dir.path(), 30);
    ASSERT_NE(second, 0) << "process 1 of the run was not found";
    ASSERT_EQ(::kill(second, SIGKILL), 0);
    const RunResult& r = run.wait();
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(readFile(dir.file("out.grd")), "the old grid\n");
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "q.dat" || name == "run.cfg" || name == "out.grd" || name == "slow.dat") << name;
        ++entries;
    }
    EXPECT_EQ(entries, 4);
}

#endif
