#include "AscGrid.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "Jobs.h"
#include "Messages.h"
#include "NumberText.h"
#include "OutputFile.h"
#include "Progress.h"

namespace {

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
// written in order, at most two blocks a thread and kMostBlocksInFlight in all
// waiting, whatever the number of jobs; the blocks' memory is had when the
// object is made, before the file is opened, so that running out of it writes
// nothing.
class GridText {
public:
    // The blocks' text that a writer on jobs threads holds at most, in bytes.
    static std::size_t bufferBytes(int jobs) { return blocksInFlight(jobs, ~std::size_t{0}) * kBlockText; }

    GridText(const GxGrid& outGrid, const GxGridParam& gridPar, int jobs)
        : grid_(outGrid),
          header_(gridHeader(outGrid, gridPar)),
          jobs_(jobs),
          blocks_((outGrid.cellCount() + kBlockCells - 1) / kBlockCells),
          texts_(blocksInFlight(jobs, blocks_), std::vector<char>(kBlockText)),
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
    // 16 MiB of text keeps eight threads busy; more threads than that only
    // wait for the one that writes, so -j 1000 costs no more memory than -j 8.
    static constexpr std::size_t kMostBlocksInFlight = 16;

    static std::size_t blocksInFlight(int jobs, std::size_t blocks) {
        return std::min({2 * static_cast<std::size_t>(std::max(jobs, 1)), kMostBlocksInFlight, blocks});
    }

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

bool writeAscGrid(const std::string& outFileName, const GxGrid& outGrid, const GxGridParam& gridPar, int jobs) {
    const std::string shown = printableName(outFileName);
    if (outFileName.find('\0') != std::string::npos) {
        // Cut at the NUL, the name would replace another file.
        printMessage("Can't open output file " + outFileName);
        printWarning(shown + ": the file name holds a NUL byte");
        return false;
    }
    std::string reason;
    try {
        GridText text(outGrid, gridPar, jobs);
        // Opened only now, after every input file has been converted; until
        // commit() the old file stays as it was.
        OutputFile file;
        if (!file.open(outFileName)) {
            printMessage("Can't open output file " + outFileName);
            printWarning(shown + ": " + std::strerror(file.error()));
            return false;
        }
        if (text.writeTo(file) && file.commit()) return true;
        reason = std::strerror(file.error());
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    }
    printMessage("Can't write output file " + outFileName);
    printWarning(shown + ": " + reason);
    return false;
}
