// The grid file on its way to disk, replaced whole or not at all.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

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
    // Puts what was written in place under the name; false, with error() set, when it cannot.
    bool commit();
    // The system's error number of the first failure, 0 while there was none.
    int error() const { return error_; }

    // The process's file-creation mask, read once; call it at start-up, before any other thread exists.
    static mode_t creationMask();

private:
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
