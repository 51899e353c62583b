#include "MeshRaster.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
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
#include "OutputName.h"
#include "Progress.h"
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
    // Each line goes out as it is printed, to a pipe or a file too, so that a
    // log shows how far a run has come; a few lines a file cost nothing.
    static void print(const Line& l) {
        const auto held = holdProgressLine();
        if (l.toErr)
            warn() << l.text << '\n';
        else
            std::cout << l.text << '\n' << std::flush;
    }

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

// How much of a file went into the grid.
enum class FileRead {
    none,    // not opened, no zone, or its zone refused: nothing of it is in the grid
    partly,  // its node table was begun, but something of it was lost
    whole,
};

// The folder of the configuration file, with its "/"; empty when it is the
// folder the program runs in.
std::string folderOf(const std::string& cfgName) {
    const std::size_t slash = cfgName.rfind('/');
    return slash == std::string::npos ? "" : cfgName.substr(0, slash + 1);
}

// Why name could not be opened, and, when a file of that name stands beside
// the configuration in another folder, where: a run started from another
// folder than the configuration's finds none of its inputs.
std::string openProblem(const std::string& name, const std::string& cfgFolder) {
    std::string problem = printableName(name) + ": can't open the file";
    if (cfgFolder.empty() || name.empty() || name[0] == '/') return problem;
    struct stat beside;
    if (::stat((cfgFolder + name).c_str(), &beside) == 0 && !S_ISDIR(beside.st_mode))
        problem += "; there is one in " + printableName(cfgFolder) +
                   ", beside the configuration, but names are taken relative to the folder MeshRaster runs in";
    return problem;
}

// Converts one Tecplot file into outGrid. cfgFolder is the configuration's
// folder, for the message about a file not found.
FileRead convertFile(const std::string& name, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar,
                     FileMessages& messages, const std::string& cfgFolder = "") {
    if (name.find('\0') != std::string::npos) {
        // Cut at the NUL, the name would convert another file.
        messages.out("Asc File " + name + " not found...");
        messages.err(printableName(name) + ": the file name holds a NUL byte");
        return FileRead::none;
    }
    GisTecplotFile file(name, "r");
    if (!file.good()) {
        messages.out("Asc File " + name + " not found...");
        if (!file.isOpen()) messages.err(openProblem(name, cfgFolder));
        addWarnings(name, file, messages);
        return FileRead::none;
    }
    // Printed before the node table is read when files are converted one at a
    // time, so it names the file the following work (and any warning) belongs to.
    messages.out("Asc File " + name);
    file.getXYValue(isVelocity);
    file.toGrid(outGrid, gridPar);
    return addWarnings(name, file, messages) ? FileRead::whole : FileRead::partly;
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
                progressWritten(static_cast<double>(b + 1) / static_cast<double>(blocks_));
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
    std::string output;
    switch (outputOverlap({cfg.outFileName}, cfgName, cfg.inFileNames, output)) {
        case FileOverlap::configuration:
            return ": the output file is the configuration file; name another output file";
        case FileOverlap::input:
            return ": the output file is also an input file; name another output file";
        case FileOverlap::none:
            break;
    }
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

// What the conversion of the input files came to.
struct InputsRead {
    std::size_t read = 0;  // files of which something went into the grid
    bool allWhole = true;  // every file was read whole
};

// Converts the input files into outGrid on up to jobs threads, each file by
// one thread, so that at most jobs node tables are held at once. Every cell
// keeps the largest value offered to it (GxGrid::raise), so the grid is the
// same whatever the order the files end in.
InputsRead convertInputs(const RunConfig& cfg, const std::string& cfgFolder, GxGrid& outGrid, GxGridParam& gridPar,
                         int jobs) {
    const std::vector<std::string>& names = cfg.inFileNames;
    const bool alone = jobs <= 1 || names.size() <= 1;
    std::vector<FileMessages> messages(names.size(), FileMessages(alone));
    std::vector<FileRead> read(names.size(), FileRead::none);
    outGrid.setShared(!alone);
    const auto convert = [&](std::size_t k) {
        read[k] = convertFile(names[k], cfg.isVelocity, outGrid, gridPar, messages[k], cfgFolder);
        progressFileRead();
    };
    // A file's messages take no memory to speak of: every file may finish ahead.
    runInOrder(names.size(), jobs, names.size(), convert, [&messages](std::size_t k) {
        messages[k].print();
        return true;
    });
    outGrid.setShared(false);
    InputsRead result;
    for (const FileRead r : read) {
        result.read += r != FileRead::none;
        result.allWhole = result.allWhole && r == FileRead::whole;
    }
    return result;
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
    return RasterOptions{cl.format, cl.srs, cl.hasNodata, cl.nodataValue, cl.creationOptions, progressWritten};
}

// Writes the grid in the format the command line names: the text by default.
bool writeGrid(const std::string& name, const GxGrid& outGrid, const GxGridParam& gridPar, const RasterOptions& raster,
               const RasterPlan& plan, int jobs) {
    if (raster.format.empty()) return writeAscGrid(name, outGrid, gridPar, jobs);
    std::string error;
    const RasterWrite result = writeRaster(name, outGrid, gridPar, raster, plan, error);
    if (result == RasterWrite::written) return true;
    const auto held = holdProgressLine();
    std::cout << (result == RasterWrite::notOpened ? "Can't open output file " : "Can't write output file ") << name
              << '\n';
    warn() << printableName(name) << ": " << error << '\n';
    return false;
}

// Before any input is read: what GDAL would refuse in the raster asked for,
// and a file it would write beside the raster that the run reads. Prints the
// problem and returns its exit status; 0 when there is none.
int rasterRefusal(const std::string& cfgName, const RunConfig& cfg, const GxGridParam& gridPar,
                  const RasterOptions& raster, RasterPlan& plan) {
    plan = planRaster(cfg.outFileName, gridPar, raster, cfgName, cfg.inFileNames);
    if (!plan.refused.empty()) {
        std::cout << "MeshRaster: GDAL cannot write " << cfg.outFileName << " as " << raster.format << ": "
                  << plan.refused << '\n';
        return 2;
    }
    if (plan.sideFile.empty()) return 0;
    std::cout << "ConfigFile " << cfgName << ": the output file's side file " << printableName(plan.sideFile)
              << (plan.sideFileIsConfig ? " is the configuration file" : " is also an input file")
              << "; name another output file\n";
    return 1;
}

// Settles the format of outFileName (OutputName.h); prints what keeps the grid
// from being written so and returns false.
bool outputFormatSettled(const CommandLine& cl, const std::string& outFileName, RasterOptions& raster) {
    const std::string problem = settleOutputFormat(cl, outFileName, raster);
    if (problem.empty()) return true;
    std::cout << "MeshRaster: " << problem << '\n';
    return false;
}

// Reads the configuration; prints what makes it unusable and returns false.
// A read error is the system's, not the user's: it goes to standard error.
// The output name of -o replaces the configuration's, which must still be there.
bool readConfig(const std::string& cfgName, GisAscFile& cfgFile, const CommandLine& cl, RunConfig& cfg) {
    cfg = readRunConfig(cfgFile);
    std::string problem = configProblem(cfg);
    if (problem.empty() && cl.hasOutput) cfg.outFileName = cl.output;
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
    return convertFile(fileName, isVelocity, outGrid, gridPar, messages) == FileRead::whole;
}

bool writeAscGrid(const std::string& outFileName, const GxGrid& outGrid, const GxGridParam& gridPar, int jobs) {
    const std::string shown = printableName(outFileName);
    if (outFileName.find('\0') != std::string::npos) {
        // Cut at the NUL, the name would replace another file.
        const auto held = holdProgressLine();
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
            const auto held = holdProgressLine();
            std::cout << "Can't open output file " << outFileName << '\n';
            warn() << shown << ": " << std::strerror(file.error()) << '\n';
            return false;
        }
        if (text.writeTo(file) && file.commit()) return true;
        reason = std::strerror(file.error());
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    }
    const auto held = holdProgressLine();
    std::cout << "Can't write output file " << outFileName << '\n';
    warn() << shown << ": " << reason << '\n';
    return false;
}

int runMeshRaster(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    prepareProcess();
    const CommandLine cl = parseCommandLine(argc, argv);
    const int answered = answerWithoutRun(cl);
    if (answered >= 0) return answered;
    // A format that cannot take the grid is refused before anything is read,
    // and so is a name that says another format: that of -o at once, the
    // configuration's once it is read, before any input.
    RasterOptions raster = rasterOptions(cl);
    const std::string formatProblem = raster.format.empty() ? "" : checkRasterFormat(raster);
    if (!formatProblem.empty()) {
        std::cout << "MeshRaster: " << formatProblem << '\n';
        return 2;
    }
    if (cl.hasOutput && !outputFormatSettled(cl, cl.output, raster)) return 2;
    const std::string& cfgName = cl.configName;
    GisAscFile cfgFile(cfgName, "r");
    if (!cfgFile.good()) {
        std::cout << "Can't open ConfigFile " << cfgName << '\n';
        return 1;
    }
    RunConfig cfg;
    if (!readConfig(cfgName, cfgFile, cl, cfg)) return 1;
    if (!cl.hasOutput && !outputFormatSettled(cl, cfg.outFileName, raster)) return 2;
    GxGridParam gridPar(cfg.xmin, cfg.xmax, cfg.ymin, cfg.ymax, cfg.resx, cfg.resy);
    RasterPlan plan;
    if (!raster.format.empty())
        if (const int refused = rasterRefusal(cfgName, cfg, gridPar, raster, plan)) return refused;
    const std::unique_ptr<GxGrid> outGrid = makeGrid(gridPar);
    if (!outGrid) return 1;
    // A failed message stops nothing: the grid file is written first, and the
    // exit status reports the loss afterwards.
    const int jobs = cl.jobs > 0 ? cl.jobs : availableProcessors();
    // Only for a person at a terminal: off one, the output stays as it was.
    std::optional<TerminalProgress> progress;
    if (!cl.quiet && ::isatty(STDERR_FILENO) == 1) progress.emplace(start, cfg.inFileNames.size());
    const InputsRead inputs = convertInputs(cfg, folderOf(cfgName), *outGrid, gridPar, jobs);
    if (inputs.read == 0 && !cfg.inFileNames.empty()) {
        // A grid of zeros from a run that read nothing (started from another
        // folder, say) would replace a good grid with a plausible empty one.
        progress.reset();
        warn() << "MeshRaster: no input file was read; " << printableName(cfg.outFileName) << " is not written\n";
        messagesWritten();
        return 1;
    }
    const bool written = writeGrid(cfg.outFileName, *outGrid, gridPar, raster, plan, jobs);
    if (progress && written)
        progress->finish(summaryText(summariseGrid(*outGrid), printableName(cfg.outFileName),
                                     raster.format.empty() ? "KORVEN-ASCII" : raster.format, progress->seconds()));
    progress.reset();
    const bool told = messagesWritten();
    return inputs.allWhole && written && told ? 0 : 1;
}
