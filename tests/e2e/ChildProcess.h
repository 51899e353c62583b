// Running the real binary in the conditions that runProgram cannot set up: a
// resource limit, a file-creation mask, a closed or failing standard output, a
// file system that refuses unnamed files, and a signal while it runs.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"

// Exit status of a child that could not set itself up as asked: the test is skipped.
constexpr int kSetupRefused = 125;
// The exit status of a child run as another user who cannot reach the program.
constexpr int kProgramUnreachable = 124;

// How the child is started.
struct Launch {
    std::vector<std::string> args;  // the program's arguments
    std::string program;            // the program run, when not the binary (mpirun, say)
    std::string cwd;                // the folder it runs in
    // Standard output: captured in a file, closed (>&-), a pipe whose reader is
    // gone (| head -c0), or /dev/full.
    enum class Out { Captured, Closed, PipeWithoutReader, DevFull } out = Out::Captured;
    rlim_t fileSizeLimit = RLIM_INFINITY;      // RLIMIT_FSIZE, as ulimit -f
    rlim_t addressSpaceLimit = RLIM_INFINITY;  // RLIMIT_AS, as ulimit -v
    int umask = -1;                            // the file-creation mask, when not -1
    int user = -1;                             // user and group id to run as (needs root), when not -1
    // open(O_TMPFILE) fails with EOPNOTSUPP, as on a file system without unnamed files.
    bool refuseUnnamedFiles = false;
};

namespace childprocess {

// A seccomp filter that fails every openat() whose flags hold O_TMPFILE.
inline bool refuseUnnamedFiles() {
#if defined(__x86_64__)
    constexpr unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    // The low 32 bits of the flags argument (little-endian), tested for the bit
    // that O_TMPFILE adds to O_DIRECTORY.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}

}  // namespace childprocess

// The binary running as a child, its standard output and error in files.
class ChildProcess {
public:
    explicit ChildProcess(const Launch& launch) {
        const std::string outPath = capture_.file("stdout"), errPath = capture_.file("stderr");
        int pipeEnds[2] = {-1, -1};
        // Closing the reader before the fork leaves a pipe that no one can read.
        if (launch.out == Launch::Out::PipeWithoutReader) {
            if (::pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
            ::close(pipeEnds[0]);
        }
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int out = -1;
            switch (launch.out) {
                case Launch::Out::Captured:
                    out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                    break;
                case Launch::Out::Closed:
                    break;
                case Launch::Out::PipeWithoutReader:
                    out = pipeEnds[1];
                    break;
                case Launch::Out::DevFull:
                    out = ::open("/dev/full", O_WRONLY);
                    break;
            }
            if (in < 0 || err < 0 || (out < 0 && launch.out != Launch::Out::Closed)) ::_exit(127);
            if (::chdir(launch.cwd.c_str()) != 0) ::_exit(127);
            ::dup2(in, 0);
            ::dup2(err, 2);
            if (out >= 0) ::dup2(out, 1);
            for (int fd : {in, err, out})
                if (fd > 2) ::close(fd);
            if (launch.out == Launch::Out::Closed) ::close(1);
            const rlimit fsize{launch.fileSizeLimit, launch.fileSizeLimit};
            const rlimit as{launch.addressSpaceLimit, launch.addressSpaceLimit};
            if (launch.fileSizeLimit != RLIM_INFINITY && ::setrlimit(RLIMIT_FSIZE, &fsize) != 0) ::_exit(kSetupRefused);
            if (launch.addressSpaceLimit != RLIM_INFINITY && ::setrlimit(RLIMIT_AS, &as) != 0) ::_exit(kSetupRefused);
            if (launch.umask >= 0) ::umask(static_cast<mode_t>(launch.umask));
            if (launch.user >= 0) {
                const auto id = static_cast<uid_t>(launch.user);
                if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) ::_exit(kSetupRefused);
                // A checkout inside a folder closed to other users (a private
                // home) keeps the program out of that user's reach.
                if (::access(MESHRASTER_BINARY, X_OK) != 0) ::_exit(kProgramUnreachable);
            }
            if (launch.refuseUnnamedFiles && !childprocess::refuseUnnamedFiles()) ::_exit(kSetupRefused);
            const char* const program = launch.program.empty() ? MESHRASTER_BINARY : launch.program.c_str();
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program));
            for (const std::string& a : launch.args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program, argv.data());
            ::_exit(127);
        }
        if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
    }
    ~ChildProcess() {
        if (!waited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // True while the child has not ended.
    bool running() {
        if (waited_) return false;
        int wstatus = 0;
        const pid_t done = ::waitpid(pid_, &wstatus, WNOHANG);
        if (done != pid_) return true;
        finish(wstatus);
        return false;
    }
    // Waits for the end: the exit status, or 128 + the signal that ended it.
    const RunResult& wait() {
        if (!waited_) {
            int wstatus = 0;
            while (::waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {}
            finish(wstatus);
        }
        return result_;
    }

private:
    void finish(int wstatus) {
        waited_ = true;
        result_.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        result_.out = readFile(capture_.file("stdout"));
        result_.err = programErrors(readFile(capture_.file("stderr")));
    }

    TempDir capture_;
    pid_t pid_ = -1;
    bool waited_ = false;
    RunResult result_;
};

// Runs the binary as launch says and waits for it.
inline RunResult runLaunch(const Launch& launch) {
    ChildProcess child(launch);
    return child.wait();
}
