// Measures MeshRaster's reader, writer and whole run against the standard
// library's streams and against the bare conversions they are built on. The
// method, the targets and the figures are in README.md beside this file.

#include <getopt.h>
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <string>
#include <vector>

#include "BenchData.h"
#include "GdalGrid.h"
#include "GdalModule.h"
#include "GisAscFile.h"
#include "GisTecplotFile.h"
#include "GxBox.h"
#include "GxGrid.h"
#include "IostreamDesign.h"
#include "MeshRaster.h"
#include "NumberTextBench.h"
#include "TestSupport.h"
#include "WholeBoxFill.h"

#ifdef MESHRASTER_HAVE_GDAL
#include <gdal.h>

#include <cstring>
#endif

namespace {

// ---- Timing ------------------------------------------------------------------

// Seconds that f takes.
template <class F>
double timed(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The times of one variant over the repetitions: the best is the figure, the
// median and the spread show the noise of a shared machine.
struct Samples {
    std::vector<double> t;
    double best() const { return *std::min_element(t.begin(), t.end()); }
    double median() const {
        std::vector<double> s = t;
        std::sort(s.begin(), s.end());
        return s.size() % 2 ? s[s.size() / 2] : 0.5 * (s[s.size() / 2 - 1] + s[s.size() / 2]);
    }
};

// One row: the best time, the rate of `mega` million units and the time per
// item, then the median and the spread, (worst - best) / best.
void printRow(const char* name, const Samples& s, double mega, const char* unit, double items, const char* item) {
    const double spread = *std::max_element(s.t.begin(), s.t.end()) / s.best() - 1.0;
    std::printf("  %-40s %7.3f s %7.1f M%s/s %6.1f ns/%-6s (median %.3f s, spread %.0f %%)\n", name, s.best(),
                mega / s.best(), unit, s.best() * 1e9 / items, item, s.median(), 100.0 * spread);
}

// num / den as the ratio of the bests and as the median of the ratios of each
// repetition, whose two variants ran back to back: the steadier figure when
// other work shares the machine.
void printRatio(const char* name, const Samples& num, const Samples& den) {
    Samples r;
    for (std::size_t k = 0; k < num.t.size(); ++k) r.t.push_back(num.t[k] / den.t[k]);
    std::printf("  %s = %.2f (paired median %.2f)\n", name, num.best() / den.best(), r.median());
}

// A check that makes the figures trustworthy; a failed one fails the run.
void check(bool& ok, const std::string& what, bool passed) {
    std::printf("  check: %s: %s\n", what.c_str(), passed ? "yes" : "NO");
    ok = ok && passed;
}

// ---- 1. Reader ---------------------------------------------------------------

// The count and the sum of the numbers read, added in reading order: variants
// that read the same numbers agree bit for bit.
struct ReadResult {
    long long values = 0;
    double sum = 0.0;
    bool operator==(const ReadResult& o) const { return values == o.values && sum == o.sum; }
};

// Reads lines of five numbers through readFive, which says whether it
// succeeded, each followed by skip, which discards the rest of the line.
template <class ReadFive, class Skip>
ReadResult readTable(long long lines, ReadFive readFive, Skip skip) {
    ReadResult r;
    double v[5] = {};
    for (long long k = 0; k < lines && readFive(v); ++k) {
        for (double x : v) r.sum += x;
        r.values += 5;
        skip();
    }
    return r;
}

ReadResult readWithGisAscFile(const std::string& path, long long lines) {
    GisAscFile file(path, "r");
    auto readFive = [&](double(&v)[5]) {
        for (double& x : v) file.getAscDouble(x);
        return !file.fail();
    };
    return readTable(lines, readFive, [&] { file.emptyLine(); });
}

ReadResult readWithIfstream(const std::string& path, long long lines) {
    std::ifstream in(path);
    auto readFive = [&](double(&v)[5]) { return !!(in >> v[0] >> v[1] >> v[2] >> v[3] >> v[4]); };
    return readTable(lines, readFive, [&] { in.ignore(std::numeric_limits<std::streamsize>::max(), '\n'); });
}

// The floor of reading: skip whitespace, from_chars, repeat, over bytes in
// memory. Adds at most max numbers of type T to sum; returns their count and
// leaves p after the last.
template <class T, class Sum>
long long scan(const char*& p, const char* end, long long max, Sum& sum) {
    long long n = 0;
    for (; n < max; ++n) {
        while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
        T v;
        const auto r = std::from_chars(p, end, v);
        if (r.ec != std::errc()) break;
        sum += v;
        p = r.ptr;
    }
    return n;
}

void benchReader(long long lines, int reps, const TempDir& dir, bool& ok) {
    const std::string text = makeNodeTable(lines), path = dir.write("nodes.dat", text);
    const double mb = static_cast<double>(text.size()) / 1e6, values = 5.0 * static_cast<double>(lines);
    std::printf("\n1. Reader: node table of %lld lines (5 numbers a line), %.1f MB\n", lines, mb);
    Samples a, b, c;
    ReadResult ra, rb, rc;
    for (int rep = 0; rep < reps; ++rep) {
        a.t.push_back(timed([&] { ra = readWithGisAscFile(path, lines); }));
        b.t.push_back(timed([&] { rb = readWithIfstream(path, lines); }));
        c.t.push_back(timed([&] {
            const char* p = text.data();
            rc = ReadResult();
            rc.values = scan<double>(p, p + text.size(), LLONG_MAX, rc.sum);
        }));
    }
    printRow("(a) GisAscFile", a, mb, "B", values, "value");
    printRow("(b) std::ifstream >>", b, mb, "B", values, "value");
    printRow("(c) bare from_chars scan, in memory", c, mb, "B", values, "value");
    printRatio("(b)/(a)", b, a);
    printRatio("(a)/(c)", a, c);
    std::remove(path.c_str());
    check(ok, "all read " + std::to_string(ra.values) + " values with equal sums",
          ra == rb && ra == rc && ra.values == 5 * lines);
}

// ---- 2. Writer ---------------------------------------------------------------

// The grid file's header as writeAscGrid writes it: %.11g is the general
// format with 11 significant digits of both the writer and to_chars.
std::string gridHeader(const GxGrid& grid, const GxGridParam& par) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "GRIDREG\nINFO\nUNITS  meters\n//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  "
                  "<nodatavalue>\nGRIDDEF %d %d %.11g %.11g %.11g %.11g 3.4e+037\nINFO_END\n",
                  grid.NumCol(), grid.NumRow(), par.xmin_, par.ymax_ + 10000000, par.resx_, par.resy_);
    return buf;
}

void writeWithOfstream(const std::string& path, const GxGrid& grid, const GxGridParam& par) {
    std::ofstream out(path);
    out << gridHeader(grid, par) << std::setprecision(11);
    for (int row = 0; row < grid.NumRow(); ++row) {
        for (int col = 0; col < grid.NumCol(); ++col) out << grid.RowCol(row, col) << ' ';
        out << '\n';
    }
    out << "END\n";
}

// The floor of writing: the whole grid file formatted by bare to_chars into
// buf, which holds formatRoom(grid) bytes; returns its length.
std::size_t formatRoom(const GxGrid& grid) { return grid.NumRow() * (grid.NumCol() * 25UL + 1) + 512; }

std::size_t formatGrid(char* buf, const GxGrid& grid, const GxGridParam& par) {
    const std::string header = gridHeader(grid, par);
    char* p = std::copy(header.begin(), header.end(), buf);
    for (int row = 0; row < grid.NumRow(); ++row) {
        for (int col = 0; col < grid.NumCol(); ++col) {
            p = std::to_chars(p, p + 24, grid.RowCol(row, col), std::chars_format::general, 11).ptr;
            *p++ = ' ';
        }
        *p++ = '\n';
    }
    return static_cast<std::size_t>(std::copy_n("END\n", 4, p) - buf);
}

void benchWriter(int n, int reps, const TempDir& dir, bool& ok) {
    GxGrid grid(n, n);
    const long long zeros = fillPileGrid(grid);
    const GxGridParam par(600000.0, 600000.0 + n * 0.5, 5100000.0, 5100000.0 + n * 0.5, 0.5, 0.5);
    const double cells = static_cast<double>(n) * n;
    std::vector<char> buf(formatRoom(grid));  // zeroed, so its pages are in place before timing
    const std::string pa = dir.file("a.grd"), pb = dir.file("b.grd"), pc = dir.file("c.grd");
    Samples a, b, c;
    for (int rep = 0; rep < reps; ++rep) {
        // Each writer makes its file anew: truncating an old one would add the
        // freeing of its pages to the time.
        for (const std::string& p : {pa, pb, pc}) std::remove(p.c_str());
        a.t.push_back(timed([&] { writeAscGrid(pa, grid, par); }));
        b.t.push_back(timed([&] { writeWithOfstream(pb, grid, par); }));
        c.t.push_back(timed([&] {
            const auto length = static_cast<std::streamsize>(formatGrid(buf.data(), grid, par));
            std::ofstream(pc, std::ios::binary).write(buf.data(), length);
        }));
    }
    const std::string fa = readFile(pa);
    std::printf("\n2. Writer: %d x %d grid, %.1f %% zeros, %.1f MB\n", n, n, 100.0 * static_cast<double>(zeros) / cells,
                static_cast<double>(fa.size()) / 1e6);
    printRow("(a) writeAscGrid", a, cells / 1e6, "cells", cells, "cell");
    printRow("(b) std::ofstream << setprecision(11)", b, cells / 1e6, "cells", cells, "cell");
    printRow("(c) bare to_chars into memory + 1 write", c, cells / 1e6, "cells", cells, "cell");
    printRatio("(b)/(a)", b, a);
    printRatio("(a)/(c)", a, c);
    check(ok, "(a), (b) and (c) files byte-identical", fa.size() > 4 && fa == readFile(pb) && fa == readFile(pc));
    for (const std::string& p : {pa, pb, pc}) std::remove(p.c_str());
}

// ---- 2g. Writer through GDAL: a compressed GeoTIFF ---------------------------

#ifdef MESHRASTER_HAVE_GDAL

// The GeoTIFF at path holds grid's cells bit for bit.
bool sameCells(const std::string& path, const GxGrid& grid) {
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    if (!ds) return false;
    const std::size_t cells = static_cast<std::size_t>(grid.NumRow()) * static_cast<std::size_t>(grid.NumCol());
    std::vector<double> read(cells);
    const bool same = GDALGetRasterXSize(ds) == grid.NumCol() && GDALGetRasterYSize(ds) == grid.NumRow() &&
                      GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Read, 0, 0, grid.NumCol(), grid.NumRow(), read.data(),
                                   grid.NumCol(), grid.NumRow(), GDT_Float64, 0, 0) == CE_None &&
                      std::memcmp(read.data(), grid.data(), cells * sizeof(double)) == 0;
    GDALClose(ds);
    return same;
}

// The writer's grid as a GeoTIFF compressed as users would ask for it, against
// the text of writeAscGrid: time, file size, and the memory beyond the grid.
void benchGtiff(int n, int reps, const TempDir& dir, bool& ok) {
    GxGrid grid(n, n);
    const long long zeros = fillPileGrid(grid);
    const GxGridParam par(600000.0, 600000.0 + n * 0.5, 5100000.0, 5100000.0 + n * 0.5, 0.5, 0.5);
    const double cells = static_cast<double>(n) * n;
    const RasterOptions opt{"GTiff", "EPSG:32632", false, 0, {"COMPRESS=DEFLATE", "PREDICTOR=3"}};
    const std::string pa = dir.file("a.grd"), pd = dir.file("d.tif");
    Samples a, d;
    std::string error;
    bool written = true;
    malloc_trim(0);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    for (int rep = 0; rep < reps; ++rep) {
        for (const std::string& p : {pa, pd}) std::remove(p.c_str());
        a.t.push_back(timed([&] { writeAscGrid(pa, grid, par); }));
        d.t.push_back(timed([&] {
            written = writeRasterFiles(pd, grid, par, opt, RasterPlan(), *meshrasterGdalFunctions(), error) ==
                          RasterWrite::written &&
                      written;
        }));
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double textMB = static_cast<double>(readFile(pa).size()) / 1e6;
    const double tiffMB = static_cast<double>(std::filesystem::file_size(pd)) / 1e6;
    std::printf("\n2g. Writer through GDAL: %d x %d grid, %.1f %% zeros, GTiff COMPRESS=DEFLATE PREDICTOR=3\n", n, n,
                100.0 * static_cast<double>(zeros) / cells);
    printRow("(a) writeAscGrid, text", a, cells / 1e6, "cells", cells, "cell");
    printRow("(d) writeRasterFiles, GeoTIFF", d, cells / 1e6, "cells", cells, "cell");
    printRatio("(d)/(a)", d, a);
    std::printf("  file size: text %.1f MB, GeoTIFF %.1f MB (%.0f %% of the text)\n", textMB, tiffMB,
                100.0 * tiffMB / textMB);
    std::printf("  peak memory of the process: %.1f MiB before the writes, %.1f MiB after (grid %.1f MiB)\n",
                static_cast<double>(before.ru_maxrss) / 1024.0, static_cast<double>(after.ru_maxrss) / 1024.0,
                cells * 8.0 / 1048576.0);
    check(ok, "every GeoTIFF written" + (error.empty() ? std::string() : ": " + error), written);
    check(ok, "the GeoTIFF holds every cell bit for bit", sameCells(pd, grid));
    for (const std::string& p : {pa, pd}) std::remove(p.c_str());
}
#endif

// ---- 3. Whole run ------------------------------------------------------------

// The floor of reading a Tecplot file: its node table as doubles and its
// element numbers as integers, by bare from_chars over its bytes in memory.
long long scanTecplot(const std::string& text, long long nodes, double& sum) {
    const char* p = text.data() + text.find('\n', text.find("\nZONE ") + 1) + 1;
    const char* end = text.data() + text.size();
    long long elementSum = 0;
    const long long values = scan<double>(p, end, 5 * nodes, sum);
    return values + scan<int>(p, end, LLONG_MAX, elementSum);
}

// The figures of whole runs on one data set, repetitions side by side.
struct RunFigures {
    Samples one, two, io;                       // the binary with -j 1 and -j 2; the iostream design
    Samples scan, format, write, sum;           // the bare limit and its parts
    long peakOne = 0, peakTwo = 0, peakIo = 0;  // KiB
    long long scanned = 0, nonZero = 0;
    bool clean = true, sameJobs = true, sameIo = true, identical = true;
};

// The time of one write of text into a new file at path.
double timedWrite(const std::string& path, const char* text, std::size_t length) {
    std::remove(path.c_str());
    return timed([&] {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) return;
        std::setvbuf(f, nullptr, _IONBF, 0);  // one write(2) of the whole text
        std::fwrite(text, 1, length, f);
        std::fclose(f);
    });
}

RunFigures measureRun(const RunData& d, int side, int reps, const std::string& program, const std::string& self,
                      bool withIostream, const TempDir& dir) {
    RunFigures f;
    const long long cells = static_cast<long long>(side) * side;
    std::string expectedOut;  // one line for each file converted
    for (const std::string& name : d.files) expectedOut += "Asc File " + name + '\n';
    const auto runBinary = [&](const std::vector<std::string>& args, Samples& s, long& peak) {
        // While this process holds little memory: a child's peak memory counts
        // the pages it shared with its parent at the fork. Freed blocks stay
        // resident until the heap is trimmed.
        malloc_trim(0);
        std::remove(d.output.c_str());
        const RunResult r = runProgram(args[0], {args.begin() + 1, args.end()}, dir.path());
        s.t.push_back(r.seconds);
        peak = std::max(peak, r.peakKiB);
        f.clean = f.clean && r.status == 0 && r.out == expectedOut && r.err.empty();
        return readFile(d.output);
    };
    for (int rep = 0; rep < reps; ++rep) {
        const std::string gridOne = runBinary({program, "-j", "1", d.config}, f.one, f.peakOne);
        const std::string written = runBinary({program, "-j", "2", d.config}, f.two, f.peakTwo);
        f.sameJobs = f.sameJobs && gridOne == written;
        if (withIostream) f.sameIo = runBinary({self, "--iostream-design", d.config}, f.io, f.peakIo) == written;

        std::vector<std::string> texts;
        for (const std::string& name : d.files) texts.push_back(readFile(name));
        double sum = 0.0;
        f.scan.t.push_back(timed([&] {
            f.scanned = 0;
            for (std::size_t k = 0; k < texts.size(); ++k) f.scanned += scanTecplot(texts[k], d.nodes[k], sum);
        }));
        texts = {};

        // The binary's grid read back, to be formatted bare and checked.
        const std::size_t cellsStart = written.find("INFO_END\n");
        const char* p = written.data() + (cellsStart == std::string::npos ? written.size() : cellsStart + 9);
        GxGrid grid(side, side);
        f.nonZero = 0;
        for (long long k = 0; k < cells; ++k) {
            double v = 0.0;
            scan<double>(p, written.data() + written.size(), 1, v);  // the sum of one number is the number
            grid.RowCol(static_cast<int>(k / side), static_cast<int>(k % side), v);
            f.nonZero += v != 0.0;
        }
        std::vector<char> buf(formatRoom(grid));
        std::size_t length = 0;
        f.format.t.push_back(timed([&] { length = formatGrid(buf.data(), grid, d.par); }));
        f.write.t.push_back(timedWrite(dir.file("bare.grd"), buf.data(), length));
        std::remove(dir.file("bare.grd").c_str());
        f.sum.t.push_back(f.scan.t.back() + f.format.t.back() + f.write.t.back());
        f.identical = f.identical && written.compare(0, std::string::npos, buf.data(), length) == 0;
    }
    std::remove(d.output.c_str());
    return f;
}

std::string mib(long kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024.0);
    return text;
}

void benchRun(long long nodes, int side, int reps, const std::string& program, const std::string& self,
              const TempDir& dir, bool& ok) {
    const RunData d = makeRunData(nodes, side, dir);
    const long long cells = static_cast<long long>(side) * side;
    const double mb = static_cast<double>(d.bytes) / 1e6, mcells = static_cast<double>(cells) / 1e6;
    std::printf(
        "\n3. Whole run: 4 Tecplot files, %lld nodes (largest file %lld), %lld elements, %.1f MB; "
        "grid %d x %d\n",
        d.totalNodes, d.maxNodes, d.elements, mb, side, side);
    const RunFigures f = measureRun(d, side, reps, program, self, true, dir);
    const double totalNodes = static_cast<double>(d.totalNodes);
    printRow("binary -j 1, child process (wall)", f.one, mb, "B", totalNodes, "node");
    printRow("binary -j 2, child process (wall)", f.two, mb, "B", totalNodes, "node");
    printRow("iostream design, child process (wall)", f.io, mb, "B", totalNodes, "node");
    printRow("limit: bare from_chars scan of the input", f.scan, mb, "B", totalNodes, "node");
    printRow("limit: bare to_chars of the grid", f.format, mcells, "cells", static_cast<double>(cells), "cell");
    printRow("limit: one write of the grid text", f.write, mcells, "cells", static_cast<double>(cells), "cell");
    printRow("limit: the sum", f.sum, mb, "B", totalNodes, "node");
    printRatio("binary -j 1 / limit", f.one, f.sum);
    printRatio("binary -j 2 / limit", f.two, f.sum);
    printRatio("iostream design / binary -j 1", f.io, f.one);
    for (const int jobs : {1, 2}) {
        // Each thread holds at most one file's node table.
        const long long budget = 8 * cells + 24 * jobs * d.maxNodes + (32LL << 20);
        const long peak = jobs == 1 ? f.peakOne : f.peakTwo;
        std::printf("  peak memory -j %d: %s, %.0f %% of 8 B x %lld cells + %d x 24 B x %lld nodes + 32 MiB = %s\n",
                    jobs, mib(peak).c_str(), 100.0 * static_cast<double>(peak) * 1024.0 / static_cast<double>(budget),
                    cells, jobs, d.maxNodes, mib(static_cast<long>(budget / 1024)).c_str());
    }
    std::printf("  peak memory of the iostream design: %s\n", mib(f.peakIo).c_str());
    check(ok, "the binary exits 0, reports the 4 files and nothing else, writes nothing on standard error", f.clean);
    check(ok, "-j 1 and -j 2 write byte-identical grids", f.sameJobs);
    check(ok, "the iostream design writes the same grid", f.sameIo);
    check(ok, "the grid is byte-identical to the bare formatting of its cells", f.identical);
    check(ok, "the bare scan reads all " + std::to_string(f.scanned) + " numbers of the input",
          f.scanned == 5 * d.totalNodes + 4 * d.elements);
    check(ok, "the grid has non-zero cells: " + std::to_string(f.nonZero), f.nonZero > 0);
}

// ---- 5. Scaling --------------------------------------------------------------

// The whole run on a quarter, one and four times the data (nodes and cells):
// the time per node and cell should stay the same.
void benchScale(long long nodes, int side, int reps, const std::string& program, const std::string& self,
                const TempDir& dir, bool& ok) {
    std::printf("\n5. Scaling: the whole run on 1/4, 1 and 4 times the nodes and the cells\n");
    std::printf("  %-6s %10s %10s %10s %10s %10s %12s %12s %12s\n", "data", "nodes", "cells", "-j 1", "-j 2", "limit",
                "-j 1 ns/n+c", "-j 2 ns/n+c", "limit ns/n+c");
    for (const double factor : {0.25, 1.0, 4.0}) {
        const int s = static_cast<int>(side * std::sqrt(factor));
        TempDir sub(dir.path());
        const RunData d = makeRunData(static_cast<long long>(static_cast<double>(nodes) * factor), s, sub);
        const RunFigures f = measureRun(d, s, reps, program, self, false, sub);
        const double items = static_cast<double>(d.totalNodes) + static_cast<double>(s) * s;
        std::printf("  %-6s %10lld %10lld %9.3fs %9.3fs %9.3fs %12.1f %12.1f %12.1f\n",
                    factor == 0.25  ? "1/4"
                    : factor == 1.0 ? "1"
                                    : "4",
                    d.totalNodes, static_cast<long long>(s) * s, f.one.best(), f.two.best(), f.sum.best(),
                    f.one.best() * 1e9 / items, f.two.best() * 1e9 / items, f.sum.best() * 1e9 / items);
        std::fflush(stdout);
        check(ok, "-j 1 and -j 2 identical, clean, and as the bare formatting", f.sameJobs && f.clean && f.identical);
    }
}

// ---- 4. Slivers ---------------------------------------------------------------

// Fills slivers [0, count) into grid, by fillGridTriangle or by the whole box.
void fillSlivers(GxGrid& grid, GxGridParam& par, const std::vector<Sliver>& slivers, std::size_t count, bool wholeBox) {
    GxCoord2D ptI(par.xmin_ + par.resx_ * 0.5, par.ymax_ - par.resy_ * 0.5);
    for (std::size_t k = 0; k < count; ++k) {
        Sliver s = slivers[k];
        if (wholeBox)
            wholeBoxFill(grid, s.node, s.z, par, ptI);
        else
            fillGridTriangle(grid, s.node, s.z, par, ptI);
    }
}

bool sameBits(const GxGrid& a, const GxGrid& b) {
    for (int row = 0; row < a.NumRow(); ++row)
        for (int col = 0; col < a.NumCol(); ++col) {
            const double x = a.RowCol(row, col), y = b.RowCol(row, col);
            if (std::memcmp(&x, &y, sizeof x) != 0) return false;
        }
    return true;
}

void benchSlivers(int count, int side, int reps, bool& ok) {
    // Georeferenced cells of 0.7 m, so that the stepped centres round.
    GxGridParam par(600000.0, 600000.0 + side * 0.7, 5100000.0, 5100000.0 + side * 0.7, 0.7, 0.7);
    const std::vector<Sliver> slivers = makeSlivers(count, par);
    const std::size_t oldCount = std::min<std::size_t>(10, slivers.size());
    std::printf("\n4. Slivers: %d sliver triangles across a %d x %d grid (the whole-box fill on the first %zu)\n",
                count, side, side, oldCount);
    GxGrid all(side, side), some(side, side), someOld(side, side);
    Samples a, b, c;
    for (int rep = 0; rep < reps; ++rep) {
        a.t.push_back(timed([&] { fillSlivers(all, par, slivers, slivers.size(), false); }));
        b.t.push_back(timed([&] { fillSlivers(some, par, slivers, oldCount, false); }));
        c.t.push_back(timed([&] { fillSlivers(someOld, par, slivers, oldCount, true); }));
    }
    const double n = static_cast<double>(count), m = static_cast<double>(oldCount);
    std::printf("  %-40s %7.3f s %8.3f ms/sliver  (median %.3f s)\n", "(a) fillGridTriangle, all", a.best(),
                a.best() * 1e3 / n, a.median());
    std::printf("  %-40s %7.3f s %8.3f ms/sliver  (median %.3f s)\n", "(b) fillGridTriangle, the first ones", b.best(),
                b.best() * 1e3 / m, b.median());
    std::printf("  %-40s %7.3f s %8.3f ms/sliver  (median %.3f s)\n", "(c) whole-box fill, the first ones", c.best(),
                c.best() * 1e3 / m, c.median());
    printRatio("(c)/(b)", c, b);
    long long filled = 0;
    for (int row = 0; row < side; ++row)
        for (int col = 0; col < side; ++col) filled += all.RowCol(row, col) > 0;
    check(ok, "(b) and (c) grids identical bit for bit", sameBits(some, someOld));
    check(ok, "the slivers fill " + std::to_string(filled) + " cells", filled > 0);
}

// ---- Options -----------------------------------------------------------------

struct Options {
    long long tableLines = 2000000, runNodes = 2000000;  // the reader's node table; the whole run's four files
    int gridSide = 4000, reps = 5, quick = 0, keep = 0;  // gridSide: the writer's, the whole run's, the slivers' grid
    int slivers = 300;
    long long verifyCount = 0;  // --verify-formatter: random doubles to compare instead of the sections
    std::string only = "reader,writer,gtiff,run,slivers,formatter,scale";
    std::string dir = std::filesystem::temp_directory_path().string();
    std::string binary = MESHRASTER_BINARY;
    std::string iostreamDesign;  // a configuration: run the iostream design on it, and nothing else
};

const char* const kUsage =
    "usage: meshraster_bench [--quick] [--only reader,writer,gtiff,run,slivers,formatter,scale] [--reps N]\n"
    "                        [--dir DIR] [--keep] [--binary PATH] [--iostream-design CONFIG]\n"
    "                        [--verify-formatter COUNT]\n";

// The exit status when the benchmark is not to run (help, a wrong option), else -1.
int parseOptions(int argc, char** argv, Options& o) {
    const option longOptions[] = {{"quick", no_argument, &o.quick, 1},
                                  {"only", required_argument, nullptr, 'o'},
                                  {"reps", required_argument, nullptr, 'r'},
                                  {"dir", required_argument, nullptr, 'd'},
                                  {"keep", no_argument, &o.keep, 1},
                                  {"binary", required_argument, nullptr, 'b'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {"iostream-design", required_argument, nullptr, 'i'},
                                  {"verify-formatter", required_argument, nullptr, 'v'},
                                  {nullptr, 0, nullptr, 0}};
    int reps = 0;
    for (int c; (c = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
        if (c == 'o') o.only = optarg;
        if (c == 'r') reps = std::max(1, std::atoi(optarg));
        if (c == 'd') o.dir = optarg;
        if (c == 'b') o.binary = optarg;
        if (c == 'i') o.iostreamDesign = optarg;
        if (c == 'v') o.verifyCount = std::max(1LL, std::atoll(optarg));
        if (c == 'h' || c == '?') {
            std::fputs(kUsage, c == 'h' ? stdout : stderr);
            return c == 'h' ? 0 : 2;
        }
    }
    if (optind < argc) return std::fputs(kUsage, stderr), 2;
    if (o.quick) o.tableLines = o.runNodes = 200000, o.gridSide = 1000, o.reps = 2;
    if (reps > 0) o.reps = reps;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int status = parseOptions(argc, argv, o); status >= 0) return status;
    // The child process of the whole run's iostream row.
    if (!o.iostreamDesign.empty()) return runIostreamDesign(o.iostreamDesign);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    if (o.verifyCount > 0) return verifyFormatter(o.verifyCount);
    TempDir dir(o.dir);
    if (o.keep) dir.keep();
    std::printf("MeshRaster benchmark, scratch folder %s\nTimes are wall-clock seconds, the best of %d repetitions.\n",
                dir.path().c_str(), o.reps);
    std::fflush(stdout);
    bool ok = true;
    if (o.only.find("reader") != std::string::npos) benchReader(o.tableLines, o.reps, dir, ok);
    if (o.only.find("writer") != std::string::npos) benchWriter(o.gridSide, o.reps, dir, ok);
#ifdef MESHRASTER_HAVE_GDAL
    if (o.only.find("gtiff") != std::string::npos) benchGtiff(o.gridSide, o.reps, dir, ok);
#endif
    if (o.only.find("run") != std::string::npos) benchRun(o.runNodes, o.gridSide, o.reps, o.binary, self, dir, ok);
    if (o.only.find("slivers") != std::string::npos) benchSlivers(o.slivers, o.gridSide, o.reps, ok);
    if (o.only.find("scale") != std::string::npos)
        benchScale(o.runNodes, o.gridSide, std::min(o.reps, 3), o.binary, self, dir, ok);
    if (o.only.find("formatter") != std::string::npos) benchFormatter(o.gridSide, o.reps, ok);
    return ok ? 0 : 1;
}
