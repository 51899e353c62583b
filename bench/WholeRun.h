// The sections that run the real binary as a child process: the whole run
// against the bare limit, one file of four zones, bands of a limited grid,
// and the whole run at several sizes.
#pragma once

#include <string>

#include "TestSupport.h"

// What the sections of whole runs share: the binary, the benchmark itself (for
// the limit's parts and the iostream design), the repetitions and the folder.
struct RunSetup {
    std::string program, self;
    int reps = 1;
    const TempDir* dir = nullptr;
};

// Section 3: four files of about nodes nodes onto a side x side grid.
void benchRun(long long nodes, int side, const RunSetup& s, bool& ok);

// Section 7: the same four files as one file of four zones, -j 1 and -j 2.
void benchOneFile(long long nodes, int side, const RunSetup& s, bool& ok);

// Section 8: the same grid with --memory a quarter of its bytes, and without.
void benchBands(long long nodes, int side, const RunSetup& s, bool& ok);

// Section 9: the whole run under mpirun (launcher) on one, two and three
// processes of one thread each, with program built with MPI.
void benchProcesses(long long nodes, int side, const RunSetup& s, const std::string& launcher, bool& ok);

// Section 5: the whole run on a quarter, one, four and sixteen times the data;
// the largest sizes only when the machine has the room (scaleRefusal).
void benchScale(long long nodes, int side, const RunSetup& s, bool& ok);

// What a whole run of nodes nodes onto cells cells needs of the scratch
// folder's disk and of memory (the binary's grid, the bare formatting's text
// and buffer, the inputs and the grid kept in the page cache), with 1 GiB to
// spare in each: the data of BenchData take about 80 bytes a node and their
// grid text about 5 bytes a cell, counted as 6.
struct ScaleNeed {
    long long disk = 0, memory = 0;
};
ScaleNeed scaleNeed(long long nodes, long long cells);

// Why a run of that need does not fit freeDisk and freeMemory (-1: unknown,
// which does not fit), or an empty text when it fits.
std::string scaleRefusal(const ScaleNeed& need, long long freeDisk, long long freeMemory);
