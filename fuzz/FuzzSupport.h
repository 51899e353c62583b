// Helpers shared by the fuzz targets: an in-memory file that the readers open by
// name, and a check that aborts so that libFuzzer records the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <streambuf>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

// Reports a broken invariant and aborts: libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// One memory-backed file (memfd), reopened by name for every input: no disk I/O,
// and the readers see a regular file whose size fstat reports.
class MemFile {
public:
    MemFile() : fd_(::memfd_create("meshraster-fuzz", 0)) {
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        name_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile() { ::close(fd_); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    // Replaces the content with size bytes at data; returns the name to open.
    const std::string& hold(const std::uint8_t* data, std::size_t size) {
        FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t put = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            FUZZ_CHECK(put > 0);
            done += static_cast<std::size_t>(put);
        }
        return name_;
    }

private:
    int fd_;
    std::string name_;
};

// A stream buffer that takes every character and keeps none: messages would
// only slow the fuzzing down.
class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};
