#include "GdalModule.h"

#ifdef MESHRASTER_HAVE_GDAL

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <vector>

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

std::string checkRasterFormat(const RasterOptions& opt) {
    std::string problem;
    const GdalFunctions* f = module(problem);
    return f != nullptr ? f->check(opt) : problem;
}

std::string rasterExtensionOwner(const std::string& format, const std::string& extension, std::string& ownExtension) {
    std::string problem;
    const GdalFunctions* f = module(problem);
    return f != nullptr ? f->owner(format, extension, ownExtension) : "";
}

bool writeRaster(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par, const RasterOptions& opt,
                 std::string& error) {
    const GdalFunctions* f = module(error);
    return f != nullptr && f->write(outFileName, grid, par, opt, error);
}

#else  // built without GDAL: the writer that says so is linked in

std::string checkRasterFormat(const RasterOptions& opt) { return checkRasterOptions(opt); }

std::string rasterExtensionOwner(const std::string& format, const std::string& extension, std::string& ownExtension) {
    return extensionOwner(format, extension, ownExtension);
}

bool writeRaster(const std::string& outFileName, const GxGrid& grid, const GxGridParam& par, const RasterOptions& opt,
                 std::string& error) {
    return writeGdalGrid(outFileName, grid, par, opt, error);
}

#endif
