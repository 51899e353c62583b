// The grid through GDAL: the grid's own cells are wrapped in an in-memory (MEM)
// dataset, which GDAL copies block by block into the target driver, so the
// cells are never copied whole. The copy is made in a private folder beside the
// output and moved into place only when it is complete.
#include "GdalGrid.h"

#ifdef MESHRASTER_HAVE_GDAL

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
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
class GdalMessages {
public:
    explicit GdalMessages(bool keepWarnings = false) : keepWarnings_(keepWarnings) {
        CPLPushErrorHandlerEx(&GdalMessages::take, this);
    }
    ~GdalMessages() { CPLPopErrorHandler(); }
    GdalMessages(const GdalMessages&) = delete;
    GdalMessages& operator=(const GdalMessages&) = delete;

    // The messages kept, "; " between them.
    const std::string& text() const { return text_; }
    bool empty() const { return text_.empty(); }

private:
    static void CPL_STDCALL take(CPLErr level, CPLErrorNum number, const char* message) {
        auto* self = static_cast<GdalMessages*>(CPLGetErrorHandlerUserData());
        if (level == CE_Failure || level == CE_Fatal || (level == CE_Warning && self->keepWarnings_))
            self->keep(message ? message : "");
        else
            CPLDefaultErrorHandler(level, number, message);
    }
    void keep(std::string line) {
        for (char& c : line)
            if (c == '\n' || c == '\r') c = ' ';
        if (line.empty() || line == last_) return;
        text_ += (text_.empty() ? "" : "; ") + line;
        last_ = line;
    }

    bool keepWarnings_;
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

// Where the raster goes: a symbolic link is followed, so that its target is
// replaced and the link kept.
struct Target {
    std::string path, folder, name;
    bool exists = false;
    mode_t mode = 0;  // the permission bits of the file replaced
};

bool findTarget(const std::string& outFileName, Target& t, std::string& error) {
    t.path = outFileName;
    struct stat st;
    if (::lstat(outFileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(outFileName.c_str(), nullptr)) {
            t.path = real;
            std::free(real);
        }
    }
    if (::stat(t.path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return error = "\"" + outFileName + "\" is a folder", false;
        if (!S_ISREG(st.st_mode))
            return error = "\"" + outFileName + "\" is not a regular file; a raster is written to a file", false;
        t.exists = true;
        t.mode = st.st_mode & 07777;
    }
    const std::size_t slash = t.path.rfind('/');
    t.folder = slash == std::string::npos ? "." : slash == 0 ? "/" : t.path.substr(0, slash);
    t.name = slash == std::string::npos ? t.path : t.path.substr(slash + 1);
    if (t.name.empty() || t.name == "." || t.name == "..")
        return error = "\"" + outFileName + "\" names a folder, not a file", false;
    return true;
}

std::string inFolder(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// The files that GDAL counts as part of the raster now at t, other than the
// file itself, that share its folder and its name up to the extension: its
// .prj, .aux.xml, .ovr. A new raster under that name must not inherit them (an
// old .prj would give it the old reference system, an old .ovr the old cells).
std::vector<std::string> oldSideFiles(const Target& t) {
    std::vector<std::string> files;
    if (!t.exists) return files;
    GdalMessages quiet(true);  // a file GDAL cannot open has no side files it knows
    Dataset old(GDALOpenEx(t.path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!old) return files;
    const std::size_t dot = t.name.rfind('.');
    const std::string stem =
        dot == std::string::npos || dot == 0 ? t.path : t.path.substr(0, t.path.size() - t.name.size() + dot);
    char** list = GDALGetFileList(old.get());
    for (char** f = list; f && *f; ++f) {
        const std::string file = *f;
        if (file != t.path && file.compare(0, stem.size(), stem) == 0 &&
            file.find('/', stem.size()) == std::string::npos)
            files.push_back(file);
    }
    CSLDestroy(list);
    return files;
}

// A folder of its own beside the output, removed with whatever is left in it.
class TempFolder {
public:
    explicit TempFolder(const Target& t) {
        // Long names are shortened so that the folder's own name stays legal.
        std::string pattern = inFolder(t.folder, "." + t.name.substr(0, 200) + ".tmp-XXXXXX");
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Empty when the folder could not be made.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Makes a file's or a folder's content durable before it is renamed into place.
bool syncPath(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot sync a folder
    ::close(fd);
    return synced;
}

std::string systemError(const std::string& what, const std::string& path) {
    return what + " \"" + path + "\": " + std::strerror(errno);
}

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
        if (!own.empty()) ownExtension = own.front();
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

bool writeGdalGrid(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par, const RasterOptions& opt,
                   std::string& error) {
    error.clear();
    if (grid.NumRow() < 1 || grid.NumCol() < 1) {
        error = "the grid has " + std::to_string(grid.NumRow()) + " rows and " + std::to_string(grid.NumCol()) +
                " columns; a raster file needs at least one of each";
        return false;
    }
    error = checkRasterOptions(opt);
    if (!error.empty()) return false;
    Srs srs;
    if (!opt.srs.empty() && !(srs = readSrs(opt, error))) return false;
    Target target;
    if (!findTarget(outFileName, target, error)) return false;

    GdalMessages messages;
    const auto gdalFailed = [&](const char* otherwise) {
        error = messages.empty() ? otherwise : messages.text();
        return false;
    };
    const Dataset source = wrapGrid(grid, par, opt, srs.get());
    if (!source) return gdalFailed("GDAL cannot hold the grid in memory");

    // In its own folder the raster and the side files its driver makes are
    // named after the output from the start (AAIGrid's .prj replaces the
    // extension, so a temporary name would change it), nothing is left beside
    // the output when the copy fails, and every file is moved by rename(2)
    // without reopening the raster, which some drivers cannot.
    const TempFolder temp(target);
    if (temp.path().empty()) return error = systemError("cannot write in the folder", target.folder), false;
    const std::string written = inFolder(temp.path(), target.name);
    {
        const GdalMemoryBound bound(grid.NumCol());
        Dataset copy(GDALCreateCopy(GDALGetDriverByName(opt.format.c_str()), written.c_str(), source.get(), FALSE,
                                    optionList(opt).data(), opt.progress ? passProgress : nullptr,
                                    const_cast<RasterOptions*>(&opt)));
        if (!copy) return gdalFailed("GDAL could not write the raster");
    }  // closed here: the driver's last blocks and its side files are written
    if (!messages.empty()) return error = messages.text(), false;
    if (::access(written.c_str(), F_OK) != 0)
        return error = "the " + opt.format + " driver wrote no file named \"" + target.name + "\"", false;
    if (target.exists && ::chmod(written.c_str(), target.mode) != 0)
        return error = systemError("cannot set the permissions of", written), false;

    // The side files first and the raster last, so that the raster under the
    // output name is either the old one or the complete new one.
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator entry(temp.path(), ec), end; !ec && entry != end; entry.increment(ec)) {
        const std::string name = entry->path().filename().string();
        if (!syncPath(entry->path().string()))
            return error = systemError("cannot write", entry->path().string()), false;
        if (name != target.name) names.push_back(name);
    }
    if (ec) return error = "cannot list \"" + temp.path() + "\": " + ec.message(), false;
    names.push_back(target.name);
    const std::vector<std::string> stale = oldSideFiles(target);
    for (const std::string& name : names) {
        const std::string from = inFolder(temp.path(), name), to = inFolder(target.folder, name);
        if (std::rename(from.c_str(), to.c_str()) != 0) return error = systemError("cannot replace", to), false;
    }
    const std::set<std::string> fresh(names.begin(), names.end());
    for (const std::string& file : stale)
        if (!fresh.count(file.substr(file.rfind('/') + 1))) std::remove(file.c_str());
    syncPath(target.folder);
    return true;
}

extern "C" __attribute__((visibility("default"))) const GdalFunctions* meshrasterGdalFunctions() {
    static const GdalFunctions functions{MESHRASTER_VERSION, checkRasterOptions, extensionOwner, writeGdalGrid};
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

bool writeGdalGrid(const std::string&, const GxGrid&, const GxGridParam&, const RasterOptions&, std::string& error) {
    error = kNoGdal;
    return false;
}

#endif
