// The run: configuration file in, one grid file out.
#pragma once

#include <string>

#include "GxGrid.h"

// The whole program on its command line; exit status 0 on success, 2 for a wrong argument, else 1.
int runMeshRaster(int argc, char** argv);

// Converts one Tecplot file into outGrid and prints its warnings; false unless it was read whole.
bool readTecFile(const char* fileName, bool isVelocity, GxGrid& outGrid, GxGridParam& gridPar);

// Replaces outFileName whole by outGrid as a KORVEN-ASCII grid file, its text
// formatted on up to jobs threads; false, after a message, when it cannot.
bool writeAscGrid(const std::string& outFileName, const GxGrid& outGrid, const GxGridParam& gridPar, int jobs = 1);

// name as standard error shows it: control characters as \n, \t, \r or \xHH, so it cannot act on a terminal.
std::string printableName(const std::string& name);

// Writes v at out as number text (general, 11 significant digits, at most 24 characters); returns its end.
char* putNumber(char* out, double v);
