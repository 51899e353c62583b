#include "AscGrid.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "Jobs.h"
#include "MappedMemory.h"
#include "Messages.h"
#include "NumberText.h"
#include "OutputFile.h"
#include "Progress.h"

namespace {

// Writes the text of cells [first, last) of a run of whole rows of ncols
// cells at p, each followed by a space and each row by a newline; returns the
// end of the text. At most 26 characters a cell.
char* formatCells(char* p, const double* cell, std::size_t first, std::size_t last, std::size_t ncols) {
    std::size_t col = first % ncols;
    for (std::size_t k = first; k < last; ++k) {
        p = putNumber(p, cell[k]);
        *p++ = ' ';
        if (++col == ncols) {
            *p++ = '\n';
            col = 0;
        }
    }
    return p;
}

// The grid file's header, up to the line INFO_END.
std::string gridHeader(int nrows, int ncols, const GxGridParam& gridPar) {
    std::string header =
        "GRIDREG\nINFO\nUNITS  meters\n"
        "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\nGRIDDEF ";
    char text[128];
    char* p = std::to_chars(text, text + 16, ncols).ptr;
    *p++ = ' ';
    p = std::to_chars(p, p + 16, nrows).ptr;
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
// The cells are formatted in blocks of blockCells on up to jobs threads and
// written in order, at most two blocks a thread and kMostBlocksInFlight in all
// waiting, whatever the number of jobs; the blocks' memory is had when the
// object is made, before the file is opened, so that running out of it writes
// nothing. The cells may come in several runs of whole rows (the bands of a
// grid too large to hold), which give the same text as the grid at once: a
// block's text depends on its cells and their columns only.
class GridText {
public:
    static constexpr std::size_t kBlockCells = kGridTextBlockCells;

    // The blocks' text that a writer on jobs threads holds at most, in bytes.
    static std::size_t bufferBytes(int jobs, std::size_t blockCells = kBlockCells) {
        return blocksInFlight(jobs, ~std::size_t{0}) * blockCells * kCellText;
    }

    // A writer of the grid of nrows x ncols whose cells come at most
    // cellsAtOnce at a time.
    GridText(int nrows, int ncols, std::string header, int jobs, std::size_t cellsAtOnce,
             std::size_t blockCells = kBlockCells)
        : nrows_(nrows),
          ncols_(ncols),
          header_(std::move(header)),
          jobs_(jobs),
          blockCells_(blockCells),
          totalCells_(static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols)),
          texts_(blocksInFlight(jobs, (cellsAtOnce + blockCells - 1) / blockCells),
                 std::vector<char>(blockCells * kCellText)),
          sizes_(texts_.size(), 0) {}

    // Writes the whole text of outGrid to file; false after a write that failed.
    bool writeTo(OutputFile& file, const GxGrid& outGrid) {
        return writeHead(file) && writeCells(file, outGrid.data(), outGrid.cellCount(), 0) && writeEnd(file);
    }

    // The header and, for a grid without columns, its empty rows.
    bool writeHead(OutputFile& file) const {
        return file.write(header_.data(), header_.size()) && writeEmptyRows(file);
    }
    // The text of count cells (whole rows) that follow before cells of the grid.
    bool writeCells(OutputFile& file, const double* cells, std::size_t count, std::size_t before) {
        if (count == 0 || texts_.empty()) return true;
        bool ok = true;
        const std::size_t blocks = (count + blockCells_ - 1) / blockCells_;
        runInOrder(
            blocks, jobs_, texts_.size(), [=](std::size_t b) { format(b, cells, count); },
            [&](std::size_t b) {
                const std::size_t done = std::min(count, (b + 1) * blockCells_) + before;
                progressWritten(static_cast<double>(done) / static_cast<double>(totalCells_));
                return ok = file.write(texts_[b % texts_.size()].data(), sizes_[b % texts_.size()]);
            });
        return ok;
    }
    bool writeEnd(OutputFile& file) const { return file.write("END\n", 4); }

    // The characters a cell takes at most: the longest number, its space and a newline.
    static constexpr std::size_t kCellText = 26;

private:
    // 16 MiB of text keeps eight threads busy; more threads than that only
    // wait for the one that writes, so -j 1000 costs no more memory than -j 8.
    static constexpr std::size_t kMostBlocksInFlight = 16;

    static std::size_t blocksInFlight(int jobs, std::size_t blocks) {
        return std::min({2 * static_cast<std::size_t>(std::max(jobs, 1)), kMostBlocksInFlight, blocks});
    }

    // A grid without columns has no cells but still its rows, each an empty line.
    bool writeEmptyRows(OutputFile& file) const {
        static const std::string newlines(4096, '\n');
        long long left = ncols_ == 0 ? nrows_ : 0;
        for (; left > 0; left -= static_cast<long long>(newlines.size()))
            if (!file.write(newlines.data(), static_cast<std::size_t>(std::min<long long>(left, 4096)))) return false;
        return true;
    }

    // Block b of count cells that begin a row.
    void format(std::size_t b, const double* cell, std::size_t count) {
        std::vector<char>& text = texts_[b % texts_.size()];
        const std::size_t first = b * blockCells_, last = std::min(count, first + blockCells_);
        char* const end = formatCells(text.data(), cell, first, last, static_cast<std::size_t>(ncols_));
        sizes_[b % texts_.size()] = static_cast<std::size_t>(end - text.data());
    }

    const int nrows_;
    const int ncols_;
    const std::string header_;
    const int jobs_;
    const std::size_t blockCells_;
    const std::size_t totalCells_;
    std::vector<std::vector<char>> texts_;  // a block's text, by block number modulo their count
    std::vector<std::size_t> sizes_;        // the bytes of each
};

}  // namespace

char* putNumber(char* out, double v) {
    // Most cells of a grid hold 0: skip the general conversion for them.
    if (v == 0.0 && !std::signbit(v)) {
        *out = '0';
        return out + 1;
    }
    return formatGeneral11(out, v);
}

std::size_t ascGridBufferBytes(int jobs) { return GridText::bufferBytes(jobs); }

namespace {

// Replaces outFileName whole by the text of a grid of nrows x ncols that
// body writes through text; the messages of every failure.
bool writeGridText(const std::string& outFileName, int nrows, int ncols, const GxGridParam& gridPar, int jobs,
                   std::size_t cellsAtOnce, std::size_t blockCells,
                   const std::function<bool(GridText&, OutputFile&, int&)>& body) {
    const std::string shown = printableName(outFileName);
    if (outFileName.find('\0') != std::string::npos) {
        // Cut at the NUL, the name would replace another file.
        printMessage("Can't open output file " + outFileName);
        printWarning(shown + ": the file name holds a NUL byte");
        return false;
    }
    std::string reason;
    try {
        GridText text(nrows, ncols, gridHeader(nrows, ncols, gridPar), jobs, cellsAtOnce, blockCells);
        // Opened only now, after every input file has been converted; until
        // commit() the old file stays as it was.
        OutputFile file;
        if (!file.open(outFileName)) {
            printMessage("Can't open output file " + outFileName);
            printWarning(shown + ": " + std::strerror(file.error()));
            return false;
        }
        int error = 0;
        if (text.writeHead(file) && body(text, file, error) && text.writeEnd(file) && file.commit()) return true;
        reason = std::strerror(error != 0 ? error : file.error());
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    }
    printMessage("Can't write output file " + outFileName);
    printWarning(shown + ": " + reason);
    return false;
}

}  // namespace

bool writeAscGrid(const std::string& outFileName, const GxGrid& outGrid, const GxGridParam& gridPar, int jobs) {
    return writeGridText(outFileName, outGrid.NumRow(), outGrid.NumCol(), gridPar, jobs, outGrid.cellCount(),
                         GridText::kBlockCells, [&](GridText& text, OutputFile& file, int&) {
                             return text.writeCells(file, outGrid.data(), outGrid.cellCount(), 0);
                         });
}

bool writeAscGridInBands(const std::string& outFileName, const GxGridParam& gridPar, int jobs, int rowsPerBand,
                         std::size_t blockCells, const std::function<std::unique_ptr<GxGrid>(int, int&)>& band) {
    const int nrows = gridPar.NumRow(), ncols = gridPar.NumCol();
    const int bands = (nrows + rowsPerBand - 1) / rowsPerBand;
    const std::size_t cellsAtOnce = static_cast<std::size_t>(rowsPerBand) * static_cast<std::size_t>(ncols);
    return writeGridText(outFileName, nrows, ncols, gridPar, jobs, cellsAtOnce, blockCells,
                         [&](GridText& text, OutputFile& file, int& error) {
                             for (int b = 0; b < bands; ++b) {
                                 const std::unique_ptr<GxGrid> grid = band(b, error);
                                 if (!grid) return false;
                                 const std::size_t before =
                                     static_cast<std::size_t>(grid->firstRow()) * static_cast<std::size_t>(ncols);
                                 if (!text.writeCells(file, grid->data(), grid->cellCount(), before)) return false;
                             }
                             return true;
                         });
}

std::string ascGridHeader(const GxGridParam& gridPar) {
    return gridHeader(gridPar.NumRow(), gridPar.NumCol(), gridPar);
}

GridRowsText::GridRowsText(const GxGrid& band, int jobs) {
    const std::size_t ncols = static_cast<std::size_t>(std::max(band.NumCol(), 0)), count = band.cellCount();
    const std::size_t rows = static_cast<std::size_t>(band.endRow() - band.firstRow());
    // Room for the longest text; only the pages written are ever had.
    room_ = std::max<std::size_t>(count * GridText::kCellText + rows, 1);
    data_ = static_cast<char*>(mapMemory(room_));
    if (data_ == nullptr) throw std::bad_alloc();
    // A grid without columns still has its rows, each an empty line.
    if (ncols == 0) {
        std::memset(data_, '\n', rows);
        size_ = rows;
        return;
    }
    constexpr std::size_t kBlock = GridText::kBlockCells;
    const std::size_t blocks = (count + kBlock - 1) / kBlock;
    if (jobs <= 1) {
        for (std::size_t b = 0; b < blocks; ++b)
            size_ = static_cast<std::size_t>(
                formatCells(data_ + size_, band.data(), b * kBlock, std::min(count, (b + 1) * kBlock), ncols) - data_);
        return;
    }
    // On several threads each block is formatted apart and put in place in
    // order, a few blocks a thread held at once.
    std::vector<std::vector<char>> texts(std::min<std::size_t>(2 * static_cast<std::size_t>(jobs), 16),
                                         std::vector<char>(kBlock * GridText::kCellText));
    std::vector<std::size_t> sizes(texts.size(), 0);
    runInOrder(
        blocks, jobs, texts.size(),
        [&](std::size_t b) {
            std::vector<char>& text = texts[b % texts.size()];
            sizes[b % texts.size()] = static_cast<std::size_t>(
                formatCells(text.data(), band.data(), b * kBlock, std::min(count, (b + 1) * kBlock), ncols) -
                text.data());
        },
        [&](std::size_t b) {
            std::memcpy(data_ + size_, texts[b % texts.size()].data(), sizes[b % texts.size()]);
            size_ += sizes[b % texts.size()];
            return true;
        });
}

GridRowsText::~GridRowsText() { unmapMemory(data_, room_); }
