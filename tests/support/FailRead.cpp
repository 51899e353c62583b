// A preloaded wrapper of read(2) that makes the reading of one file fail with
// EIO, so that tests can show what the program does when a disk or a network
// file system reports an error in the middle of a file.
//
//   MESHRASTER_FAIL_READ_NAME   the file whose reads fail (the name as opened)
//   MESHRASTER_FAIL_READ_AFTER  bytes delivered before the first failure (0)
//
// Every read of that file after the given number of bytes fails; other files
// are read normally.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

using OpenFn = int (*)(const char*, int, ...);
using ReadFn = ssize_t (*)(int, void*, size_t);

int failingFd = -1;
long long delivered = 0;

bool isFailingName(const char* path) {
    const char* name = std::getenv("MESHRASTER_FAIL_READ_NAME");
    return name != nullptr && path != nullptr && std::strcmp(path, name) == 0;
}

long long failAfter() {
    const char* after = std::getenv("MESHRASTER_FAIL_READ_AFTER");
    return after != nullptr ? std::atoll(after) : 0;
}

int opened(int fd, const char* path) {
    if (fd >= 0 && isFailingName(path)) {
        failingFd = fd;
        delivered = 0;
    } else if (fd == failingFd) {
        failingFd = -1;  // the descriptor now names another file
    }
    return fd;
}

// Opens through the next definition of the named call and notes the descriptor.
int forwardOpen(const char* call, const char* path, int flags, mode_t mode) {
    const auto real = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, call));
    return opened(real(path, flags, mode), path);
}

mode_t modeOf(int flags, va_list args) { return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0; }

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return forwardOpen("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return forwardOpen("open64", path, flags, mode);
}

ssize_t read(int fd, void* buf, size_t count) {
    static const auto real = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
    if (fd != failingFd || failingFd < 0) return real(fd, buf, count);
    const long long left = failAfter() - delivered;
    if (left <= 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t got = real(fd, buf, count < static_cast<size_t>(left) ? count : static_cast<size_t>(left));
    if (got > 0) delivered += got;
    return got;
}
}
