// The KORVEN-ASCII grid file: the grid's text, formatted on several threads
// and published whole.
#pragma once

#include <cstddef>
#include <string>

#include "GxGrid.h"

// Replaces outFileName whole by outGrid as a KORVEN-ASCII grid file, its text
// formatted on up to jobs threads; false, after a message, when it cannot.
bool writeAscGrid(const std::string& outFileName, const GxGrid& outGrid, const GxGridParam& gridPar, int jobs = 1);

// The memory the writer's text buffers take on jobs threads, at most.
std::size_t ascGridBufferBytes(int jobs);

// Writes v at out as number text (general, 11 significant digits, at most 24 characters); returns its end.
char* putNumber(char* out, double v);
