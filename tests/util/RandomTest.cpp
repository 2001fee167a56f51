#include <gtest/gtest.h>

#include <set>

#include "util/Random.h"

TEST(RandomTest, RandnNeverReturnsZeroAndStaysBelowNAndSmallNIsDefined) {
  seedrand();
  std::set<int> seen;
  for (int i = 0; i < 20000; ++i) {
    int r = randn(5);
    ASSERT_GE(r, 1);
    ASSERT_LE(r, 4);
    seen.insert(r);
  }
  EXPECT_EQ(seen.size(), 4u);  // every value 1..4 turns up
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(randn(2), 1);
  EXPECT_EQ(randn(1), 1);
  EXPECT_EQ(randn(0), 0);
  EXPECT_EQ(randn(-7), 0);
  // The generator plus the milliseconds must not overflow near RAND_MAX.
  for (int i = 0; i < 20000; ++i) ASSERT_GE(randn(2147483647), 1);
}
