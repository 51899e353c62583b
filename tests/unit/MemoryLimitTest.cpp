#include <gtest/gtest.h>

#include <string>

#include "MemoryLimit.h"

namespace {
constexpr unsigned long long kNone = ~0ULL;
}  // namespace

// The size check trusted physical memory alone, so a run in a control group of
// 1 GiB was killed by the system, exit 137 and no message, on a 1.9 GiB grid.
TEST(MemoryLimit, ControlGroupFilesAreRead) {
    struct Case {
        const char* text;
        unsigned long long bytes;
    };
    const Case cases[] = {
        {"1073741824\n", 1073741824ULL},   // v2 memory.max, v1 memory.limit_in_bytes
        {"max\n", kNone},                  // v2: no limit
        {"9223372036854771712\n", kNone},  // v1: no limit, a page short of 2^63
        {"", kNone},                       // no such file
        {"12abc\n", kNone},
    };
    for (const Case& c : cases) EXPECT_EQ(cgroupMemoryValue(c.text), c.bytes) << c.text;
}

TEST(MemoryLimit, AvailableMemoryFromMeminfo) {
    EXPECT_EQ(availableMemoryValue("MemTotal:       24576000 kB\nMemFree:  100 kB\nMemAvailable:   2048 kB\n"),
              2048ULL * 1024);
    EXPECT_EQ(availableMemoryValue("MemTotal:       24576000 kB\n"), kNone);  // kernels before 3.14
}

TEST(MemoryLimit, ControlGroupPathOfEitherVersion) {
    bool v1 = false;
    EXPECT_EQ(memoryCgroupPath("0::/user.slice/run-1.scope\n", v1), "/user.slice/run-1.scope");
    EXPECT_FALSE(v1);
    const char* hybrid = "5:cpu,cpuacct:/\n4:memory:/process_api/34ba\n0::/\n";
    EXPECT_EQ(memoryCgroupPath(hybrid, v1), "/process_api/34ba");
    EXPECT_TRUE(v1);
    EXPECT_EQ(memoryCgroupPath("", v1), "");
}

// Whatever the machine, the limit is found and named, and it is no larger
// than the machine's memory.
TEST(MemoryLimit, TheRunsLimitIsNamed) {
    const MemoryLimit limit = memoryLimit();
    EXPECT_NE(limit.bytes, kNone);
    EXPECT_FALSE(limit.what.empty());
}
