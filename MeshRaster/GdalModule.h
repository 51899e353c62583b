// The GDAL writer as the run uses it: in a build with GDAL, its module is
// opened only when a run asks for a GDAL format, so that a run that writes the
// text does not load GDAL's libraries. The module makes the files; where they
// go and how they are put in place is the output rule the text writer follows
// too (OutputFile.h).
#pragma once

#include <string>
#include <vector>

#include "GdalGrid.h"
#include "OutputFile.h"

// checkRasterOptions of the module; what keeps the module from opening, when it does not.
std::string checkRasterFormat(const RasterOptions& opt);
// extensionOwner of the module; empty when the module does not open (checkRasterFormat says why).
std::string rasterExtensionOwner(const std::string& format, const std::string& extension, std::string& ownExtension);

// What is known of a raster output before any input is read.
struct RasterPlan {
    std::string refused;                 // what GDAL refuses in the format, its options or the name; exit 2
    std::string sideFile;                // a file the driver writes beside the raster that the run reads
    bool sideFileIsConfig = false;       // sideFile is the configuration, not an input
    std::vector<std::string> sideFiles;  // the files the driver writes beside the raster
    std::vector<FileKey> kept;           // the configuration and the inputs: never replaced nor removed
};

// Tries the raster's format, options and name through GDAL (a one-cell copy in
// memory) and checks every file it would write against the configuration and
// the inputs, by device and inode.
RasterPlan planRaster(const std::string& outFileName, const GxGridParam& par, const RasterOptions& opt,
                      const std::string& cfgName, const std::vector<std::string>& inputs);

// How a raster write ended.
enum class RasterWrite {
    written,
    notOpened,   // the target cannot be replaced or its folder takes no file: nothing was made
    notWritten,  // GDAL or the disk failed: the old files stay
};

// Writes grid through gdal's functions under outFileName, following the output
// rule: the raster and its side files are made in a private folder beside the
// target and published as one unit. error receives the reason, one line.
RasterWrite writeRasterFiles(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par,
                             const RasterOptions& opt, const RasterPlan& plan, const GdalFunctions& gdal,
                             std::string& error);

// True when a grid made in bands can be written in format: its driver creates
// a file and takes its rows in any number of writes (GTiff). Any other
// format (COG, which needs the whole raster at once, among them) must fit
// whole in memory.
bool rasterWritesInBands(const std::string& format);

// writeRasterFiles for a grid made in bands (GdalGrid.h).
RasterWrite writeRasterFileBands(const std::string& outFileName, const GxGridParam& par, const RasterOptions& opt,
                                 const RasterPlan& plan, const GridBands& bands, const GdalFunctions& gdal,
                                 std::string& error);

// writeRasterFileBands through the module.
RasterWrite writeRasterBands(const std::string& outFileName, const GxGridParam& par, const RasterOptions& opt,
                             const RasterPlan& plan, const GridBands& bands, std::string& error);

// writeRasterFiles through the module.
RasterWrite writeRaster(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par,
                        const RasterOptions& opt, const RasterPlan& plan, std::string& error);
