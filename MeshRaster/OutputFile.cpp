#include "OutputFile.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---- The temporary name that an interrupting signal removes -------------------
//
// Only a named temporary file can outlive the process: the unnamed one of
// O_TMPFILE vanishes with it. While a name exists, SIGINT, SIGTERM and SIGHUP
// remove it and then end the process as they would have. The handler may touch
// nothing but a fixed buffer and a flag.

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

char gTempName[PATH_MAX];
volatile std::sig_atomic_t gHasTempName = 0;
struct sigaction gPrevious[kSignalCount];
bool gInstalled[kSignalCount] = {};

extern "C" void removeTempNameAndRaise(int sig) {
    if (gHasTempName) ::unlink(gTempName);
    for (int k = 0; k < kSignalCount; ++k)
        if (kSignals[k] == sig) ::sigaction(sig, &gPrevious[k], nullptr);
    // Delivered once the handler returns, with the disposition the program found.
    ::raise(sig);
}

// Blocks the three signals for its lifetime, so that a name is never created
// without being registered for removal.
class SignalHold {
public:
    SignalHold() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kSignals) sigaddset(&set, sig);
        ::sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalHold() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

private:
    sigset_t previous_;
};

// Registers name for removal on a signal; call with the signals held.
void rememberTempName(const std::string& name) {
    std::memcpy(gTempName, name.c_str(), name.size() + 1);
    gHasTempName = 1;
    struct sigaction action {};
    action.sa_handler = removeTempNameAndRaise;
    sigemptyset(&action.sa_mask);
    for (int k = 0; k < kSignalCount; ++k) {
        ::sigaction(kSignals[k], nullptr, &gPrevious[k]);
        // A signal the program was started to ignore (nohup) stays ignored.
        gInstalled[k] = gPrevious[k].sa_handler != SIG_IGN;
        if (gInstalled[k]) ::sigaction(kSignals[k], &action, nullptr);
    }
}

// The name is gone or renamed: the signals act as before.
void forgetTempName() {
    gHasTempName = 0;
    for (int k = 0; k < kSignalCount; ++k)
        if (gInstalled[k]) ::sigaction(kSignals[k], &gPrevious[k], nullptr);
}

// ---- Names ---------------------------------------------------------------------

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Follows symbolic links from name to the path they end at, which need not
// exist (a link to a new file creates it, as open() would). Returns 0, or the
// system's error number; exists and info describe the path found. A link into
// /proc (/dev/stdout is one) is a descriptor's, whose text need not be a path:
// viaProc tells the caller to open the name itself.
int followLinks(const std::string& name, std::string& target, bool& exists, struct stat& info, bool& viaProc) {
    target = name;
    viaProc = false;
    // The kernel's own limit on links followed in one name.
    for (int hops = 0; hops <= 40; ++hops) {
        if (::lstat(target.c_str(), &info) != 0) {
            exists = false;
            return errno == ENOENT ? 0 : errno;
        }
        if (!S_ISLNK(info.st_mode)) {
            exists = true;
            return 0;
        }
        char link[PATH_MAX];
        const ssize_t size = ::readlink(target.c_str(), link, sizeof link);
        if (size < 0) return errno;
        if (static_cast<std::size_t>(size) == sizeof link) return ENAMETOOLONG;
        const std::string next(link, static_cast<std::size_t>(size));
        if (next.empty()) return ENOENT;
        if (next.compare(0, 6, "/proc/") == 0) {
            viaProc = true;
            return 0;
        }
        // A relative link is relative to the folder that holds it.
        target = next[0] == '/' || target.find('/') == std::string::npos ? next : folderOf(target) + '/' + next;
    }
    return ELOOP;
}

// Six characters for a temporary name; uniqueness is checked by the call that
// creates the name, so they need only differ between runs.
std::string nameSuffix() {
    static std::uint64_t state =
        static_cast<std::uint64_t>(::getpid()) << 32 ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string s(6, ' ');
    for (char& c : s) {
        c = kChars[z % 62];
        z /= 62;
    }
    return s;
}

// The hidden name beside target that the temporary file has before the rename,
// without its last six characters. A long name is shortened so that the
// temporary name stays within the 255 bytes a folder entry may have.
std::string tempPrefix(const std::string& folder, const std::string& target) {
    return folder + "/." + baseOf(target).substr(0, 240) + '.';
}

// Makes the rename itself durable; a file system that cannot sync a folder
// loses nothing by the failure.
void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

mode_t OutputFile::creationMask() {
    static const mode_t mask = [] {
        const mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    return mask;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!tempName_.empty()) {
        ::unlink(tempName_.c_str());
        forgetTempName();
    }
}

bool OutputFile::fail(int error) {
    if (error_ == 0) error_ = error;
    return false;
}

bool OutputFile::open(const std::string& name) {
    if (name.find('\0') != std::string::npos) return fail(EINVAL);
    struct stat named {};
    const bool namedExists = ::stat(name.c_str(), &named) == 0;
    bool exists = false, viaProc = false;
    struct stat old {};
    if (const int e = followLinks(name, target_, exists, old, viaProc)) return fail(e);
    // The path found must be the file the name opens; where it is not (a
    // descriptor's link, a link changed meanwhile) the name is opened itself.
    const bool sameFile = namedExists ? exists && old.st_dev == named.st_dev && old.st_ino == named.st_ino : !exists;
    if (viaProc || !sameFile || (exists && !S_ISREG(old.st_mode)) || target_.empty() || target_.back() == '/') {
        // A device or FIFO cannot be replaced; a folder (or a name ending in a
        // slash) is refused here by open() itself, with its reason.
        inPlace_ = true;
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
        return fd_ >= 0 || fail(errno);
    }
    // A file its owner made read-only stays protected, as when it was written in place.
    if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return fail(errno);
    folder_ = folderOf(target_);
    return openTemporary(exists, old);
}

bool OutputFile::openTemporary(bool exists, const struct stat& old) {
    fd_ = ::open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        // EOPNOTSUPP: the file system has no unnamed files; EISDIR, EINVAL: the kernel predates them.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return fail(errno);
        std::string name = tempPrefix(folder_, target_) + "XXXXXX";
        if (name.size() >= PATH_MAX) return fail(ENAMETOOLONG);
        SignalHold hold;
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ < 0) return fail(errno);
        tempName_ = name;
        rememberTempName(tempName_);
    }
    // The replaced file keeps its owner where the process may give it (as root),
    // and its permission bits; a new one gets 0664 less the creation mask. A file
    // system without permission bits refuses them and loses nothing.
    if (exists && ::fchown(fd_, old.st_uid, old.st_gid) != 0) {}
    const mode_t mode = exists ? (old.st_mode & 07777) : (0664 & ~creationMask());
    if (::fchmod(fd_, mode) != 0) {}
    return true;
}

bool OutputFile::nameTemporary() {
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
    const std::string prefix = tempPrefix(folder_, target_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = prefix + nameSuffix();
        if (name.size() >= PATH_MAX) return fail(ENAMETOOLONG);
        SignalHold hold;
        int done = ::linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
        // Without /proc, linking the descriptor itself needs CAP_DAC_READ_SEARCH.
        if (done != 0 && errno == ENOENT) {
            const int first = errno;
            done = ::linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
            if (done != 0 && errno != EEXIST) errno = first;
        }
        if (done == 0) {
            tempName_ = name;
            rememberTempName(tempName_);
            return true;
        }
        if (errno != EEXIST) return fail(errno);
    }
    return fail(EEXIST);
}

namespace {
constexpr long long kStartWriteback = 8LL << 20;
}  // namespace

bool OutputFile::write(const char* data, std::size_t size) {
    if (error_ != 0 || fd_ < 0) return fail(EBADF);
    while (size > 0) {
        const ssize_t put = ::write(fd_, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return fail(errno);
        if (put == 0) return fail(EIO);
        data += put;
        size -= static_cast<std::size_t>(put);
        written_ += put;
    }
    // The disk starts on each 8 MiB as it is written, so that the fsync of
    // commit() does not wait for the whole file at the end (for the
    // benchmark's 94 MB grid, 0.1 s of a 0.5 s write). Only a hint: where it
    // is refused, commit's fsync does it all.
    if (!inPlace_ && written_ - flushed_ >= kStartWriteback) {
        ::sync_file_range(fd_, flushed_, written_ - flushed_, SYNC_FILE_RANGE_WRITE);
        flushed_ = written_;
    }
    return true;
}

bool OutputFile::commit() {
    if (error_ != 0 || fd_ < 0) return fail(EBADF);
    if (inPlace_) {
        const int closed = ::close(fd_);
        fd_ = -1;
        return closed == 0 || fail(errno);
    }
    // On disk before it has the name: a crash after the rename must not leave
    // an empty or partial file under it. For the benchmark's 76 MB grid this
    // costs 50 to 65 ms on the test machine's disk, against 0.25 s of writing.
    if (::fsync(fd_) != 0) return fail(errno);
    if (tempName_.empty() && !nameTemporary()) return false;
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) return fail(errno);
    // The one step that replaces the old file: readers and another run writing
    // the same name see the old file or the new one, never a mix.
    if (::rename(tempName_.c_str(), target_.c_str()) != 0) return fail(errno);
    forgetTempName();
    tempName_.clear();
    syncFolder(folder_);
    return true;
}
