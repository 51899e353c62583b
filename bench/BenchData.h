// The benchmark's generated data. It stays the same from one version of the
// benchmark to the next, so that figures measured at different times compare.
#pragma once

#include <string>
#include <vector>

#include "GxCoord2D.h"
#include "GxGrid.h"
#include "TestSupport.h"

// A node table as a simulation writes it: UTM-like coordinates with three
// decimals, pile height and momenta with five or six, some pile heights 0.
std::string makeNodeTable(long long lines);

// Pile heights of one flow lobe over about a quarter of the grid, 0.001 to 5 at
// full double precision; the rest stays 0, as most cells of a real grid do.
// Returns the count of zeros.
long long fillPileGrid(GxGrid& grid);

// Four Tecplot files and the configuration that converts them onto one square
// grid in pile-height mode.
struct RunData {
    std::vector<std::string> files;
    std::vector<long long> nodes;  // per file
    std::string config, output;    // paths of the configuration and of the grid file it names
    GxGridParam par{0, 0, 0, 0, 1, 1};
    long long totalNodes = 0, maxNodes = 0, elements = 0, bytes = 0;
};

// Writes a data set of about nodeCount nodes for a side x side grid into dir.
RunData makeRunData(long long nodeCount, int side, const TempDir& dir);

// Writes the configuration name into dir: pile-height mode, the grid par, the
// grid file output, and inputs in order. Returns its path.
std::string writeConfig(const std::string& name, const GxGridParam& par, const std::string& output,
                        const std::vector<std::string>& inputs, const TempDir& dir);

// Tecplot files as one: the first file's header (its lines before the first
// later line that begins with "ZONE "), then every file's zones, from that
// line to the file's end, one file after the other, each ending its last
// line. A text without such a line adds nothing.
std::string joinZones(const std::vector<std::string>& texts);

// A thin triangle and its node values.
struct Sliver {
    GxCoord2D node[3];
    double z[3];
};

// count slivers across the grid par: each runs from near one corner of the
// grid to near the opposite one (south-west to north-east, or north-west to
// south-east, alternately), its third node 0.05 to 1 cell off that line, so
// that its bounding box is nearly the whole grid.
std::vector<Sliver> makeSlivers(int count, const GxGridParam& par);
