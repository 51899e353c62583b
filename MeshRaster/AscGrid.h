// The KORVEN-ASCII grid file: the grid's text, formatted on several threads
// and published whole.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "GxGrid.h"

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

// The memory the writer's text buffers take on jobs threads, at most.
std::size_t ascGridBufferBytes(int jobs);

// Writes v at out as number text (general, 11 significant digits, at most 24 characters); returns its end.
char* putNumber(char* out, double v);
