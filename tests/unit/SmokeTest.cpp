#include <gtest/gtest.h>

#include "GxGrid.h"

TEST(GxGridSmoke, CountsTruncate) {
    GxGridParam p(0, 100, 0, 50, 10, 10);
    EXPECT_EQ(p.NumCol(), 10);
    EXPECT_EQ(p.NumRow(), 5);
}
