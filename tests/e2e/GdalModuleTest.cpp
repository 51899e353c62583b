// The GDAL module is opened only for a GDAL format, from beside the program or
// from the library folder of its installation; without it, the text is still
// written and a GDAL format is refused before anything is read.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"

#ifdef MESHRASTER_HAVE_GDAL

namespace fs = std::filesystem;

namespace {

const char kConfig[] = "PileHeight xmin 0 ymin 0 xmax 4 ymax 4 resx 1 resy 1 output out.grd input in.dat\n";
const char kMesh[] = "ZONE N=4, E=1\n3.5 0.5 2 0 0\n3.5 3.5 2 0 0\n0.5 3.5 2 0 0\n0.5 0.5 2 0 0\n1 2 3 4\n";

// A folder holding the program as an installation lays it out: bin/MeshRaster,
// and the module in the library folder when withModule.
struct Installed {
    TempDir dir;
    std::string program;

    explicit Installed(bool withModule) {
        fs::create_directories(dir.file("bin"));
        program = dir.file("bin/MeshRaster");
        fs::copy_file(MESHRASTER_BINARY, program);
        if (withModule) {
            const fs::path folder = fs::path(dir.path()) / MESHRASTER_MODULE_DIR;
            fs::create_directories(folder);
            fs::copy_file(MESHRASTER_GDAL_MODULE, folder / "meshraster_gdal.so");
        }
        dir.write("run.cfg", kConfig);
        dir.write("in.dat", kMesh);
    }
};

}  // namespace

TEST(GdalModule, FoundInTheInstallationsLibraryFolder) {
    Installed in(true);
    const RunResult r = runProgram(in.program, {"--format", "GTiff", "-o", "out.tif", "run.cfg"}, in.dir.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Asc File in.dat\n");
    EXPECT_EQ(readFile(in.dir.file("out.tif")).substr(0, 2), "II");  // a little-endian TIFF
}

TEST(GdalModule, MissingRefusesGdalFormatsOnly) {
    Installed in(false);
    const RunResult refused = runProgram(in.program, {"--format", "GTiff", "run.cfg"}, in.dir.path());
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "MeshRaster: the GDAL module meshraster_gdal.so is not installed beside the program or in " +
                               std::string(MESHRASTER_MODULE_DIR) + "; reinstall MeshRaster\n");
    EXPECT_FALSE(fileExists(in.dir.file("out.grd")));
    // Nor is the text written under a name that says GeoTIFF.
    const RunResult named = runProgram(in.program, {"-o", "out.tif", "run.cfg"}, in.dir.path());
    EXPECT_EQ(named.status, 2);
    EXPECT_EQ(named.out.rfind("MeshRaster: the GDAL module meshraster_gdal.so is not installed", 0), 0u) << named.out;
    EXPECT_FALSE(fileExists(in.dir.file("out.tif")));

    const RunResult text = runProgram(in.program, {"run.cfg"}, in.dir.path());
    EXPECT_EQ(text.status, 0) << text.out << text.err;
    EXPECT_EQ(readFile(in.dir.file("out.grd")).substr(0, 8), "GRIDREG\n");
}

#endif
