#include "MeshRaster.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "GisAscFile.h"
#include "GisTecplotFile.h"

namespace {

const char* const kUsage[] = {
    "Use MeshRaster ConfigFile",
    "ConfigFile format:",
    "Velocity (for velocity values) or PileHeight",
    "xmin <Output Grid minimum X coordinate>",
    "ymin <Output Grid minimum Y coordinate>",
    "xmax <Output Grid maximum X coordinate>",
    "ymax <Output Grid maximum Y coordinate>",
    "resx <Output Grid resolution in X direction>",
    "resy <Output Grid resolution in Y direction>",
    "output <Output KORVEN-ASCII file>",
    "input <Tecplot file 1> <Tecplot file 2> ...",
    "... <Tecplot file n>",
};

// Warnings follow the file's "Asc File " line when both streams go to one place.
std::ostream& warn() {
    std::cout.flush();
    return std::cerr;
}

// Prints what the reading of a file found wrong, as "name:line: text"; false
// when part of the file was not converted.
bool printWarnings(const std::string& name, const GisTecplotFile& file) {
    bool whole = true;
    for (const TecplotWarning& w : file.warnings()) {
        warn() << name << ':' << w.line << ": " << w.text << '\n';
        whole = whole && !w.lost;
    }
    return whole;
}

// Writes all of data to fd; false on any error (a full disk among them).
bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

// Tokens of the configuration file before the input list, for messages.
const char* const kConfigItems[] = {
    "the mode word",
    "the label before xmin",
    "xmin",
    "the label before ymin",
    "ymin",
    "the label before xmax",
    "xmax",
    "the label before ymax",
    "ymax",
    "the label before resx",
    "resx",
    "the label before resy",
    "resy",
    "the label before the output file name",
    "the output file name",
};

}  // namespace

char* putNumber(char* out, double v) {
    // Most cells of a grid hold 0: skip the general conversion for them.
    if (v == 0.0 && !std::signbit(v)) {
        *out = '0';
        return out + 1;
    }
    return std::to_chars(out, out + 24, v, std::chars_format::general, 11).ptr;
}

bool readTecFile(const char* fileName, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar) {
    if (fileName == nullptr) return true;
    const std::string strFileName(fileName);
    GisTecplotFile file(strFileName, "r");
    if (!file.good()) {
        std::cout << "Asc File " << strFileName << " not found..." << '\n';
        if (!file.isOpen()) warn() << strFileName << ": can't open the file\n";
        printWarnings(strFileName, file);
        return false;
    }
    // Written before the node table is read, so it names the file the
    // following work (and any warning) belongs to.
    std::cout << "Asc File " << strFileName << '\n';
    file.getXYValue(isVelocity);
    file.toGrid(outGrid, gridPar);
    return printWarnings(strFileName, file);
}

bool writeAscGrid(const std::string& outFileName, const GxGrid& outGrid, const GxGridParam& gridPar) {
    // Created only now, after every input file has been converted. A name with
    // a NUL byte names no file: cut at the NUL it would name another one.
    const bool nameIsWhole = outFileName.find('\0') == std::string::npos;
    const int fd = nameIsWhole ? ::open(outFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664) : -1;
    if (fd < 0) {
        std::cout << "Can't open output file " << outFileName << '\n';
        return false;
    }
    // Blocks of 1 MiB: a 4000 x 4000 grid goes out in a few dozen writes.
    constexpr std::size_t kBlock = 1 << 20;
    constexpr std::size_t kRoom = 64;  // more than one number, its space and a newline
    std::vector<char> block(kBlock + kRoom);
    char* const start = block.data();
    char* const limit = start + kBlock;
    char* p = start;
    bool ok = true;
    auto flush = [&] {
        ok = ok && writeAll(fd, start, static_cast<std::size_t>(p - start));
        p = start;
    };
    auto put = [&](const char* text) {
        while (*text) *p++ = *text++;
    };

    put("GRIDREG\nINFO\nUNITS  meters\n");
    put("//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\n");
    put("GRIDDEF ");
    p = std::to_chars(p, limit, outGrid.NumCol()).ptr;
    *p++ = ' ';
    p = std::to_chars(p, limit, outGrid.NumRow()).ptr;
    *p++ = ' ';
    p = putNumber(p, gridPar.xmin_);
    *p++ = ' ';
    // The north edge is always written shifted by ten million.
    p = putNumber(p, gridPar.ymax_ + 10000000);
    *p++ = ' ';
    p = putNumber(p, gridPar.resx_);
    *p++ = ' ';
    p = putNumber(p, gridPar.resy_);
    // The no-data text is fixed, three-digit exponent included.
    put(" 3.4e+037\nINFO_END\n");

    // Row 0 is the northernmost: the file lists the grid north to south, each row
    // west to east, every value followed by one space.
    const int nrows = outGrid.NumRow();
    const int ncols = outGrid.NumCol();
    for (int row = 0; row < nrows && ok; ++row) {
        for (int col = 0; col < ncols; ++col) {
            p = putNumber(p, outGrid.RowCol(row, col));
            *p++ = ' ';
            if (p >= limit) flush();
        }
        *p++ = '\n';
        if (p >= limit) flush();
    }
    put("END\n");
    flush();
    if (::close(fd) != 0) ok = false;
    if (!ok) std::cout << "Can't write output file " << outFileName << '\n';
    return ok;
}

int runMeshRaster(int argc, char** argv) {
    if (argc != 2) {
        for (const char* line : kUsage) std::cout << line << '\n';
        return 2;
    }
    const std::string cfgName = argv[1];
    GisAscFile cfgFile(cfgName, "r");
    if (!cfgFile.good()) {
        std::cout << "Can't open ConfigFile " << cfgName << '\n';
        return 1;
    }

    // Tokens by position: the mode word, six label and number pairs, a label and
    // the output file name, a label and the input names. Labels are not compared.
    std::string stringValue;
    bool isVelocity = false;
    int failedItem = -1;
    bool failedAtEnd = false;
    long long failedLine = 0;
    auto check = [&](int item) {
        if (failedItem >= 0 || !cfgFile.fail()) return;
        failedItem = item;
        failedAtEnd = cfgFile.endedBeforeToken();
        failedLine = cfgFile.lineNumber();
    };
    cfgFile.getString(stringValue);
    check(0);
    if (stringValue == "Velocity") isVelocity = true;
    double numbers[6] = {0, 0, 0, 0, 0, 0};  // xmin, ymin, xmax, ymax, resx, resy
    for (int k = 0; k < 6; ++k) {
        cfgFile.getString(stringValue);
        check(1 + 2 * k);
        cfgFile.getAscDouble(numbers[k]);
        check(2 + 2 * k);
    }
    cfgFile.getString(stringValue);
    check(13);
    std::string outFileName;
    cfgFile.getString(outFileName);
    check(14);
    if (outFileName.empty()) {
        // Nothing is converted and no output file is touched.
        if (failedAtEnd)
            std::cout << "ConfigFile " << cfgName << " ends before " << kConfigItems[failedItem] << '\n';
        else
            std::cout << "ConfigFile " << cfgName << ':' << failedLine << ": " << kConfigItems[failedItem]
                      << " is not a number\n";
        return 1;
    }
    const double xmin = numbers[0], ymin = numbers[1], xmax = numbers[2], ymax = numbers[3];
    const double resx = numbers[4], resy = numbers[5];

    const char* problem = nullptr;
    for (int k = 0; k < 6 && !problem; ++k)
        if (!std::isfinite(numbers[k])) problem = "a grid number is not finite";
    if (!problem && !(resx > 0)) problem = "resx must be greater than 0";
    if (!problem && !(resy > 0)) problem = "resy must be greater than 0";
    if (!problem && xmax < xmin) problem = "xmax is below xmin";
    if (!problem && ymax < ymin) problem = "ymax is below ymin";
    if (!problem && !((xmax - xmin) / resx < 2147483648.0))
        problem = "the grid would have more than 2147483647 columns; use a larger resx";
    if (!problem && !((ymax - ymin) / resy < 2147483648.0))
        problem = "the grid would have more than 2147483647 rows; use a larger resy";
    if (problem) {
        std::cout << "ConfigFile " << cfgName << ": " << problem << '\n';
        return 1;
    }

    GxGridParam gridPar(xmin, xmax, ymin, ymax, resx, resy);
    std::unique_ptr<GxGrid> outGrid;
    try {
        outGrid = std::make_unique<GxGrid>(gridPar.NumRow(), gridPar.NumCol());
    } catch (const std::bad_alloc&) {
        std::cerr << "out of memory\n";
        return 1;
    } catch (const std::length_error&) {
        std::cerr << "out of memory\n";
        return 1;
    }

    cfgFile.getString(stringValue);  // the label before the input list
    bool allRead = true;
    std::string inFileName;
    for (;;) {
        // A read that finds no word leaves the name empty; one that takes a word
        // up to the end of the file still delivers it.
        inFileName.clear();
        cfgFile.getString(inFileName);
        if (inFileName.empty()) break;
        if (inFileName.find('\0') != std::string::npos) {
            // Cut at the NUL, the name would convert another file.
            std::cout << "Asc File " << inFileName << " not found..." << '\n';
            warn() << inFileName << ": the file name holds a NUL byte\n";
            allRead = false;
            continue;
        }
        allRead = readTecFile(inFileName.c_str(), isVelocity, *outGrid, gridPar) && allRead;
    }

    const bool written = writeAscGrid(outFileName, *outGrid, gridPar);
    std::cout.flush();
    return allRead && written ? 0 : 1;
}
