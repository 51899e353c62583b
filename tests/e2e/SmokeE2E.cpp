#include <gtest/gtest.h>

#include "TestSupport.h"

TEST(RunSmoke, UsageWithoutArguments) {
    TempDir dir;
    const RunResult r = runProgram(MESHRASTER_BINARY, {}, dir.path());
    EXPECT_EQ(r.status, 2);
}
