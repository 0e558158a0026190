#include <cmath>
#include <limits>

#include "core/base/fatal.h"
#include "core/hnsw/level.h"
#include "core/hnsw/visited.h"
#include "gtest/gtest.h"

namespace tessarine {
namespace {

TEST(VisitedSetTest, MarksOncePerTraversal) {
  VisitedSet set;
  set.reserve(4);
  set.begin();
  EXPECT_TRUE(set.visit(2));
  EXPECT_FALSE(set.visit(2));
  set.begin();
  EXPECT_TRUE(set.visit(2));
  set.reserve(2);  // never shrinks
  EXPECT_EQ(set.size(), 4u);
  EXPECT_THROW(set.visit(4), FatalError);
}

TEST(VisitedSetTest, GenerationWrapClearsStaleStamps) {
  VisitedSet set;
  set.reserve(3);
  for (int i = 0; i < 65535; ++i) set.begin();
  ASSERT_EQ(set.generation(), 65535);
  EXPECT_TRUE(set.visit(0));  // stamp 65535
  set.begin();                // wraps: stamps cleared, generation 1
  EXPECT_EQ(set.generation(), 1);
  EXPECT_TRUE(set.visit(0));
  EXPECT_TRUE(set.visit(1));
  set.begin();
  EXPECT_TRUE(set.visit(0));  // stamp 1 from the last traversal is not current
  EXPECT_TRUE(set.visit(2));
}

TEST(VisitedSetTest, SecondBorrowOnOneThreadIsFatal) {
  VisitedLease first(search_visited());
  EXPECT_THROW(VisitedLease second(search_visited()), FatalError);
  VisitedLease other(insert_visited());  // the insertion set is separate
}

TEST(LevelTest, LevelForUniform) {
  struct Case {
    double u;
    uint64_t m, cap, level;
  };
  const Case cases[] = {
      {0.5, 16, 16, 0},    {0.05, 16, 16, 1},
      {0.001, 16, 16, 2},  {0.0, 16, 16, 15},
      {0.5, 1, 16, 15},    {0.999, 1, 16, 15},
      {0.0, 1, 16, 15},                                // ln(1) = 0: the top level
      {0.5, 0, 16, 0},     {0.0, 0, 16, 0},            // ln(0) = -inf: level 0
      {0.001, 16, 0, 0},   {0.5, 1, 0, 0},             // a cap of 0 is one layer
      {0.5, 1, 1000, 255}, {0.5, 1, UINT64_MAX, 255},  // levels fit one byte
      {1e-300, 2, 16, 15}, {0.3, 2, 16, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(level_for_uniform(c.u, c.m, c.cap), c.level)
        << "u=" << c.u << " m=" << c.m << " cap=" << c.cap;
  }
}

TEST(LevelTest, RandomLevelsFollowTheDistribution) {
  int above = 0;
  for (int i = 0; i < 20000; ++i) {
    const uint64_t level = random_level(16, 16);
    ASSERT_LE(level, 15u);
    above += level >= 1;
  }
  // P(level >= 1) = 1/16 = 0.0625; 20000 draws put it within +-0.01 with
  // overwhelming probability.
  EXPECT_NEAR(above / 20000.0, 0.0625, 0.01);
  EXPECT_EQ(random_level(1, 16), 15u);
  EXPECT_EQ(random_level(0, 16), 0u);
}

}  // namespace
}  // namespace tessarine
