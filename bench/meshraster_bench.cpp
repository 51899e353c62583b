// Measures MeshRaster's hot paths against the bare standard-library
// conversions they are built on, side by side in one run:
//   1. the reader: a node table read through GisAscFile, through std::ifstream
//      extraction, and by a bare std::from_chars scan of the bytes in memory;
//   2. the writer: a grid written by writeAscGrid, by an std::ofstream with
//      setprecision(11), and by bare std::to_chars into memory plus one write
//      (the three files must be byte-identical);
//   3. a whole run over four generated Tecplot files, split into reading,
//      rasterising and writing, with the wall time and peak memory of the real
//      binary run as a child process.
// Every generated file lives in a temporary folder that is removed at the end.
// Run with --help for the options.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "GisAscFile.h"
#include "GisTecplotFile.h"
#include "GxGrid.h"
#include "MeshRaster.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Repeated timings of one variant; the best is the figure, the rest the noise
// of a shared machine.
struct Samples {
    std::vector<double> t;
    void add(double s) { t.push_back(s); }
    double best() const { return t.empty() ? 0.0 : *std::min_element(t.begin(), t.end()); }
    double worst() const { return t.empty() ? 0.0 : *std::max_element(t.begin(), t.end()); }
    double median() const {
        if (t.empty()) return 0.0;
        std::vector<double> s = t;
        std::sort(s.begin(), s.end());
        return s.size() % 2 ? s[s.size() / 2] : 0.5 * (s[s.size() / 2 - 1] + s[s.size() / 2]);
    }
    // (worst - best) / best, in percent.
    double spread() const { return best() > 0 ? 100.0 * (worst() - best()) / best() : 0.0; }
};

struct Options {
    long long tableLines = 2000000;  // lines of the reader's node table
    int gridSide = 4000;             // columns and rows of the writer's grid
    long long runNodes = 2000000;    // nodes of the whole run, over four files
    int runGridSide = 4000;          // columns and rows of the whole run's grid
    int reps = 5;                    // repetitions of the reader and writer timings
    int runReps = 3;                 // repetitions of the whole run
    bool doReader = true, doWriter = true, doRun = true;
    std::string parent;  // folder in which the scratch folder is made
    bool keep = false;
    std::string binary = MESHRASTER_BINARY;
};

void usage() {
    std::cout << "meshraster_bench [options]\n"
                 "  --table-lines N   node table lines for the reader (default 2000000)\n"
                 "  --grid N          grid side for the writer (default 4000)\n"
                 "  --run-nodes N     nodes of the whole run, in 4 files (default 2000000)\n"
                 "  --run-grid N      grid side of the whole run (default 4000)\n"
                 "  --reps N          repetitions of reader and writer timings (default 5)\n"
                 "  --run-reps N      repetitions of the whole run (default 3)\n"
                 "  --only LIST       any of reader,writer,run (comma-separated)\n"
                 "  --quick           small sizes: 200000 lines and nodes, 1000 x 1000 grids, 2 reps\n"
                 "  --dir DIR         make the scratch folder inside DIR (default: the system's temp folder)\n"
                 "  --keep            keep the scratch folder\n"
                 "  --binary PATH     the MeshRaster binary for the child-process run\n";
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        auto next = [&]() -> const char* {
            if (k + 1 >= argc) {
                std::cerr << a << " needs a value\n";
                std::exit(2);
            }
            return argv[++k];
        };
        if (a == "--table-lines")
            o.tableLines = std::atoll(next());
        else if (a == "--grid")
            o.gridSide = std::atoi(next());
        else if (a == "--run-nodes")
            o.runNodes = std::atoll(next());
        else if (a == "--run-grid")
            o.runGridSide = std::atoi(next());
        else if (a == "--reps")
            o.reps = std::max(1, std::atoi(next()));
        else if (a == "--run-reps")
            o.runReps = std::max(1, std::atoi(next()));
        else if (a == "--dir")
            o.parent = next();
        else if (a == "--keep")
            o.keep = true;
        else if (a == "--binary")
            o.binary = next();
        else if (a == "--quick") {
            o.tableLines = 200000;
            o.gridSide = 1000;
            o.runNodes = 200000;
            o.runGridSide = 1000;
            o.reps = 2;
            o.runReps = 2;
        } else if (a == "--only") {
            const std::string list = next();
            o.doReader = list.find("reader") != std::string::npos;
            o.doWriter = list.find("writer") != std::string::npos;
            o.doRun = list.find("run") != std::string::npos;
        } else if (a == "--help" || a == "-h") {
            usage();
            std::exit(0);
        } else {
            std::cerr << "unknown option " << a << "\n";
            usage();
            return false;
        }
    }
    if (o.tableLines < 1 || o.gridSide < 1 || o.runNodes < 16 || o.runGridSide < 1) {
        std::cerr << "sizes must be positive (at least 16 nodes for the run)\n";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Files and text

inline bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string readWhole(const std::string& path) {
    std::string s;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return s;
    struct stat info;
    if (::fstat(fileno(f), &info) == 0) s.resize(static_cast<std::size_t>(info.st_size));
    const std::size_t got = std::fread(s.data(), 1, s.size(), f);
    s.resize(got);
    std::fclose(f);
    return s;
}

bool writeWhole(const std::string& path, const char* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    if (fd < 0) return false;
    bool ok = true;
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put <= 0) {
            ok = false;
            break;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return ::close(fd) == 0 && ok;
}

long long sizeOf(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

char* putFixed(char* p, double v, int decimals) {
    return std::to_chars(p, p + 48, v, std::chars_format::fixed, decimals).ptr;
}

// One node line "x y height x-momentum y-momentum", with the decimals of
// every node table the benchmark writes.
char* putNodeLine(char* p, double x, double y, double z, double mx, double my) {
    p = putFixed(p, x, 3);
    *p++ = ' ';
    p = putFixed(p, y, 3);
    *p++ = ' ';
    p = putFixed(p, z, 5);
    *p++ = ' ';
    p = putFixed(p, mx, 6);
    *p++ = ' ';
    p = putFixed(p, my, 5);
    *p++ = '\n';
    return p;
}

std::string shortest(double v) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

double mb(long long bytes) { return static_cast<double>(bytes) / 1e6; }
double mib(long long bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

std::string fmt(double v, int decimals) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(decimals) << v;
    return s.str();
}

std::string verdict(bool met) { return met ? "met" : "NOT met"; }

// Median over the repetitions of num[k] / den[k]: the two variants of one
// repetition ran back to back, so their ratio is steadier on a shared machine
// than the ratio of the two bests.
double pairedRatio(const Samples& num, const Samples& den) {
    Samples r;
    for (std::size_t k = 0; k < num.t.size() && k < den.t.size(); ++k) r.add(num.t[k] / den.t[k]);
    return r.median();
}

void printRow(const std::string& name, const Samples& s, const std::string& rate) {
    std::cout << "  " << std::left << std::setw(40) << name << std::right << std::setw(9) << fmt(s.best(), 3) << " s  "
              << std::setw(22) << rate << "   (median " << fmt(s.median(), 3) << " s, spread " << fmt(s.spread(), 0)
              << "%)\n";
}

// ---------------------------------------------------------------------------
// 1. Reader

// A node table as a simulation writes it: UTM-like coordinates with three
// decimals, pile height and momenta with five or six.
std::string makeNodeTable(long long lines) {
    std::string text(static_cast<std::size_t>(lines) * 72, '\0');
    char* p = text.data();
    const long long side = std::max(1LL, static_cast<long long>(std::sqrt(static_cast<double>(lines))));
    for (long long k = 0; k < lines; ++k) {
        const double i = static_cast<double>(k % side), j = static_cast<double>(k / side);
        const double x = 600012.0 + i * 2.5 + 0.137 * std::sin(0.71 * i);
        const double y = 5100034.0 + j * 2.5 + 0.113 * std::cos(0.53 * j);
        const double u = i / static_cast<double>(side), v = j / static_cast<double>(side);
        const double z = std::max(0.0, 4.7 * std::sin(3.1 * u + 0.4) * std::cos(2.3 * v - 0.2) - 0.35);
        const double mx = z * (1.3 + 0.6 * std::sin(5.1 * v + 0.3));
        const double my = z * (-0.9 + 0.7 * std::cos(4.3 * u));
        p = putNodeLine(p, x, y, z, mx, my);
    }
    text.resize(static_cast<std::size_t>(p - text.data()));
    return text;
}

// The same numbers read three ways must give the same count and the same sum,
// added in the same order.
struct ReadResult {
    long long values = 0;
    double sum = 0.0;
    bool operator==(const ReadResult& o) const { return values == o.values && sum == o.sum; }
};

ReadResult readWithGisAscFile(const std::string& path, long long lines) {
    ReadResult r;
    GisAscFile file(path, "r");
    double x = 0, y = 0, z = 0, mx = 0, my = 0;
    for (long long k = 0; k < lines && file.good(); ++k) {
        file.getAscDouble(x);
        file.getAscDouble(y);
        file.getAscDouble(z);
        file.getAscDouble(mx);
        file.getAscDouble(my);
        if (file.fail()) break;
        r.sum += x;
        r.sum += y;
        r.sum += z;
        r.sum += mx;
        r.sum += my;
        r.values += 5;
        file.emptyLine();
    }
    return r;
}

ReadResult readWithIfstream(const std::string& path, long long lines) {
    ReadResult r;
    std::ifstream in(path);
    double x = 0, y = 0, z = 0, mx = 0, my = 0;
    for (long long k = 0; k < lines; ++k) {
        in >> x >> y >> z >> mx >> my;
        if (!in) break;
        r.sum += x;
        r.sum += y;
        r.sum += z;
        r.sum += mx;
        r.sum += my;
        r.values += 5;
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return r;
}

// The floor: skip whitespace, from_chars, repeat, over bytes already in memory.
ReadResult scanDoubles(const char* p, const char* end, long long maxValues = -1) {
    ReadResult r;
    while (maxValues < 0 || r.values < maxValues) {
        while (p < end && isSpace(*p)) ++p;
        if (p == end) break;
        double v;
        const auto res = std::from_chars(p, end, v);
        if (res.ec != std::errc()) break;
        r.sum += v;
        ++r.values;
        p = res.ptr;
    }
    return r;
}

void benchReader(const Options& o, const std::string& dir) {
    const std::string path = dir + "/nodes.dat";
    const std::string text = makeNodeTable(o.tableLines);
    if (!writeWhole(path, text.data(), text.size())) {
        std::cout << "Reader: cannot write the node table\n";
        return;
    }
    const long long bytes = static_cast<long long>(text.size());
    std::cout << "\n1. Reader: node table of " << o.tableLines << " lines (5 numbers a line), " << fmt(mb(bytes), 1)
              << " MB, read from the page cache; best of " << o.reps << "\n";

    Samples ta, tb, tc, td;
    ReadResult ra, rb, rc, rd;
    for (int rep = 0; rep < o.reps; ++rep) {
        auto t0 = Clock::now();
        ra = readWithGisAscFile(path, o.tableLines);
        ta.add(since(t0));
        t0 = Clock::now();
        rb = readWithIfstream(path, o.tableLines);
        tb.add(since(t0));
        t0 = Clock::now();
        rc = scanDoubles(text.data(), text.data() + text.size());
        tc.add(since(t0));
        t0 = Clock::now();
        {
            const std::string again = readWhole(path);
            rd = scanDoubles(again.data(), again.data() + again.size());
        }
        td.add(since(t0));
    }
    const double values = static_cast<double>(o.tableLines) * 5;
    auto rate = [&](const Samples& s) {
        return fmt(mb(bytes) / s.best(), 0) + " MB/s " + fmt(s.best() * 1e9 / values, 1) + " ns/value";
    };
    printRow("(a) GisAscFile getAscDouble x5+emptyLine", ta, rate(ta));
    printRow("(b) std::ifstream >> double x5 + ignore", tb, rate(tb));
    printRow("(c) bare from_chars scan, in memory", tc, rate(tc));
    printRow("(c') read whole file + bare scan (info)", td, rate(td));
    const double speedup = tb.best() / ta.best();
    const double overBare = ta.best() / tc.best();
    std::cout << "  (b)/(a) = " << fmt(speedup, 2) << "x faster than ifstream (paired median "
              << fmt(pairedRatio(tb, ta), 2) << "x)   target >= 8x: " << verdict(speedup >= 8.0) << "\n";
    std::cout << "  (a)/(c) = " << fmt(overBare, 2) << " x the bare scan (paired median " << fmt(pairedRatio(ta, tc), 2)
              << ")   target <= 1.5: " << verdict(overBare <= 1.5) << "\n";
    const bool same = ra == rb && ra == rc && ra == rd && ra.values == o.tableLines * 5;
    std::cout << "  check: all read " << ra.values << " values with equal sums: " << (same ? "yes" : "NO") << "\n";
    fs::remove(path);
}

// ---------------------------------------------------------------------------
// 2. Writer

// Pile heights of one lobe of a flow over about a quarter of the grid; the rest
// stays 0, as most cells of a real grid do.
void fillPileGrid(GxGrid& grid) {
    const double n = grid.NumCol(), m = grid.NumRow();
    for (int row = 0; row < grid.NumRow(); ++row) {
        for (int col = 0; col < grid.NumCol(); ++col) {
            const double u = (col + 0.5) / n, v = (row + 0.5) / m;
            const double du = (u - 0.52) / 0.34, dv = (v - 0.46) / 0.235;
            const double s = 1.0 - du * du - dv * dv;
            if (s <= 0) continue;
            const double h = 5.0 * std::pow(s, 0.7) * (0.75 + 0.25 * std::sin(7.3 * u) * std::cos(5.1 * v));
            if (h >= 0.001) grid.RowCol(row, col, h);
        }
    }
}

void writeWithOfstream(const std::string& path, const GxGrid& grid, const GxGridParam& par) {
    std::ofstream out(path);
    out << "GRIDREG\nINFO\nUNITS  meters\n"
           "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\n";
    out << std::setprecision(11);
    out << "GRIDDEF " << grid.NumCol() << ' ' << grid.NumRow() << ' ' << par.xmin_ << ' ' << par.ymax_ + 10000000 << ' '
        << par.resx_ << ' ' << par.resy_ << " 3.4e+037\nINFO_END\n";
    for (int row = 0; row < grid.NumRow(); ++row) {
        for (int col = 0; col < grid.NumCol(); ++col) out << grid.RowCol(row, col) << ' ';
        out << '\n';
    }
    out << "END\n";
}

// Room for the bare formatting of a whole grid: every value at its longest.
std::size_t formatRoom(const GxGrid& grid) {
    return static_cast<std::size_t>(grid.NumRow()) * (static_cast<std::size_t>(grid.NumCol()) * 25 + 1) + 4096;
}

inline char* bareNumber(char* p, double v) { return std::to_chars(p, p + 24, v, std::chars_format::general, 11).ptr; }

// The whole grid file formatted by bare to_chars into buf; returns its length.
std::size_t formatWithToChars(char* buf, const GxGrid& grid, const GxGridParam& par) {
    char* p = buf;
    auto put = [&](const char* s) {
        const std::size_t n = std::strlen(s);
        std::memcpy(p, s, n);
        p += n;
    };
    put("GRIDREG\nINFO\nUNITS  meters\n"
        "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\nGRIDDEF ");
    p = std::to_chars(p, p + 12, grid.NumCol()).ptr;
    *p++ = ' ';
    p = std::to_chars(p, p + 12, grid.NumRow()).ptr;
    *p++ = ' ';
    p = bareNumber(p, par.xmin_);
    *p++ = ' ';
    p = bareNumber(p, par.ymax_ + 10000000);
    *p++ = ' ';
    p = bareNumber(p, par.resx_);
    *p++ = ' ';
    p = bareNumber(p, par.resy_);
    put(" 3.4e+037\nINFO_END\n");
    for (int row = 0; row < grid.NumRow(); ++row) {
        for (int col = 0; col < grid.NumCol(); ++col) {
            p = bareNumber(p, grid.RowCol(row, col));
            *p++ = ' ';
        }
        *p++ = '\n';
    }
    put("END\n");
    return static_cast<std::size_t>(p - buf);
}

struct WriterFigures {
    Samples a, b, cFormat, cTotal;
    long long bytes = 0;
    bool identical = false;
};

WriterFigures timeWriters(const GxGrid& grid, const GxGridParam& par, const std::string& dir, int reps,
                          std::vector<char>& buf) {
    WriterFigures w;
    const std::string pa = dir + "/a.grd", pb = dir + "/b.grd", pc = dir + "/c.grd";
    for (int rep = 0; rep < reps; ++rep) {
        // Each writer creates its file afresh: truncating an old one would add
        // the freeing of its pages to the time.
        fs::remove(pa);
        auto t0 = Clock::now();
        writeAscGrid(pa, grid, par);
        w.a.add(since(t0));
        fs::remove(pb);
        t0 = Clock::now();
        writeWithOfstream(pb, grid, par);
        w.b.add(since(t0));
        fs::remove(pc);
        t0 = Clock::now();
        const std::size_t len = formatWithToChars(buf.data(), grid, par);
        w.cFormat.add(since(t0));
        writeWhole(pc, buf.data(), len);
        w.cTotal.add(since(t0));
    }
    const std::string a = readWhole(pa), b = readWhole(pb), c = readWhole(pc);
    w.bytes = static_cast<long long>(a.size());
    w.identical = !a.empty() && a == b && a == c;
    fs::remove(pa);
    fs::remove(pb);
    fs::remove(pc);
    return w;
}

void benchWriter(const Options& o, const std::string& dir) {
    const int n = o.gridSide;
    GxGrid grid(n, n);
    fillPileGrid(grid);
    const GxGridParam par(600000.0, 600000.0 + n * 0.5, 5100000.0, 5100000.0 + n * 0.5, 0.5, 0.5);
    std::vector<double> nonZero;
    for (int row = 0; row < n; ++row)
        for (int col = 0; col < n; ++col)
            if (grid.RowCol(row, col) != 0.0) nonZero.push_back(grid.RowCol(row, col));
    const double cells = static_cast<double>(n) * n;
    const double zeroShare = 1.0 - static_cast<double>(nonZero.size()) / cells;

    // The same non-zero values packed into a grid of their own, to price a
    // non-zero value apart from the zeros.
    const int nzRows = static_cast<int>(nonZero.size() / static_cast<std::size_t>(n));
    GxGrid dense(nzRows, n);
    for (int row = 0; row < nzRows; ++row)
        for (int col = 0; col < n; ++col) dense.RowCol(row, col, nonZero[static_cast<std::size_t>(row) * n + col]);
    const double denseCells = static_cast<double>(nzRows) * n;

    std::vector<char> buf(formatRoom(grid));
    std::memset(buf.data(), 0, buf.size());  // fault the pages in before timing

    std::cout << "\n2. Writer: " << n << " x " << n << " grid, " << fmt(100 * zeroShare, 1)
              << "% zeros, the rest pile heights 0.001 to 5; best of " << o.reps << "\n";
    const WriterFigures w = timeWriters(grid, par, dir, o.reps, buf);
    const WriterFigures d = nzRows > 0 ? timeWriters(dense, par, dir, o.reps, buf) : WriterFigures();

    auto rate = [&](const Samples& s) {
        return fmt(cells / s.best() / 1e6, 1) + " Mcells/s " + fmt(s.best() * 1e9 / cells, 1) + " ns/cell";
    };
    std::cout << "  file: " << fmt(mb(w.bytes), 1) << " MB\n";
    printRow("(a) writeAscGrid", w.a, rate(w.a));
    printRow("(b) std::ofstream << setprecision(11)", w.b, rate(w.b));
    printRow("(c) bare to_chars into memory + 1 write", w.cTotal, rate(w.cTotal));
    printRow("(c) of which formatting alone", w.cFormat, rate(w.cFormat));
    const double speedup = w.b.best() / w.a.best();
    const double overBare = w.a.best() / w.cTotal.best();
    std::cout << "  (b)/(a) = " << fmt(speedup, 2) << "x faster than ofstream (paired median "
              << fmt(pairedRatio(w.b, w.a), 2) << "x)   target >= 5x: " << verdict(speedup >= 5.0) << "\n";
    std::cout << "  (a)/(c) = " << fmt(overBare, 2) << " x the bare formatting + write (paired median "
              << fmt(pairedRatio(w.a, w.cTotal), 2) << ")   target <= 1.5: " << verdict(overBare <= 1.5) << "\n";
    std::cout << "  check: (a), (b) and (c) files byte-identical: " << (w.identical ? "yes" : "NO") << "\n";
    if (nzRows > 0) {
        auto perValue = [&](const Samples& s) { return fmt(s.best() * 1e9 / denseCells, 1) + " ns"; };
        std::cout << "  non-zero values alone (" << nzRows << " x " << n << " grid of the same values, "
                  << fmt(mb(d.bytes), 1) << " MB): a value costs\n"
                  << "    (a) " << perValue(d.a) << "   (b) " << perValue(d.b) << "   (c) " << perValue(d.cTotal)
                  << " (formatting alone " << perValue(d.cFormat) << ")\n";
        const double zeros = cells - static_cast<double>(nonZero.size());
        auto perZero = [&](const Samples& full, const Samples& nz) {
            const double rest = full.best() - nz.best() / denseCells * static_cast<double>(nonZero.size());
            return fmt(std::max(0.0, rest) * 1e9 / zeros, 1) + " ns";
        };
        std::cout << "  a zero costs (the rest of the time spread over the zeros)\n"
                  << "    (a) " << perZero(w.a, d.a) << "   (b) " << perZero(w.b, d.b) << "   (c) "
                  << perZero(w.cTotal, d.cTotal) << "\n";
        std::cout << "  check: non-zero grid files byte-identical: " << (d.identical ? "yes" : "NO") << "\n";
    }
}

// ---------------------------------------------------------------------------
// 3. Whole run

// Four Tecplot files, each one quadrant of a structured mesh of axis-aligned
// rectangles (one element row of overlap at the borders, as the regions of a
// parallel run overlap), with one element in twenty written as two triangles
// "a b c c" and a patch of moved nodes that makes general quadrilaterals.
struct RunData {
    std::vector<std::string> files;
    std::string config, outBinary, outInProcess;
    GxGridParam par{0, 0, 0, 0, 1, 1};
    std::vector<long long> nodes;  // per file
    long long totalNodes = 0, maxNodes = 0, elements = 0, triangles = 0, generalQuads = 0, bytes = 0;
};

RunData makeRunData(const Options& o, const std::string& dir) {
    RunData d;
    const int side = o.runGridSide;
    // Nodes per side of the whole mesh; the overlap adds two node rows.
    const int nn = std::max(4, static_cast<int>(std::sqrt(static_cast<double>(o.runNodes))) - 2);
    const double h = 2.0;  // node spacing in metres
    std::vector<double> xs(nn), ys(nn);
    for (int i = 0; i < nn; ++i) {
        xs[i] = 600037.25 + i * h + 0.11 * h * std::sin(1.3 * i);
        ys[i] = 5100081.5 + i * h + 0.09 * h * std::cos(0.7 * i);
    }
    const int pi0 = nn * 3 / 10, pj0 = nn * 11 / 20, patch = std::max(2, nn / 35);
    auto inPatch = [&](int i, int j) { return i >= pi0 && i < pi0 + patch && j >= pj0 && j < pj0 + patch; };
    auto nodeX = [&](int i, int j) { return inPatch(i, j) ? xs[i] + 0.17 * h * std::sin(0.9 * i + 1.7 * j) : xs[i]; };
    auto nodeY = [&](int i, int j) { return inPatch(i, j) ? ys[j] + 0.15 * h * std::cos(1.1 * i - 0.8 * j) : ys[j]; };
    const double wx = xs[nn - 1] - xs[0], wy = ys[nn - 1] - ys[0];
    auto pile = [&](double x, double y, double& z, double& mx, double& my) {
        const double u = (x - xs[0]) / wx, v = (y - ys[0]) / wy;
        const double du = (u - 0.47) / 0.36, dv = (v - 0.52) / 0.31;
        const double s = 1.0 - du * du - dv * dv;
        z = s > 0 ? 4.8 * std::pow(s, 0.6) * (0.8 + 0.2 * std::sin(9.1 * u) * std::cos(7.3 * v)) : 0.0;
        mx = z * (1.2 + 0.4 * std::sin(5.3 * v));
        my = z * (-0.8 + 0.3 * std::cos(4.1 * u));
    };

    const int mid = nn / 2;
    for (int f = 0; f < 4; ++f) {
        const int i0 = (f % 2 == 0) ? 0 : mid - 1, i1 = (f % 2 == 0) ? mid : nn - 1;
        const int j0 = (f / 2 == 0) ? 0 : mid - 1, j1 = (f / 2 == 0) ? mid : nn - 1;
        const int ni = i1 - i0 + 1, nj = j1 - j0 + 1;
        const long long nodes = static_cast<long long>(ni) * nj;
        std::string nodeText(static_cast<std::size_t>(nodes) * 64, '\0');
        char* p = nodeText.data();
        for (int j = j0; j <= j1; ++j) {
            for (int i = i0; i <= i1; ++i) {
                const double x = nodeX(i, j), y = nodeY(i, j);
                double z, mx, my;
                pile(x, y, z, mx, my);
                p = putNodeLine(p, x, y, z, mx, my);
            }
        }
        nodeText.resize(static_cast<std::size_t>(p - nodeText.data()));

        std::string elementText(static_cast<std::size_t>(ni) * nj * 2 * 36, '\0');
        p = elementText.data();
        long long elements = 0;
        auto putElement = [&](long long a, long long b, long long c, long long e) {
            for (long long v : {a, b, c}) {
                p = std::to_chars(p, p + 20, v).ptr;
                *p++ = ' ';
            }
            p = std::to_chars(p, p + 20, e).ptr;
            *p++ = '\n';
            ++elements;
        };
        auto num = [&](int i, int j) { return static_cast<long long>(j - j0) * ni + (i - i0) + 1; };
        for (int j = j0; j < j1; ++j) {
            for (int i = i0; i < i1; ++i) {
                const long long se = num(i + 1, j), ne = num(i + 1, j + 1), nw = num(i, j + 1), sw = num(i, j);
                const bool moved = inPatch(i, j) || inPatch(i + 1, j) || inPatch(i, j + 1) || inPatch(i + 1, j + 1);
                if (!moved && (i * 7 + j * 13) % 20 == 0) {
                    putElement(se, ne, nw, nw);
                    putElement(se, nw, sw, sw);
                    d.triangles += 2;
                } else {
                    putElement(se, ne, nw, sw);
                    if (moved) ++d.generalQuads;
                }
            }
        }
        elementText.resize(static_cast<std::size_t>(p - elementText.data()));

        const std::string header = "TITLE = \"Flow over a slope, region " + std::to_string(f) +
                                   " of 4, t = 120.0 s\"\n"
                                   "VARIABLES = \"X\", \"Y\", \"PILE_HEIGHT\", \"XMOMENTUM\", \"YMOMENTUM\"\n"
                                   "ZONE N=" +
                                   std::to_string(nodes) + ", E=" + std::to_string(elements) +
                                   ", F=FEPOINT, ET=QUADRILATERAL\n";
        const std::string name = dir + "/region" + std::to_string(f) + ".tec";
        {
            std::ofstream out(name, std::ios::binary);
            out << header;
            out.write(nodeText.data(), static_cast<std::streamsize>(nodeText.size()));
            out.write(elementText.data(), static_cast<std::streamsize>(elementText.size()));
        }
        d.files.push_back(name);
        d.nodes.push_back(nodes);
        d.totalNodes += nodes;
        d.maxNodes = std::max(d.maxNodes, nodes);
        d.elements += elements;
        d.bytes += sizeOf(name);
    }

    // A grid of side x side square cells over the whole mesh. The east and north
    // edges get half a cell more so that truncation gives exactly side cells.
    const double xmin = std::floor(xs[0]) - 1.0, ymin = std::floor(ys[0]) - 1.0;
    const double extent = std::max(xs[nn - 1] + 0.5 * h - xmin, ys[nn - 1] + 0.5 * h - ymin);
    const double res = std::ceil(extent / side * 1e4) / 1e4;
    const double xmax = xmin + (side + 0.5) * res, ymax = ymin + (side + 0.5) * res;
    d.par = GxGridParam(xmin, xmax, ymin, ymax, res, res);
    d.outBinary = dir + "/run_binary.grd";
    d.outInProcess = dir + "/run_inprocess.grd";
    d.config = dir + "/run.cfg";
    std::ofstream cfg(d.config);
    cfg << "PileHeight\nxmin " << shortest(xmin) << "\nymin " << shortest(ymin) << "\nxmax " << shortest(xmax)
        << "\nymax " << shortest(ymax) << "\nresx " << shortest(res) << "\nresy " << shortest(res) << "\noutput "
        << d.outBinary << "\ninput";
    for (const std::string& f : d.files) cfg << ' ' << f;
    cfg << '\n';
    return d;
}

// Runs the binary on the configuration as a child process; its standard output
// and error go to files in the scratch folder.
struct ChildRun {
    bool started = false;
    int status = -1;
    double wall = 0.0;
    long maxRssKiB = 0;
    std::string out, err;
};

ChildRun runBinary(const std::string& binary, const std::string& config, const std::string& dir) {
    ChildRun c;
    const std::string outName = dir + "/child.out", errName = dir + "/child.err";
    const auto t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) return c;
    if (pid == 0) {
        const int fo = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0664);
        const int fe = ::open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0664);
        if (fo < 0 || fe < 0) ::_exit(127);
        ::dup2(fo, 1);
        ::dup2(fe, 2);
        ::execl(binary.c_str(), binary.c_str(), config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    struct rusage ru;
    int status = 0;
    if (::wait4(pid, &status, 0, &ru) != pid) return c;
    c.wall = since(t0);
    c.started = true;
    c.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    c.maxRssKiB = ru.ru_maxrss;
    c.out = readWhole(outName);
    c.err = readWhole(errName);
    return c;
}

// The floor of the input side: the node table as doubles and the element
// section as integers, by bare from_chars over bytes already in memory.
long long scanTecplot(const std::string& text, long long nodes, double& sum) {
    const char* p = text.data();
    const char* end = p + text.size();
    const char* zone = static_cast<const char*>(std::memchr(p, 'Z', text.size()));
    while (zone && std::strncmp(zone, "ZONE ", 5) != 0)
        zone = static_cast<const char*>(std::memchr(zone + 1, 'Z', static_cast<std::size_t>(end - zone - 1)));
    if (!zone) return 0;
    p = static_cast<const char*>(std::memchr(zone, '\n', static_cast<std::size_t>(end - zone))) + 1;
    long long values = 0;
    for (long long k = 0; k < nodes * 5; ++k) {
        while (p < end && isSpace(*p)) ++p;
        double v;
        const auto r = std::from_chars(p, end, v);
        if (r.ec != std::errc()) return values;
        sum += v;
        ++values;
        p = r.ptr;
    }
    long long isum = 0;
    for (;;) {
        while (p < end && isSpace(*p)) ++p;
        if (p == end) break;
        int v;
        const auto r = std::from_chars(p, end, v);
        if (r.ec != std::errc()) break;
        isum += v;
        ++values;
        p = r.ptr;
    }
    sum += static_cast<double>(isum);
    return values;
}

void benchRun(const Options& o, const std::string& dir) {
    std::cout << "\n3. Whole run: generating the data set...\n" << std::flush;
    RunData d = makeRunData(o, dir);
    GxGridParam par = d.par;
    const int side = o.runGridSide;
    if (par.NumCol() != side || par.NumRow() != side) {
        std::cout << "  the generated grid is " << par.NumCol() << " x " << par.NumRow() << ", not " << side << " x "
                  << side << "\n";
        return;
    }
    const long long cells = static_cast<long long>(side) * side;
    std::cout << "   " << d.files.size() << " Tecplot files, " << d.totalNodes << " nodes (largest file " << d.maxNodes
              << "), " << d.elements << " elements (" << d.triangles << " triangles, " << d.generalQuads
              << " general quadrilaterals), " << fmt(mb(d.bytes), 1) << " MB; grid " << side << " x " << side
              << ", cell " << shortest(par.resx_) << " m; best of " << o.runReps << "\n";

    // In-process, phase by phase, through the library pieces the run uses.
    Samples tRead, tElem, tRaster, tWrite, tParseOnly, tTotal;
    for (int rep = 0; rep < o.runReps; ++rep) {
        fs::remove(d.outInProcess);
        const auto start = Clock::now();
        GxGrid grid(par.NumRow(), par.NumCol());
        double read = 0, elem = 0;
        for (const std::string& name : d.files) {
            auto t0 = Clock::now();
            GisTecplotFile file(name, "r");
            file.getXYValue(false);
            read += since(t0);
            t0 = Clock::now();
            file.toGrid(grid, par);
            elem += since(t0);
        }
        auto t0 = Clock::now();
        writeAscGrid(d.outInProcess, grid, par);
        tWrite.add(since(t0));
        tTotal.add(since(start));
        tRead.add(read);
        tElem.add(elem);

        // The element numbers alone, through the same reader: what toGrid spends
        // on parsing rather than on the cells.
        double parse = 0;
        for (const std::string& name : d.files) {
            GisTecplotFile file(name, "r");
            file.getXYValue(false);
            t0 = Clock::now();
            int v[4];
            long long sum = 0;
            while (file.good()) {
                file.getAscInt(v[0]);
                file.getAscInt(v[1]);
                file.getAscInt(v[2]);
                file.getAscInt(v[3]);
                sum += v[0] + v[1] + v[2] + v[3];
            }
            parse += since(t0);
            if (sum == 42) std::cout << "";  // keeps the loop from being dropped
        }
        tParseOnly.add(parse);
    }

    // The real binary, as a child process: wall time and peak memory.
    Samples tBinary;
    ChildRun last;
    long maxRss = 0;
    for (int rep = 0; rep < o.runReps; ++rep) {
        fs::remove(d.outBinary);
        last = runBinary(o.binary, d.config, dir);
        if (!last.started) break;
        tBinary.add(last.wall);
        maxRss = std::max(maxRss, last.maxRssKiB);
    }

    // The floor: bare from_chars over the input bytes in memory, bare to_chars
    // of the finished grid into memory.
    std::vector<std::string> texts;
    for (const std::string& name : d.files) texts.push_back(readWhole(name));
    GxGrid grid(par.NumRow(), par.NumCol());
    for (const std::string& name : d.files) {
        GisTecplotFile file(name, "r");
        file.getXYValue(false);
        file.toGrid(grid, par);
    }
    std::vector<char> buf(formatRoom(grid));
    std::memset(buf.data(), 0, buf.size());
    Samples tScan, tFormat;
    long long scanned = 0;
    std::size_t formatted = 0;
    // Cheap next to the run, so repeated as often as the reader and writer.
    for (int rep = 0; rep < std::max(o.reps, o.runReps); ++rep) {
        auto t0 = Clock::now();
        double sum = 0;
        scanned = 0;
        for (std::size_t f = 0; f < texts.size(); ++f) scanned += scanTecplot(texts[f], d.nodes[f], sum);
        tScan.add(since(t0));
        if (sum == 42.0) std::cout << "";
        t0 = Clock::now();
        formatted = formatWithToChars(buf.data(), grid, par);
        tFormat.add(since(t0));
    }
    long long nonZero = 0;
    for (int row = 0; row < side; ++row)
        for (int col = 0; col < side; ++col) nonZero += grid.RowCol(row, col) != 0.0;

    Samples raster;
    for (std::size_t k = 0; k < tElem.t.size(); ++k) raster.add(tElem.t[k] - tParseOnly.t[k]);
    auto rateIn = [&](const Samples& s) { return fmt(mb(d.bytes) / s.best(), 0) + " MB/s of input"; };
    printRow("reading: zone record + node tables", tRead,
             fmt(static_cast<double>(d.totalNodes) / tRead.best() / 1e6, 2) + " Mnodes/s");
    printRow("rasterising: toGrid (elements + cells)", tElem,
             fmt(static_cast<double>(d.elements) / tElem.best() / 1e6, 2) + " Melem/s");
    printRow("  of which element numbers (getAscInt)", tParseOnly, "");
    printRow("writing: writeAscGrid", tWrite, fmt(static_cast<double>(cells) / tWrite.best() / 1e6, 1) + " Mcells/s");
    printRow("in-process total (incl. grid allocation)", tTotal, rateIn(tTotal));
    if (!tBinary.t.empty())
        printRow("binary, child process (wall)", tBinary, rateIn(tBinary));
    else
        std::cout << "  the binary " << o.binary << " could not be run\n";
    printRow("floor: bare from_chars scan of the input", tScan, rateIn(tScan));
    printRow("floor: bare to_chars of the grid", tFormat, fmt(mb(static_cast<long long>(formatted)), 1) + " MB");
    const double floorTime = tScan.best() + tFormat.best();
    const double whole = tBinary.t.empty() ? tTotal.best() : tBinary.best();
    const double ratio = whole / floorTime;
    std::cout << "  whole run / (bare scan + bare formatting) = " << fmt(whole, 3) << " / " << fmt(floorTime, 3)
              << " = " << fmt(ratio, 2) << "   target <= 2: " << verdict(ratio <= 2.0) << "\n";
    const long long budget = 8 * cells + 24 * d.maxNodes + 32LL * 1024 * 1024;
    const long long peak = maxRss * 1024LL;
    std::cout << "  peak memory of the binary (ru_maxrss): " << fmt(mib(peak), 1) << " MiB; budget 8 B x " << cells
              << " cells + 24 B x " << d.maxNodes << " nodes + 32 MiB = " << fmt(mib(budget), 1)
              << " MiB   target: " << verdict(peak > 0 && peak <= budget) << " ("
              << fmt(100.0 * static_cast<double>(peak) / static_cast<double>(budget), 0) << "% of the budget)\n";

    // Checks: the binary converted every file without a word of warning, and
    // its grid equals the one the phase-by-phase run wrote.
    int asc = 0;
    for (std::size_t k = last.out.find("Asc File "); k != std::string::npos; k = last.out.find("Asc File ", k + 1))
        ++asc;
    const bool clean = last.started && last.status == 0 && asc == 4 &&
                       last.out.find("not found") == std::string::npos && last.err.empty();
    const bool same = readWhole(d.outBinary) == readWhole(d.outInProcess) && sizeOf(d.outBinary) > 0;
    std::cout << "  check: binary exit " << last.status << ", " << asc << " files reported, standard error "
              << (last.err.empty() ? "empty" : "NOT empty: " + last.err.substr(0, 200)) << ": "
              << (clean ? "yes" : "NO") << "\n";
    std::cout << "  check: binary grid byte-identical to the phase-by-phase grid: " << (same ? "yes" : "NO")
              << "; input values scanned " << scanned << "; grid "
              << fmt(100.0 * static_cast<double>(nonZero) / static_cast<double>(cells), 1) << "% non-zero cells\n";
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseOptions(argc, argv, o)) return 2;
    std::error_code ec;
    const fs::path parent = o.parent.empty() ? fs::temp_directory_path(ec) : fs::path(o.parent);
    std::string templ = (parent / "meshraster_bench.XXXXXX").string();
    if (!::mkdtemp(templ.data())) {
        std::cerr << "cannot create a scratch folder in " << parent << "\n";
        return 1;
    }
    const std::string dir = templ;
    std::cout << "MeshRaster benchmark; scratch folder " << dir << "\n"
              << "Times are wall-clock seconds, the best of the repetitions; the spread is (worst - best) / best.\n";
    if (o.doReader) benchReader(o, dir);
    if (o.doWriter) benchWriter(o, dir);
    if (o.doRun) benchRun(o, dir);
    if (!o.keep)
        fs::remove_all(dir, ec);
    else
        std::cout << "\nscratch folder kept: " << dir << "\n";
    return 0;
}
