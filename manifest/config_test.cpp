#include "manifest/config.h"

#include <gtest/gtest.h>

TEST(UpdaterIsBehind, ComparesIntegerPartsAsSigned) {
    for (double remote : {6.0, 6.99, 0.0, -3.0, -2147483648.0, -2147483649.0, -1e300})
        EXPECT_FALSE(updaterIsBehind(6.0, remote)) << remote;
    for (double remote : {7.0, 7.5, 12.5, 2147483647.0, 2147483648.0, 1e300})
        EXPECT_TRUE(updaterIsBehind(6.0, remote)) << remote;
    EXPECT_FALSE(updaterIsBehind(6.9, 6.1));
    EXPECT_FALSE(updaterIsBehind(-0.5, 0.9));  // both truncate to 0
    EXPECT_TRUE(updaterIsBehind(-1.0, 0.0));
}
