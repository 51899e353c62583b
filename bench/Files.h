// Files of the benchmark's scratch folder: read whole, compared, read through
// so that they are in the page cache, and what the machine has room for.
#pragma once

#include <string>

// The whole file into text; false when it cannot be read.
bool readWhole(const std::string& path, std::string& text);

// Both files can be read and hold the same bytes. Reads them a piece at a
// time, so that grids of gigabytes compare without being held.
bool sameFiles(const std::string& a, const std::string& b);

// Reads the file through and returns its size (-1 when it cannot be read):
// after it the file is in the page cache, as for every variant alike.
long long readThrough(const std::string& path);

// Bytes free for an unprivileged user in the file system of path, or -1.
long long freeBytes(const std::string& path);

// The memory the system says is available (MemAvailable), or -1.
long long availableMemory();
