#include "WholeRun.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "BenchData.h"
#include "Files.h"
#include "LimitParts.h"
#include "Measure.h"

namespace {

// Before every timed variant, whether the binary or a part of the limit: the
// outputs of the one before removed and every dirty page written back, so that
// each starts with the same files and a clean page cache (the binary makes its
// grid durable, and writing it back would fall on whichever ran next). The
// benchmark's heap is trimmed too: a child's peak memory counts the pages it
// shared with its parent at the fork, and a small parent forks quickly.
void settle(const std::vector<std::string>& outputs) {
    for (const std::string& path : outputs) std::remove(path.c_str());
    ::sync();
    malloc_trim(0);
}

// The inputs read once, so that every variant finds them in the page cache.
void cacheInputs(const std::vector<std::string>& files) {
    for (const std::string& name : files) readThrough(name);
}

// The binary's run was clean: exit status 0, one "Asc File" line for each
// input and nothing else, nothing on standard error.
bool isClean(const RunResult& r, const std::vector<std::string>& inputs) {
    std::string expected;
    for (const std::string& name : inputs) expected += "Asc File " + name + '\n';
    return r.status == 0 && r.out == expected && r.err.empty();
}

// The last line the binary wrote, on standard error or else on standard
// output: what it said when it refused.
std::string lastLine(const RunResult& r) {
    std::string text = r.err.empty() ? r.out : r.err;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
}

std::string exact(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// The figures of whole runs on one data set, repetitions side by side.
struct RunFigures {
    Samples one, two, io;                       // the binary with -j 1 and -j 2; the iostream design
    Samples scan, format, write, sum;           // the bare limit and its parts
    Samples durable;                            // the write with its fsync, beside the limit
    long peakOne = 0, peakTwo = 0, peakIo = 0;  // KiB
    long long scanned = 0, nonZero = 0;
    bool clean = true, sameJobs = true, sameIo = true, identical = true, limitRan = true;
    std::string limitError;
};

// Every variant a child process, after settle: the binary with -j 1 and -j 2
// (timed from outside, start to exit), the iostream design (withIostream) and
// the three parts of the limit (each timed inside its own fresh process);
// withDurable also, beside the limit, the write made durable by fsync, as the
// binary makes its grid. Each grid is
// compared with that of one untimed run before them, which also brings the
// binary into the page cache.
RunFigures measureRun(const RunData& d, const RunSetup& s, bool withIostream, bool withDurable) {
    RunFigures f;
    const TempDir& dir = *s.dir;
    const std::string reference = dir.file("reference.grd"), bare = dir.file("bare.grd");
    const std::vector<std::string> outputs{d.output, bare};
    cacheInputs(d.files);
    settle(outputs);
    f.clean = isClean(runProgram(s.program, {"-j", "1", d.config}, dir.path()), d.files);
    std::rename(d.output.c_str(), reference.c_str());
    const auto runBinary = [&](const std::vector<std::string>& args, Samples& samples, long& peak) {
        settle(outputs);
        const RunResult r = runProgram(args[0], {args.begin() + 1, args.end()}, dir.path());
        samples.t.push_back(r.seconds);
        peak = std::max(peak, r.peakKiB);
        f.clean = f.clean && isClean(r, d.files);
        return sameFiles(d.output, reference);
    };
    const auto runPart = [&](const std::vector<std::string>& args, Samples& samples) {
        settle(outputs);
        const PartReport r = limitPart(s.self, args, dir.path());
        samples.t.push_back(r.seconds);
        if (!r.ran) f.limitRan = false, f.limitError = r.error;
        return r;
    };
    std::vector<std::string> scanArgs{"scan"};
    scanArgs.insert(scanArgs.end(), d.files.begin(), d.files.end());
    const std::vector<std::string> formatArgs{"format",           reference,          exact(d.par.xmin_),
                                              exact(d.par.xmax_), exact(d.par.ymin_), exact(d.par.ymax_),
                                              exact(d.par.resx_), exact(d.par.resy_)};
    for (int rep = 0; rep < s.reps; ++rep) {
        f.sameJobs = runBinary({s.program, "-j", "1", d.config}, f.one, f.peakOne) && f.sameJobs;
        f.sameJobs = runBinary({s.program, "-j", "2", d.config}, f.two, f.peakTwo) && f.sameJobs;
        if (withIostream) f.sameIo = runBinary({s.self, "--iostream-design", d.config}, f.io, f.peakIo) && f.sameIo;
        f.scanned = runPart(scanArgs, f.scan).count;
        const PartReport formatted = runPart(formatArgs, f.format);
        f.nonZero = formatted.count;
        f.identical = f.identical && formatted.identical;
        runPart({"write", reference, bare}, f.write);
        f.sum.t.push_back(f.scan.t.back() + f.format.t.back() + f.write.t.back());
        if (withDurable) runPart({"write", reference, bare, "fsync"}, f.durable);
    }
    settle(outputs);
    std::remove(reference.c_str());
    return f;
}

void removeAll(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) std::remove(path.c_str());
}

// The binary's peak memory against its target: the grid's cells (or the
// memory limit given), each thread holding one file's node table (16 bytes of
// coordinates and 8 of value a node), and 32 MiB.
void printPeak(const char* what, long peakKiB, long long held, int jobs, long long maxNodes) {
    const long long budget = held + 24LL * jobs * maxNodes + (32LL << 20);
    std::printf("  peak memory %s: %s, %.0f %% of %.1f MiB + %d x 24 B x %lld nodes + 32 MiB = %s\n", what,
                mib(peakKiB).c_str(), 100.0 * static_cast<double>(peakKiB) * 1024.0 / static_cast<double>(budget),
                static_cast<double>(held) / 1048576.0, jobs, maxNodes, mib(static_cast<long>(budget / 1024)).c_str());
}

}  // namespace

void benchRun(long long nodes, int side, const RunSetup& s, bool& ok) {
    const RunData d = makeRunData(nodes, side, *s.dir);
    const long long cells = static_cast<long long>(side) * side;
    const double mb = static_cast<double>(d.bytes) / 1e6, mcells = static_cast<double>(cells) / 1e6;
    std::printf(
        "\n3. Whole run: 4 Tecplot files, %lld nodes (largest file %lld), %lld elements, %.1f MB; "
        "grid %d x %d\n",
        d.totalNodes, d.maxNodes, d.elements, mb, side, side);
    std::printf("  (every row a fresh process after sync; the limit's parts timed inside theirs)\n");
    std::fflush(stdout);
    const RunFigures f = measureRun(d, s, true, true);
    const double totalNodes = static_cast<double>(d.totalNodes);
    printRow("binary -j 1, child process (wall)", f.one, mb, "B", totalNodes, "node");
    printRow("binary -j 2, child process (wall)", f.two, mb, "B", totalNodes, "node");
    printRow("iostream design, child process (wall)", f.io, mb, "B", totalNodes, "node");
    printRow("limit: bare from_chars scan of the input", f.scan, mb, "B", totalNodes, "node");
    printRow("limit: bare to_chars of the grid", f.format, mcells, "cells", static_cast<double>(cells), "cell");
    printRow("limit: one write of the grid text", f.write, mcells, "cells", static_cast<double>(cells), "cell");
    printRow("limit: the sum", f.sum, mb, "B", totalNodes, "node");
    printRow("beside it: the write and its fsync", f.durable, mcells, "cells", static_cast<double>(cells), "cell");
    printRatio("binary -j 1 / limit", f.one, f.sum);
    printRatio("binary -j 2 / limit", f.two, f.sum);
    printRatio("iostream design / binary -j 1", f.io, f.one);
    printPeak("-j 1", f.peakOne, 8 * cells, 1, d.maxNodes);
    printPeak("-j 2", f.peakTwo, 8 * cells, 2, d.maxNodes);
    std::printf("  peak memory of the iostream design: %s\n", mib(f.peakIo).c_str());
    check(ok, "the binary exits 0, reports the 4 files and nothing else, writes nothing on standard error", f.clean);
    check(ok, "-j 1 and -j 2 write byte-identical grids", f.sameJobs);
    check(ok, "the iostream design writes the same grid", f.sameIo);
    check(ok, "every part of the limit ran in its own process" + (f.limitRan ? "" : ": " + f.limitError), f.limitRan);
    check(ok, "the grid is byte-identical to the bare formatting of its cells", f.identical);
    check(ok, "the bare scan reads all " + std::to_string(f.scanned) + " numbers of the input",
          f.scanned == 5 * d.totalNodes + 4 * d.elements);
    check(ok, "the grid has non-zero cells: " + std::to_string(f.nonZero), f.nonZero > 0);
    removeAll(d.files);
}

void benchOneFile(long long nodes, int side, const RunSetup& s, bool& ok) {
    const TempDir& dir = *s.dir;
    const RunData d = makeRunData(nodes, side, dir);
    std::string one;
    {
        std::vector<std::string> texts(d.files.size());
        for (std::size_t k = 0; k < d.files.size(); ++k) readWhole(d.files[k], texts[k]);
        one = dir.write("onefile.tec", joinZones(texts));
    }
    const std::string output = dir.file("onefile.grd"), reference = dir.file("reference.grd");
    const std::string config = writeConfig("onefile.cfg", d.par, output, {one}, dir);
    const double mb = static_cast<double>(readThrough(one)) / 1e6;
    std::printf("\n7. One file: the whole run's 4 files as one (one header, 4 zones), %.1f MB; grid %d x %d\n", mb,
                side, side);
    std::fflush(stdout);
    // The four files once, untimed: the grid the one file must give.
    cacheInputs(d.files);
    settle({d.output});
    bool clean = isClean(runProgram(s.program, {"-j", "1", d.config}, dir.path()), d.files);
    std::rename(d.output.c_str(), reference.c_str());
    removeAll(d.files);
    bool same = true;
    Samples jobs[2];
    long peak[2] = {0, 0};
    for (int rep = 0; rep < s.reps; ++rep) {
        for (int j = 0; j < 2; ++j) {
            settle({output});
            const RunResult r = runProgram(s.program, {"-j", std::to_string(j + 1), config}, dir.path());
            jobs[j].t.push_back(r.seconds);
            peak[j] = std::max(peak[j], r.peakKiB);
            clean = clean && isClean(r, {one});
            same = sameFiles(output, reference) && same;
        }
    }
    const double totalNodes = static_cast<double>(d.totalNodes);
    printRow("binary -j 1, one file", jobs[0], mb, "B", totalNodes, "node");
    printRow("binary -j 2, one file", jobs[1], mb, "B", totalNodes, "node");
    printRatio("-j 2 / -j 1", jobs[1], jobs[0]);
    std::printf("  peak memory: -j 1 %s, -j 2 %s\n", mib(peak[0]).c_str(), mib(peak[1]).c_str());
    check(ok, "the binary exits 0, reports the one file and nothing else, writes nothing on standard error", clean);
    check(ok, "-j 1 and -j 2 write the grid of the 4 files, byte for byte", same);
    removeAll({output, reference, one, config});
}

void benchBands(long long nodes, int side, const RunSetup& s, bool& ok) {
    const TempDir& dir = *s.dir;
    const RunData d = makeRunData(nodes, side, dir);
    const long long cells = static_cast<long long>(side) * side, limit = 8 * cells / 4;
    const std::string limitText = std::to_string(limit), reference = dir.file("reference.grd");
    const double mb = static_cast<double>(d.bytes) / 1e6;
    std::printf("\n8. Bands: the whole run's grid, %d x %d (%.1f MiB of cells), with --memory %s (a quarter)\n", side,
                side, static_cast<double>(8 * cells) / 1048576.0, limitText.c_str());
    std::fflush(stdout);
    cacheInputs(d.files);
    settle({d.output});
    bool clean = isClean(runProgram(s.program, {"-j", "1", d.config}, dir.path()), d.files);
    std::rename(d.output.c_str(), reference.c_str());
    settle({d.output});
    const RunResult probe = runProgram(s.program, {"--memory", limitText, "-j", "1", d.config}, dir.path());
    if (probe.status == 2) {
        std::printf("  not available: the binary refuses --memory (exit status 2: %s)\n", lastLine(probe).c_str());
        removeAll(d.files);
        removeAll({d.output, reference, d.config});
        return;
    }
    clean = clean && isClean(probe, d.files);
    bool same = sameFiles(d.output, reference);
    Samples whole[2], banded[2];
    long peakWhole[2] = {0, 0}, peakBanded[2] = {0, 0};
    const auto runOnce = [&](int jobs, bool limited, Samples& samples, long& peak) {
        settle({d.output});
        std::vector<std::string> args{"-j", std::to_string(jobs), d.config};
        if (limited) args.insert(args.begin(), {"--memory", limitText});
        const RunResult r = runProgram(s.program, args, dir.path());
        samples.t.push_back(r.seconds);
        peak = std::max(peak, r.peakKiB);
        clean = clean && isClean(r, d.files);
        same = sameFiles(d.output, reference) && same;
    };
    for (int rep = 0; rep < s.reps; ++rep)
        for (int j = 0; j < 2; ++j) {
            runOnce(j + 1, false, whole[j], peakWhole[j]);
            runOnce(j + 1, true, banded[j], peakBanded[j]);
        }
    const double totalNodes = static_cast<double>(d.totalNodes);
    const std::string memory = "--memory " + limitText;
    printRow("binary -j 1, no limit", whole[0], mb, "B", totalNodes, "node");
    printRow(("binary -j 1, " + memory).c_str(), banded[0], mb, "B", totalNodes, "node");
    printRow("binary -j 2, no limit", whole[1], mb, "B", totalNodes, "node");
    printRow(("binary -j 2, " + memory).c_str(), banded[1], mb, "B", totalNodes, "node");
    printRatio("-j 1 bands / no limit", banded[0], whole[0]);
    printRatio("-j 2 bands / no limit", banded[1], whole[1]);
    std::printf("  peak memory without a limit: -j 1 %s, -j 2 %s\n", mib(peakWhole[0]).c_str(),
                mib(peakWhole[1]).c_str());
    printPeak("-j 1 in bands", peakBanded[0], limit, 1, d.maxNodes);
    printPeak("-j 2 in bands", peakBanded[1], limit, 2, d.maxNodes);
    check(ok, "the binary exits 0, reports the 4 files and nothing else, writes nothing on standard error", clean);
    check(ok, "the grid in bands is byte-identical to the grid without a limit", same);
    removeAll(d.files);
    removeAll({d.output, reference, d.config});
}

void benchProcesses(long long nodes, int side, const RunSetup& s, const std::string& launcher, bool& ok) {
    const TempDir& dir = *s.dir;
    std::printf("\n9. Processes: the whole run under %s -n 1, 2 and 3, one thread each\n", launcher.c_str());
    std::fflush(stdout);
    const RunData d = makeRunData(nodes, side, dir);
    const std::string reference = dir.file("reference.grd");
    const auto launch = [&](int processes) {
        // Shared memory between the processes of one machine (ob1, vader):
        // the other transports' start (UCX looking for a network) took 0.3 s
        // a process here, which is no part of MeshRaster's work.
        std::vector<std::string> args{"--allow-run-as-root", "--oversubscribe", "-q", "--bind-to", "none"};
        args.insert(args.end(), {"--mca", "pml", "ob1", "--mca", "btl", "self,vader"});
        args.insert(args.end(), {"-n", std::to_string(processes), s.program, "-j", "1", d.config});
        return args;
    };
    cacheInputs(d.files);
    settle({d.output});
    bool clean = isClean(runProgram(s.program, {"-j", "1", d.config}, dir.path()), d.files);
    std::rename(d.output.c_str(), reference.c_str());
    settle({d.output});
    const RunResult probe = runProgram(launcher, launch(2), dir.path());
    // A binary without MPI runs twice over, each process printing every line.
    if (!isClean(probe, d.files) || !sameFiles(d.output, reference)) {
        std::printf("  not available: %s -n 2 of %s is not one run giving the grid (exit status %d: %s)\n",
                    launcher.c_str(), s.program.c_str(), probe.status, lastLine(probe).c_str());
        removeAll(d.files);
        removeAll({d.output, reference, d.config});
        return;
    }
    Samples runs[3];
    long peak[3] = {0, 0, 0};
    bool same = true;
    for (int rep = 0; rep < s.reps; ++rep)
        for (int p = 0; p < 3; ++p) {
            settle({d.output});
            const RunResult r = runProgram(launcher, launch(p + 1), dir.path());
            runs[p].t.push_back(r.seconds);
            peak[p] = std::max(peak[p], r.peakKiB);
            clean = clean && isClean(r, d.files);
            same = sameFiles(d.output, reference) && same;
        }
    const double mb = static_cast<double>(d.bytes) / 1e6, totalNodes = static_cast<double>(d.totalNodes);
    for (int p = 0; p < 3; ++p)
        printRow(("-n " + std::to_string(p + 1) + " -j 1").c_str(), runs[p], mb, "B", totalNodes, "node");
    printRatio("-n 2 / -n 1", runs[1], runs[0]);
    printRatio("-n 3 / -n 1 (three processes on this machine's processors)", runs[2], runs[0]);
    // The largest process of the run: the grid's share, the largest file's
    // node table and 64 MiB.
    const long long cells = static_cast<long long>(side) * side;
    for (int p = 0; p < 3; ++p) {
        const long long budget = 8 * cells / (p + 1) + 24 * d.maxNodes + (64LL << 20);
        std::printf("  peak memory of a process at -n %d: %s, %.0f %% of %.1f MiB / %d + 24 B x %lld nodes + 64 MiB\n",
                    p + 1, mib(peak[p]).c_str(),
                    100.0 * static_cast<double>(peak[p]) * 1024.0 / static_cast<double>(budget),
                    static_cast<double>(8 * cells) / 1048576.0, p + 1, d.maxNodes);
    }
    check(ok, "every run exits 0, reports the 4 files and nothing else, writes nothing on standard error", clean);
    check(ok, "the grids of 1, 2 and 3 processes are byte-identical to the run without mpirun", same);
    removeAll(d.files);
    removeAll({d.output, reference, d.config});
}

ScaleNeed scaleNeed(long long nodes, long long cells) {
    const long long input = 80 * nodes, text = 6 * cells, spare = 1LL << 30;
    ScaleNeed need;
    need.disk = input + 2 * text + spare;                // the inputs, the kept grid and one more
    need.memory = 8 * cells + 3 * text + input + spare;  // a process's grid and texts, the cache
    return need;
}

std::string scaleRefusal(const ScaleNeed& need, long long freeDisk, long long freeMemory) {
    const auto gb = [](long long bytes) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
        return std::string(text);
    };
    std::string why;
    if (freeDisk < need.disk)
        why = (freeDisk < 0 ? "the free disk is unknown" : gb(freeDisk) + " free disk") + ", " + gb(need.disk) +
              " needed";
    if (freeMemory < need.memory)
        why += (why.empty() ? "" : "; ") +
               (freeMemory < 0 ? "the available memory is unknown" : gb(freeMemory) + " available memory") + ", " +
               gb(need.memory) + " needed";
    return why;
}

void benchScale(long long nodes, int side, const RunSetup& s, bool& ok) {
    std::printf("\n5. Scaling: the whole run on 1/4, 1, 4 and 16 times the nodes and the cells\n");
    std::printf("  %-6s %10s %10s %10s %10s %10s %12s %12s %12s %8s\n", "data", "nodes", "cells", "-j 1", "-j 2",
                "limit", "-j 1 ns/n+c", "-j 2 ns/n+c", "limit ns/n+c", "section");
    std::fflush(stdout);
    for (const int quarters : {1, 4, 16, 64}) {
        const char* name = quarters == 1 ? "1/4" : quarters == 4 ? "1" : quarters == 16 ? "4" : "16";
        const int sideHere = static_cast<int>(side * std::sqrt(quarters / 4.0));
        const long long nodesHere = nodes * quarters / 4, cells = static_cast<long long>(sideHere) * sideHere;
        const std::string refusal =
            scaleRefusal(scaleNeed(nodesHere, cells), freeBytes(s.dir->path()), availableMemory());
        if (!refusal.empty()) {
            std::printf("  %-6s skipped: %s\n", name, refusal.c_str());
            continue;
        }
        double seconds = 0.0;
        RunFigures f;
        RunData d;
        seconds = timed([&] {
            TempDir sub(s.dir->path());
            d = makeRunData(nodesHere, sideHere, sub);
            RunSetup here = s;
            here.dir = &sub;
            // Sixteen times the data take about a minute a repetition, most
            // of it making the data and loading it into the limit's processes.
            if (quarters == 64) here.reps = std::min(s.reps, 2);
            f = measureRun(d, here, false, false);
            removeAll(d.files);
        });
        const double items = static_cast<double>(d.totalNodes) + static_cast<double>(cells);
        std::printf("  %-6s %10lld %10lld %9.3fs %9.3fs %9.3fs %12.1f %12.1f %12.1f %7.0fs\n", name, d.totalNodes,
                    cells, f.one.best(), f.two.best(), f.sum.best(), f.one.best() * 1e9 / items,
                    f.two.best() * 1e9 / items, f.sum.best() * 1e9 / items, seconds);
        std::fflush(stdout);
        check(ok, "-j 1 and -j 2 identical, clean, and as the bare formatting",
              f.sameJobs && f.clean && f.identical && f.limitRan);
    }
}
