// Fuzz target: the bytes as a configuration file, run through the whole program
// in a temporary folder that holds three small Tecplot files (a.dat, b.dat and
// c.dat, the last one cut short in its node table).
//
// Guard: the run must never write outside that folder or replace its files, so
// an input is skipped when its output name contains '/', starts with "..", or
// names one of the folder's own files, when an input name contains '/' (a device
// such as /dev/zero would never end), or when its grid would exceed 2^18 cells
// or 4096 rows or columns.
// The guard reads the configuration with the program's own readRunConfig, so it
// sees the names and numbers that the run will see.
//
// Checked: the exit status is 0 or 1; a grid file exists after a status of 0 and
// is complete whenever it exists, with the announced counts and no "nan" or
// negative cell; a configuration the run rejects leaves no file behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "FuzzSupport.h"
#include "GisAscFile.h"
#include "GxGrid.h"
#include "MeshRaster.h"
#include "OutputName.h"
#include "RunConfig.h"

namespace {

const char* const kConfigName = "cfg";

struct Fixture {
    const char* name;
    const char* text;
};

const Fixture kFixtures[] = {
    {"a.dat",
     "TITLE = \"rectangle and quadrilateral\"\n"
     "VARIABLES = \"X\", \"Y\", \"H\", \"MX\", \"MY\"\n"
     "ZONE N=7, E=3, F=FEPOINT, ET=QUADRILATERAL\n"
     "4 0 1 0.5 0.5\n4 4 2 1 0\n0 4 3 0 1\n0 0 4 2 2\n6 0 0.5 0 0\n6.5 3 1.5 1 1\n2 -1 0.005 1 1\n"
     "1 2 3 4\n1 5 6 2\n4 7 5 5\n"},
    {"b.dat",
     "ZONE N=4, E=2\n"
     "-1 -1 0.25 0.1 0.2\n3 -1 0.5 0.5 0\n3 3 0.75 0 0.75\n-1 3 1e-3 5 5\n"
     "1 2 3 4\n2 3 4 4\n"
     "ZONE N=2, E=0\n"},
    {"c.dat",
     "ZONE N=5, E=1\n"
     "0 0 1 0 0\n1 0 1 0 0\n1 1 1"},
};

std::string folder;  // the temporary folder the runs happen in
std::string home;    // the folder libFuzzer was started in, for its own files
int homeFd = -1;

void removeFolder() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

bool isFixture(const std::string& name) {
    if (name == kConfigName) return true;
    for (const Fixture& f : kFixtures)
        if (name == f.name) return true;
    return false;
}

void writeFile(const char* name, const void* data, std::size_t size) {
    std::FILE* out = std::fopen(name, "wb");
    FUZZ_CHECK(out != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, out) == size);
    FUZZ_CHECK(std::fclose(out) == 0);
}

std::string readWhole(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// What the run will see of the configuration, read the way the run reads it.
struct Preview {
    bool runnable = false;  // safe to run: see the guard above
    std::string output;     // the name the program opens (up to a NUL)
    int rows = 0, cols = 0;
};

Preview preview() {
    Preview p;
    GisAscFile cfgFile(kConfigName, "r");
    static NullBuffer none;
    std::ostream warnings(&none);  // the run itself prints them
    const RunConfig cfg = readRunConfig(cfgFile, warnings);
    p.output = cfg.outFileName.c_str();
    if (p.output.find('/') != std::string::npos || p.output.rfind("..", 0) == 0 || isFixture(p.output)) return p;
    const GxGridParam par(cfg.xmin, cfg.xmax, cfg.ymin, cfg.ymax, cfg.resx, cfg.resy);
    p.rows = par.NumRow();
    p.cols = par.NumCol();
    // A grid the run rejects is never allocated: only an accepted one can be too large.
    const bool accepted = configProblem(cfg).empty();
    // Rows of no column still cost a line each.
    if (accepted && (static_cast<long long>(p.rows) * p.cols > (1 << 18) || p.rows > 4096 || p.cols > 4096)) return p;
    if (cfg.inFileNames.size() > 64) return p;
    for (const std::string& name : cfg.inFileNames)
        if (name.find('/') != std::string::npos) return p;
    p.runnable = true;
    return p;
}

// The written grid is complete: its header, one line per row, then "END".
void checkGridFile(const std::string& text, const Preview& p) {
    FUZZ_CHECK(text.rfind("GRIDREG\nINFO\nUNITS  meters\n", 0) == 0);
    FUZZ_CHECK(text.size() >= 4 && text.compare(text.size() - 4, 4, "END\n") == 0);
    std::istringstream lines(text);
    std::string line;
    for (int k = 0; k < 5; ++k) std::getline(lines, line);
    std::istringstream griddef(line);
    std::string keyword;
    long long cols = -1, rows = -1;
    griddef >> keyword >> cols >> rows;
    FUZZ_CHECK(keyword == "GRIDDEF" && cols == p.cols && rows == p.rows);
    std::getline(lines, line);
    FUZZ_CHECK(line == "INFO_END");
    for (long long r = 0; r < rows; ++r) {
        FUZZ_CHECK(std::getline(lines, line));
        std::istringstream values(line);
        std::string v;
        long long count = 0;
        while (values >> v) {
            FUZZ_CHECK(v[0] != '-' && v.find("nan") == std::string::npos);
            ++count;
        }
        FUZZ_CHECK(count == cols);
    }
    FUZZ_CHECK(std::getline(lines, line) && line == "END");
}

// Runs the program on the configuration data in the current folder and checks
// what it leaves behind. MESHRASTER_FUZZ_TRACE in the environment shows each
// run's status and messages.
void runOne(const std::uint8_t* data, std::size_t size) {
    static NullBuffer sink;
    writeFile(kConfigName, data, size);
    const Preview p = preview();
    if (!p.runnable) {
        if (std::getenv("MESHRASTER_FUZZ_TRACE")) std::fprintf(stderr, "skipped by the guard\n");
        return;
    }

    std::ostringstream out, err;
    std::cout.rdbuf(out.rdbuf());
    std::cerr.rdbuf(err.rdbuf());
    char program[] = "MeshRaster";
    char config[] = "cfg";
    char* argv[] = {program, config, nullptr};
    const int status = runMeshRaster(2, argv);
    std::cout.rdbuf(&sink);
    std::cerr.rdbuf(&sink);

    static const bool trace = std::getenv("MESHRASTER_FUZZ_TRACE") != nullptr;
    if (trace)
        std::fprintf(stderr, "status %d, output \"%s\", messages:\n%s%s", status, p.output.c_str(), out.str().c_str(),
                     err.str().c_str());

    // 2: the output's name says a format this run cannot or may not write
    // (a .tif name, with or without GDAL), refused before any input is read.
    FUZZ_CHECK(status == 0 || status == 1 || status == 2);
    struct stat info;
    const bool written = ::stat(p.output.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    const std::string messages = out.str();
    if (status == 2) FUZZ_CHECK(!written && messages.rfind("MeshRaster: ", 0) == 0);
    if (status == 0) {
        FUZZ_CHECK(written);
        FUZZ_CHECK(messages.find("not found...") == std::string::npos);
        FUZZ_CHECK(messages.find("Can't") == std::string::npos);
    }
    if (messages.rfind("ConfigFile ", 0) == 0) FUZZ_CHECK(!written && status == 1);
    if (written) {
        const std::string text = readWhole(p.output);
        // A .tif name is written as a GeoTIFF where the GDAL module is found.
        if (messages.find("Can't open output file") == std::string::npos && !namesGeoTiff(p.output))
            checkGridFile(text, p);
        FUZZ_CHECK(::unlink(p.output.c_str()) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    char* cwd = ::getcwd(nullptr, 0);
    FUZZ_CHECK(cwd != nullptr);
    home = cwd;
    std::free(cwd);
    homeFd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(homeFd >= 0);

    // A crash inside the run happens in the temporary folder: give libFuzzer an
    // absolute artifact prefix so that the input is kept where it was asked for.
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    bool prefixed = false;
    for (int k = 0; k < *argc; ++k) {
        std::string a = (*argv)[k];
        const std::string flag = "-artifact_prefix=";
        if (a.rfind(flag, 0) == 0) {
            prefixed = true;
            if (a.size() > flag.size() && a[flag.size()] != '/') a = flag + home + "/" + a.substr(flag.size());
        }
        args.push_back(a);
    }
    if (!prefixed) args.push_back("-artifact_prefix=" + home + "/");
    for (std::string& a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    *argc = static_cast<int>(args.size());
    *argv = pointers.data();

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/meshraster-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    folder = pattern;
    std::atexit(removeFolder);
    FUZZ_CHECK(::chdir(folder.c_str()) == 0);
    for (const Fixture& f : kFixtures) writeFile(f.name, f.text, std::strlen(f.text));
    FUZZ_CHECK(::fchdir(homeFd) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // libFuzzer reads and writes its corpus relative to where it started, so the
    // run goes into the temporary folder only for the time of one input.
    FUZZ_CHECK(::chdir(folder.c_str()) == 0);
    runOne(data, size);
    FUZZ_CHECK(::fchdir(homeFd) == 0);
    return 0;
}
