// Helpers shared by the unit and end-to-end tests: temporary folders, files,
// and running the program with its output captured.
#pragma once

#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with its contents
// when the object goes.
class TempDir {
public:
    TempDir();
    // A fresh folder inside parent instead.
    explicit TempDir(const std::string& parent);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() joined with name.
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes text (bytes as given) to name inside the folder; returns its path.
    std::string write(const std::string& name, const std::string& text) const;
    // Leaves the folder and its contents in place when the object goes.
    void keep() { keep_ = true; }

private:
    std::string path_;
    bool keep_ = false;
};

// The whole content of a file, or "<missing>" when it cannot be read.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// Permission bits (the low 12 bits of st_mode), or -1.
int permissionBits(const std::string& path);

struct RunResult {
    int status = -1;       // exit status, or 128 + signal number
    std::string out;       // standard output
    std::string err;       // standard error
    double seconds = 0.0;  // wall time from the start to the exit
    // Peak resident memory (ru_maxrss). A forked child starts out holding the
    // caller's resident pages, so this is at least the caller's size then.
    long peakKiB = 0;
};

// Runs program with args in folder cwd, standard input empty, and waits.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd);

// A child's standard error as the program wrote it: in a coverage build, the
// lines the instrumentation adds when it cannot write its counters (under a
// file-size limit, as a user who may not write them) are taken out, since
// this compiler's runtime has no way to send them elsewhere.
std::string programErrors(std::string err);
