// A run whose standard error is a terminal: the progress line, redrawn in
// place and erased before each message, and the summary line; -q turns both
// off. A case folder runs without a terminal, so these run the program on a
// pseudo-terminal. Runs off a terminal are the golden cases: their bytes are
// those of a run without progress.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

const char kMesh[] = "ZONE N=4, E=1, F=FEPOINT\n-10 -30 2 3 4\n40 -30 2 3 4\n40 10 2 3 4\n-10 10 2 3 4\n1 2 3 4\n";
const char kSummary[] =
    "MeshRaster: wrote out.grd (KORVEN-ASCII): 2 rows x 3 columns, 6 cells with a value from 2 to 2";

// The program on a pseudo-terminal that is its standard input, output and
// error, or with both output streams into one pipe; what it prints is read
// from the other side as it comes.
class OnTerminal {
public:
    OnTerminal(const std::vector<std::string>& args, const std::string& cwd, bool terminal = true) {
        int ends[2] = {-1, -1};
        std::string slave;
        if (terminal) {
            master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
            if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
            slave = ::ptsname(master_);
        } else {
            if (::pipe(ends) != 0) return;
            master_ = ends[0];
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            const int fd = terminal ? ::open(slave.c_str(), O_RDWR) : ends[1];
            if (fd < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(125);
            for (int std = terminal ? 0 : 1; std <= 2; ++std) ::dup2(fd, std);
            std::vector<char*> argv{const_cast<char*>(MESHRASTER_BINARY)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(MESHRASTER_BINARY, argv.data());
            ::_exit(127);
        }
        if (!terminal) ::close(ends[1]);
    }
    ~OnTerminal() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) ::close(master_);
    }
    bool started() const { return pid_ > 0; }

    // Reads until text has been printed (true) or the program has closed the
    // terminal or seconds have passed (false).
    bool readUntil(const std::string& text, double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (printed_.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[4096];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) return false;  // EIO: every descriptor of the terminal's side closed
            printed_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    // Reads to the end and returns the exit status.
    int finish() {
        readUntil(std::string(1, '\0'), 20);  // nothing prints a NUL: to the end
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Everything printed so far; the terminal turns each "\n" into "\r\n".
    const std::string& printed() const { return printed_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    bool waited_ = false;
    std::string printed_;
};

}  // namespace

// The second input is a named pipe: the run waits on it, past the second after
// which the progress line shows, until the test writes the mesh into it.
TEST(Terminal, ProgressLineIsErasedBeforeEachMessageAndTheSummaryEndsTheRun) {
    TempDir dir;
    dir.write("q.dat", kMesh);
    dir.write("run.cfg",
              "PileHeight xmin 0 ymin -20 xmax 30 ymax 0 resx 10 resy 10 output out.grd input q.dat slow.dat\n");
    ASSERT_EQ(::mkfifo(dir.file("slow.dat").c_str(), 0600), 0);
    OnTerminal run({"-j", "1", "run.cfg"}, dir.path());
    ASSERT_TRUE(run.started());
    const std::string progress = "\rMeshRaster: 1 of 2 files read\033[K";
    ASSERT_TRUE(run.readUntil(progress, 10)) << run.printed();
    dir.write("slow.dat", kMesh);  // opens once the program has opened its end
    EXPECT_EQ(run.finish(), 0);
    const std::string& printed = run.printed();
    EXPECT_EQ(printed.substr(0, printed.find(progress)), "Asc File q.dat\r\n");  // nothing before a second
    const std::string rest = printed.substr(printed.find(progress) + progress.size());
    EXPECT_EQ(rest.rfind("\r\033[KAsc File slow.dat\r\n" + std::string(kSummary) + ", in ", 0), 0u) << rest;
    EXPECT_EQ(rest.substr(rest.size() - 4), " s\r\n") << rest;
    EXPECT_EQ(readFile(dir.file("out.grd")).substr(0, 8), "GRIDREG\n");
}

// Standard output was fully buffered on a pipe: "MeshRaster run.cfg | tee log"
// showed every Asc File line at the end of the run.
TEST(Terminal, ThroughAPipeEachLineArrivesAsItIsPrinted) {
    TempDir dir;
    dir.write("q.dat", kMesh);
    dir.write("run.cfg",
              "PileHeight xmin 0 ymin -20 xmax 30 ymax 0 resx 10 resy 10 output out.grd input q.dat slow.dat\n");
    ASSERT_EQ(::mkfifo(dir.file("slow.dat").c_str(), 0600), 0);
    OnTerminal run({"-j", "1", "run.cfg"}, dir.path(), false);
    ASSERT_TRUE(run.started());
    // The run waits on slow.dat, so the first line has come before its end.
    ASSERT_TRUE(run.readUntil("Asc File q.dat\n", 10)) << run.printed();
    dir.write("slow.dat", kMesh);
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(run.printed(), "Asc File q.dat\nAsc File slow.dat\n");  // no progress, no summary
}

TEST(Terminal, ShortRunShowsTheSummaryOnlyAndQuietNeither) {
    TempDir dir;
    dir.write("q.dat", kMesh);
    dir.write("run.cfg", "PileHeight xmin 0 ymin -20 xmax 30 ymax 0 resx 10 resy 10 output out.grd input q.dat\n");
    {
        OnTerminal run({"run.cfg"}, dir.path());
        ASSERT_TRUE(run.started());
        EXPECT_EQ(run.finish(), 0);
        EXPECT_EQ(run.printed().rfind("Asc File q.dat\r\n" + std::string(kSummary) + ", in ", 0), 0u) << run.printed();
    }
    for (const char* quiet : {"-q", "--quiet"}) {
        OnTerminal run({quiet, "run.cfg"}, dir.path());
        ASSERT_TRUE(run.started());
        EXPECT_EQ(run.finish(), 0);
        EXPECT_EQ(run.printed(), "Asc File q.dat\r\n") << quiet;
    }
}
