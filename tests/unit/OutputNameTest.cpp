// The format a grid file's name says, and the names refused for the format
// asked for, without opening GDAL for the text.
#include <gtest/gtest.h>

#include <string>

#include "CommandLine.h"
#include "GdalGrid.h"
#include "OutputName.h"

TEST(OutputName, ExtensionOfTheLastComponentInLowerCase) {
    const struct {
        const char* name;
        const char* extension;
    } cases[] = {
        {"ph.tif", "tif"}, {"PH.TIFF", "tiff"},  {"a.b.Grd", "grd"}, {"out", ""},
        {".tif", ""},      {"dir/.tif", ""},     {"dir.d/out", ""},  {"dir.d/out.asc", "asc"},
        {"out.", ""},      {"./out.tif", "tif"}, {"/x/y.nc", "nc"},  {"a.tif/", ""},
    };
    for (const auto& k : cases) EXPECT_EQ(nameExtension(k.name), k.extension) << k.name;
    EXPECT_TRUE(namesGeoTiff("ph.Tif"));
    EXPECT_TRUE(namesGeoTiff("dir/ph.tiff"));
    EXPECT_FALSE(namesGeoTiff("ph.tif.grd"));
    EXPECT_FALSE(namesGeoTiff("ph.tifx"));
}

// The text keeps every name it has been written under (.grd, .asc, .txt, none),
// and is refused under the names of the common binary rasters only.
TEST(OutputName, TextIsRefusedUnderBinaryRasterNamesOnly) {
    const struct {
        const char* name;
        const char* problem;
    } cases[] = {
        {"pileheight.grd", ""},
        {"out.asc", ""},
        {"grid.txt", ""},
        {"grid", ""},
        {"a.dat", ""},
        {"a.tif.bak", ""},
        {"ph.png", "ph.png is a name for PNG files, not for KORVEN-ASCII; give -o a name ending in .grd"},
        {"ph.JPG", "ph.JPG is a name for JPEG files, not for KORVEN-ASCII; give -o a name ending in .grd"},
        {"d/ph.nc", "d/ph.nc is a name for netCDF files, not for KORVEN-ASCII; give -o a name ending in .grd"},
        {"ph.img", "ph.img is a name for HFA files, not for KORVEN-ASCII; give -o a name ending in .grd"},
    };
    CommandLine cl;
    for (const auto& k : cases) {
        RasterOptions raster;
        EXPECT_EQ(settleOutputFormat(cl, k.name, raster), k.problem) << k.name;
        EXPECT_EQ(raster.format, "") << k.name;
    }
    // Asked for by name, the text is refused under .tif too.
    cl.textAsked = true;
    RasterOptions raster;
    EXPECT_EQ(settleOutputFormat(cl, "ph.TIF", raster),
              "ph.TIF is a name for GTiff files, not for KORVEN-ASCII; give -o a name ending in .grd");
    EXPECT_EQ(raster.format, "");
}

#ifndef MESHRASTER_HAVE_GDAL
// A build without GDAL must not write the text into a file every GIS opens as a GeoTIFF.
TEST(OutputName, TifWithoutGdalIsRefused) {
    RasterOptions raster;
    EXPECT_EQ(settleOutputFormat(CommandLine{}, "ph.tiff", raster),
              "this MeshRaster was built without GDAL; only the KORVEN-ASCII text format can be written; ph.tiff is "
              "a name for GTiff files, so give -o a name ending in .grd");
}
#endif
