// The steps of a run that a run of one process (MeshRaster.cpp) and a run
// across processes (ClusterRun.cpp) share.
#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Bands.h"
#include "CommandLine.h"
#include "GdalModule.h"
#include "GisTecplotFile.h"
#include "GxGrid.h"
#include "Messages.h"
#include "Progress.h"
#include "RunConfig.h"

// How much of a file went into the grid.
enum class FileRead {
    none,    // not opened, no zone, or its zone refused: nothing of it is in the grid
    partly,  // its node table was begun, but something of it was lost
    whole,
};

// What the conversion of the input files came to.
struct InputsRead {
    std::size_t read = 0;  // files of which something went into the grid
    bool allWhole = true;  // every file was read whole
};

// What a run settles before it reads any input.
struct RunSetup {
    RasterOptions raster;
    RunConfig cfg;
    RasterPlan plan;
    int jobs = 1;
    GxGridParam gridPar{0, 0, 0, 0, 1, 1};
};

// The folder of the configuration file, with its "/"; empty when it is the
// folder the program runs in.
std::string folderOf(const std::string& cfgName);

// Converts the input files numbered in which into outGrid on up to jobs
// threads; file k's lines go to messages[k] (printed in list order as the
// files end when print is set), how much of it was read to read[k].
void convertFiles(const RunConfig& cfg, const std::vector<std::size_t>& which, const std::string& cfgFolder,
                  GxGrid& outGrid, GxGridParam& gridPar, int jobs, const ReaderOptions& reading,
                  std::vector<FileMessages>& messages, std::vector<FileRead>& read, bool print);
// What the conversion of the files came to, from how much of each was read.
InputsRead inputsRead(const std::vector<FileRead>& read);

// The folder that takes the spill of a grid made in bands.
std::string spillFolder(const std::string& outFileName);
// "1.2 TiB": bytes in the largest binary unit that leaves at least 1.
std::string sizeText(double bytes);
// Before any input is read: false, after the messages, when the grid's text
// cannot fit the output's file system.
bool textFitsDisk(const std::string& outFileName, const GxGridParam& gridPar);
// Band b of a spill, filled on up to jobs threads (MeshRaster.cpp).
std::unique_ptr<GxGrid> fillBand(int b, ElementSpill& spill, GxGridParam& gridPar, int jobs, GridSummary* summary,
                                 int& error, int firstRow = 0, int endRow = std::numeric_limits<int>::max());

// Replaces outFileName by the grid of gridPar whose rows band(b, error) gives
// north to south, rowsPerBand at a time, in the format of raster: the text in
// blocks of textBlockCells, a GDAL format band by band. False after the
// messages of a failure.
bool writeGridInBands(const std::string& outFileName, GxGridParam& gridPar, const RasterOptions& raster,
                      const RasterPlan& plan, int jobs, int rowsPerBand, std::size_t textBlockCells,
                      const std::function<std::unique_ptr<GxGrid>(int, int&)>& band);

// A run across the processes of mpirun (ClusterRun.cpp), from the setup each
// process settled and its status so far (-1: ready).
int runAcrossProcesses(const CommandLine& cl, RunSetup& s, int refused);
