// Measures MeshRaster's reader, writer and whole run against the standard
// library's streams and against the bare conversions they are built on. The
// method, the targets and the figures are in README.md beside this file.

#include <getopt.h>
#include <unistd.h>
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
#include <sstream>
#include <string>
#include <vector>

#include "BareText.h"
#include "BenchData.h"
#include "GdalGrid.h"
#include "GdalModule.h"
#include "GisAscFile.h"
#include "GisTecplotFile.h"
#include "GxBox.h"
#include "GxGrid.h"
#include "IostreamDesign.h"
#include "LimitParts.h"
#include "Measure.h"
#include "MeshRaster.h"
#include "NumberTextBench.h"
#include "TestSupport.h"
#include "WholeBoxFill.h"
#include "WholeRun.h"

#ifdef MESHRASTER_HAVE_GDAL
#include <gdal.h>

#include <cstring>
#endif

namespace {

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

void writeWithOfstream(const std::string& path, const GxGrid& grid, const GxGridParam& par) {
    std::ofstream out(path);
    out << gridHeader(grid, par) << std::setprecision(11);
    for (int row = 0; row < grid.NumRow(); ++row) {
        for (int col = 0; col < grid.NumCol(); ++col) out << grid.RowCol(row, col) << ' ';
        out << '\n';
    }
    out << "END\n";
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
            const auto length = static_cast<std::streamsize>(formatGrid(buf.data(), buf.size(), grid, par));
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
    std::string only = "reader,writer,gtiff,run,slivers,scale,formatter,onefile,bands,processes";
    std::string dir = std::filesystem::temp_directory_path().string();
    std::string binary = MESHRASTER_BINARY;
    std::string iostreamDesign;       // a configuration: run the iostream design on it, and nothing else
    std::string launcher = "mpirun";  // section 9, with --binary a build with MPI
};

const char* const kUsage =
    "usage: meshraster_bench [--quick]\n"
    "                        [--only reader,writer,gtiff,run,slivers,scale,formatter,onefile,bands,processes]\n"
    "                        [--reps N] [--dir DIR] [--keep] [--binary PATH] [--mpirun PATH]\n"
    "                        [--iostream-design CONFIG]\n"
    "                        [--verify-formatter COUNT]\n";

// The exit status when the benchmark is not to run (help, a wrong option), else -1.
int parseOptions(int argc, char** argv, Options& o) {
    const option longOptions[] = {{"quick", no_argument, &o.quick, 1},
                                  {"only", required_argument, nullptr, 'o'},
                                  {"reps", required_argument, nullptr, 'r'},
                                  {"dir", required_argument, nullptr, 'd'},
                                  {"keep", no_argument, &o.keep, 1},
                                  {"binary", required_argument, nullptr, 'b'},
                                  {"mpirun", required_argument, nullptr, 'm'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {"iostream-design", required_argument, nullptr, 'i'},
                                  {"verify-formatter", required_argument, nullptr, 'v'},
                                  {nullptr, 0, nullptr, 0}};
    int reps = 0;
    for (int c; (c = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
        if (c == 'o') o.only = optarg;
        if (c == 'r') reps = std::max(1, std::atoi(optarg));
        if (c == 'd') o.dir = optarg;
        if (c == 'b') o.binary = std::filesystem::absolute(optarg).string();  // the children run elsewhere
        if (c == 'm') o.launcher = optarg;
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

// name as the shell finds it on PATH, when it holds no slash: the children
// are started without a search.
std::string onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (name.find('/') != std::string::npos || path == nullptr) return name;
    std::stringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((folder + '/' + name).c_str(), X_OK) == 0) return folder + '/' + name;
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    // The child process of one part of the whole run's limit.
    if (argc >= 2 && std::strcmp(argv[1], "--limit-part") == 0) return runLimitPart({argv + 2, argv + argc});
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
    const auto wanted = [&o](const char* section) { return o.only.find(section) != std::string::npos; };
    const RunSetup run{o.binary, self, o.reps, &dir};
    if (wanted("reader")) benchReader(o.tableLines, o.reps, dir, ok);
    if (wanted("writer")) benchWriter(o.gridSide, o.reps, dir, ok);
#ifdef MESHRASTER_HAVE_GDAL
    if (wanted("gtiff")) benchGtiff(o.gridSide, o.reps, dir, ok);
#endif
    if (wanted("run")) benchRun(o.runNodes, o.gridSide, run, ok);
    if (wanted("slivers")) benchSlivers(o.slivers, o.gridSide, o.reps, ok);
    if (wanted("scale")) benchScale(o.runNodes, o.gridSide, {o.binary, self, std::min(o.reps, 3), &dir}, ok);
    if (wanted("formatter")) benchFormatter(o.gridSide, o.reps, ok);
    if (wanted("onefile")) benchOneFile(o.runNodes, o.gridSide, run, ok);
    if (wanted("bands")) benchBands(o.runNodes, o.gridSide, run, ok);
    if (wanted("processes")) benchProcesses(o.runNodes, o.gridSide, run, onPath(o.launcher), ok);
    return ok ? 0 : 1;
}
