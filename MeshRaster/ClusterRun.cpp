// A run across the processes of mpirun (Cluster.h): the band of each
// process, its share of the files, the messages on process 0 and the output
// written by all. Built only with MPI.
#ifdef MESHRASTER_HAVE_MPI

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AscGrid.h"
#include "Cluster.h"
#include "MemoryLimit.h"
#include "MeshRaster.h"
#include "OutputFile.h"
#include "RunSteps.h"

namespace {

// This process's rows [first, end) of the grid of a run across processes,
// rowsPerProcess a process: held whole when they fit its memory twice over
// (the band and its text), else spilled and filled partRows at a time, as one
// process makes a grid too large for its memory in bands.
struct ProcessBand {
    int first = 0, end = 0, rowsPerProcess = 1, partRows = 1;
    std::unique_ptr<GxGrid> whole;
    std::unique_ptr<ElementSpill> spill;
    int nextPart = 0;
    std::string problem;  // why make() failed: the lines to print

    // Settles the rows of this process within limit and makes the band or
    // its spill; false, with problem set, on every process alike (the
    // decisions are collective).
    // grid: the whole grid's bands within limit, whose height the parts take.
    bool make(const GxGridParam& gridPar, const MemoryLimit& limit, const BandPlan& grid, int jobs,
              const std::string& spillAt) {
        const int rows = std::max(gridPar.NumRow(), 0), cols = std::max(gridPar.NumCol(), 0);
        const int processes = processCount();
        rowsPerProcess = bandRowsPerProcess(rows, processes);
        const double rowBytes = static_cast<double>(cols) * sizeof(double);
        const bool inParts = rows > 0 && cols > 0 &&
                             2 * rowBytes * rowsPerProcess + static_cast<double>(ascGridBufferBytes(jobs)) >
                                 static_cast<double>(limit.bytes);
        if (inParts) {
            partRows = grid.rowsPerBand;
            rowsPerProcess = (rowsPerProcess + partRows - 1) / partRows * partRows;
        } else {
            partRows = rowsPerProcess;
        }
        first = static_cast<int>(std::min<long long>(rows, 1LL * processRank() * rowsPerProcess));
        end = static_cast<int>(std::min<long long>(rows, 1LL * first + rowsPerProcess));
        int error = 0;
        try {
            if (!inParts) {
                whole = std::make_unique<GxGrid>(rows, cols, first, end);
            } else {
                BandPlan mine;
                if (end > first) planBands(end - first, cols, limit.bytes, jobs, mine);
                mine.rowsPerBand = partRows;
                mine.bands = std::max(1, (end - first + partRows - 1) / partRows);
                const int fd = openSpillFile(spillAt, error);
                if (fd >= 0) spill = std::make_unique<ElementSpill>(gridPar, mine, fd);
            }
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        } catch (const std::length_error&) {
            error = ENOMEM;
        }
        if (largestOfAll(!whole && !spill ? 1 : 0) == 0) return true;
        problem = "out of memory\nMeshRaster: the " + std::to_string(rowsPerProcess) + " rows x " +
                  std::to_string(cols) + " columns that each of " + std::to_string(processes) +
                  " processes holds cannot be had" + (error != 0 ? ": " + std::string(std::strerror(error)) : "") +
                  "; run on more processes, or raise resx or resy";
        return false;
    }

    // Takes count records of elements that touch these rows.
    void take(GxGridParam& gridPar, const double* records, std::size_t count) {
        if (whole) {
            fillSpilledRecords(*whole, gridPar, records, count);
            return;
        }
        std::vector<double> entries;
        for (std::size_t r = 0; r < count; ++r) {
            const double* rec = records + r * kSpillDoubles;
            const GxCoord2D nodes[4] = {GxCoord2D(rec[0], rec[1]), GxCoord2D(rec[2], rec[3]), GxCoord2D(rec[4], rec[5]),
                                        GxCoord2D(rec[6], rec[7])};
            const GxCoord2D* node[4] = {&nodes[0], &nodes[1], &nodes[2], &nodes[3]};
            int lo, hi;
            if (!elementRows(node, rec[12] != 0, gridPar, lo, hi)) continue;
            lo = std::max(lo, first);
            hi = std::min(hi, end - 1);
            for (int part = (lo - first) / partRows; lo <= hi && part <= (hi - first) / partRows; ++part) {
                entries.push_back(part);
                entries.insert(entries.end(), rec, rec + kSpillDoubles);
            }
        }
        spill->add(entries);
    }

    // The next part of the rows, north to south, filled; nullptr, with error
    // set, when its spill cannot be read.
    std::unique_ptr<GxGrid> next(GxGridParam& gridPar, int jobs, int& error) {
        if (whole) return std::move(whole);
        if (nextPart == 0 && !spill->finish()) {
            error = spill->error();
            return nullptr;
        }
        return fillBand(nextPart++, *spill, gridPar, jobs, nullptr, error, first, end);
    }

    // The text of these rows: formatted from the band in memory, or, part
    // by part, into an unnamed file in folder.
    ProcessText text(GxGridParam& gridPar, int jobs, const std::string& folder) {
        ProcessText t;
        try {
            if (whole) {
                t.rows = std::make_unique<GridRowsText>(*whole, jobs);
                whole.reset();
                return t;
            }
            int error = 0;
            t.fd = openSpillFile(folder, error);
            for (int k = 0; error == 0 && t.fd >= 0 && first + k * partRows < end; ++k) {
                const std::unique_ptr<GxGrid> part = next(gridPar, jobs, error);
                if (!part) break;
                const GridRowsText rows(*part, jobs);
                for (std::size_t done = 0; done < rows.size() && error == 0;) {
                    const ssize_t put = ::pwrite(t.fd, rows.data() + done, rows.size() - done, t.fileBytes);
                    if (put < 0 && errno == EINTR) continue;
                    if (put <= 0) {
                        error = put < 0 ? errno : EIO;
                        break;
                    }
                    done += static_cast<std::size_t>(put);
                    t.fileBytes += put;
                }
            }
            if (error != 0) t.failed = std::strerror(error);
        } catch (const std::bad_alloc&) {
            t.failed = "out of memory";
        }
        return t;
    }
};

// The exit status of a run whose processes settled what they could (-1 when
// ready): that of the first process that could not go on, which, when it is
// not process 0, sends process 0 what it printed. -1 when all are ready.
int agreedStart(int refused) {
    const std::vector<long long> codes = valuesOfAll(refused);
    const auto first = std::find_if(codes.begin(), codes.end(), [](long long c) { return c >= 0; });
    if (first == codes.end()) return -1;
    const int process = static_cast<int>(first - codes.begin());
    if (process != 0 && processRank() == process) sendTextToFirst(printedHere());
    if (process != 0 && processRank() == 0) {
        std::string text = textFrom(process);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        printWarning("MeshRaster: process " + std::to_string(process) + " of " + std::to_string(processCount()) +
                     " cannot start the run:\n" + text);
    }
    return static_cast<int>(*first);
}

// True on every process when no process failed (failed, as each saw it).
bool agreedSuccess(bool failed) { return largestOfAll(failed ? 1 : 0) == 0; }

}  // namespace

int runAcrossProcesses(const CommandLine& cl, RunSetup& s, int refused) {
    if (const int status = agreedStart(refused); status >= 0) return status;
    const bool first = processRank() == 0;
    const int processes = processCount(), rank = processRank();
    RunConfig& cfg = s.cfg;
    GxGridParam& gridPar = s.gridPar;
    // No process holds the whole grid: a format that must have it whole is
    // refused before anything is read.
    if (!s.raster.format.empty() && !rasterWritesInBands(s.raster.format)) {
        if (first)
            printMessage("MeshRaster: " + s.raster.format +
                         " is written from the whole grid, which no process of a run across processes holds; "
                         "write GTiff or COG, or run one process");
        return kExitUsage;
    }
    // Every process decides by the smallest limit, so that all decide alike.
    MemoryLimit limit = memoryLimit(cl.memory);
    limit.bytes = smallestOfAll(limit.bytes);
    // A grid of which not even a row fits is refused as a run of one process
    // refuses it; a text that cannot fit the output's file system, as one of a
    // grid made in bands.
    const int rows = std::max(gridPar.NumRow(), 0), cols = std::max(gridPar.NumCol(), 0);
    BandPlan grid;
    if (rows > 0 && cols > 0 && !planBands(rows, cols, limit.bytes, s.jobs, grid)) {
        if (first) printWarning("out of memory\n" + gridMemoryLine(rows, cols, 0, limit.what));
        return kExitFailure;
    }
    // Process 0 looks and decides for all, here and for where the output goes:
    // processes that decided apart could wait for one another for ever.
    if (!agreedSuccess(first && s.raster.format.empty() && !textFitsDisk(cfg.outFileName, gridPar)))
        return kExitFailure;
    ProcessBand own;
    if (!own.make(gridPar, limit, grid, s.jobs, spillFolder(cfg.outFileName))) {
        if (first) printWarning(own.problem);
        return kExitFailure;
    }
    const int rowsPerBand = own.rowsPerProcess;

    // Each process reads its share of the files; every element goes to the
    // bands it touches, through a grid that stores no row.
    const std::vector<std::string>& names = cfg.inFileNames;
    std::vector<unsigned long long> sizes(names.size(), 0);
    for (std::size_t k = 0; k < names.size(); ++k) {
        struct stat st {};
        if (names[k].find('\0') == std::string::npos && ::stat(names[k].c_str(), &st) == 0 && S_ISREG(st.st_mode))
            sizes[k] = static_cast<unsigned long long>(st.st_size);
    }
    const std::vector<std::size_t> mine = filesOfProcess(sizes, processes, rank);
    std::vector<FileMessages> messages(names.size(), FileMessages(false));
    std::vector<FileRead> read(names.size(), FileRead::none);
    {
        BandExchange exchange(gridPar, rowsPerBand,
                              [&](const double* records, std::size_t count) { own.take(gridPar, records, count); });
        GxGrid reader(rows, cols, 0, 0);
        reader.setSpill(&exchange);
        if (own.whole) own.whole->setShared(s.jobs > 1);
        const ReaderOptions reading{cl.columns, cl.hasTime, cl.lastTime, cl.time, cl.timeText};
        convertFiles(cfg, mine, folderOf(cl.configName), reader, gridPar, s.jobs, reading, messages, read, false);
        exchange.finish();
        if (own.whole) own.whole->setShared(false);
    }

    // Process 0 prints every file's lines in list order, as one process would.
    std::string packed;
    for (const std::size_t k : mine) {
        const std::uint64_t number = k;
        packed.append(reinterpret_cast<const char*>(&number), sizeof number);
        packed += static_cast<char>(read[k]);
        messages[k].pack(packed);
    }
    if (first) {
        const std::vector<std::string> texts = textsAtFirst(packed);
        // Process 0's own lines are in messages already.
        for (auto text = texts.begin() + 1; text != texts.end(); ++text) {
            for (const char *at = text->data(), *end = at + text->size(); at != nullptr && at < end;) {
                std::uint64_t k = 0;
                std::memcpy(&k, at, sizeof k);
                at += sizeof k;
                read[k] = static_cast<FileRead>(*at++);
                at = messages[k].unpack(at, end);
            }
        }
        for (FileMessages& m : messages) m.print();
    } else {
        textsAtFirst(packed);
    }
    std::vector<FileRead> readHere;
    for (const std::size_t k : mine) readHere.push_back(read[k]);
    const InputsRead here = inputsRead(readHere);
    const long long filesRead = sumOfAll(static_cast<long long>(here.read));
    const bool allWhole = agreedSuccess(!here.allWhole);
    if (filesRead == 0 && !names.empty()) {
        if (first)
            printWarning("MeshRaster: no input file was read; " + printableName(cfg.outFileName) + " is not written");
        return kExitFailure;
    }

    // The text into a regular file is written by all processes at once; any
    // other output by process 0, the bands sent to it in order.
    OutputTarget target;
    const bool together =
        largestOfAll(first && s.raster.format.empty() && cfg.outFileName.find('\0') == std::string::npos &&
                     resolveOutputTarget(cfg.outFileName, target) == 0 && !target.inPlace) != 0;
    bool written;
    if (together) {
        OutputFile file;
        std::string shared;
        if (first && file.open(cfg.outFileName)) shared = file.sharedName();
        if (first && shared.empty()) {
            printMessage("Can't open output file " + cfg.outFileName);
            printWarning(printableName(cfg.outFileName) + ": " + std::strerror(file.error()));
        }
        shared = textOfFirst(shared);
        if (shared.empty()) return kExitFailure;
        ProcessText text = own.text(gridPar, s.jobs, spillFolder(cfg.outFileName));
        if (first) text.head = ascGridHeader(gridPar);
        if (rank == processes - 1) text.tail = "END\n";
        const std::string reason = writeTextTogether(shared, text);
        if (text.fd >= 0) ::close(text.fd);
        text = ProcessText();
        bool failed = !reason.empty();
        if (first && !failed && !file.commit()) failed = true;
        if (first && failed) {
            printMessage("Can't write output file " + cfg.outFileName);
            printWarning(printableName(cfg.outFileName) + ": " +
                         (reason.empty() ? std::string(std::strerror(file.error())) : reason));
        }
        written = agreedSuccess(failed);
    } else if (first) {
        // The writer's bands: a part of a process's rows, each process's rows
        // holding a whole number of them.
        const int partRows = own.partRows;
        const auto bandOf = [&](int b, int& error) -> std::unique_ptr<GxGrid> {
            const int from = b * partRows;
            const int process = from / rowsPerBand;
            if (process == 0) return own.next(gridPar, s.jobs, error);
            return bandFrom(process, rows, cols, from, std::min(rows, from + partRows), error);
        };
        written =
            writeGridInBands(cfg.outFileName, gridPar, s.raster, s.plan, s.jobs, partRows, kGridTextBlockCells, bandOf);
        noMoreBands();
        written = agreedSuccess(!written);
    } else {
        while (bandAsked()) {
            int error = 0;
            std::unique_ptr<GxGrid> part;
            try {
                part = own.next(gridPar, s.jobs, error);
            } catch (const std::bad_alloc&) {
                error = ENOMEM;
            }
            sendBand(part.get(), error);
        }
        written = agreedSuccess(false);
    }
    const bool told = !first || messagesWritten();
    return agreedSuccess(!(allWhole && written && told)) ? kExitSuccess : kExitFailure;
}

#endif
