#include "MeshRaster.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "AscGrid.h"
#include "Bands.h"
#include "Cluster.h"
#include "CommandLine.h"
#include "GdalModule.h"
#include "GisAscFile.h"
#include "GisTecplotFile.h"
#include "Jobs.h"
#include "MappedMemory.h"
#include "MemoryLimit.h"
#include "Messages.h"
#include "OutputFile.h"
#include "OutputName.h"
#include "Progress.h"
#include "Rasteriser.h"
#include "RunConfig.h"
#include "RunSteps.h"

namespace {

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

// Converts every zone of one Tecplot file into outGrid. cfgFolder is the
// configuration's folder, for the message about a file not found.
FileRead convertFile(const std::string& name, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar,
                     FileMessages& messages, const std::string& cfgFolder = "",
                     const ReaderOptions& reading = ReaderOptions()) {
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
    const ZonesRead zones = readZones(file, isVelocity, outGrid, gridPar, reading);
    const bool whole = addWarnings(name, file, messages);
    if (!zones.timeFound)
        messages.err(printableName(name) + ": no zone has the solution time " + reading.timeText + "; nothing is read");
    if (!zones.anyConverted) return FileRead::none;
    return whole && zones.timeFound ? FileRead::whole : FileRead::partly;
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

// Converts every input file into outGrid (convertFiles), printing its lines.
InputsRead convertInputs(const RunConfig& cfg, const std::string& cfgFolder, GxGrid& outGrid, GxGridParam& gridPar,
                         int jobs, const ReaderOptions& reading) {
    const std::size_t n = cfg.inFileNames.size();
    std::vector<std::size_t> all(n);
    for (std::size_t k = 0; k < n; ++k) all[k] = k;
    std::vector<FileMessages> messages(n, FileMessages(jobs <= 1 || n <= 1));
    std::vector<FileRead> read(n, FileRead::none);
    convertFiles(cfg, all, cfgFolder, outGrid, gridPar, jobs, reading, messages, read, true);
    return inputsRead(read);
}

// Acts on a command line that asks for no run (help, version, a usage error);
// -1 when it asks for a run.
int answerWithoutRun(const CommandLine& cl) {
    switch (cl.action) {
        case CommandLine::Action::help:
            printHelp(std::cout);
            return messagesWritten() ? kExitSuccess : kExitFailure;
        case CommandLine::Action::version:
            printVersion(std::cout);
            return messagesWritten() ? kExitSuccess : kExitFailure;
        case CommandLine::Action::usageError:
            printUsage(std::cout);
            if (!cl.problem.empty()) std::cout << cl.problem << '\n';
            return kExitUsage;
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
    printMessage((result == RasterWrite::notOpened ? "Can't open output file " : "Can't write output file ") + name);
    printWarning(printableName(name) + ": " + error);
    return false;
}

// Before any input is read: what GDAL would refuse in the raster asked for,
// and a file it would write beside the raster that the run reads. Prints the
// problem and returns its exit status; 0 when there is none.
int rasterRefusal(const std::string& cfgName, const RunConfig& cfg, const GxGridParam& gridPar,
                  const RasterOptions& raster, RasterPlan& plan) {
    plan = planRaster(cfg.outFileName, gridPar, raster, cfgName, cfg.inFileNames);
    if (!plan.refused.empty()) {
        printMessage("MeshRaster: GDAL cannot write " + cfg.outFileName + " as " + raster.format + ": " + plan.refused);
        return kExitUsage;
    }
    if (plan.sideFile.empty()) return 0;
    printMessage("ConfigFile " + cfgName + ": the output file's side file " + printableName(plan.sideFile) +
                 (plan.sideFileIsConfig ? " is the configuration file" : " is also an input file") +
                 "; name another output file");
    return kExitFailure;
}

// Settles the format of outFileName (OutputName.h); prints what keeps the grid
// from being written so and returns false.
bool outputFormatSettled(const CommandLine& cl, const std::string& outFileName, RasterOptions& raster) {
    const std::string problem = settleOutputFormat(cl, outFileName, raster);
    if (problem.empty()) return true;
    printMessage("MeshRaster: " + problem);
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
    (cfg.readProblem.empty() ? printMessage : printWarning)("ConfigFile " + cfgName + problem);
    return false;
}

// True when name is the file standard output writes to (by device and inode:
// /dev/stdout, /proc/self/fd/1, or the file it is redirected to).
bool isStandardOutput(const std::string& name) {
    struct stat out, named;
    return name.find('\0') == std::string::npos && ::fstat(STDOUT_FILENO, &out) == 0 &&
           ::stat(name.c_str(), &named) == 0 && out.st_dev == named.st_dev && out.st_ino == named.st_ino;
}

// The threads of the run: --jobs, or one per processor. Under an
// address-space limit, one: each thread holds a node table and a stack, and
// how many fit is not known before the files are read; a file that runs out
// of memory on one of eight threads would make the status depend on -j.
int runJobs(const CommandLine& cl) {
    if (underAddressSpaceLimit()) return 1;
    return cl.jobs > 0 ? cl.jobs : availableProcessors();
}

// Merges the summary of a band into that of the bands before it.
void addSummary(GridSummary& all, const GridSummary& band) {
    if (band.withValue == 0) return;
    if (all.withValue == 0) {
        all.min = band.min;
        all.max = band.max;
    } else {
        all.min = std::min(all.min, band.min);
        all.max = std::max(all.max, band.max);
    }
    all.withValue += band.withValue;
}

// Writes the grid band by band from the spill, each band filled on up to jobs
// threads and then written; the summary of the cells into summary when it is
// not null. False after the messages of a failure.
bool writeBands(const std::string& outFileName, ElementSpill& spill, GxGridParam& gridPar, const RasterOptions& raster,
                const RasterPlan& plan, int jobs, GridSummary* summary) {
    if (!spill.finish()) {
        printMessage("Can't write output file " + outFileName);
        printWarning(printableName(outFileName) + ": " + std::strerror(spill.error()));
        return false;
    }
    if (summary) {
        summary->rows = gridPar.NumRow();
        summary->cols = gridPar.NumCol();
    }
    return writeGridInBands(outFileName, gridPar, raster, plan, jobs, spill.plan().rowsPerBand,
                            spill.plan().textBlockCells,
                            [&](int b, int& error) { return fillBand(b, spill, gridPar, jobs, summary, error); });
}

}  // namespace

bool writeGridInBands(const std::string& outFileName, GxGridParam& gridPar, const RasterOptions& raster,
                      const RasterPlan& plan, int jobs, int rowsPerBand, std::size_t textBlockCells,
                      const std::function<std::unique_ptr<GxGrid>(int, int&)>& band) {
    if (raster.format.empty())
        return writeAscGridInBands(outFileName, gridPar, jobs, rowsPerBand, textBlockCells, band);
    std::unique_ptr<GxGrid> current;
    // The band's memory refused ends the write as a failed read does, with
    // its reason, rather than as an exception through GDAL's module.
    const GridBands bands{rowsPerBand, [&](int b, int& error) -> const GxGrid* {
                              current.reset();
                              try {
                                  current = band(b, error);
                              } catch (const std::bad_alloc&) {
                                  error = ENOMEM;
                              }
                              return current.get();
                          }};
    std::string error;
    const RasterWrite result = writeRasterBands(outFileName, gridPar, raster, plan, bands, error);
    if (result == RasterWrite::written) return true;
    printMessage((result == RasterWrite::notOpened ? "Can't open output file " : "Can't write output file ") +
                 outFileName);
    printWarning(printableName(outFileName) + ": " + error);
    return false;
}

// The folder of the configuration file, with its "/"; empty when it is the
// folder the program runs in.
std::string folderOf(const std::string& cfgName) {
    const std::size_t slash = cfgName.rfind('/');
    return slash == std::string::npos ? "" : cfgName.substr(0, slash + 1);
}

// Converts the input files numbered in which into outGrid on up to jobs
// threads, each file by one thread, so that at most jobs node tables are held
// at once; with fewer files than threads, each file's zones are read on the
// threads left over. Every cell keeps the largest value offered to it
// (GxGrid::raise), so the grid is the same whatever the order the files end
// in. File k's lines go to messages[k], printed in list order as the files end
// when print is set, and how much of it was read to read[k].
void convertFiles(const RunConfig& cfg, const std::vector<std::size_t>& which, const std::string& cfgFolder,
                  GxGrid& outGrid, GxGridParam& gridPar, int jobs, const ReaderOptions& reading,
                  std::vector<FileMessages>& messages, std::vector<FileRead>& read, bool print) {
    const std::size_t count = which.size();
    ReaderOptions fileReading = reading;
    if (count > 0 && static_cast<std::size_t>(jobs) > count)
        fileReading.threads = static_cast<int>(static_cast<std::size_t>(jobs) / count);
    outGrid.setShared((jobs > 1 && count > 1) || fileReading.threads > 1);
    const auto convert = [&](std::size_t i) {
        const std::size_t k = which[i];
        read[k] =
            convertFile(cfg.inFileNames[k], cfg.isVelocity, outGrid, gridPar, messages[k], cfgFolder, fileReading);
        progressFileRead();
    };
    // A file's messages take no memory to speak of: every file may finish ahead.
    runInOrder(count, jobs, count, convert, [&](std::size_t i) {
        if (print) messages[which[i]].print();
        return true;
    });
    outGrid.setShared(false);
}

// What the conversion of the files came to, from how much of each was read.
InputsRead inputsRead(const std::vector<FileRead>& read) {
    InputsRead result;
    for (const FileRead r : read) {
        result.read += r != FileRead::none;
        result.allWhole = result.allWhole && r == FileRead::whole;
    }
    return result;
}

// The folder that takes the spill of a grid read in bands: the output's, whose
// file system must take the grid's text anyway (a spill in a memory-backed
// /tmp would take the memory the bands save), or TMPDIR for an output written
// in place (a device) or one whose folder cannot be found.
std::string spillFolder(const std::string& outFileName) {
    OutputTarget t;
    if (resolveOutputTarget(outFileName, t) == 0 && !t.inPlace) return t.folder;
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// "1.2 TiB": bytes in the largest binary unit that leaves at least 1.
std::string sizeText(double bytes) {
    const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

// Before any input is read: a text that cannot fit the output's file system
// (every cell takes at least a digit and a space, every row a newline) is
// refused now rather than after hours of work. An output written in place (a
// device, a pipe) has no such room to ask for. Prints the problem and returns
// false.
bool textFitsDisk(const std::string& outFileName, const GxGridParam& gridPar) {
    OutputTarget t;
    if (resolveOutputTarget(outFileName, t) != 0 || t.inPlace) return true;
    struct statvfs fs {};
    if (::statvfs(t.folder.c_str(), &fs) != 0) return true;
    const double rows = std::max(gridPar.NumRow(), 0), cols = std::max(gridPar.NumCol(), 0);
    const double least = rows * cols * 2 + rows;
    const double room = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize);
    if (least <= room) return true;
    printMessage("Can't write output file " + outFileName);
    printWarning(printableName(outFileName) + ": the grid's text needs at least " + sizeText(least) +
                 ", more than the " + sizeText(room) + " free on its file system; raise resx or resy");
    return false;
}

// Band b of the grid, filled from its spill on up to jobs threads; its cells
// added to summary when that is not null. The bands of a spill may begin at
// firstRow and end at endRow (the rows of one process of a run across
// several). nullptr, with error set, when the spill cannot be read.
std::unique_ptr<GxGrid> fillBand(int b, ElementSpill& spill, GxGridParam& gridPar, int jobs, GridSummary* summary,
                                 int& error, int firstRow, int endRow) {
    const int rowsPerBand = spill.plan().rowsPerBand;
    const int from = firstRow + b * rowsPerBand;
    auto band = std::make_unique<GxGrid>(gridPar.NumRow(), gridPar.NumCol(), from,
                                         static_cast<int>(std::min<long long>(endRow, 1LL * from + rowsPerBand)));
    // The band's pages come while its spill is read, as the whole grid's do
    // while the inputs are read.
    std::optional<PagesMadePresent> present;
    if (jobs > 1) present.emplace(band->data(), band->cellCount() * sizeof(double));
    band->setShared(jobs > 1);
    const bool read = spill.readBand(
        b, jobs, [&](const double* records, std::size_t count) { fillSpilledRecords(*band, gridPar, records, count); });
    band->setShared(false);
    if (!read) {
        error = spill.error();
        return nullptr;
    }
    if (summary) addSummary(*summary, summariseGrid(*band));
    return band;
}

bool readTecFile(const char* fileName, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar) {
    if (fileName == nullptr) return true;
    FileMessages messages(true);
    return convertFile(fileName, isVelocity, outGrid, gridPar, messages) == FileRead::whole;
}

namespace {

// Settles the format, the configuration, the threads and the grid of the
// run into s; -1 when the run can go on, else its exit status, after the
// messages that say why.
int prepareRun(const CommandLine& cl, RunSetup& s) {
    // A format that cannot take the grid is refused before anything is read,
    // and so is a name that says another format: that of -o at once, the
    // configuration's once it is read, before any input.
    s.raster = rasterOptions(cl);
    const std::string formatProblem = s.raster.format.empty() ? "" : checkRasterFormat(s.raster);
    if (!formatProblem.empty()) {
        printMessage("MeshRaster: " + formatProblem);
        return kExitUsage;
    }
    if (cl.hasOutput && !outputFormatSettled(cl, cl.output, s.raster)) return kExitUsage;
    const std::string& cfgName = cl.configName;
    GisAscFile cfgFile(cfgName, "r");
    if (!cfgFile.good()) {
        printMessage("Can't open ConfigFile " + cfgName);
        return kExitFailure;
    }
    if (!readConfig(cfgName, cfgFile, cl, s.cfg)) return kExitFailure;
    if (!cl.hasOutput && !outputFormatSettled(cl, s.cfg.outFileName, s.raster)) return kExitUsage;
    // The grid written to standard output (output /dev/stdout, or a name of
    // the file it is redirected to) must not have the messages inside it.
    if (isStandardOutput(s.cfg.outFileName)) messagesToStandardError();
    s.jobs = runJobs(cl);
    s.gridPar = GxGridParam(s.cfg.xmin, s.cfg.xmax, s.cfg.ymin, s.cfg.ymax, s.cfg.resx, s.cfg.resy);
    // GDAL's trial write is process 0's alone in a run across processes: it
    // alone writes a GDAL format, and decides for all (runAcrossProcesses).
    if (!s.raster.format.empty() && processRank() == 0)
        if (const int refused = rasterRefusal(cfgName, s.cfg, s.gridPar, s.raster, s.plan)) return refused;
    return -1;
}

}  // namespace

int runMeshRaster(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    prepareProcess();
    const CommandLine cl = parseCommandLine(argc, argv);
    const int answered = answerWithoutRun(cl);
    if (answered >= 0) return answered;
    RunSetup s;
    const int refused = prepareRun(cl, s);
#ifdef MESHRASTER_HAVE_MPI
    if (processCount() > 1) return runAcrossProcesses(cl, s, refused);
#endif
    if (refused >= 0) return refused;
    const std::string& cfgName = cl.configName;
    RunConfig& cfg = s.cfg;
    RasterOptions& raster = s.raster;
    const RasterPlan& plan = s.plan;
    const int jobs = s.jobs;
    GxGridParam& gridPar = s.gridPar;
    // A grid larger than the memory the run may use is made in bands of rows
    // (Bands.h), for the text and for a format GDAL writes in bands; any
    // other format must fit whole.
    const MemoryLimit limit = memoryLimit(cl.memory);
    const unsigned long long writerBytes = raster.format.empty() ? ascGridBufferBytes(jobs) : 0;
    BandPlan bands;
    const bool inBands = (raster.format.empty() || rasterWritesInBands(raster.format)) &&
                         !gridFits(gridPar, writerBytes, limit) &&
                         planBands(gridPar.NumRow(), gridPar.NumCol(), limit.bytes, jobs, bands);
    std::unique_ptr<GxGrid> outGrid;
    std::unique_ptr<ElementSpill> spill;
    if (!inBands) {
        outGrid = makeGrid(gridPar, writerBytes, limit);
        if (!outGrid) return kExitFailure;
    } else {
        // A grid too large for memory is a long run: one whose text cannot
        // fit the disk is refused before it begins.
        if (raster.format.empty() && !textFitsDisk(cfg.outFileName, gridPar)) return kExitFailure;
        // The first pass fills a grid that stores no row: each element goes
        // to the spill of its bands, and the fill there only counts the
        // values that are not finite, for the warnings.
        int error = 0;
        const int fd = openSpillFile(spillFolder(cfg.outFileName), error);
        if (fd < 0) {
            printMessage("Can't open output file " + cfg.outFileName);
            printWarning(printableName(cfg.outFileName) + ": " + std::strerror(error));
            return kExitFailure;
        }
        spill = std::make_unique<ElementSpill>(gridPar, bands, fd);
        outGrid = std::make_unique<GxGrid>(gridPar.NumRow(), gridPar.NumCol(), 0, 0);
        outGrid->setSpill(spill.get());
    }

    // Only for a person at a terminal: off one, the output stays as it was.
    std::optional<TerminalProgress> progress;
    if (!cl.quiet && ::isatty(STDERR_FILENO) == 1) progress.emplace(start, cfg.inFileNames.size());
    const ReaderOptions reading{cl.columns, cl.hasTime, cl.lastTime, cl.time, cl.timeText};
    std::optional<PagesMadePresent> present;
    if (!spill && jobs > 1) present.emplace(outGrid->data(), outGrid->cellCount() * sizeof(double));
    const InputsRead inputs = convertInputs(cfg, folderOf(cfgName), *outGrid, gridPar, jobs, reading);
    present.reset();
    if (inputs.read == 0 && !cfg.inFileNames.empty()) {
        // A grid of zeros from a run that read nothing (started from another
        // folder, say) would replace a good grid with a plausible empty one.
        progress.reset();
        printWarning("MeshRaster: no input file was read; " + printableName(cfg.outFileName) + " is not written");
        messagesWritten();
        return kExitFailure;
    }
    // A failed message stops nothing: the grid file is written first, and the
    // exit status reports the loss afterwards.
    bool written;
    GridSummary summary;
    if (!spill) {
        written = writeGrid(cfg.outFileName, *outGrid, gridPar, raster, plan, jobs);
        if (progress && written) summary = summariseGrid(*outGrid);
    } else {
        written = writeBands(cfg.outFileName, *spill, gridPar, raster, plan, jobs, progress ? &summary : nullptr);
    }
    if (progress && written)
        progress->finish(summaryText(summary, printableName(cfg.outFileName),
                                     raster.format.empty() ? "KORVEN-ASCII" : raster.format, progress->seconds()));
    progress.reset();
    const bool told = messagesWritten();
    return inputs.allWhole && written && told ? kExitSuccess : kExitFailure;
}
