// The configuration file of a run, read into one value and checked.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "GisAscFile.h"

// The configuration's tokens by position, and the first one that could not be read.
struct RunConfig {
    bool isVelocity = false;               // the mode word was "Velocity", in any letter case
    double xmin = 0.0;                     // west edge of the grid
    double ymin = 0.0;                     // south edge
    double xmax = 0.0;                     // east edge
    double ymax = 0.0;                     // north edge
    double resx = 0.0;                     // cell width
    double resy = 0.0;                     // cell height
    std::string outFileName;               // the grid file to write
    std::vector<std::string> inFileNames;  // the Tecplot files, in the order listed
    const char* failedItem = nullptr;      // the first token that could not be read, if any
    long long failedLine = 0;              // the line it failed on
    bool failedAtEnd = false;              // it failed because the file ended before it
    std::string failedToken;               // the token, as written, that is not wholly a number
    std::string readProblem;               // why reading stopped short of the end (a read error), if it did
    std::string refusal;                   // a mode word or missing label that would convert the wrong thing
    long long refusalLine = 0;             // the line it is on
};

// Reads the whole configuration from cfgFile. A mode word other than
// "Velocity" or "PileHeight" (in any letter case), the first label that is not
// its usage word, and an empty input list are warned about on standard error
// as "name:line: text"; none of them changes what is read. A mode word a slip
// of the keys away from "Velocity", and a missing output or input label that
// shifts a file name into the wrong place, are refusals instead (refusal).
RunConfig readRunConfig(GisAscFile& cfgFile);
// The same, with the warnings written to warnings.
RunConfig readRunConfig(GisAscFile& cfgFile, std::ostream& warnings);
// What makes cfg unusable, as the rest of a "ConfigFile <name>" line; empty when it can run.
std::string configProblem(const RunConfig& cfg);
