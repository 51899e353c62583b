#include "MemoryLimit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <stdexcept>

#include "GxGrid.h"
#include "Messages.h"

namespace {

constexpr unsigned long long kNone = ~0ULL;

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void lower(MemoryLimit& limit, unsigned long long bytes, const char* what) {
    if (bytes < limit.bytes) limit = MemoryLimit{bytes, what};
}

// The smallest limit of the cgroup at path and of each of its ancestors: a
// limit set on a parent holds for every group below it.
unsigned long long cgroupLimit(const std::string& root, std::string path, const char* file) {
    unsigned long long smallest = kNone;
    for (;;) {
        const unsigned long long v = cgroupMemoryValue(fileText(root + path + "/" + file));
        if (v < smallest) smallest = v;
        const std::size_t slash = path.rfind('/');
        if (path.empty() || slash == std::string::npos) break;
        path.erase(slash);
    }
    return smallest;
}

// The bytes the process's address space already holds.
unsigned long long addressSpaceUsed() {
    std::istringstream statm(fileText("/proc/self/statm"));
    unsigned long long pages = 0;
    statm >> pages;
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    return pageSize > 0 ? pages * static_cast<unsigned long long>(pageSize) : 0;
}

}  // namespace

unsigned long long cgroupMemoryValue(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(begin, &end, 10);
    if (end == begin || errno != 0 || (*end != '\0' && *end != '\n')) return kNone;
    // v1 writes "no limit" as the largest multiple of the page size below 2^63.
    return v >= (1ULL << 62) ? kNone : v;
}

unsigned long long availableMemoryValue(const std::string& meminfo) {
    const std::size_t at = meminfo.find("MemAvailable:");
    if (at == std::string::npos) return kNone;
    std::istringstream line(meminfo.substr(at + 13));
    unsigned long long kib = 0;
    return line >> kib ? kib * 1024 : kNone;
}

std::string memoryCgroupPath(const std::string& procSelfCgroup, bool& v1) {
    std::istringstream lines(procSelfCgroup);
    std::string v2Path;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) v2Path = path;
        std::istringstream names(controllers);
        for (std::string name; std::getline(names, name, ',');)
            if (name == "memory") {
                v1 = true;
                return path;
            }
    }
    v1 = false;
    return v2Path;
}

MemoryLimit memoryLimit() {
    MemoryLimit limit;
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        lower(limit, static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize),
              "the machine's physical memory");
    lower(limit, availableMemoryValue(fileText("/proc/meminfo")), "the memory available");
    // A path that is not there (a container sees only its own group, at the
    // root) is passed over on the way up to the root.
    bool v1 = false;
    std::string path = memoryCgroupPath(fileText("/proc/self/cgroup"), v1);
    if (path == "/") path.clear();
    lower(limit,
          v1 ? cgroupLimit("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes")
             : cgroupLimit("/sys/fs/cgroup", path, "memory.max"),
          "the control group's memory limit");
    rlimit as{};
    if (::getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
        const unsigned long long used = addressSpaceUsed();
        lower(limit, as.rlim_cur > used ? as.rlim_cur - used : 0, "the address-space limit (ulimit -v)");
    }
    return limit;
}

bool underAddressSpaceLimit() {
    rlimit as{};
    return ::getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY;
}

namespace {

// "74.5 GiB": bytes in the largest binary unit that leaves at least 1.
std::string memorySize(double bytes) {
    const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    bytes /= 1024;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

}  // namespace

std::string gridMemoryLine(long long rows, long long cols, unsigned long long extraBytes, const std::string& limit) {
    const double bytes = static_cast<double>(sizeof(double)) * static_cast<double>(rows) * static_cast<double>(cols);
    const char* raise = cols >= 2 * rows ? "resx" : rows >= 2 * cols ? "resy" : "resx or resy";
    return "the grid of " + std::to_string(rows) + " rows x " + std::to_string(cols) + " columns needs " +
           memorySize(bytes + static_cast<double>(extraBytes)) + (extraBytes > 0 ? " with the writer's buffers" : "") +
           (limit.empty() ? "" : ", more than " + limit) + "; raise " + raise;
}

MemoryLimit memoryLimit(unsigned long long asked) {
    MemoryLimit limit = memoryLimit();
    if (asked > 0) lower(limit, asked, "the limit of --memory");
    return limit;
}

bool gridFits(const GxGridParam& gridPar, unsigned long long extraBytes, const MemoryLimit& limit) {
    const long long rows = std::max(gridPar.NumRow(), 0), cols = std::max(gridPar.NumCol(), 0);
    // Both counts are below 2^31, so the cell count fits; its byte count may
    // not, and is compared in cells.
    const auto cells = static_cast<unsigned long long>(rows) * static_cast<unsigned long long>(cols);
    const unsigned long long room = limit.bytes > extraBytes ? limit.bytes - extraBytes : 0;
    return cells <= room / sizeof(double);
}

std::unique_ptr<GxGrid> makeGrid(const GxGridParam& gridPar, unsigned long long extraBytes) {
    return makeGrid(gridPar, extraBytes, memoryLimit());
}

std::unique_ptr<GxGrid> makeGrid(const GxGridParam& gridPar, unsigned long long extraBytes, const MemoryLimit& limit) {
    const long long rows = std::max(gridPar.NumRow(), 0), cols = std::max(gridPar.NumCol(), 0);
    const auto cells = static_cast<unsigned long long>(rows) * static_cast<unsigned long long>(cols);
    // A grid beyond the limit would at best be paged out while it is filled,
    // at worst end the run without a message.
    if (!gridFits(gridPar, extraBytes, limit)) {
        // The buffers are named only where they are what tips the balance.
        const bool gridAloneFits = cells <= limit.bytes / sizeof(double);
        printWarning("out of memory\n" + gridMemoryLine(rows, cols, gridAloneFits ? extraBytes : 0, limit.what));
        return nullptr;
    }
    try {
        return std::make_unique<GxGrid>(gridPar.NumRow(), gridPar.NumCol());
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {}
    printWarning("out of memory\n" + gridMemoryLine(rows, cols, 0, ""));
    return nullptr;
}
