// The GDAL writer as the run uses it: in a build with GDAL, its module is
// opened only when a run asks for a GDAL format, so that a run that writes the
// text does not load GDAL's libraries.
#pragma once

#include <string>

#include "GdalGrid.h"

// checkRasterOptions of the module; what keeps the module from opening, when it does not.
std::string checkRasterFormat(const RasterOptions& opt);
// extensionOwner of the module; empty when the module does not open (checkRasterFormat says why).
std::string rasterExtensionOwner(const std::string& format, const std::string& extension, std::string& ownExtension);
// writeGdalGrid of the module.
bool writeRaster(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par, const RasterOptions& opt,
                 std::string& error);
