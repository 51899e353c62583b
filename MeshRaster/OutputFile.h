// The grid file on its way to disk, replaced whole or not at all.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// Where an output goes: the one rule that both writers follow. A symbolic link
// is followed to the file it names, which need not exist (a dangling link
// creates its target); a device or a FIFO is written through the name.
struct OutputTarget {
    std::string path;    // the file to replace or create, links followed
    std::string folder;  // the folder of path
    std::string base;    // the last component of path
    bool exists = false;
    bool inPlace = false;  // a device, a FIFO or a descriptor's link: written through the name
    struct stat old {};    // the file replaced, when exists

    // The permission bits of the new file: the old file's, or 0664 less the file-creation mask.
    mode_t mode() const;
    // The name of a file beside path (a side file), as the folder is spelled.
    std::string beside(const std::string& name) const;
};

// Resolves name into t. 0, or the system's error number: EACCES for an
// existing file the caller may not write (its owner made it read-only, or
// another user's), as when it was written in place; EINVAL for a NUL byte.
int resolveOutputTarget(const std::string& name, OutputTarget& t);

// A file as the system identifies it, whatever name or link reaches it.
struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileKey& o) const { return device == o.device && inode == o.inode; }
};
// The key of the regular file name opens; false when there is none.
bool regularFileKey(const std::string& name, FileKey& key);

// Which file the run reads that writing outputs would destroy, compared as
// files (device and inode), so that links and other spellings count. Only a
// regular file can be destroyed so: a device may be named twice.
enum class FileOverlap { none, configuration, input };
FileOverlap outputOverlap(const std::vector<std::string>& outputs, const std::string& cfgName,
                          const std::vector<std::string>& inputs, std::string& output);

// A regular file (or a new name) is written into a temporary file in the same
// folder, made durable, and renamed over the name only by commit(): until then
// the old file stays as it was, and a run that fails, is interrupted or runs
// beside another one never leaves a fragment under the name. A symbolic link
// is followed, so its target is replaced. A device or a FIFO (/dev/null,
// /dev/stdout) is written in place, as it cannot be replaced.
class OutputFile {
public:
    OutputFile() = default;
    // Discards what was not committed: the temporary file goes, the old file stays.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Prepares name for writing; false, with error() set, when the folder cannot take the file.
    bool open(const std::string& name);
    // Appends size bytes; false, with error() set, on any failure (a full disk, a file-size limit).
    bool write(const char* data, std::size_t size);
    // The temporary file's name, which it is given now when it has none, for
    // the other processes of a run that write into it (Cluster.h); empty, with
    // error() set, when it cannot have one or the output is written in place.
    std::string sharedName();
    // Puts what was written in place under the name; false, with error() set, when it cannot.
    bool commit();
    // The system's error number of the first failure, 0 while there was none.
    int error() const { return error_; }

    // The process's file-creation mask, read once; call it at start-up, before any other thread exists.
    static mode_t creationMask();

private:
    friend class OutputFolder;
    // Opens the file that commit() will rename: an unnamed one where the file system allows.
    bool openTemporary(bool exists, const struct stat& old);
    // Gives the unnamed temporary file a name beside the target, for the rename.
    bool nameTemporary();
    // Records the first failure; returns false for the caller to pass on.
    bool fail(int error);

    int fd_ = -1;
    bool inPlace_ = false;  // a device or FIFO, written directly
    std::string target_;    // the name to replace, symbolic links followed
    std::string folder_;    // the folder of target_
    std::string tempName_;  // the temporary file's name while it has one
    int error_ = 0;
    long long written_ = 0;  // bytes written so far
    long long flushed_ = 0;  // bytes whose way to the disk has been started
};

// A raster and its side files (.prj, .aux.xml, .hdr, ...) on their way to
// disk, as one unit. They are written into a private hidden folder beside the
// target, under their final names, so that a driver that names a side file
// after the raster names it rightly; publish() then moves every file into
// place under an exclusive lock on the target's folder, side files first and
// the raster last. Runs that write the same name therefore never leave one
// run's raster with another's side file. Until then, and on SIGINT, SIGTERM or
// SIGHUP, the folder and all in it are removed and the old files stay.
class OutputFolder {
public:
    OutputFolder() = default;
    // Removes the private folder with whatever is left in it.
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // Makes the private folder beside target; false, with error() set, when the folder cannot take it.
    bool open(const OutputTarget& target);
    // The private folder, as the target's folder is spelled.
    const std::string& path() const { return path_; }
    // Where the raster is written: the private folder and the target's name.
    std::string raster() const;
    // Moves the files written into place. stale() is asked, under the lock,
    // for the files the old raster brought; those that are not replaced go,
    // unless kept holds them (an input, the configuration). False, with
    // error() set, on any failure before the raster is renamed.
    bool publish(const std::function<std::vector<std::string>()>& stale, const std::vector<FileKey>& kept);
    // The system's error number of the first failure, 0 while there was none;
    // kIsKept when a file would have replaced an input or the configuration.
    int error() const { return error_; }
    static constexpr int kIsKept = -1;
    // The file name that the failure concerns, empty when it is the folder.
    const std::string& failedName() const { return failedName_; }

private:
    bool fail(int error, const std::string& name = "");

    OutputTarget target_;
    std::string path_;
    int error_ = 0;
    std::string failedName_;
};

// Opens an unnamed file for reading and writing in folder, which vanishes with
// its descriptor: the spill of a grid read in bands. -1, with error set, when
// the folder cannot take it.
int openSpillFile(const std::string& folder, int& error);
