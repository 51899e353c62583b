// Read errors and endless input through the real binary. A preloaded read(2)
// wrapper (tests/support/FailRead.cpp) makes the reads of one file fail with
// EIO after a given number of bytes, as a failing disk would. The run must
// never take the error for the end of the file: it says so, with the file, the
// line and the system's reason, and exits 1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace {

// The environment of the runs made while it lives: the reads of name fail
// after `after` bytes. The test's own environment is restored afterwards.
class FailingReads {
public:
    FailingReads(const std::string& name, std::size_t after) {
        set("LD_PRELOAD", MESHRASTER_FAILREAD);
        set("MESHRASTER_FAIL_READ_NAME", name);
        set("MESHRASTER_FAIL_READ_AFTER", std::to_string(after));
        // Under AddressSanitizer the wrapper is loaded ahead of its runtime.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string options = asan != nullptr && *asan != '\0' ? std::string(asan) + ':' : "";
        set("ASAN_OPTIONS", options + "verify_asan_link_order=0");
    }
    ~FailingReads() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    FailingReads(const FailingReads&) = delete;
    FailingReads& operator=(const FailingReads&) = delete;

private:
    void set(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// One run in a fresh folder holding files, with the reads of failing failing
// after `after` bytes.
struct Trial {
    TempDir dir;
    RunResult result;
    Trial(const std::map<std::string, std::string>& files, const std::string& failing, std::size_t after) {
        for (const auto& [name, text] : files) dir.write(name, text);
        FailingReads reads(failing, after);
        result = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
    }
};

const std::string kConfig =
    "PileHeight\nxmin 0\nymin -20\nxmax 30\nymax 0\nresx 10\nresy 10\noutput out.grd\ninput a.dat\nb.dat\n";

// Two squares over the whole 3 by 2 grid of kConfig, the second one higher.
const std::string kSquares =
    "TITLE = \"squares\"\nZONE N=8, E=2, F=FEPOINT\n"
    "-10 -30 2 3 4\n40 -30 2 3 4\n40 10 2 3 4\n-10 10 2 3 4\n"
    "-10 -30 5 3 4\n40 -30 5 3 4\n40 10 5 3 4\n-10 10 5 3 4\n"
    "1 2 3 4\n5 6 7 8\n";

// The byte offset just after the first occurrence of text in s.
std::size_t after(const std::string& s, const std::string& text) { return s.find(text) + text.size(); }

}  // namespace

// A read error in the configuration's input list cut the list there, and the
// run converted the names before it and exited 0. Wherever it happens, the
// configuration is now rejected: nothing is converted or written.
TEST(ReadError, InTheConfigurationRejectsIt) {
    struct Case {
        const char* what;
        std::size_t after;  // bytes read before the error
        int line;
    };
    const Case cases[] = {
        {"at the first byte", 0, 1},
        {"inside ymax", after(kConfig, "ymax "), 5},
        {"inside the first input name", after(kConfig, "input a.d"), 9},
        {"between two input names", after(kConfig, "a.dat\n"), 10},
        {"where the end of the file would be", kConfig.size(), 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Trial run({{"run.cfg", kConfig}, {"a.dat", kSquares}, {"b.dat", kSquares}, {"out.grd", "old grid"}}, "run.cfg",
                  c.after);
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.err,
                  "ConfigFile run.cfg:" + std::to_string(c.line) + ": read error: Input/output error\n");
        EXPECT_EQ(run.result.out, "");
        EXPECT_EQ(readFile(run.dir.file("out.grd")), "old grid");
    }
    // The same run without an error converts both files: the wrapper alone changes nothing.
    Trial control({{"run.cfg", kConfig}, {"a.dat", kSquares}, {"b.dat", kSquares}}, "run.cfg", 1 << 20);
    EXPECT_EQ(control.result.status, 0);
    EXPECT_EQ(control.result.out, "Asc File a.dat\nAsc File b.dat\n");
}

// A read error at an element boundary ended the element section as if the file
// ended there: the run exited 0 with a partial grid. Inside the node table it
// was reported as a node that is not a number.
TEST(ReadError, InATecplotFileIsReportedWithTheReason) {
    struct Case {
        const char* what;
        std::size_t after;
    };
    const Case cases[] = {
        {"at an element boundary", after(kSquares, "1 2 3 4\n")},
        {"inside the node table", after(kSquares, "40 -30 2 3")},
    };
    const std::string config = kConfig.substr(0, after(kConfig, "a.dat\n"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Trial run({{"run.cfg", config}, {"a.dat", kSquares}}, "a.dat", c.after);
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.err.rfind("a.dat:", 0), 0u) << run.result.err;
        EXPECT_NE(run.result.err.find("Input/output error"), std::string::npos) << run.result.err;
    }
}

// /dev/zero as an input file is one endless token: the read buffer grew until
// the program aborted (exit status 134, no message, no grid). Reading it now
// ends at 1 MiB with a warning on the file; with nothing read, no grid.
TEST(ReadError, EndlessInputFileEndsWithAWarning) {
    TempDir dir;
    dir.write("run.cfg",
              "PileHeight\nxmin 0\nymin -20\nxmax 30\nymax 0\nresx 10\nresy 10\noutput out.grd\ninput /dev/zero\n");
    const RunResult r = runProgram(MESHRASTER_BINARY, {"run.cfg"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("/dev/zero:", 0), 0u) << r.err;
    EXPECT_EQ(readFile(dir.file("out.grd")), "<missing>");
}
