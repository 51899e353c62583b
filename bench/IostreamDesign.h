// The whole program as a plain iostream design would write it, for the
// benchmark to time against the binary.
#pragma once

#include <string>

// Converts as MeshRaster does in pile-height mode: the configuration at
// configPath, the Tecplot files and their elements read with >>, every element
// filled by the program's own rasteriser, the grid written with << at
// precision 11. Returns the exit status: 0, or 1 when a file cannot be read or
// written. For well-formed input only: it checks nothing else.
int runIostreamDesign(const std::string& configPath);
