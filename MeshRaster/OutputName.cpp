#include "OutputName.h"

#include <cstring>

#include "CommandLine.h"
#include "GdalModule.h"

const char kGeoTiff[] = "GTiff";

namespace {

const char kText[] = "KORVEN-ASCII";

std::string lowerCase(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// "NAME is a name for FORMAT files, not for ASKED; give -o a name ending in .EXT"
std::string otherFormatsName(const std::string& name, const std::string& owner, const std::string& asked,
                             const std::string& ownExtension, const std::string& extension) {
    return name + " is a name for " + owner + " files, not for " + asked + "; give -o a name " +
           (ownExtension.empty() ? "without the extension ." + extension : "ending in ." + ownExtension);
}

}  // namespace

std::string nameExtension(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot <= start) return "";
    return lowerCase(name.substr(dot + 1));
}

const char* binaryFormatOfExtension(const std::string& extension) {
    // The text is written without opening GDAL, which would cost every run
    // about 0.08 s, so the names it refuses are a fixed list rather than
    // GDAL's: the extensions a GIS takes, by name alone, for one of the common
    // binary rasters, and would open with that format's reader. Every other
    // name (.grd, .asc, .txt, .dat, none at all) takes the text as it always has.
    static const struct {
        const char* extension;
        const char* format;
    } kBinary[] = {
        {"tif", "GTiff"},       {"tiff", "GTiff"}, {"png", "PNG"},   {"jpg", "JPEG"}, {"jpeg", "JPEG"},
        {"jp2", "JP2OpenJPEG"}, {"nc", "netCDF"},  {"img", "HFA"},   {"vrt", "VRT"},  {"gpkg", "GPKG"},
        {"kea", "KEA"},         {"h5", "HDF5"},    {"hdf5", "HDF5"}, {"hdf", "HDF4"},
    };
    for (const auto& b : kBinary)
        if (extension == b.extension) return b.format;
    return nullptr;
}

std::string settleOutputFormat(const CommandLine& cl, const std::string& outFileName, RasterOptions& raster) {
    const std::string extension = nameExtension(outFileName);
    if (raster.format.empty() && !cl.textAsked && namesGeoTiff(outFileName)) {
        raster.format = kGeoTiff;
        // A build or an installation without GDAL must not put the text under
        // a name every GIS opens as a GeoTIFF.
        if (const std::string problem = checkRasterFormat(raster); !problem.empty())
            return problem + "; " + outFileName + " is a name for " + kGeoTiff +
                   " files, so give -o a name ending in .grd";
        return "";
    }
    if (raster.format.empty()) {
        const char* format = binaryFormatOfExtension(extension);
        return format == nullptr ? "" : otherFormatsName(outFileName, format, kText, "grd", extension);
    }
    if (extension.empty()) return "";
    std::string ownExtension;
    const std::string owner = rasterExtensionOwner(raster.format, extension, ownExtension);
    return owner.empty() ? "" : otherFormatsName(outFileName, owner, raster.format, ownExtension, extension);
}
