// The run: configuration file in, one grid file out.
#pragma once

#include <string>

#include "AscGrid.h"
#include "GxGrid.h"
#include "Messages.h"

// The exit statuses of the program.
enum ExitStatus : int {
    kExitSuccess = 0,  // every input read whole, the grid written
    kExitFailure = 1,  // anything lost: an input, the grid, a message
    kExitUsage = 2,    // a command line that cannot be used, a format that cannot take the grid
};

// The whole program on its command line; its exit status.
int runMeshRaster(int argc, char** argv);

// Converts one Tecplot file into outGrid and prints its warnings; false unless it was read whole.
bool readTecFile(const char* fileName, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar);
