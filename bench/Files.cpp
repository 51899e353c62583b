#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// Reads up to size bytes into buf, short only at the end of the file; -1 on an
// error.
long long readFull(int fd, char* buf, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(got);
}

// A file descriptor closed when it goes.
struct Fd {
    int fd;
    explicit Fd(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

}  // namespace

bool readWhole(const std::string& path, std::string& text) {
    Fd f(path);
    struct stat info {};
    if (f.fd < 0 || ::fstat(f.fd, &info) != 0) return false;
    text.assign(static_cast<std::size_t>(info.st_size), '\0');
    const long long got = readFull(f.fd, text.data(), text.size());
    if (got < 0) return false;
    text.resize(static_cast<std::size_t>(got));
    return true;
}

bool sameFiles(const std::string& a, const std::string& b) {
    Fd fa(a), fb(b);
    if (fa.fd < 0 || fb.fd < 0) return false;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        const long long na = readFull(fa.fd, ba.data(), ba.size()), nb = readFull(fb.fd, bb.data(), bb.size());
        if (na < 0 || nb < 0 || na != nb) return false;
        if (na == 0) return true;
        if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(na)) != 0) return false;
    }
}

long long readThrough(const std::string& path) {
    Fd f(path);
    if (f.fd < 0) return -1;
    std::vector<char> buf(1 << 20);
    long long total = 0;
    for (long long n; (n = readFull(f.fd, buf.data(), buf.size())) > 0;) total += n;
    return total;
}

long long freeBytes(const std::string& path) {
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return -1;
    return static_cast<long long>(info.f_bavail) * static_cast<long long>(info.f_frsize);
}

long long availableMemory() {
    std::ifstream meminfo("/proc/meminfo");
    for (std::string name; meminfo >> name;) {
        long long kib = 0;
        if (name == "MemAvailable:" && meminfo >> kib) return kib * 1024;
        meminfo.ignore(1 << 10, '\n');
    }
    return -1;
}
