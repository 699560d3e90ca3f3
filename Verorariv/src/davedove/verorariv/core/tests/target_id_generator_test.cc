#include "davedove/verorariv/core/target_id_generator.h"

#include <limits>

#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace core {
namespace {

TEST(TargetIdGeneratorTest, AdvancesByTwoFromTheSeed) {
  TargetIdGenerator queryCache(0, 4);
  EXPECT_EQ(queryCache.generator_id(), 0);
  // The first id is the seed itself (the local store discards it and hands out seed + 2 first).
  EXPECT_EQ(queryCache.NextId(), 4);
  EXPECT_EQ(queryCache.NextId(), 6);
  EXPECT_EQ(queryCache.NextId(), 8);

  TargetIdGenerator syncEngine(1, 1);
  EXPECT_EQ(syncEngine.NextId(), 1);
  EXPECT_EQ(syncEngine.NextId(), 3);
}

TEST(TargetIdGeneratorTest, WrapsAtTheTopOfTheRange) {
  TargetIdGenerator generator(1, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(generator.NextId(), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(generator.NextId(), std::numeric_limits<int32_t>::min() + 1);
}

TEST(TargetIdGeneratorDeathTest, SeedOfAnotherGeneratorStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(TargetIdGenerator(1, 2), "Cannot supply target ID from different generator ID");
}

}  // namespace
}  // namespace core
}  // namespace verorariv
}  // namespace davedove
