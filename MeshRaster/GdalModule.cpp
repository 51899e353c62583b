#include "GdalModule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <strings.h>
#include <vector>

// The module's functions, or null with the reason in problem.
const GdalFunctions* gdalFunctions(std::string& problem);

#ifdef MESHRASTER_HAVE_GDAL

#include <dlfcn.h>

#include "Version.h"

namespace {

const char kModuleName[] = "meshraster_gdal.so";

// The folder of the running program, with its final slash; empty when unknown.
std::string programFolder() {
    std::vector<char> path(4096);
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return "";
    const std::string exe(path.data(), static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/') + 1);
}

// Where the module is looked for: beside the program, as in the build folder,
// then in the library folder of the installation the program belongs to.
std::vector<std::string> modulePlaces() {
    const std::string folder = programFolder();
    const std::string libdir = MESHRASTER_MODULE_DIR;
    if (libdir[0] == '/') return {folder + kModuleName, libdir + "/" + kModuleName};
    return {folder + kModuleName, folder + "../" + libdir + "/" + kModuleName};
}

// The module's entry points, opened once; nullptr, with the reason in problem.
const GdalFunctions* module(std::string& problem) {
    static std::string why;
    static const GdalFunctions* const functions = []() -> const GdalFunctions* {
        std::string tried;
        for (const std::string& place : modulePlaces()) {
            void* handle = ::dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle == nullptr) {
                // Absent is the usual reason; anything else is worth telling.
                const char* error = ::dlerror();
                if (::access(place.c_str(), F_OK) == 0 && error != nullptr) tried = error;
                continue;
            }
            const auto entry = reinterpret_cast<const GdalFunctions* (*)()>(::dlsym(handle, MESHRASTER_GDAL_ENTRY));
            const GdalFunctions* f = entry != nullptr ? entry() : nullptr;
            if (f != nullptr && std::strcmp(f->version, MESHRASTER_VERSION) == 0) return f;
            why = place + " is not the GDAL module of MeshRaster " MESHRASTER_VERSION "; reinstall MeshRaster";
            return nullptr;
        }
        why = "the GDAL module " + std::string(kModuleName) + " is not installed beside the program or in " +
              MESHRASTER_MODULE_DIR + (tried.empty() ? "" : " (" + tried + ")") + "; reinstall MeshRaster";
        return nullptr;
    }();
    problem = why;
    return functions;
}

}  // namespace

const GdalFunctions* gdalFunctions(std::string& problem) { return module(problem); }

#else  // built without GDAL: the functions that say so are linked in

const GdalFunctions* gdalFunctions(std::string&) { return meshrasterGdalFunctions(); }

#endif

std::string checkRasterFormat(const RasterOptions& opt) {
    std::string problem;
    const GdalFunctions* f = gdalFunctions(problem);
    return f != nullptr ? f->check(opt) : problem;
}

std::string rasterExtensionOwner(const std::string& format, const std::string& extension, std::string& ownExtension) {
    std::string problem;
    const GdalFunctions* f = gdalFunctions(problem);
    ownExtension.clear();
    return f != nullptr ? f->owner(format, extension, ownExtension) : "";
}

RasterPlan planRaster(const std::string& outFileName, const GxGridParam& par, const RasterOptions& opt,
                      const std::string& cfgName, const std::vector<std::string>& inputs) {
    RasterPlan plan;
    const GdalFunctions* f = gdalFunctions(plan.refused);
    if (f == nullptr) return plan;
    // The side files are named after the file a link leads to, beside it. A
    // name that cannot be resolved is reported when the raster is written, as
    // for the text; its side files are then looked for beside the name.
    OutputTarget t;
    const bool resolved = resolveOutputTarget(outFileName, t) == 0 && !t.inPlace;
    const std::string path = resolved ? t.path : outFileName;
    {
        // A driver that writes only real files is tried in a private folder
        // beside the output, or else in the system's temporary folder; either
        // is removed (on a signal too) at once.
        OutputFolder besideOutput, inTmp;
        bool scratch = resolved && besideOutput.open(t);
        if (!scratch) {
            OutputTarget tmp;
            const char* dir = std::getenv("TMPDIR");
            tmp.folder = dir != nullptr && dir[0] == '/' ? dir : "/tmp";
            tmp.path = tmp.folder + "/meshraster";
            tmp.base = "meshraster";
            scratch = inTmp.open(tmp);
        }
        const std::string folder = !scratch                                   ? ""
                                   : resolved && !besideOutput.path().empty() ? besideOutput.path()
                                                                              : inTmp.path();
        plan.refused = f->trial(path, folder, par, opt, plan.sideFiles);
    }
    if (!plan.refused.empty()) return plan;
    // GDAL keeps what a format cannot hold (statistics, a no-data value) in an
    // .aux.xml beside the raster, which a one-cell trial need not show.
    const std::string aux = path.substr(path.rfind('/') + 1) + ".aux.xml";
    if (std::find(plan.sideFiles.begin(), plan.sideFiles.end(), aux) == plan.sideFiles.end())
        plan.sideFiles.push_back(aux);

    FileKey key;
    if (regularFileKey(cfgName, key)) plan.kept.push_back(key);
    for (const std::string& name : inputs)
        if (regularFileKey(name, key)) plan.kept.push_back(key);
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    std::vector<std::string> sidePaths;
    for (const std::string& name : plan.sideFiles) sidePaths.push_back(folder + name);
    const FileOverlap overlap = outputOverlap(sidePaths, cfgName, inputs, plan.sideFile);
    plan.sideFileIsConfig = overlap == FileOverlap::configuration;
    return plan;
}

namespace {

// The output rule for a raster of rows x cols that write makes at the path it
// is given, showing the target's in messages.
RasterWrite writeRasterWith(const std::string& outFileName, int rows, int cols, const RasterPlan& plan,
                            const GdalFunctions& gdal,
                            const std::function<bool(const std::string&, const std::string&, std::string&)>& write,
                            std::string& error) {
    error.clear();
    if (rows < 1 || cols < 1) {
        error = "the grid has " + std::to_string(rows) + " rows and " + std::to_string(cols) +
                " columns; a raster file needs at least one of each";
        return RasterWrite::notWritten;
    }
    OutputTarget t;
    if (const int e = resolveOutputTarget(outFileName, t)) {
        error = std::strerror(e);
        return RasterWrite::notOpened;
    }
    if (t.inPlace) {
        // A raster and its side files need a folder to be put in: a device or
        // a FIFO cannot take them.
        struct stat info {};
        const bool folder = (::stat(outFileName.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) ||
                            (!outFileName.empty() && outFileName.back() == '/');
        error = folder ? std::strerror(EISDIR) : "not a regular file; a raster is written to a file";
        return RasterWrite::notOpened;
    }
    // A side file its owner made read-only is protected as the raster is.
    for (const std::string& name : plan.sideFiles) {
        const std::string side = t.beside(name);
        if (::access(side.c_str(), F_OK) == 0 && ::faccessat(AT_FDCWD, side.c_str(), W_OK, AT_EACCESS) != 0) {
            error = "its side file " + side + ": " + std::strerror(errno);
            return RasterWrite::notOpened;
        }
    }
    OutputFolder folder;
    if (!folder.open(t)) {
        error = std::strerror(folder.error());
        return RasterWrite::notOpened;
    }
    if (!write(folder.raster(), t.path, error)) return RasterWrite::notWritten;
    const auto stale = [&]() { return t.exists ? gdal.sideFiles(t.path) : std::vector<std::string>(); };
    if (folder.publish(stale, plan.kept)) return RasterWrite::written;
    if (folder.error() == OutputFolder::kIsKept)
        error = "its side file " + folder.failedName() + " is the configuration or an input file; it is kept";
    else
        error = (folder.failedName().empty() ? "" : folder.failedName() + ": ") + std::strerror(folder.error());
    return RasterWrite::notWritten;
}

}  // namespace

RasterWrite writeRasterFiles(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par,
                             const RasterOptions& opt, const RasterPlan& plan, const GdalFunctions& gdal,
                             std::string& error) {
    return writeRasterWith(
        outFileName, grid.NumRow(), grid.NumCol(), plan, gdal,
        [&](const std::string& path, const std::string& shown, std::string& why) {
            return gdal.write(path, shown, grid, par, opt, why);
        },
        error);
}

bool rasterWritesInBands(const std::string& format) {
    return ::strcasecmp(format.c_str(), "GTiff") == 0 || ::strcasecmp(format.c_str(), "COG") == 0;
}

RasterWrite writeRasterFileBands(const std::string& outFileName, const GxGridParam& par, const RasterOptions& opt,
                                 const RasterPlan& plan, const GridBands& bands, const GdalFunctions& gdal,
                                 std::string& error) {
    return writeRasterWith(
        outFileName, par.NumRow(), par.NumCol(), plan, gdal,
        [&](const std::string& path, const std::string& shown, std::string& why) {
            return gdal.writeBands(path, shown, par, opt, bands, why);
        },
        error);
}

RasterWrite writeRasterBands(const std::string& outFileName, const GxGridParam& par, const RasterOptions& opt,
                             const RasterPlan& plan, const GridBands& bands, std::string& error) {
    const GdalFunctions* f = gdalFunctions(error);
    if (f == nullptr) return RasterWrite::notOpened;
    return writeRasterFileBands(outFileName, par, opt, plan, bands, *f, error);
}

RasterWrite writeRaster(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par,
                        const RasterOptions& opt, const RasterPlan& plan, std::string& error) {
    const GdalFunctions* f = gdalFunctions(error);
    if (f == nullptr) return RasterWrite::notOpened;
    return writeRasterFiles(outFileName, grid, par, opt, plan, *f, error);
}
