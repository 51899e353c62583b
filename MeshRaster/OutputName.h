// The grid file's name and the format it is written in: a name that says one
// format is not given a file of another, which a GIS would then misread or
// refuse to open.
#pragma once

#include <string>

struct CommandLine;
struct RasterOptions;

// The GDAL driver a name ending in .tif or .tiff asks for when no format is given.
extern const char kGeoTiff[];

// The extension of the name's last component, in lower case and without its
// dot; empty when it has none (".tif" alone is a hidden file's name, not an extension).
std::string nameExtension(const std::string& name);
// Whether name ends in .tif or .tiff, in any letter case.
inline bool namesGeoTiff(const std::string& name) {
    const std::string ext = nameExtension(name);
    return ext == "tif" || ext == "tiff";
}

// The GDAL format that a name with this extension is known for, when the
// KORVEN-ASCII text must not be written under it; empty when the text may be.
const char* binaryFormatOfExtension(const std::string& extension);

// Settles the format the grid is written in under outFileName: with no format
// asked for, a .tif or .tiff name selects GeoTIFF in raster.format. Returns
// what keeps the grid from being written so, as one line without the program's
// name; empty when it can be. GDAL is opened only for a GDAL format.
std::string settleOutputFormat(const CommandLine& cl, const std::string& outFileName, RasterOptions& raster);
