// The KORVEN-ASCII grid file: the grid's text, formatted on several threads
// and published whole.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GxGrid.h"

// Cells the writer formats in one block: with every number at its longest,
// 24 characters, its space and a newline, about 1 MiB of text.
constexpr std::size_t kGridTextBlockCells = 40000;

// Replaces outFileName whole by outGrid as a KORVEN-ASCII grid file, its text
// formatted on up to jobs threads; false, after a message, when it cannot.
bool writeAscGrid(const std::string& outFileName, const GxGrid& outGrid, const GxGridParam& gridPar, int jobs = 1);

// Replaces outFileName whole by the grid of gridPar, as writeAscGrid does, its
// rows given north to south by band(b, error) for b = 0, 1, ..., rowsPerBand
// rows each (the last one the rest); a band that cannot be read is nullptr,
// with error the system's error number (memory refused throws
// std::bad_alloc). The text is formatted in blocks of blockCells.
bool writeAscGridInBands(const std::string& outFileName, const GxGridParam& gridPar, int jobs, int rowsPerBand,
                         std::size_t blockCells, const std::function<std::unique_ptr<GxGrid>(int, int&)>& band);

// The grid file's text before its first row: what process 0 of a run across
// several writes first (Cluster.h).
std::string ascGridHeader(const GxGridParam& gridPar);

// The text of the rows a band of the grid stores, formatted on up to jobs
// threads into one block: what a process of a run across several writes of
// the file. Throws std::bad_alloc when the block cannot be had.
class GridRowsText {
public:
    GridRowsText(const GxGrid& band, int jobs);
    ~GridRowsText();
    GridRowsText(const GridRowsText&) = delete;
    GridRowsText& operator=(const GridRowsText&) = delete;
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    char* data_ = nullptr;
    std::size_t room_ = 0;  // bytes mapped
    std::size_t size_ = 0;  // bytes of text
};

// The memory the writer's text buffers take on jobs threads, at most.
std::size_t ascGridBufferBytes(int jobs);

// Writes v at out as number text (general, 11 significant digits, at most 24 characters); returns its end.
char* putNumber(char* out, double v);
