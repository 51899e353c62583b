// Rasters written through GDAL and read back through GDAL: size, georeference,
// reference system, no-data value and every cell bit for bit, in the formats
// users open in a GIS; the options refused before any conversion; failures that
// must leave the old file in place and nothing beside it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GdalGrid.h"
#include "GdalModule.h"
#include "GxGrid.h"
#include "TestSupport.h"

namespace {

// The raster written as the program writes it, through the GDAL code linked
// into the tests, with nothing planned before.
bool writeThroughRule(const std::string& out, const GxGrid& grid, const GxGridParam& par, const RasterOptions& opt,
                      std::string& error) {
    return writeRasterFiles(out, grid, par, opt, RasterPlan(), *meshrasterGdalFunctions(), error) ==
           RasterWrite::written;
}

}  // namespace

#ifdef MESHRASTER_HAVE_GDAL

#include <gdal.h>
#include <ogr_srs_api.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "MeshRaster.h"

namespace {

// A grid and its georeference.
struct Grid {
    GxGridParam par;
    GxGrid grid;
};

// Cells a writer could easily bend: subnormals, extremes, a negative zero,
// thirds, more digits than the text format keeps. Row 0 is the north.
Grid awkwardGrid() {
    const double rows[3][5] = {
        {1.0 / 3, -0.0, 1e300, -1e300, 4.9406564584124654e-324},
        {2.2250738585072009e-308, 0.0, 5.123456789012, 1e-5, 600000.25},
        {2.0 / 3, 12.5, -7.0, 0.1, 123456789012345.67},
    };
    Grid g{GxGridParam(600000, 600010, 5100294, 5100300, 2, 2), GxGrid(3, 5)};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 5; ++col) g.grid.RowCol(row, col, rows[row][col]);
    return g;
}

// The bundled example converted as examples/pileheight.cfg asks: 200 x 150
// cells of pile height from four files.
Grid exampleGrid() {
    Grid g{GxGridParam(600000, 600400, 5100000, 5100300, 2, 2), GxGrid(150, 200)};
    for (const char* file : {"flow_p0.dat", "flow_p1.dat", "flow_p2.dat", "flow_p3.dat"})
        EXPECT_TRUE(readTecFile((std::string(MESHRASTER_EXAMPLES_DIR) + "/" + file).c_str(), false, g.grid, g.par));
    return g;
}

bool haveDriver(const char* format) {
    GDALAllRegister();
    return GDALGetDriverByName(format) != nullptr;
}

// What GDAL reads back from a raster file.
struct Raster {
    bool opened = false;
    int cols = 0, rows = 0, bands = 0;
    GDALDataType type = GDT_Unknown;
    double transform[6] = {};
    bool hasSrs = false, srsIs32632 = false;
    int hasNodata = 0;
    double nodata = 0;
    std::vector<double> cells;
};

Raster readRaster(const std::string& path, const std::string& format) {
    Raster r;
    // GDAL reads an Arc/Info ASCII grid as Float32 unless told otherwise.
    const char* const openOptions[] = {format == "AAIGrid" ? "DATATYPE=Float64" : nullptr, nullptr};
    GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, openOptions, nullptr);
    if (!ds) return r;
    r.opened = true;
    r.cols = GDALGetRasterXSize(ds);
    r.rows = GDALGetRasterYSize(ds);
    r.bands = GDALGetRasterCount(ds);
    GDALGetGeoTransform(ds, r.transform);
    if (OGRSpatialReferenceH srs = GDALGetSpatialRef(ds)) {
        r.hasSrs = true;
        OGRSpatialReferenceH utm32 = OSRNewSpatialReference(nullptr);
        OSRImportFromEPSG(utm32, 32632);
        r.srsIs32632 = OSRIsSame(srs, utm32);
        OSRRelease(utm32);
    }
    if (r.bands == 1) {
        GDALRasterBandH band = GDALGetRasterBand(ds, 1);
        r.type = GDALGetRasterDataType(band);
        r.nodata = GDALGetRasterNoDataValue(band, &r.hasNodata);
        r.cells.resize(static_cast<std::size_t>(r.cols) * static_cast<std::size_t>(r.rows));
        if (GDALRasterIO(band, GF_Read, 0, 0, r.cols, r.rows, r.cells.data(), r.cols, r.rows, GDT_Float64, 0, 0) !=
            CE_None)
            r.cells.clear();
    }
    GDALClose(ds);
    return r;
}

// The names in a folder, sorted.
std::vector<std::string> listFolder(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string bits(double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// Every cell of r is the grid's double, bit for bit, in the grid's order.
void expectSameCells(const Raster& r, const GxGrid& grid) {
    ASSERT_EQ(r.cells.size(), static_cast<std::size_t>(grid.NumRow()) * static_cast<std::size_t>(grid.NumCol()));
    int wrong = 0;
    for (int row = 0; row < grid.NumRow(); ++row)
        for (int col = 0; col < grid.NumCol(); ++col) {
            const double want = grid.RowCol(row, col);
            const double got = r.cells[static_cast<std::size_t>(row) * static_cast<std::size_t>(grid.NumCol()) +
                                       static_cast<std::size_t>(col)];
            if (std::memcmp(&want, &got, sizeof want) != 0 && ++wrong <= 5)
                ADD_FAILURE() << "row " << row << ", column " << col << ": " << bits(got) << " instead of "
                              << bits(want);
        }
    EXPECT_EQ(wrong, 0) << "cells that differ";
}

struct FormatCase {
    const char* format;
    const char* file;
    std::vector<std::string> creationOptions;
    std::vector<std::string> files;  // what the folder holds afterwards
    double ownNodata = 0;            // the format's own no-data value when none is declared; 0: none
};

const FormatCase kFormats[] = {
    {"GTiff", "grid.tif", {}, {"grid.tif"}},
    {"GTiff", "grid.tif", {"COMPRESS=DEFLATE", "PREDICTOR=3", "TILED=YES"}, {"grid.tif"}},
    {"COG", "grid.tif", {"COMPRESS=DEFLATE"}, {"grid.tif"}},
    // Arc/Info ASCII prints each double with 20 significant digits, enough to
    // give back every double (so more than the text format's 11); the
    // reference system goes into a .prj beside it.
    {"AAIGrid", "grid.asc", {}, {"grid.asc", "grid.prj"}},
    // netCDF gives every variable a fill value, its default one when no
    // no-data value is declared; no cell is near it.
    {"netCDF", "grid.nc", {}, {"grid.nc"}, 9.9692099683868690e+36},
};

}  // namespace

TEST(GdalGrid, FormatsGiveBackEveryCellTheNorthEdgeAndTheReferenceSystem) {
    const Grid grids[] = {exampleGrid(), awkwardGrid()};
    struct Declared {
        const char* srs;
        bool hasNodata;
        double nodata;
    };
    for (const FormatCase& f : kFormats) {
        if (!haveDriver(f.format)) {
            std::printf("GDAL has no %s driver: not tested\n", f.format);
            continue;
        }
        for (const Grid& g : grids)
            for (const Declared d : {Declared{"EPSG:32632", true, -9999.0}, Declared{"", false, 0.0}}) {
                SCOPED_TRACE(std::string(f.format) + (f.creationOptions.empty() ? "" : " " + f.creationOptions[0]) +
                             ", " + std::to_string(g.grid.NumRow()) + " rows, srs \"" + d.srs + "\"");
                TempDir dir;
                const RasterOptions opt{f.format, d.srs, d.hasNodata, d.nodata, f.creationOptions};
                std::string error = "not set";
                ASSERT_TRUE(writeThroughRule(dir.file(f.file), g.grid, g.par, opt, error)) << error;
                EXPECT_EQ(error, "");
                std::vector<std::string> files = f.files;
                if (!*d.srs) files.erase(std::remove(files.begin(), files.end(), "grid.prj"), files.end());
                EXPECT_EQ(listFolder(dir.path()), files);

                const Raster r = readRaster(dir.file(f.file), f.format);
                ASSERT_TRUE(r.opened);
                EXPECT_EQ(r.bands, 1);
                EXPECT_EQ(r.type, GDT_Float64);
                EXPECT_EQ(r.cols, g.grid.NumCol());
                EXPECT_EQ(r.rows, g.grid.NumRow());
                // The true north edge: no ten-million shift.
                EXPECT_EQ(std::vector<double>(r.transform, r.transform + 6),
                          std::vector<double>({g.par.xmin_, g.par.resx_, 0, g.par.ymax_, 0, -g.par.resy_}));
                EXPECT_EQ(r.hasSrs, *d.srs != '\0');
                EXPECT_EQ(r.srsIs32632, *d.srs != '\0');
                EXPECT_EQ(r.hasNodata != 0, d.hasNodata || f.ownNodata != 0);
                if (r.hasNodata) {
                    EXPECT_EQ(r.nodata, d.hasNodata ? d.nodata : f.ownNodata);
                }
                expectSameCells(r, g.grid);
            }
    }
}

// A GeoTIFF made in bands (the raster created empty, each band's rows written
// into it) gives back every cell, the georeference, the reference system and
// the no-data value of the grid, in strips or tiles, compressed or not, for
// bands that do and do not line up with the tiles.
TEST(GdalGrid, GeoTiffInBandsGivesBackEveryCell) {
    const Grid g = exampleGrid();
    const std::vector<std::string> optionSets[] = {
        {},
        {"COMPRESS=DEFLATE", "PREDICTOR=3"},
        {"TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=32", "COMPRESS=LZW"},
    };
    for (const std::vector<std::string>& options : optionSets)
        for (const int rowsPerBand : {1, 7, 32, 150}) {
            SCOPED_TRACE((options.empty() ? std::string("strips") : options[0]) + ", bands of " +
                         std::to_string(rowsPerBand) + " rows");
            // The bands are copies of the grid's rows, handed out in turn.
            std::unique_ptr<GxGrid> current;
            int asked = 0;
            const GridBands bands{rowsPerBand, [&](int b, int&) -> const GxGrid* {
                                      EXPECT_EQ(b, asked++);
                                      current =
                                          std::make_unique<GxGrid>(150, 200, b * rowsPerBand, (b + 1) * rowsPerBand);
                                      for (int row = current->firstRow(); row < current->endRow(); ++row)
                                          for (int col = 0; col < 200; ++col)
                                              current->RowCol(row, col, g.grid.RowCol(row, col));
                                      return current.get();
                                  }};
            TempDir dir;
            const RasterOptions opt{"GTiff", "EPSG:32632", true, -9999.0, options};
            std::string error = "not set";
            ASSERT_EQ(writeRasterFileBands(dir.file("grid.tif"), g.par, opt, RasterPlan(), bands,
                                           *meshrasterGdalFunctions(), error),
                      RasterWrite::written)
                << error;
            EXPECT_EQ(asked, (150 + rowsPerBand - 1) / rowsPerBand);
            EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"grid.tif"});
            const Raster r = readRaster(dir.file("grid.tif"), "GTiff");
            ASSERT_TRUE(r.opened);
            EXPECT_EQ(r.type, GDT_Float64);
            EXPECT_EQ(std::vector<double>(r.transform, r.transform + 6),
                      std::vector<double>({g.par.xmin_, g.par.resx_, 0, g.par.ymax_, 0, -g.par.resy_}));
            EXPECT_TRUE(r.srsIs32632);
            EXPECT_EQ(r.nodata, -9999.0);
            expectSameCells(r, g.grid);
        }
}

// A COG cannot be written band by band: the bands go into a tiled GeoTIFF in
// the private folder, which is copied and then removed. The file is the one a
// copy of the whole grid gives, and nothing else is left beside it.
TEST(GdalGrid, CogInBandsIsTheWholeGridsCog) {
    if (!haveDriver("COG")) GTEST_SKIP() << "GDAL has no COG driver";
    const Grid g = exampleGrid();
    std::unique_ptr<GxGrid> current;
    const GridBands bands{11, [&](int b, int&) -> const GxGrid* {
                              current = std::make_unique<GxGrid>(150, 200, b * 11, (b + 1) * 11);
                              for (int row = current->firstRow(); row < current->endRow(); ++row)
                                  for (int col = 0; col < 200; ++col)
                                      current->RowCol(row, col, g.grid.RowCol(row, col));
                              return current.get();
                          }};
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{}, std::vector<std::string>{"COMPRESS=DEFLATE", "BLOCKSIZE=128"}}) {
        SCOPED_TRACE(options.empty() ? "default options" : options[0]);
        TempDir dir;
        const RasterOptions opt{"COG", "EPSG:32632", true, -9999.0, options};
        std::string error = "not set";
        ASSERT_EQ(writeRasterFileBands(dir.file("bands.tif"), g.par, opt, RasterPlan(), bands,
                                       *meshrasterGdalFunctions(), error),
                  RasterWrite::written)
            << error;
        ASSERT_TRUE(writeThroughRule(dir.file("whole.tif"), g.grid, g.par, opt, error)) << error;
        EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"bands.tif", "whole.tif"}));
        EXPECT_TRUE(readFile(dir.file("bands.tif")) == readFile(dir.file("whole.tif")));
        const Raster r = readRaster(dir.file("bands.tif"), "COG");
        ASSERT_TRUE(r.opened);
        EXPECT_TRUE(r.srsIs32632);
        EXPECT_EQ(r.nodata, -9999.0);
        expectSameCells(r, g.grid);
        // The layout of a cloud-optimised file: tiled, its tiles after the header.
        GDALDatasetH ds = GDALOpen(dir.file("bands.tif").c_str(), GA_ReadOnly);
        ASSERT_NE(ds, nullptr);
        const char* layout = GDALGetMetadataItem(ds, "LAYOUT", "IMAGE_STRUCTURE");
        EXPECT_STREQ(layout ? layout : "", "COG");
        GDALClose(ds);
    }
}

// A band that cannot be had ends the write with its reason, and nothing is left.
TEST(GdalGrid, GeoTiffInBandsStopsAtABandNotRead) {
    const Grid g = exampleGrid();
    std::unique_ptr<GxGrid> current;
    const GridBands bands{10, [&](int b, int& error) -> const GxGrid* {
                              if (b == 3) {
                                  error = EIO;
                                  return nullptr;
                              }
                              current = std::make_unique<GxGrid>(150, 200, b * 10, (b + 1) * 10);
                              return current.get();
                          }};
    TempDir dir;
    dir.write("grid.tif", "old");
    std::string error;
    RasterOptions opt;
    opt.format = "GTiff";
    EXPECT_EQ(
        writeRasterFileBands(dir.file("grid.tif"), g.par, opt, RasterPlan(), bands, *meshrasterGdalFunctions(), error),
        RasterWrite::notWritten);
    EXPECT_EQ(error, std::strerror(EIO));
    EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"grid.tif"});
    EXPECT_EQ(readFile(dir.file("grid.tif")), "old");
}

TEST(GdalGrid, OptionsGdalCannotWriteAreRefused) {
    struct Case {
        RasterOptions opt;
        std::string problem;  // the whole line, or its start when it ends in "..."
    };
    const Case cases[] = {
        {{"GTiff", "", false, 0, {}}, ""},
        {{"gtiff", "EPSG:32632", true, -9999, {"COMPRESS=DEFLATE", "PREDICTOR=3", "TILED=YES"}}, ""},
        {{"COG", "+proj=utm +zone=32 +datum=WGS84 +units=m +no_defs", false, 0, {"COMPRESS=DEFLATE"}}, ""},
        {{"AAIGrid", "EPSG:4326", false, 0, {}}, ""},
        {{"GTif", "", false, 0, {}}, "unknown output format \"GTif\"; gdalinfo --formats lists them"},
        {{"", "", false, 0, {}}, "unknown output format \"\"; gdalinfo --formats lists them"},
        {{"ESRI Shapefile", "", false, 0, {}}, "the output format \"ESRI Shapefile\" is not a raster format"},
        {{"AIG", "", false, 0, {}}, "the output format \"AIG\" can be read but not written"},
        {{"PNG", "", false, 0, {}},
         "the output format \"PNG\" cannot hold 64-bit floating-point cells (it takes Byte UInt16)"},
        {{"GPKG", "", false, 0, {}},
         "the output format \"GPKG\" cannot hold 64-bit floating-point cells (it takes Byte Int16 UInt16 Float32)"},
        {{"MEM", "", false, 0, {}}, "the output format \"MEM\" does not store the cells in its file"},
        {{"VRT", "", false, 0, {}}, "the output format \"VRT\" does not store the cells in its file"},
        {{"GTiff", "", false, 0, {"COMPRESS"}}, "the creation option \"COMPRESS\" is not of the form NAME=VALUE"},
        {{"GTiff", "", false, 0, {"=DEFLATE"}}, "the creation option \"=DEFLATE\" is not of the form NAME=VALUE"},
        {{"GTiff", "", false, 0, {"COMPRES=DEFLATE"}},
         "creation options that the output format \"GTiff\" does not take: driver GTiff does not support creation "
         "option COMPRES"},
        {{"GTiff", "", false, 0, {"COMPRESS=DEFLAT"}},
         "creation options that the output format \"GTiff\" does not take: ..."},
        {{"GTiff", "EPSG:326320", false, 0, {}}, "unknown reference system \"EPSG:326320\": ..."},
        {{"GTiff", "nonsense", false, 0, {}}, "unknown reference system \"nonsense\"..."},
    };
    for (const Case& c : cases) {
        const std::string problem = checkRasterOptions(c.opt);
        const std::string what = c.opt.format + " " + c.opt.srs;
        if (c.problem.size() > 3 && c.problem.compare(c.problem.size() - 3, 3, "...") == 0) {
            const std::string start = c.problem.substr(0, c.problem.size() - 3);
            EXPECT_EQ(problem.substr(0, start.size()), start) << what;
            EXPECT_EQ(problem.find('\n'), std::string::npos) << what;
        } else {
            EXPECT_EQ(problem, c.problem) << what;
        }
    }
}

// The one-cell trial before any input is read: what GDAL refuses, named after
// the output and never after the trial's own file, and the side files the
// driver writes, which the run checks against its inputs. netCDF cannot write
// into memory and is tried in the folder given.
TEST(GdalGrid, TrialFindsRefusalsAndSideFiles) {
    struct Case {
        const char* name;
        RasterOptions opt;
        std::vector<std::string> sideNames;
        std::string refused;  // its start; empty: none
    };
    const Case cases[] = {
        {"out/r.tif", {"GTiff", "", false, 0, {"COMPRESS=DEFLATE"}}, {}, ""},
        {"out/r.tif", {"GTiff", "", false, 0, {"TFW=YES"}}, {"r.tfw"}, ""},
        {"out/r.asc", {"AAIGrid", "EPSG:32632", false, 0, {}}, {"r.prj"}, ""},
        {"out/r.asc", {"AAIGrid", "", false, 0, {}}, {}, ""},
        {"env", {"ENVI", "", false, 0, {}}, {"env.hdr"}, ""},
        {"out/r.nc", {"netCDF", "", false, 0, {}}, {}, ""},
        {"out/r.tif", {"GTiff", "", false, 0, {"PREDICTOR=9"}}, {}, "out/r.tif: PREDICTOR=9 is not supported"},
        {"out/r.tif", {"GTiff", "", false, 0, {"BLOCKYSIZE=-5"}}, {}, "out/r.tif: Invalid value for BLOCKYSIZE"},
        {"r.tif", {"GTiff", "", false, 0, {"TILED=YES", "BLOCKXSIZE=7"}}, {}, "_TIFFVSetField:r.tif: Bad value 7"},
    };
    const GxGridParam par(600000, 600030, 5100000, 5100020, 10, 10);
    for (const Case& c : cases) {
        TempDir scratch;
        std::vector<std::string> sideNames;
        const std::string refused = tryRasterOptions(c.name, scratch.path(), par, c.opt, sideNames);
        const std::string what = c.opt.format + " " + c.name;
        std::sort(sideNames.begin(), sideNames.end());
        if (c.refused.empty()) {
            EXPECT_EQ(refused, "") << what;
            EXPECT_EQ(sideNames, c.sideNames) << what;
        } else {
            EXPECT_EQ(refused.substr(0, c.refused.size()), c.refused) << what;
        }
        EXPECT_EQ(refused.find("vsimem"), std::string::npos) << what;
        EXPECT_TRUE(listFolder(scratch.path()).empty()) << what;
    }
}

// A name's extension is checked against the extensions GDAL lists for each driver.
TEST(GdalGrid, ExtensionOfAnotherDriverIsNamed) {
    const struct {
        const char* format;
        const char* extension;
        bool refused;
        const char* own;
    } cases[] = {
        {"GTiff", "tif", false, "tif"},
        {"GTiff", "tiff", false, "tif"},
        {"COG", "tif", false, "tif"},
        {"AAIGrid", "asc", false, "asc"},
        {"netCDF", "nc", false, "nc"},
        {"GTiff", "nosuchext", false, "tif"},
        {"GTiff", "grd", true, "tif"},
        {"AAIGrid", "grd", true, "asc"},
        {"GTiff", "asc", true, "tif"},
        {"gtiff", "nc", true, "tif"},
        // ENVI lists no extension of its own: its rasters go by .bin and the
        // like, which another driver claims, and were refused before.
        {"ENVI", "bin", false, ""},
    };
    for (const auto& k : cases) {
        std::string own;
        const std::string owner = extensionOwner(k.format, k.extension, own);
        EXPECT_EQ(!owner.empty(), k.refused) << k.format << " ." << k.extension << ": " << owner;
        EXPECT_NE(owner, k.format) << k.extension;
        EXPECT_EQ(own, k.own) << k.format;
    }
}

TEST(GdalGrid, AFailedWriteLeavesTheOldFileAndNothingBeside) {
    const Grid g = awkwardGrid();
    const Grid noRows{GxGridParam(0, 10, 0, 0, 2, 2), GxGrid(0, 5)};
    const Grid noColumns{GxGridParam(0, 0, 0, 10, 2, 2), GxGrid(5, 0)};
    struct Case {
        const char* what;
        const Grid& grid;
        const char* out;  // inside the test's folder
        RasterOptions opt;
        std::string error;  // $ stands for the test's folder; a trailing "..." matches any rest
    };
    const Case cases[] = {
        {"folder missing", g, "missing/grid.tif", {"GTiff", "", false, 0, {}}, "No such file or directory"},
        {"folder is a file", g, "old.tif/grid.tif", {"GTiff", "", false, 0, {}}, "Not a directory"},
        {"name is a folder", g, "sub", {"GTiff", "", false, 0, {}}, "Is a directory"},
        {"name ends in a slash", g, "sub/", {"GTiff", "", false, 0, {}}, "Is a directory"},
        {"GDAL refuses a tile width", g, "old.tif", {"GTiff", "", false, 0, {"TILED=YES", "BLOCKXSIZE=5"}}, "..."},
        // GDAL reports JPEG's refusal of 64-bit samples as errors, yet hands
        // back a dataset: the errors alone must fail the write.
        {"GDAL errors with a dataset", g, "old.tif", {"GTiff", "", false, 0, {"COMPRESS=JPEG"}}, "..."},
        {"option refused", g, "old.tif", {"PNG", "", false, 0, {}}, "the output format \"PNG\" cannot hold ..."},
        {"no rows",
         noRows,
         "old.tif",
         {"GTiff", "", false, 0, {}},
         "the grid has 0 rows and 5 columns; a raster file needs at least one of each"},
        {"no columns",
         noColumns,
         "old.tif",
         {"GTiff", "", false, 0, {}},
         "the grid has 5 rows and 0 columns; a raster file needs at least one of each"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        dir.write("old.tif", "the old raster");
        std::filesystem::create_directory(dir.file("sub"));
        const std::vector<std::string> before = listFolder(dir.path());
        std::string error;
        EXPECT_FALSE(writeThroughRule(dir.file(c.out), c.grid.grid, c.grid.par, c.opt, error)) << c.what;
        std::string want = c.error;
        for (std::size_t at; (at = want.find('$')) != std::string::npos;) want.replace(at, 1, dir.path());
        if (want.size() >= 3 && want.compare(want.size() - 3, 3, "...") == 0) {
            want.resize(want.size() - 3);
            EXPECT_EQ(error.substr(0, want.size()), want) << c.what;
            EXPECT_GT(error.size(), want.size()) << c.what;
        } else {
            EXPECT_EQ(error, want) << c.what;
        }
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.what;
        EXPECT_EQ(listFolder(dir.path()), before) << c.what;
        EXPECT_EQ(readFile(dir.file("old.tif")), "the old raster") << c.what;
        EXPECT_TRUE(listFolder(dir.file("sub")).empty()) << c.what;
    }
}

TEST(GdalGrid, UnwritableFolderIsNamedAndKeepsNothing) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into any folder";
    const Grid g = awkwardGrid();
    TempDir dir;
    std::filesystem::create_directory(dir.file("ro"));
    ::chmod(dir.file("ro").c_str(), 0555);
    std::string error;
    EXPECT_FALSE(writeThroughRule(dir.file("ro/grid.tif"), g.grid, g.par, {"GTiff", "", false, 0, {}}, error));
    EXPECT_EQ(error, "Permission denied");
    EXPECT_TRUE(listFolder(dir.file("ro")).empty());
    ::chmod(dir.file("ro").c_str(), 0755);
}

// A raster replaced under the same name used to keep the side files of the old
// one: an old .prj gave the new grid the old reference system, an old .aux.xml
// (statistics that QGIS or gdalinfo -stats saved) described the old cells.
TEST(GdalGrid, StaleSideFilesOfTheReplacedRasterAreRemoved) {
    const Grid g = awkwardGrid();
    struct Case {
        const char* format;
        const char* file;
        const char* sideFile;
        const char* sideText;  // written beside the first raster; none: what the first write makes
    };
    const Case cases[] = {
        {"AAIGrid", "grid.asc", "grid.prj", nullptr},
        {"GTiff", "grid.tif", "grid.tif.aux.xml",
         "<PAMDataset><PAMRasterBand band=\"1\"><NoDataValue>5</NoDataValue></PAMRasterBand></PAMDataset>\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string out = dir.file(c.file);
        std::string error;
        ASSERT_TRUE(writeThroughRule(out, g.grid, g.par, {c.format, "EPSG:32632", false, 0, {}}, error)) << error;
        if (c.sideText) dir.write(c.sideFile, c.sideText);
        ASSERT_TRUE(fileExists(dir.file(c.sideFile))) << c.format;
        ASSERT_EQ(readRaster(out, c.format).hasNodata != 0, c.sideText != nullptr) << c.format;

        ASSERT_TRUE(writeThroughRule(out, g.grid, g.par, {c.format, "", false, 0, {}}, error)) << error;
        EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{c.file}) << c.format;
        const Raster r = readRaster(out, c.format);
        EXPECT_FALSE(r.hasSrs) << c.format;
        EXPECT_FALSE(r.hasNodata) << c.format;
    }
}

TEST(GdalGrid, ALinkedOutputReplacesTheLinkTargetAndKeepsItsMode) {
    const Grid g = awkwardGrid();
    TempDir dir;
    std::filesystem::create_directory(dir.file("real"));
    dir.write("real/grid.tif", "the old raster");
    ::chmod(dir.file("real/grid.tif").c_str(), 0640);
    std::filesystem::create_symlink("real/grid.tif", dir.file("grid.tif"));
    std::string error;
    ASSERT_TRUE(writeThroughRule(dir.file("grid.tif"), g.grid, g.par, {"GTiff", "", false, 0, {}}, error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("grid.tif")));
    EXPECT_EQ(listFolder(dir.file("real")), std::vector<std::string>{"grid.tif"});
    EXPECT_EQ(permissionBits(dir.file("real/grid.tif")), 0640);
    expectSameCells(readRaster(dir.file("grid.tif"), "GTiff"), g.grid);
}

#else  // built without GDAL

TEST(GdalGrid, BuildWithoutGdalRefusesEveryFormat) {
    const char* const noGdal =
        "this MeshRaster was built without GDAL; only the KORVEN-ASCII text format can be written";
    EXPECT_EQ(checkRasterOptions({"GTiff", "", false, 0, {}}), noGdal);
    TempDir dir;
    const GxGrid grid(2, 2);
    std::string error;
    EXPECT_FALSE(writeThroughRule(dir.file("grid.tif"), grid, GxGridParam(0, 2, 0, 2, 1, 1),
                                  {"GTiff", "", false, 0, {}}, error));
    EXPECT_EQ(error, noGdal);
    EXPECT_FALSE(fileExists(dir.file("grid.tif")));
}

#endif
