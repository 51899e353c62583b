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
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() joined with name.
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes text (bytes as given) to name inside the folder; returns its path.
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// The whole content of a file, or "<missing>" when it cannot be read.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// Permission bits (the low 12 bits of st_mode), or -1.
int permissionBits(const std::string& path);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs program with args in folder cwd, standard input empty, and waits.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd);
