// The grid written through GDAL: one Float64 band in any raster format GDAL can
// create (GeoTIFF, COG, Arc/Info ASCII, netCDF, ...), with its true georeference.
// Without GDAL in the build, both functions answer that only the text format is
// available. With GDAL they are the module the program opens only when a run
// asks for a GDAL format (GdalModule.h).
#pragma once

#include <functional>
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

// Tries opt before any input is read: a raster of one cell with par's
// georeference is copied through the driver under the name of shownPath into a
// private folder of GDAL's in-memory file system, or into scratchFolder (a
// private folder on disk, which is left empty) for a driver that writes only
// real files (netCDF). Returns what GDAL refuses,
// as one line that names shownPath where GDAL named the trial's file; empty
// when nothing. sideNames receives the names of the files the driver wrote
// beside the raster (AAIGrid's .prj, ENVI's .hdr, ...).
std::string tryRasterOptions(const std::string& shownPath, const std::string& scratchFolder, const GxGridParam& par,
                             const RasterOptions& opt, std::vector<std::string>& sideNames);

// Writes grid through the driver opt.format as the new file path, in a folder
// of the program's own (OutputFolder). GDAL's messages, and the text files the
// driver writes beside the raster (an ENVI .hdr), name shownPath wherever they
// would name path. False when it cannot, with the reason in error (GDAL's own
// message where GDAL gave one, one line).
bool writeGdalFile(const std::string& path, const std::string& shownPath, const GxGrid& grid, const GxGridParam& par,
                   const RasterOptions& opt, std::string& error);

// The rows of a grid made in bands (Bands.h): band(b, error) for b = 0, 1, ...
// gives the grid that stores band b's rows, rowsPerBand of them (the last band
// the rest), valid until the next call; nullptr, with error the system's error
// number, when it cannot be had.
struct GridBands {
    int rowsPerBand = 0;
    std::function<const GxGrid*(int b, int& error)> band;
};

// writeGdalFile for a grid made in bands: the raster is created empty through
// the driver (GDALCreate) and each band's rows are written into it as they
// come. A GeoTIFF is made a BigTIFF where it may pass 4 GB (BIGTIFF=IF_SAFER)
// unless the options say otherwise.
bool writeGdalBands(const std::string& path, const std::string& shownPath, const GxGridParam& par,
                    const RasterOptions& opt, const GridBands& bands, std::string& error);

// The files that GDAL counts as part of the raster at path, other than the
// file itself, that share its folder and its name up to the extension: its
// .prj, .aux.xml, .ovr. Empty when there is no raster GDAL can open there.
std::vector<std::string> rasterSideFiles(const std::string& path);

// The module's entry points, as the program finds them once it has opened the
// module: the version guards against a module of another build.
struct GdalFunctions {
    const char* version;
    std::string (*check)(const RasterOptions& opt);
    std::string (*owner)(const std::string& format, const std::string& extension, std::string& ownExtension);
    std::string (*trial)(const std::string& shownPath, const std::string& scratchFolder, const GxGridParam& par,
                         const RasterOptions& opt, std::vector<std::string>& sideNames);
    bool (*write)(const std::string& path, const std::string& shownPath, const GxGrid& grid, const GxGridParam& par,
                  const RasterOptions& opt, std::string& error);
    std::vector<std::string> (*sideFiles)(const std::string& path);
    bool (*writeBands)(const std::string& path, const std::string& shownPath, const GxGridParam& par,
                       const RasterOptions& opt, const GridBands& bands, std::string& error);
};

// The entry points of the GDAL code linked into this binary (the module's own
// table, or the one that refuses every format in a build without GDAL).
extern "C" const GdalFunctions* meshrasterGdalFunctions();

// The name the program looks the module's entry points up by.
#define MESHRASTER_GDAL_ENTRY "meshrasterGdalFunctions"
