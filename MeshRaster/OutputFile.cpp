#include "OutputFile.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// ---- The temporary name that an interrupting signal removes -------------------
//
// Only a named temporary file or folder can outlive the process: the unnamed
// file of O_TMPFILE vanishes with it. While a name exists, SIGINT, SIGTERM and
// SIGHUP remove it (a folder with all in it) and then end the process as they
// would have. The handler may touch nothing but fixed buffers, flags and
// system calls.

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

char gTempName[PATH_MAX];
volatile std::sig_atomic_t gHasTempName = 0;
volatile std::sig_atomic_t gTempIsFolder = 0;
struct sigaction gPrevious[kSignalCount];
bool gInstalled[kSignalCount] = {};

// Removes everything in the folder open as fd, subfolders to a few levels (a
// driver that makes a folder makes one); safe in a signal handler, as it uses
// system calls and the stack only. Entries are read again after each pass,
// since removing them moves the rest.
void removeFolderContent(int fd, int depth) {
    struct Entry {
        std::uint64_t inode;
        std::int64_t offset;
        unsigned short length;
        unsigned char type;
        char name[1];
    };
    alignas(8) char buffer[4096];
    for (int pass = 0; pass < 1000; ++pass) {
        ::lseek(fd, 0, SEEK_SET);
        bool removed = false;
        for (;;) {
            const long got = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
            if (got <= 0) break;
            for (long at = 0; at < got;) {
                const auto* e = reinterpret_cast<const Entry*>(buffer + at);
                at += e->length;
                const char* name = buffer + (at - e->length) + offsetof(Entry, name);
                if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
                if (::unlinkat(fd, name, 0) == 0) {
                    removed = true;
                    continue;
                }
                if (errno != EISDIR || depth >= 4) continue;
                const int sub = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub < 0) continue;
                removeFolderContent(sub, depth + 1);
                ::close(sub);
                removed = ::unlinkat(fd, name, AT_REMOVEDIR) == 0 || removed;
            }
        }
        if (!removed) return;
    }
}

// Removes a folder and all in it; safe in a signal handler.
void removeFolder(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        removeFolderContent(fd, 0);
        ::close(fd);
    }
    ::rmdir(path);
}

extern "C" void removeTempNameAndRaise(int sig) {
    if (gHasTempName) {
        if (gTempIsFolder)
            removeFolder(gTempName);
        else
            ::unlink(gTempName);
    }
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

// Registers name (a file, or a folder with all it will hold) for removal on a
// signal; call with the signals held.
void rememberTempName(const std::string& name, bool isFolder = false) {
    std::memcpy(gTempName, name.c_str(), name.size() + 1);
    gTempIsFolder = isFolder;
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
// /proc (/dev/stdout is one) is a descriptor's: it is followed to the file the
// descriptor has open when that has a path, so that a grid written to standard
// output redirected to a file replaces the file as any other; a pipe's or a
// terminal's text ("pipe:[4711]") is no path, and viaProc tells the caller to
// open the name itself.
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
            char opened[PATH_MAX];
            const ssize_t length = ::readlink(next.c_str(), opened, sizeof opened);
            if (length <= 0 || static_cast<std::size_t>(length) == sizeof opened || opened[0] != '/') {
                viaProc = true;
                return 0;
            }
            target.assign(opened, static_cast<std::size_t>(length));
            continue;
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

mode_t OutputTarget::mode() const { return exists ? (old.st_mode & 07777) : (0664 & ~OutputFile::creationMask()); }

std::string OutputTarget::beside(const std::string& name) const {
    return folder == "." && path.find('/') == std::string::npos ? name
           : folder == "/"                                      ? "/" + name
                                                                : folder + "/" + name;
}

int resolveOutputTarget(const std::string& name, OutputTarget& t) {
    t = OutputTarget();
    if (name.find('\0') != std::string::npos) return EINVAL;
    // The path found must be the file the name opens. Another run may rename
    // its new file into place between the two looks, so they are taken again
    // until they agree; where they never do (a descriptor's link to a deleted
    // file, a link that keeps changing) the name is opened itself.
    bool viaProc = false;
    bool sameFile = false;
    for (int look = 0; look < 20 && !sameFile && !viaProc; ++look) {
        struct stat named {};
        const bool namedExists = ::stat(name.c_str(), &named) == 0;
        if (const int e = followLinks(name, t.path, t.exists, t.old, viaProc)) return e;
        sameFile = namedExists ? t.exists && t.old.st_dev == named.st_dev && t.old.st_ino == named.st_ino : !t.exists;
    }
    if (viaProc || !sameFile || (t.exists && !S_ISREG(t.old.st_mode)) || t.path.empty() || t.path.back() == '/') {
        // A device or FIFO cannot be replaced; a folder (or a name ending in a
        // slash) is refused by open() itself, with its reason.
        t.inPlace = true;
        t.path = name;
        return 0;
    }
    // A file its owner made read-only stays protected, as when it was written
    // in place: a rename would replace it, since the folder is writable.
    if (t.exists && ::faccessat(AT_FDCWD, t.path.c_str(), W_OK, AT_EACCESS) != 0) return errno;
    t.folder = folderOf(t.path);
    t.base = baseOf(t.path);
    return 0;
}

bool regularFileKey(const std::string& name, FileKey& key) {
    struct stat info;
    if (name.find('\0') != std::string::npos || ::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    key = FileKey{info.st_dev, info.st_ino};
    return true;
}

FileOverlap outputOverlap(const std::vector<std::string>& outputs, const std::string& cfgName,
                          const std::vector<std::string>& inputs, std::string& output) {
    FileKey cfgKey;
    const bool hasCfg = regularFileKey(cfgName, cfgKey);
    std::vector<FileKey> inputKeys;
    for (const std::string& name : inputs) {
        FileKey key;
        if (regularFileKey(name, key)) inputKeys.push_back(key);
    }
    for (const std::string& name : outputs) {
        FileKey key;
        if (!regularFileKey(name, key)) continue;
        output = name;
        if (hasCfg && key == cfgKey) return FileOverlap::configuration;
        for (const FileKey& k : inputKeys)
            if (k == key) return FileOverlap::input;
    }
    output.clear();
    return FileOverlap::none;
}

bool OutputFile::open(const std::string& name) {
    OutputTarget t;
    if (const int e = resolveOutputTarget(name, t)) return fail(e);
    if (t.inPlace) {
        inPlace_ = true;
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
        return fd_ >= 0 || fail(errno);
    }
    target_ = t.path;
    folder_ = t.folder;
    return openTemporary(t.exists, t.old);
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

std::string OutputFile::sharedName() {
    if (error_ == 0 && (fd_ < 0 || inPlace_)) fail(EINVAL);
    if (error_ != 0 || (tempName_.empty() && !nameTemporary())) return "";
    return tempName_;
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

// ---- A raster and its side files --------------------------------------------

OutputFolder::~OutputFolder() {
    if (path_.empty()) return;
    removeFolder(path_.c_str());
    forgetTempName();
}

bool OutputFolder::fail(int error, const std::string& name) {
    if (error_ == 0) {
        error_ = error;
        failedName_ = name;
    }
    return false;
}

bool OutputFolder::open(const OutputTarget& target) {
    target_ = target;
    // Long names are shortened so that the folder's own name stays legal.
    std::string pattern = target.beside("." + target.base.substr(0, 200) + ".tmp-XXXXXX");
    if (pattern.size() >= PATH_MAX) return fail(ENAMETOOLONG);
    SignalHold hold;
    if (!::mkdtemp(pattern.data())) return fail(errno);
    path_ = pattern;
    rememberTempName(path_, true);
    return true;
}

std::string OutputFolder::raster() const { return path_ + '/' + target_.base; }

namespace {

// Holds an exclusive lock on a folder while it lives. A folder that cannot be
// opened for reading (write and search rights only) cannot be locked; the
// files are then published without it.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {}
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);  // which releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_;
};

}  // namespace

bool OutputFolder::publish(const std::function<std::vector<std::string>()>& stale, const std::vector<FileKey>& kept) {
    if (error_ != 0 || path_.empty()) return fail(EBADF);
    // Every file gets the raster's owner and bits (a .prj beside a 0600
    // raster must not tell what the raster keeps to itself) and is on disk
    // before it has its name.
    std::vector<std::string> sideFiles;
    bool hasRaster = false;
    DIR* dir = ::opendir(path_.c_str());
    if (!dir) return fail(errno);
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name == target_.base)
            hasRaster = true;
        else
            sideFiles.push_back(name);
        const std::string file = path_ + '/' + name;
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;  // a folder or a link a driver made is moved as it is
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            if (target_.exists && ::fchown(fd, target_.old.st_uid, target_.old.st_gid) != 0) {}
            if (::fchmod(fd, target_.mode()) != 0) {}
            if (::fsync(fd) != 0 && errno != EINVAL) {
                const int e2 = errno;
                ::close(fd);
                ::closedir(dir);
                return fail(e2, target_.beside(name));
            }
        }
        ::close(fd);
    }
    ::closedir(dir);
    if (!hasRaster) return fail(ENOENT, target_.path);

    const FolderLock lock(target_.folder);
    const std::vector<std::string> old = stale ? stale() : std::vector<std::string>();
    // A side file that GDAL wrote only now (statistics in an .aux.xml, say)
    // is checked as those known before the run were.
    sideFiles.push_back(target_.base);
    for (const std::string& name : sideFiles) {
        FileKey key;
        if (regularFileKey(target_.beside(name), key))
            for (const FileKey& k : kept)
                if (k == key) return fail(kIsKept, target_.beside(name));
    }
    // From here the files change together: a signal waits until all are in
    // place, so that it never leaves the new side files with the old raster.
    SignalHold hold;
    // The old raster's side files that no new file replaces would describe
    // the new raster wrongly (an old .prj, statistics of old cells); an input
    // or the configuration is never one of them.
    for (const std::string& file : old) {
        const std::string name = baseOf(file);
        bool keep = false;
        for (const std::string& fresh : sideFiles) keep = keep || fresh == name;
        FileKey key;
        if (regularFileKey(file, key))
            for (const FileKey& k : kept) keep = keep || k == key;
        if (!keep) ::unlink(file.c_str());
    }
    // The side files first and the raster last: under the name is the old
    // raster or the complete new one.
    for (const std::string& name : sideFiles) {
        const std::string to = target_.beside(name);
        if (::rename((path_ + '/' + name).c_str(), to.c_str()) != 0) return fail(errno, to);
    }
    ::rmdir(path_.c_str());
    forgetTempName();
    path_.clear();
    syncFolder(target_.folder);
    return true;
}

// ---- The spill of a grid read in bands ---------------------------------------

int openSpillFile(const std::string& folder, int& error) {
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // EOPNOTSUPP: the file system has no unnamed files; EISDIR, EINVAL: the kernel predates them.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        error = errno;
        return -1;
    }
    // A name made and removed again with the signals held: no signal that
    // can be caught finds it there.
    std::string name = (folder == "/" ? "" : folder) + "/.MeshRaster-spill-XXXXXX";
    if (name.size() >= PATH_MAX) {
        error = ENAMETOOLONG;
        return -1;
    }
    SignalHold hold;
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    ::unlink(name.c_str());
    return fd;
}
