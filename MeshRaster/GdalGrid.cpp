// The grid through GDAL: the grid's own cells are wrapped in an in-memory (MEM)
// dataset, which GDAL copies block by block into the target driver, so the
// cells are never copied whole. Where the copy goes, and how it is put in
// place, is the program's output rule (OutputFile.h): this code only makes
// the files.
#include "GdalGrid.h"

#ifdef MESHRASTER_HAVE_GDAL

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <cpl_vsi.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <type_traits>

#include "Version.h"

namespace {

void registerDrivers() {
    static const bool registered = (GDALAllRegister(), true);
    (void)registered;
}

struct DatasetCloser {
    void operator()(GDALDatasetH ds) const { GDALClose(ds); }
};
using Dataset = std::unique_ptr<std::remove_pointer_t<GDALDatasetH>, DatasetCloser>;

struct SrsReleaser {
    void operator()(OGRSpatialReferenceH srs) const { OSRRelease(srs); }
};
using Srs = std::unique_ptr<std::remove_pointer_t<OGRSpatialReferenceH>, SrsReleaser>;

// GDAL's messages while an object lives: failures (and, when asked, warnings)
// are kept as one line for the caller to report; the rest reach standard error
// as GDAL prints them.
std::string withShownPath(const std::string& text, const std::string& path, const std::string& shownPath);

class GdalMessages {
public:
    // Warnings are kept with the failures when keepWarnings, dropped when
    // dropWarnings, and printed otherwise.
    explicit GdalMessages(bool keepWarnings = false, bool dropWarnings = false)
        : keepWarnings_(keepWarnings), dropWarnings_(dropWarnings) {
        CPLPushErrorHandlerEx(&GdalMessages::take, this);
    }
    ~GdalMessages() { CPLPopErrorHandler(); }
    GdalMessages(const GdalMessages&) = delete;
    GdalMessages& operator=(const GdalMessages&) = delete;

    // Every message, kept or printed, names shownPath where GDAL named path.
    void showAs(const std::string& path, const std::string& shownPath) {
        path_ = path;
        shownPath_ = shownPath;
    }
    // The messages kept, "; " between them.
    const std::string& text() const { return text_; }
    bool empty() const { return text_.empty(); }

private:
    static void CPL_STDCALL take(CPLErr level, CPLErrorNum number, const char* message) {
        auto* self = static_cast<GdalMessages*>(CPLGetErrorHandlerUserData());
        const std::string text = self->path_.empty()
                                     ? std::string(message ? message : "")
                                     : withShownPath(message ? message : "", self->path_, self->shownPath_);
        if (level == CE_Failure || level == CE_Fatal || (level == CE_Warning && self->keepWarnings_))
            self->keep(text);
        else if (!(level == CE_Warning && self->dropWarnings_))
            CPLDefaultErrorHandler(level, number, text.c_str());
    }
    void keep(std::string line) {
        for (char& c : line)
            if (c == '\n' || c == '\r') c = ' ';
        if (line.empty() || line == last_) return;
        text_ += (text_.empty() ? "" : "; ") + line;
        last_ = line;
    }

    bool keepWarnings_, dropWarnings_;
    std::string path_, shownPath_;
    std::string text_, last_;
};

bool hasCapability(GDALDriverH driver, const char* capability) {
    const char* value = GDALGetMetadataItem(driver, capability, nullptr);
    return value && std::strcmp(value, "YES") == 0;
}

// The extensions a driver's files are named with, in lower case, its main one
// first (GTiff: tif tiff).
std::vector<std::string> driverExtensions(GDALDriverH driver) {
    std::vector<std::string> list;
    for (const char* item : {GDAL_DMD_EXTENSION, GDAL_DMD_EXTENSIONS}) {
        const char* value = GDALGetMetadataItem(driver, item, nullptr);
        std::istringstream words(value ? value : "");
        for (std::string word; words >> word;) {
            for (char& c : word)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (std::find(list.begin(), list.end(), word) == list.end()) list.push_back(word);
        }
    }
    return list;
}

// Whether the driver can store the cells' doubles as they are. AAIGrid lists
// Float32 as its widest type, yet its writer prints a Float64 band's values
// with 20 significant digits, which give back every double.
bool holdsFloat64(GDALDriverH driver, std::string& types) {
    const char* list = GDALGetMetadataItem(driver, GDAL_DMD_CREATIONDATATYPES, nullptr);
    if (!list || std::strcmp(GDALGetDriverShortName(driver), "AAIGrid") == 0) return true;
    types = list;
    std::istringstream words(types);
    for (std::string word; words >> word;)
        if (word == "Float64") return true;
    return false;
}

// The creation options as GDAL takes them, ending in a null pointer; they point
// into opt.
std::vector<const char*> optionList(const RasterOptions& opt) {
    std::vector<const char*> list;
    for (const std::string& o : opt.creationOptions) list.push_back(o.c_str());
    list.push_back(nullptr);
    return list;
}

// opt.srs read by GDAL's user-input parser, or null with the reason in error.
Srs readSrs(const RasterOptions& opt, std::string& error) {
    GdalMessages messages;
    Srs srs(OSRNewSpatialReference(nullptr));
    if (OSRSetFromUserInput(srs.get(), opt.srs.c_str()) != OGRERR_NONE) {
        error = "unknown reference system \"" + opt.srs + "\"" + (messages.empty() ? "" : ": " + messages.text());
        return nullptr;
    }
    // The geotransform gives x (easting, longitude) first, whatever the order
    // of the system's own axes.
    OSRSetAxisMappingStrategy(srs.get(), OAMS_TRADITIONAL_GIS_ORDER);
    return srs;
}

// A MEM dataset whose one band is the grid's own buffer, with the georeference,
// the reference system and the no-data value to be copied.
Dataset wrapGrid(const GxGrid& grid, const GxGridParam& par, const RasterOptions& opt, OGRSpatialReferenceH srs) {
    Dataset ds(GDALCreate(GDALGetDriverByName("MEM"), "", grid.NumCol(), grid.NumRow(), 0, GDT_Float64, nullptr));
    if (!ds) return nullptr;
    // GDAL only reads from the source of a copy: the buffer is not written.
    char pointer[64];
    const int length = CPLPrintPointer(pointer, const_cast<double*>(grid.data()), static_cast<int>(sizeof pointer) - 1);
    pointer[length] = '\0';
    const std::string dataPointer = std::string("DATAPOINTER=") + pointer;
    const std::string lineOffset = "LINEOFFSET=" + std::to_string(8 * static_cast<long long>(grid.NumCol()));
    const char* const bandOptions[] = {dataPointer.c_str(), "PIXELOFFSET=8", lineOffset.c_str(), nullptr};
    if (GDALAddBand(ds.get(), GDT_Float64, bandOptions) != CE_None) return nullptr;
    // Row 0 is the north edge, ymax itself: the ten-million shift belongs to the
    // text format only.
    double transform[6] = {par.xmin_, par.resx_, 0.0, par.ymax_, 0.0, -par.resy_};
    if (GDALSetGeoTransform(ds.get(), transform) != CE_None) return nullptr;
    if (srs && GDALSetSpatialRef(ds.get(), srs) != CE_None) return nullptr;
    if (opt.hasNodata && GDALSetRasterNoDataValue(GDALGetRasterBand(ds.get(), 1), opt.nodata) != CE_None)
        return nullptr;
    return ds;
}

// Bounds GDAL's memory while an object lives, unless the user set these
// options. By default its block cache may grow to 5 % of the machine's memory
// and the rows it copies at a time to a quarter of that, so the 4000 x 4000
// grid of the benchmark's GeoTIFF row was held a second time: 150 MiB above the
// grid, against 35 MiB with these bounds (about 20 of them GDAL's drivers and
// tables, whatever the bounds), and the write was no slower. The cache keeps
// room for one row of 512-line tiles, the largest usual, so that no tile is
// compressed twice.
class GdalMemoryBound {
public:
    explicit GdalMemoryBound(int ncols) : oldCache_(GDALGetCacheMax64()) {
        setCache_ = !CPLGetConfigOption("GDAL_CACHEMAX", nullptr);
        if (setCache_) GDALSetCacheMax64(std::max<GIntBig>(8 << 20, 512 * 8 * static_cast<GIntBig>(ncols)));
        setSwath_ = !CPLGetConfigOption("GDAL_SWATH_SIZE", nullptr);
        if (setSwath_) CPLSetThreadLocalConfigOption("GDAL_SWATH_SIZE", "1048576");
    }
    ~GdalMemoryBound() {
        if (setCache_) GDALSetCacheMax64(oldCache_);
        if (setSwath_) CPLSetThreadLocalConfigOption("GDAL_SWATH_SIZE", nullptr);
    }
    GdalMemoryBound(const GdalMemoryBound&) = delete;
    GdalMemoryBound& operator=(const GdalMemoryBound&) = delete;

private:
    GIntBig oldCache_;
    bool setCache_, setSwath_;
};

// GDAL's progress passed on to the caller's.
int CPL_STDCALL passProgress(double done, const char*, void* state) {
    static_cast<const RasterOptions*>(state)->progress(done);
    return TRUE;
}

// Every occurrence of from in text replaced by to.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The folder part of a path, with its final slash; empty for a bare name.
std::string folderPart(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The names that path's folder and file have in GDAL's messages replaced by
// those of shownPath: a message names the file the user asked for, not the
// private folder it is written in.
std::string withShownPath(const std::string& text, const std::string& path, const std::string& shownPath) {
    return replaced(replaced(text, path, shownPath), folderPart(path), folderPart(shownPath));
}

// The creation options to write with: the user's, and, where the driver keeps
// a history of the call that wrote the file (netCDF), none, unless asked for:
// the call names the private file, not the one the user has.
std::vector<std::string> writeOptions(GDALDriverH driver, const RasterOptions& opt) {
    std::vector<std::string> list = opt.creationOptions;
    const char* known = GDALGetMetadataItem(driver, GDAL_DMD_CREATIONOPTIONLIST, nullptr);
    const bool keepsHistory =
        known && (std::strstr(known, "'WRITE_GDAL_HISTORY'") || std::strstr(known, "\"WRITE_GDAL_HISTORY\""));
    bool asked = false;
    for (const std::string& o : list) asked = asked || CPLString(o).ifind("WRITE_GDAL_HISTORY=") == 0;
    if (keepsHistory && !asked) list.push_back("WRITE_GDAL_HISTORY=NO");
    return list;
}

std::vector<const char*> pointers(const std::vector<std::string>& strings) {
    std::vector<const char*> list;
    for (const std::string& o : strings) list.push_back(o.c_str());
    list.push_back(nullptr);
    return list;
}

// Rewrites the text files beside the raster in folder (an ENVI header holds
// the name it was written under) so that they name shownPath. A file with a
// NUL byte, or of more than a MiB, is no header and is left as it is.
bool rewriteSideTexts(const std::string& folder, const std::string& raster, const std::string& path,
                      const std::string& shownPath) {
    std::error_code ec;
    for (std::filesystem::directory_iterator entry(folder, ec), end; !ec && entry != end; entry.increment(ec)) {
        const std::string file = entry->path().string();
        if (entry->path().filename() == raster || !entry->is_regular_file(ec) || entry->file_size(ec) > (1u << 20))
            continue;
        std::ifstream in(file, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) return false;
        if (text.find('\0') != std::string::npos) continue;
        const std::string shown = withShownPath(text, path, shownPath);
        if (shown == text) continue;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        if (!(out << shown) || !out.flush()) return false;
    }
    return !ec;
}

// A private folder in GDAL's in-memory file system, removed with its files.
// Removes the files in a folder of the disk when it goes, not the folder.
struct RemoveFiles {
    std::string folder;  // none when empty
    ~RemoveFiles() {
        std::error_code ec;
        if (folder.empty()) return;
        for (std::filesystem::directory_iterator entry(folder, ec), end; !ec && entry != end; entry.increment(ec))
            std::filesystem::remove_all(entry->path(), ec);
    }
};

class MemoryFolder {
public:
    MemoryFolder() {
        static int count = 0;
        path_ = "/vsimem/meshraster-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
        VSIMkdir(path_.c_str(), 0700);
    }
    ~MemoryFolder() { VSIRmdirRecursive(path_.c_str()); }
    MemoryFolder(const MemoryFolder&) = delete;
    MemoryFolder& operator=(const MemoryFolder&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

std::string checkRasterOptions(const RasterOptions& opt) {
    registerDrivers();
    GDALDriverH driver = GDALGetDriverByName(opt.format.c_str());
    const std::string format = "the output format \"" + opt.format + "\"";
    if (!driver) return "unknown output format \"" + opt.format + "\"; gdalinfo --formats lists them";
    if (!hasCapability(driver, GDAL_DCAP_RASTER)) return format + " is not a raster format";
    if (!hasCapability(driver, GDAL_DCAP_CREATE) && !hasCapability(driver, GDAL_DCAP_CREATECOPY))
        return format + " can be read but not written";
    // MEM keeps the raster in memory, and a VRT copy of it would refer to that
    // memory: neither leaves the cells in a file.
    const std::string shortName = GDALGetDriverShortName(driver);
    if (shortName == "MEM" || shortName == "VRT") return format + " does not store the cells in its file";
    std::string types;
    if (!holdsFloat64(driver, types))
        return format + " cannot hold 64-bit floating-point cells (it takes " + types + ")";
    for (const std::string& o : opt.creationOptions) {
        const std::size_t equals = o.find('=');
        if (equals == std::string::npos || equals == 0)
            return "the creation option \"" + o + "\" is not of the form NAME=VALUE";
    }
    {
        GdalMessages messages(true);  // GDAL names each unsuitable option in a warning
        if (!GDALValidateCreationOptions(driver, optionList(opt).data()))
            return "creation options that " + format + " does not take: " + messages.text();
    }
    std::string error;
    if (!opt.srs.empty() && !readSrs(opt, error)) return error;
    return "";
}

std::string extensionOwner(const std::string& format, const std::string& extension, std::string& ownExtension) {
    registerDrivers();
    ownExtension.clear();
    if (const GDALDriverH asked = GDALGetDriverByName(format.c_str())) {
        const std::vector<std::string> own = driverExtensions(asked);
        // A driver that lists no extension of its own (ENVI, whose rasters go
        // by .bin, .img, .dat or none) says nothing of the names it takes.
        if (own.empty()) return "";
        ownExtension = own.front();
        if (std::find(own.begin(), own.end(), extension) != own.end()) return "";
    }
    // A raster driver is named before a vector one: the grid is a raster.
    std::string vectorOwner;
    for (int k = 0; k < GDALGetDriverCount(); ++k) {
        const GDALDriverH driver = GDALGetDriver(k);
        const std::vector<std::string> listed = driverExtensions(driver);
        if (std::find(listed.begin(), listed.end(), extension) == listed.end()) continue;
        if (hasCapability(driver, GDAL_DCAP_RASTER)) return GDALGetDriverShortName(driver);
        if (vectorOwner.empty()) vectorOwner = GDALGetDriverShortName(driver);
    }
    return vectorOwner;
}

namespace {

// The one-cell copy of tryRasterOptions into folder; what GDAL refused, empty when nothing.
std::string tryIn(const std::string& folder, const std::string& shownPath, const GxGridParam& par,
                  const RasterOptions& opt, OGRSpatialReferenceH srs, std::vector<std::string>& sideNames) {
    GDALDriverH driver = GDALGetDriverByName(opt.format.c_str());
    const std::string base = shownPath.substr(shownPath.rfind('/') + 1);
    const std::string path = folder + '/' + base;
    {
        // The trial's own warnings (netCDF's on a one-cell raster) say nothing of the real one.
        GdalMessages messages(false, true);
        messages.showAs(path, shownPath);
        Dataset cell(GDALCreate(GDALGetDriverByName("MEM"), "", 1, 1, 1, GDT_Float64, nullptr));
        double transform[6] = {par.xmin_, par.resx_, 0.0, par.ymax_, 0.0, -par.resy_};
        if (!cell || GDALSetGeoTransform(cell.get(), transform) != CE_None ||
            (srs && GDALSetSpatialRef(cell.get(), srs) != CE_None) ||
            (opt.hasNodata && GDALSetRasterNoDataValue(GDALGetRasterBand(cell.get(), 1), opt.nodata) != CE_None))
            return messages.empty() ? "GDAL cannot make a raster in memory" : messages.text();
        const std::vector<std::string> options = writeOptions(driver, opt);
        Dataset copy(
            GDALCreateCopy(driver, path.c_str(), cell.get(), FALSE, pointers(options).data(), nullptr, nullptr));
        copy.reset();  // closed: the driver's side files are written
        if (!messages.empty()) return messages.text();
    }
    VSIStatBufL st;
    if (VSIStatL(path.c_str(), &st) != 0) return "the " + opt.format + " driver writes no file named \"" + base + "\"";
    char** names = VSIReadDir(folder.c_str());
    for (char** n = names; n && *n; ++n)
        if (base != *n && std::strcmp(*n, ".") != 0 && std::strcmp(*n, "..") != 0) sideNames.push_back(*n);
    CSLDestroy(names);
    return "";
}

}  // namespace

std::string tryRasterOptions(const std::string& shownPath, const std::string& scratchFolder, const GxGridParam& par,
                             const RasterOptions& opt, std::vector<std::string>& sideNames) {
    registerDrivers();
    sideNames.clear();
    std::string error;
    Srs srs;
    if (!opt.srs.empty() && !(srs = readSrs(opt, error))) return error;
    {
        const MemoryFolder memory;
        error = tryIn(memory.path(), shownPath, par, opt, srs.get(), sideNames);
    }
    // Some drivers write only real files (netCDF through its library): what
    // they refuse in memory is asked again on disk. Without a folder on disk
    // to ask in, the write itself will tell: a good raster is not refused.
    if (error.empty()) return error;
    if (scratchFolder.empty()) return "";
    sideNames.clear();
    const RemoveFiles cleanup{scratchFolder};
    return tryIn(scratchFolder, shownPath, par, opt, srs.get(), sideNames);
}

bool writeGdalFile(const std::string& path, const std::string& shownPath, const GxGrid& grid, const GxGridParam& par,
                   const RasterOptions& opt, std::string& error) {
    error.clear();
    registerDrivers();
    error = checkRasterOptions(opt);
    if (!error.empty()) return false;
    Srs srs;
    if (!opt.srs.empty() && !(srs = readSrs(opt, error))) return false;

    GdalMessages messages;
    messages.showAs(path, shownPath);
    const auto gdalFailed = [&](const char* otherwise) {
        error = messages.empty() ? otherwise : messages.text();
        return false;
    };
    const Dataset source = wrapGrid(grid, par, opt, srs.get());
    if (!source) return gdalFailed("GDAL cannot hold the grid in memory");
    GDALDriverH driver = GDALGetDriverByName(opt.format.c_str());
    {
        const GdalMemoryBound bound(grid.NumCol());
        const std::vector<std::string> options = writeOptions(driver, opt);
        Dataset copy(GDALCreateCopy(driver, path.c_str(), source.get(), FALSE, pointers(options).data(),
                                    opt.progress ? passProgress : nullptr, const_cast<RasterOptions*>(&opt)));
        if (!copy) return gdalFailed("GDAL could not write the raster");
    }  // closed here: the driver's last blocks and its side files are written
    if (!messages.empty()) return gdalFailed("");
    const std::string base = path.substr(path.rfind('/') + 1);
    if (::access(path.c_str(), F_OK) != 0)
        return error = "the " + opt.format + " driver wrote no file named \"" + base + "\"", false;
    if (!rewriteSideTexts(folderPart(path), base, path, shownPath))
        return error = "cannot rewrite the files beside the raster: " + std::string(std::strerror(errno)), false;
    return true;
}

bool writeGdalBands(const std::string& path, const std::string& shownPath, const GxGridParam& par,
                    const RasterOptions& opt, const GridBands& bands, std::string& error) {
    error.clear();
    registerDrivers();
    error = checkRasterOptions(opt);
    if (!error.empty()) return false;
    // A COG is laid out from the whole raster at once: its bands go into a
    // tiled GeoTIFF beside it in the private folder, which is then copied.
    const bool direct = EQUAL(opt.format.c_str(), "GTiff");
    if (!direct && !EQUAL(opt.format.c_str(), "COG"))
        return error = "the " + opt.format + " driver cannot write a grid in bands", false;
    const std::string written = direct ? path : path + ".bands.tif";
    Srs srs;
    if (!opt.srs.empty() && !(srs = readSrs(opt, error))) return false;

    GdalMessages messages;
    messages.showAs(path, shownPath);
    const auto gdalFailed = [&](const char* otherwise) {
        error = messages.empty() ? otherwise : messages.text();
        return false;
    };
    const int nrows = par.NumRow(), ncols = par.NumCol();
    GDALDriverH driver = GDALGetDriverByName(opt.format.c_str());
    {
        const GdalMemoryBound bound(ncols);
        std::vector<std::string> options = writeOptions(driver, opt);
        // IF_NEEDED, GDAL's default, judges by the size before compression
        // and may fail a compressed file past 4 GB after hours of work.
        bool sized = false;
        for (const std::string& o : options) sized = sized || CPLString(o).ifind("BIGTIFF=") == 0;
        if (!sized) options.push_back("BIGTIFF=IF_SAFER");
        if (!direct) options = {"TILED=YES", "BIGTIFF=IF_SAFER"};
        Dataset ds(GDALCreate(direct ? driver : GDALGetDriverByName("GTiff"), written.c_str(), ncols, nrows, 1,
                              GDT_Float64, pointers(options).data()));
        if (!ds) return gdalFailed("GDAL could not create the raster");
        double transform[6] = {par.xmin_, par.resx_, 0.0, par.ymax_, 0.0, -par.resy_};
        if (GDALSetGeoTransform(ds.get(), transform) != CE_None)
            return gdalFailed("GDAL could not georeference the raster");
        if (srs && GDALSetSpatialRef(ds.get(), srs.get()) != CE_None)
            return gdalFailed("GDAL could not set the reference system");
        GDALRasterBandH out = GDALGetRasterBand(ds.get(), 1);
        if (opt.hasNodata && GDALSetRasterNoDataValue(out, opt.nodata) != CE_None)
            return gdalFailed("GDAL could not set the no-data value");
        const int count = (nrows + bands.rowsPerBand - 1) / bands.rowsPerBand;
        for (int b = 0; b < count; ++b) {
            int failure = 0;
            const GxGrid* grid = bands.band(b, failure);
            if (!grid) return error = std::strerror(failure), false;
            const int rows = grid->endRow() - grid->firstRow();
            if (GDALRasterIO(out, GF_Write, 0, grid->firstRow(), ncols, rows, const_cast<double*>(grid->data()), ncols,
                             rows, GDT_Float64, 0, 0) != CE_None)
                return gdalFailed("GDAL could not write the raster");
            if (opt.progress) opt.progress(static_cast<double>(grid->endRow()) / nrows / (direct ? 1 : 2));
        }
        if (!direct) {
            ds.reset();
            if (!messages.empty()) return gdalFailed("");
            const Dataset source(GDALOpen(written.c_str(), GA_ReadOnly));
            if (!source) return gdalFailed("GDAL could not read the raster's bands back");
            std::vector<std::string> copyOptions = writeOptions(driver, opt);
            bool bigSized = false;
            for (const std::string& o : copyOptions) bigSized = bigSized || CPLString(o).ifind("BIGTIFF=") == 0;
            if (!bigSized) copyOptions.push_back("BIGTIFF=IF_SAFER");
            const auto halfway = [](double done, const char*, void* state) -> int {
                static_cast<const RasterOptions*>(state)->progress(0.5 + done / 2);
                return TRUE;
            };
            Dataset copy(GDALCreateCopy(driver, path.c_str(), source.get(), FALSE, pointers(copyOptions).data(),
                                        opt.progress ? +halfway : nullptr, const_cast<RasterOptions*>(&opt)));
            if (!copy) return gdalFailed("GDAL could not write the raster");
        }
    }  // closed here: the driver's last blocks and its side files are written
    if (!direct) {
        // Gone before the folder is published, which moves every file in it.
        ::unlink(written.c_str());
        ::unlink((written + ".aux.xml").c_str());
    }
    if (!messages.empty()) return gdalFailed("");
    const std::string base = path.substr(path.rfind('/') + 1);
    if (::access(path.c_str(), F_OK) != 0)
        return error = "the " + opt.format + " driver wrote no file named \"" + base + "\"", false;
    if (!rewriteSideTexts(folderPart(path), base, path, shownPath))
        return error = "cannot rewrite the files beside the raster: " + std::string(std::strerror(errno)), false;
    return true;
}

std::vector<std::string> rasterSideFiles(const std::string& path) {
    registerDrivers();
    std::vector<std::string> files;
    GdalMessages quiet(true);  // a file GDAL cannot open has no side files it knows
    Dataset old(GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!old) return files;
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    const std::string stem =
        dot == std::string::npos || dot == 0 ? path : path.substr(0, path.size() - name.size() + dot);
    char** list = GDALGetFileList(old.get());
    for (char** f = list; f && *f; ++f) {
        const std::string file = *f;
        if (file != path && file.compare(0, stem.size(), stem) == 0 && file.find('/', stem.size()) == std::string::npos)
            files.push_back(file);
    }
    CSLDestroy(list);
    return files;
}

extern "C" __attribute__((visibility("default"))) const GdalFunctions* meshrasterGdalFunctions() {
    static const GdalFunctions functions{MESHRASTER_VERSION, checkRasterOptions, extensionOwner, tryRasterOptions,
                                         writeGdalFile,      rasterSideFiles,    writeGdalBands};
    return &functions;
}

#else  // built without GDAL

namespace {
const char kNoGdal[] = "this MeshRaster was built without GDAL; only the KORVEN-ASCII text format can be written";
}  // namespace

std::string checkRasterOptions(const RasterOptions&) { return kNoGdal; }

std::string extensionOwner(const std::string&, const std::string&, std::string& ownExtension) {
    ownExtension.clear();
    return "";
}

std::string tryRasterOptions(const std::string&, const std::string&, const GxGridParam&, const RasterOptions&,
                             std::vector<std::string>& sideNames) {
    sideNames.clear();
    return kNoGdal;
}

bool writeGdalFile(const std::string&, const std::string&, const GxGrid&, const GxGridParam&, const RasterOptions&,
                   std::string& error) {
    error = kNoGdal;
    return false;
}

std::vector<std::string> rasterSideFiles(const std::string&) { return {}; }

bool writeGdalBands(const std::string&, const std::string&, const GxGridParam&, const RasterOptions&, const GridBands&,
                    std::string& error) {
    error = kNoGdal;
    return false;
}

extern "C" const GdalFunctions* meshrasterGdalFunctions() {
    static const GdalFunctions functions{
        "", checkRasterOptions, extensionOwner, tryRasterOptions, writeGdalFile, rasterSideFiles, writeGdalBands};
    return &functions;
}

#endif
