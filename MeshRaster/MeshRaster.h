// The run: configuration file in, one grid file out.
#pragma once

#include <string>

#include "GxGrid.h"

// The whole program: argv[1] names the configuration file. Returns the exit
// status: 0 when everything succeeded, 2 for a wrong argument count, 1 otherwise.
int runMeshRaster(int argc, char** argv);

// Converts one Tecplot file into outGrid and reports it on standard output;
// warns on standard error when the file was read only in part. False when the
// file could not be read whole (the run then ends with status 1).
bool readTecFile(const char* fileName, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar);

// Writes outGrid as a KORVEN-ASCII grid file. False, after a message on standard
// output, when the file cannot be created or written.
bool writeAscGrid(const std::string& outFileName, const GxGrid& outGrid, const GxGridParam& gridPar);

// Writes v at out as number text (general notation, 11 significant digits) and
// returns the end; at most 24 characters.
char* putNumber(char* out, double v);
