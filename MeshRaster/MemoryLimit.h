// The memory a run may use: the smallest of the limits the system sets.
#pragma once

#include <memory>
#include <string>

// A limit in bytes and what sets it, for the message that names it.
struct MemoryLimit {
    unsigned long long bytes = ~0ULL;  // ~0: no limit found
    std::string what;                  // "the memory available", "the control group's memory limit", ...
};

// The smallest of the machine's physical memory, the memory available now, the
// memory limit of the process's control group (v2 memory.max, v1
// memory.limit_in_bytes, its ancestors' included) and the room left under the
// address-space limit (ulimit -v).
MemoryLimit memoryLimit();

// True when the process runs under an address-space limit.
bool underAddressSpaceLimit();

// A control group's memory limit from the text of memory.max or
// memory.limit_in_bytes; ~0 for "max", for v1's "no limit" (a page short of
// 2^63) and for text that is not a number.
unsigned long long cgroupMemoryValue(const std::string& text);

// The MemAvailable figure of /proc/meminfo's text, in bytes; ~0 when absent.
unsigned long long availableMemoryValue(const std::string& meminfo);

// The process's cgroup path for the memory controller from /proc/self/cgroup's
// text: the v2 line "0::PATH", or the v1 line naming "memory"; v1 is true for
// the latter. Empty when neither is there.
std::string memoryCgroupPath(const std::string& procSelfCgroup, bool& v1);

class GxGrid;
class GxGridParam;

// The grid of gridPar, every cell 0, when it and extraBytes (the writer's
// buffers) fit within memoryLimit(); nullptr, after the lines "out of memory"
// and what the grid needs, more than which limit, when they do not or the
// memory cannot be had. The counts are checked before anything is allocated.
std::unique_ptr<GxGrid> makeGrid(const GxGridParam& gridPar, unsigned long long extraBytes);
// The same within limit.
std::unique_ptr<GxGrid> makeGrid(const GxGridParam& gridPar, unsigned long long extraBytes, const MemoryLimit& limit);
// True when the whole grid of gridPar and extraBytes fit within limit.
bool gridFits(const GxGridParam& gridPar, unsigned long long extraBytes, const MemoryLimit& limit);
// memoryLimit(), or asked (bytes; 0 for none) where that is smaller.
MemoryLimit memoryLimit(unsigned long long asked);

// "the grid of 1000 rows x 2147483647 columns needs 15.6 TiB[ with the
// writer's buffers][, more than LIMIT]; raise resx": the resolution across the
// grid's longer side (both when neither side is twice the other).
std::string gridMemoryLine(long long rows, long long cols, unsigned long long extraBytes, const std::string& limit);
