#include <gtest/gtest.h>
TEST(Probe, Runs) { EXPECT_EQ(1, 1); }
