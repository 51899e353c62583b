// The grid written through GDAL: one Float64 band in any raster format GDAL can
// create (GeoTIFF, COG, Arc/Info ASCII, netCDF, ...), with its true georeference.
// Without GDAL in the build, both functions answer that only the text format is
// available. With GDAL they are the module the program opens only when a run
// asks for a GDAL format (GdalModule.h).
#pragma once

#include <string>
#include <vector>

#include "GxGrid.h"

// How the grid is to be written through GDAL.
struct RasterOptions {
    std::string format;                        // the short name of a GDAL raster driver: GTiff, COG, AAIGrid, ...
    std::string srs;                           // the reference system as GDAL's user input takes it; empty: none
    bool hasNodata = false;                    // whether a no-data value is declared
    double nodata = 0;                         // the no-data value, when hasNodata; no cell is changed
    std::vector<std::string> creationOptions;  // NAME=VALUE pairs for the driver
    void (*progress)(double done) = nullptr;   // told the share written, 0 to 1, as the copy goes on
};

// What is wrong with opt, in one line: a format GDAL does not know, cannot write
// as a raster file or cannot hold 64-bit floats in, a creation option the driver
// refuses, a reference system GDAL cannot read. Empty when the grid can be
// written so; meant to be asked before any input is converted.
std::string checkRasterOptions(const RasterOptions& opt);

// When GDAL lists extension (lower case, without its dot) for a driver other
// than format and not for format itself, that driver's short name; empty
// otherwise. ownExtension receives the first extension format lists, if any.
std::string extensionOwner(const std::string& format, const std::string& extension, std::string& ownExtension);

// Writes grid through the driver opt.format under outFileName, replacing any
// file of that name only once the new raster is complete. False when it cannot,
// with the reason in error (GDAL's own message where GDAL gave one, one line).
bool writeGdalGrid(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par, const RasterOptions& opt,
                   std::string& error);

// The module's entry points, as the program finds them once it has opened the
// module: the version guards against a module of another build.
struct GdalFunctions {
    const char* version;
    std::string (*check)(const RasterOptions& opt);
    std::string (*owner)(const std::string& format, const std::string& extension, std::string& ownExtension);
    bool (*write)(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par, const RasterOptions& opt,
                  std::string& error);
};

// The name the program looks the module's entry points up by.
#define MESHRASTER_GDAL_ENTRY "meshrasterGdalFunctions"
