#include "MeshRaster.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "CommandLine.h"
#include "GdalModule.h"
#include "GisAscFile.h"
#include "GisTecplotFile.h"
#include "Jobs.h"
#include "NumberText.h"
#include "OutputFile.h"
#include "RunConfig.h"

namespace {

// Warnings follow the file's "Asc File " line when both streams go to one place.
std::ostream& warn() {
    std::cout.flush();
    return std::cerr;
}

// The lines the conversion of one file prints, each for standard output or
// standard error. A file converted alone prints each line as it comes; files
// converted at once keep theirs until the files before them have printed, so
// that both streams hold the lines of a one-file-at-a-time run, in list order.
class FileMessages {
public:
    explicit FileMessages(bool immediate) : immediate_(immediate) {}

    // A line for standard output, without its newline.
    void out(std::string line) { add(false, std::move(line)); }
    // A line for standard error, without its newline.
    void err(std::string line) { add(true, std::move(line)); }
    // Prints the lines kept, in order.
    void print() {
        for (const Line& l : lines_) print(l);
        lines_.clear();
    }

private:
    struct Line {
        bool toErr;
        std::string text;
    };
    void add(bool toErr, std::string text) {
        Line l{toErr, std::move(text)};
        if (immediate_)
            print(l);
        else
            lines_.push_back(std::move(l));
    }
    static void print(const Line& l) { (l.toErr ? warn() : std::cout) << l.text << '\n'; }

    bool immediate_;
    std::vector<Line> lines_;
};

// Records what the reading of a file found wrong, as "name:line: text"; false
// when part of the file was not converted.
bool addWarnings(const std::string& name, const GisTecplotFile& file, FileMessages& messages) {
    bool whole = true;
    const std::string shown = printableName(name);
    for (const TecplotWarning& w : file.warnings()) {
        messages.err(shown + ':' + std::to_string(w.line) + ": " + w.text);
        whole = whole && !w.lost;
    }
    return whole;
}

// Converts one Tecplot file into outGrid; false unless it was read whole.
bool convertFile(const std::string& name, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar,
                 FileMessages& messages, const ReaderOptions& reading = ReaderOptions()) {
    if (name.find('\0') != std::string::npos) {
        // Cut at the NUL, the name would convert another file.
        messages.out("Asc File " + name + " not found...");
        messages.err(printableName(name) + ": the file name holds a NUL byte");
        return false;
    }
    GisTecplotFile file(name, "r");
    if (!file.good()) {
        messages.out("Asc File " + name + " not found...");
        if (!file.isOpen()) messages.err(printableName(name) + ": can't open the file");
        addWarnings(name, file, messages);
        return false;
    }
    // Printed before the node table is read when files are converted one at a
    // time, so it names the file the following work (and any warning) belongs to.
    messages.out("Asc File " + name);
    const bool timeFound = readZones(file, isVelocity, outGrid, gridPar, reading);
    const bool whole = addWarnings(name, file, messages);
    if (!timeFound)
        messages.err(printableName(name) + ": no zone has the solution time " + reading.timeText + "; nothing is read");
    return whole && timeFound;
}

// The grid file's header, up to the line INFO_END.
std::string gridHeader(const GxGrid& outGrid, const GxGridParam& gridPar) {
    std::string header =
        "GRIDREG\nINFO\nUNITS  meters\n"
        "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\nGRIDDEF ";
    char text[128];
    char* p = std::to_chars(text, text + 16, outGrid.NumCol()).ptr;
    *p++ = ' ';
    p = std::to_chars(p, p + 16, outGrid.NumRow()).ptr;
    // The north edge is always written shifted by ten million.
    for (const double v : {gridPar.xmin_, gridPar.ymax_ + 10000000, gridPar.resx_, gridPar.resy_}) {
        *p++ = ' ';
        p = putNumber(p, v);
    }
    header.append(text, p);
    // The no-data text is fixed, three-digit exponent included.
    return header + " 3.4e+037\nINFO_END\n";
}

// The text of a grid file. Row 0 is the northernmost: the file lists the grid
// north to south, each row west to east, every value followed by one space.
// The cells are formatted in blocks of kBlockCells on up to jobs threads and
// written in order, at most two blocks a thread waiting; the blocks' memory is
// had when the object is made, before the file is opened, so that running
// out of it writes nothing.
class GridText {
public:
    GridText(const GxGrid& outGrid, const GxGridParam& gridPar, int jobs)
        : grid_(outGrid),
          header_(gridHeader(outGrid, gridPar)),
          jobs_(jobs),
          blocks_((outGrid.cellCount() + kBlockCells - 1) / kBlockCells),
          texts_(std::min(2 * static_cast<std::size_t>(jobs), blocks_), std::vector<char>(kBlockText)),
          sizes_(texts_.size(), 0) {}

    // Writes the whole text to file; false after a write that failed.
    bool writeTo(OutputFile& file) {
        if (!file.write(header_.data(), header_.size()) || !writeEmptyRows(file)) return false;
        bool ok = true;
        runInOrder(
            blocks_, jobs_, texts_.size(), [this](std::size_t b) { format(b); },
            [&](std::size_t b) {
                return ok = file.write(texts_[b % texts_.size()].data(), sizes_[b % texts_.size()]);
            });
        return ok && file.write("END\n", 4);
    }

private:
    // Cells of a block: with every number at its longest, 24 characters, its
    // space and a newline, about 1 MiB of text.
    static constexpr std::size_t kBlockCells = 40000;
    static constexpr std::size_t kBlockText = kBlockCells * 26;

    // A grid without columns has no cells but still its rows, each an empty line.
    bool writeEmptyRows(OutputFile& file) const {
        static const std::string newlines(4096, '\n');
        long long left = grid_.NumCol() == 0 ? grid_.NumRow() : 0;
        for (; left > 0; left -= static_cast<long long>(newlines.size()))
            if (!file.write(newlines.data(), static_cast<std::size_t>(std::min<long long>(left, 4096)))) return false;
        return true;
    }

    void format(std::size_t b) {
        std::vector<char>& text = texts_[b % texts_.size()];
        char* p = text.data();
        const std::size_t ncols = static_cast<std::size_t>(grid_.NumCol());
        const std::size_t first = b * kBlockCells, last = std::min(grid_.cellCount(), first + kBlockCells);
        const double* cell = grid_.data();
        std::size_t col = first % ncols;
        for (std::size_t k = first; k < last; ++k) {
            p = putNumber(p, cell[k]);
            *p++ = ' ';
            if (++col == ncols) {
                *p++ = '\n';
                col = 0;
            }
        }
        sizes_[b % texts_.size()] = static_cast<std::size_t>(p - text.data());
    }

    const GxGrid& grid_;
    const std::string header_;
    const int jobs_;
    const std::size_t blocks_;
    std::vector<std::vector<char>> texts_;  // a block's text, by block number modulo their count
    std::vector<std::size_t> sizes_;        // the bytes of each
};

// "74.5 GiB": bytes in the largest binary unit that leaves at least 1.
std::string memorySize(double bytes) {
    const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    bytes /= 1024;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

// The line after "out of memory": the grid's size, the memory it needs, and the
// resolution that shrinks it, the one across the grid's longer side (both when
// neither side is twice the other).
std::string gridMemoryLine(long long rows, long long cols) {
    const double bytes = static_cast<double>(sizeof(double)) * static_cast<double>(rows) * static_cast<double>(cols);
    const char* raise = cols >= 2 * rows ? "resx" : rows >= 2 * cols ? "resy" : "resx or resy";
    return "the grid of " + std::to_string(rows) + " rows x " + std::to_string(cols) + " columns needs " +
           memorySize(bytes) + "; raise " + raise;
}

// True unless the grid's cells need more than the machine's physical memory:
// such a grid would at best be paged out while it is filled. A machine that
// does not tell its memory is given the benefit of the doubt.
bool fitsInMemory(long long rows, long long cols) {
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return true;
    // Both counts are below 2^31, so the cell count fits; its byte count may not.
    const auto cells = static_cast<unsigned long long>(rows) * static_cast<unsigned long long>(cols);
    const auto memory = static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize);
    return cells <= memory / sizeof(double);
}

// The grid of gridPar, every cell 0; nullptr, after its message, when its
// memory cannot be had. The counts are checked before anything is allocated.
std::unique_ptr<GxGrid> makeGrid(const GxGridParam& gridPar) {
    const long long rows = std::max(gridPar.NumRow(), 0), cols = std::max(gridPar.NumCol(), 0);
    if (fitsInMemory(rows, cols)) {
        try {
            return std::make_unique<GxGrid>(gridPar.NumRow(), gridPar.NumCol());
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {}
    }
    std::cerr << "out of memory\n" << gridMemoryLine(rows, cols) << '\n';
    return nullptr;
}

// What is wrong when the output file is the configuration or an input file
// (same device and inode, so links and other spellings count), as the rest of
// a "ConfigFile" line; empty otherwise. Writing it would destroy what the run
// reads. Only a regular file can be destroyed so: a device may be named twice.
std::string sameFileProblem(const std::string& cfgName, const RunConfig& cfg) {
    struct stat out;
    if (cfg.outFileName.find('\0') != std::string::npos || ::stat(cfg.outFileName.c_str(), &out) != 0 ||
        !S_ISREG(out.st_mode))
        return "";
    const auto isOutput = [&out](const std::string& name) {
        struct stat in;
        return name.find('\0') == std::string::npos && ::stat(name.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
               in.st_ino == out.st_ino;
    };
    if (isOutput(cfgName)) return ": the output file is the configuration file; name another output file";
    for (const std::string& inFileName : cfg.inFileNames)
        if (isOutput(inFileName)) return ": the output file is also an input file; name another output file";
    return "";
}

// Before anything is opened: every standard descriptor held, and the signals
// that would end the run without a message turned into errors.
void prepareProcess() {
    // A closed standard descriptor would be handed to the next file opened, and
    // messages would land in it: it is held by /dev/null opened for reading,
    // so that writing to it still fails, as to a closed descriptor.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
    // A reader that closed the pipe must not stop the grid file from being
    // written, and a file-size limit is a write error to report, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    OutputFile::creationMask();
}

// False when a message could not be written to standard output or standard
// error (closed, a pipe without a reader, a full disk). Checked after the grid
// file, which comes first.
bool messagesWritten() {
    std::cout.flush();
    if (!std::cout.good()) std::cerr << "standard output: can't write the messages\n";
    return std::cout.good() && std::cerr.good();
}

// Converts the input files into outGrid on up to jobs threads, each file by
// one thread, so that at most jobs node tables are held at once; false when
// one was not read whole. Every cell keeps the largest value offered to it
// (GxGrid::raise), so the grid is the same whatever the order the files end in.
bool convertInputs(const RunConfig& cfg, GxGrid& outGrid, GxGridParam& gridPar, int jobs,
                   const ReaderOptions& reading) {
    const std::vector<std::string>& names = cfg.inFileNames;
    const bool alone = jobs <= 1 || names.size() <= 1;
    std::vector<FileMessages> messages(names.size(), FileMessages(alone));
    std::vector<char> whole(names.size(), 0);
    outGrid.setShared(!alone);
    const auto convert = [&](std::size_t k) {
        whole[k] = convertFile(names[k], cfg.isVelocity, outGrid, gridPar, messages[k], reading);
    };
    // A file's messages take no memory to speak of: every file may finish ahead.
    runInOrder(names.size(), jobs, names.size(), convert, [&messages](std::size_t k) {
        messages[k].print();
        return true;
    });
    outGrid.setShared(false);
    return std::all_of(whole.begin(), whole.end(), [](char w) { return w != 0; });
}

// Acts on a command line that asks for no run (help, version, a usage error);
// -1 when it asks for a run.
int answerWithoutRun(const CommandLine& cl) {
    switch (cl.action) {
        case CommandLine::Action::help:
            printHelp(std::cout);
            return messagesWritten() ? 0 : 1;
        case CommandLine::Action::version:
            printVersion(std::cout);
            return messagesWritten() ? 0 : 1;
        case CommandLine::Action::usageError:
            printUsage(std::cout);
            if (!cl.problem.empty()) std::cout << cl.problem << '\n';
            return 2;
        case CommandLine::Action::run:
            break;
    }
    return -1;
}

// The raster format options of the command line; an empty format is the text.
RasterOptions rasterOptions(const CommandLine& cl) {
    return RasterOptions{cl.format, cl.srs, cl.hasNodata, cl.nodataValue, cl.creationOptions};
}

// Writes the grid in the format the command line names: the text by default.
bool writeGrid(const std::string& name, const GxGrid& outGrid, const GxGridParam& gridPar, const RasterOptions& raster,
               int jobs) {
    if (raster.format.empty()) return writeAscGrid(name, outGrid, gridPar, jobs);
    std::string error;
    if (writeRaster(name, outGrid, gridPar, raster, error)) return true;
    std::cout << "Can't write output file " << name << '\n';
    warn() << printableName(name) << ": " << error << '\n';
    return false;
}

// Reads the configuration; prints what makes it unusable and returns false.
// A read error is the system's, not the user's: it goes to standard error.
bool readConfig(const std::string& cfgName, GisAscFile& cfgFile, RunConfig& cfg) {
    cfg = readRunConfig(cfgFile);
    std::string problem = configProblem(cfg);
    if (problem.empty()) problem = sameFileProblem(cfgName, cfg);
    if (problem.empty()) return true;
    // Nothing is converted and no output file is touched.
    (cfg.readProblem.empty() ? std::cout : warn()) << "ConfigFile " << cfgName << problem << '\n';
    return false;
}

}  // namespace

char* putNumber(char* out, double v) {
    // Most cells of a grid hold 0: skip the general conversion for them.
    if (v == 0.0 && !std::signbit(v)) {
        *out = '0';
        return out + 1;
    }
    return formatGeneral11(out, v);
}

// Bytes 0x20 to 0x7e and 0x80 up stay as written, UTF-8 included.
std::string printableName(const std::string& name) {
    std::string shown;
    shown.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            shown += c;
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c == '\r') {
            shown += "\\r";
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            shown += hex;
        }
    }
    return shown;
}

bool readTecFile(const char* fileName, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar) {
    if (fileName == nullptr) return true;
    FileMessages messages(true);
    return convertFile(fileName, isVelocity, outGrid, gridPar, messages);
}

bool writeAscGrid(const std::string& outFileName, const GxGrid& outGrid, const GxGridParam& gridPar, int jobs) {
    const std::string shown = printableName(outFileName);
    if (outFileName.find('\0') != std::string::npos) {
        // Cut at the NUL, the name would replace another file.
        std::cout << "Can't open output file " << outFileName << '\n';
        warn() << shown << ": the file name holds a NUL byte\n";
        return false;
    }
    std::string reason;
    try {
        GridText text(outGrid, gridPar, jobs);
        // Opened only now, after every input file has been converted; until
        // commit() the old file stays as it was.
        OutputFile file;
        if (!file.open(outFileName)) {
            std::cout << "Can't open output file " << outFileName << '\n';
            warn() << shown << ": " << std::strerror(file.error()) << '\n';
            return false;
        }
        if (text.writeTo(file) && file.commit()) return true;
        reason = std::strerror(file.error());
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    }
    std::cout << "Can't write output file " << outFileName << '\n';
    warn() << shown << ": " << reason << '\n';
    return false;
}

int runMeshRaster(int argc, char** argv) {
    prepareProcess();
    const CommandLine cl = parseCommandLine(argc, argv);
    const int answered = answerWithoutRun(cl);
    if (answered >= 0) return answered;
    // A format that cannot take the grid is refused before anything is read.
    const RasterOptions raster = rasterOptions(cl);
    const std::string formatProblem = raster.format.empty() ? "" : checkRasterFormat(raster);
    if (!formatProblem.empty()) {
        std::cout << "MeshRaster: " << formatProblem << '\n';
        return 2;
    }
    const std::string& cfgName = cl.configName;
    GisAscFile cfgFile(cfgName, "r");
    if (!cfgFile.good()) {
        std::cout << "Can't open ConfigFile " << cfgName << '\n';
        return 1;
    }
    RunConfig cfg;
    if (!readConfig(cfgName, cfgFile, cfg)) return 1;
    GxGridParam gridPar(cfg.xmin, cfg.xmax, cfg.ymin, cfg.ymax, cfg.resx, cfg.resy);
    const std::unique_ptr<GxGrid> outGrid = makeGrid(gridPar);
    if (!outGrid) return 1;
    // A failed message stops nothing: the grid file is written first, and the
    // exit status reports the loss afterwards.
    const int jobs = cl.jobs > 0 ? cl.jobs : availableProcessors();
    const ReaderOptions reading{cl.columns, cl.hasTime, cl.lastTime, cl.time, cl.timeText};
    const bool allRead = convertInputs(cfg, *outGrid, gridPar, jobs, reading);
    const bool written = writeGrid(cfg.outFileName, *outGrid, gridPar, raster, jobs);
    const bool told = messagesWritten();
    return allRead && written && told ? 0 : 1;
}
