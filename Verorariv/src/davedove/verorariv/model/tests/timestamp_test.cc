#include "davedove/verorariv/model/timestamp.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <sstream>

#include "davedove/verorariv/model/DAVGeoPoint.h"
#include "davedove/verorariv/model/DAVTimestamp.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace davedove {
namespace {

using testing::HasSubstr;
using verorariv::model::SnapshotVersion;
using verorariv::util::ComparisonResult;

Timestamp::TimePoint Micros(int64_t count) {
  return Timestamp::TimePoint(std::chrono::microseconds(count));
}

TEST(TimestampTest, BoundsAreInclusiveExclusive) {
  const Timestamp min(-62135596800, 0);
  const Timestamp max(253402300799, 999999999);
  EXPECT_EQ(-62135596800, min.seconds());
  EXPECT_EQ(999999999, max.nanoseconds());
  EXPECT_LT(min, max);
}

TEST(TimestampTest, FromTimePointFloorsNegativeValues) {
  Timestamp before = Timestamp::FromTimePoint(Micros(-1));
  EXPECT_EQ(-1, before.seconds());
  EXPECT_EQ(999999000, before.nanoseconds());

  Timestamp one_and_a_half = Timestamp::FromTimePoint(Micros(1500000));
  EXPECT_EQ(1, one_and_a_half.seconds());
  EXPECT_EQ(500000000, one_and_a_half.nanoseconds());

  Timestamp whole_negative = Timestamp::FromTimePoint(Micros(-2000000));
  EXPECT_EQ(-2, whole_negative.seconds());
  EXPECT_EQ(0, whole_negative.nanoseconds());

  Timestamp negative_fraction = Timestamp::FromTimePoint(Micros(-1500000));
  EXPECT_EQ(-2, negative_fraction.seconds());
  EXPECT_EQ(500000000, negative_fraction.nanoseconds());

  EXPECT_EQ(Timestamp(12, 0), Timestamp::FromTimeT(12));
}

TEST(TimestampTest, NowIsMicrosecondPrecise) {
  const auto before = std::chrono::system_clock::now();
  const Timestamp now = Timestamp::Now();
  const auto after = std::chrono::system_clock::now();
  EXPECT_EQ(0, now.nanoseconds() % 1000);
  const int64_t now_micros = now.seconds() * 1000000 + now.nanoseconds() / 1000;
  EXPECT_GE(
      now_micros + 1,
      std::chrono::duration_cast<std::chrono::microseconds>(before.time_since_epoch()).count());
  EXPECT_LE(
      now_micros,
      std::chrono::duration_cast<std::chrono::microseconds>(after.time_since_epoch()).count());
}

TEST(TimestampTest, OrderTextAndHash) {
  EXPECT_LT(Timestamp(1, 5), Timestamp(2, 0));
  EXPECT_LT(Timestamp(1, 5), Timestamp(1, 6));
  EXPECT_LT(Timestamp(-1, 999999999), Timestamp(0, 0));
  EXPECT_EQ(Timestamp(3, 4), Timestamp(3, 4));
  EXPECT_NE(Timestamp(3, 4), Timestamp(4, 3));

  EXPECT_EQ("Timestamp(seconds=0, nanoseconds=0)", Timestamp().ToString());
  EXPECT_EQ("Timestamp(seconds=-5, nanoseconds=12)", Timestamp(-5, 12).ToString());
  std::ostringstream out;
  out << Timestamp(7, 8);
  EXPECT_EQ("Timestamp(seconds=7, nanoseconds=8)", out.str());

  std::hash<Timestamp> hash;
  EXPECT_EQ(static_cast<size_t>(10 * 37 + 3), hash(Timestamp(10, 3)));
  EXPECT_EQ(static_cast<size_t>(-2) * 37 + 5, hash(Timestamp(-2, 5)));
}

TEST(SnapshotVersionTest, NoneAndOrder) {
  EXPECT_EQ(Timestamp(), SnapshotVersion::None().timestamp());
  EXPECT_EQ(&SnapshotVersion::None(), &SnapshotVersion::None());
  const SnapshotVersion v1(Timestamp(1, 0));
  const SnapshotVersion v2(Timestamp(1, 1));
  EXPECT_LT(SnapshotVersion::None(), v1);
  EXPECT_LT(v1, v2);
  EXPECT_EQ(v2, SnapshotVersion(Timestamp(1, 1)));
  EXPECT_NE(v1, v2);
  EXPECT_LT(SnapshotVersion(Timestamp(-1, 0)), SnapshotVersion::None());
}

TEST(DAVTimestampTest, ValueCompareHashAndDate) {
  const DAVTimestamp t = DAVTimestamp::timestampWithSeconds(1500000000, 250000000);
  EXPECT_EQ(1500000000, t.seconds());
  EXPECT_EQ(250000000, t.nanoseconds());
  EXPECT_EQ(Timestamp(1500000000, 250000000), t.internalValue());
  EXPECT_EQ(t, DAVTimestamp(1500000000, 250000000));
  EXPECT_NE(t, DAVTimestamp(1500000000, 250000001));

  EXPECT_EQ(ComparisonResult::Ascending, t.compare(DAVTimestamp(1500000001, 0)));
  EXPECT_EQ(ComparisonResult::Ascending, t.compare(DAVTimestamp(1500000000, 250000001)));
  EXPECT_EQ(ComparisonResult::Descending, t.compare(DAVTimestamp(-1, 999999999)));
  EXPECT_EQ(ComparisonResult::Same, t.compare(DAVTimestamp(1500000000, 250000000)));

  // seconds ^ (seconds >> 32) ^ nanoseconds
  const int64_t big = (int64_t{5} << 32) + 7;
  EXPECT_EQ(static_cast<size_t>(big ^ 5 ^ 9), DAVTimestamp(big, 9).Hash());
  EXPECT_EQ(static_cast<size_t>(int64_t{-2} ^ int64_t{-1} ^ 3), DAVTimestamp(-2, 3).Hash());
  EXPECT_EQ(t.Hash(), DAVTimestamp(1500000000, 250000000).Hash());

  EXPECT_DOUBLE_EQ(1500000000.25, t.dateValue().secondsSince1970);
  EXPECT_DOUBLE_EQ(-0.5, DAVTimestamp(-1, 500000000).dateValue().secondsSince1970);
  EXPECT_EQ("<DAVTimestamp: seconds=1500000000 nanoseconds=250000000>", t.ToString());
}

TEST(DAVTimestampTest, NowIsCurrent) {
  const auto before = std::chrono::system_clock::now();
  const DAVTimestamp now = DAVTimestamp::timestamp();
  const double expected = std::chrono::duration<double>(before.time_since_epoch()).count();
  EXPECT_NEAR(expected, now.dateValue().secondsSince1970, 5.0);
}

TEST(DAVGeoPointTest, CompareUsesDoubleOrderWithNaNFirst) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(ComparisonResult::Ascending, DAVGeoPoint(1, 5).compare(DAVGeoPoint(2, 0)));
  EXPECT_EQ(ComparisonResult::Descending, DAVGeoPoint(1, 5).compare(DAVGeoPoint(1, 4)));
  EXPECT_EQ(ComparisonResult::Same, DAVGeoPoint(1, 5).compare(DAVGeoPoint(1, 5)));
  EXPECT_EQ(ComparisonResult::Ascending, DAVGeoPoint(nan, 5).compare(DAVGeoPoint(-inf, 0)));
  EXPECT_EQ(ComparisonResult::Same, DAVGeoPoint(nan, nan).compare(DAVGeoPoint(nan, nan)));
  EXPECT_EQ(ComparisonResult::Same, DAVGeoPoint(0.0, 1).compare(DAVGeoPoint(-0.0, 1)));
}

TEST(DAVGeoPointTest, EqualityIsBitwiseAndHashFollowsIt) {
  const double nan1 = std::nan("1");
  const double nan2 = std::nan("2");
  EXPECT_EQ(DAVGeoPoint(1.5, -2), DAVGeoPoint(1.5, -2));
  EXPECT_EQ(DAVGeoPoint(nan1, 3), DAVGeoPoint(nan2, 3));
  EXPECT_EQ(DAVGeoPoint(nan1, 3).Hash(), DAVGeoPoint(nan2, 3).Hash());
  EXPECT_NE(DAVGeoPoint(0.0, 1), DAVGeoPoint(-0.0, 1));
  EXPECT_NE(DAVGeoPoint(1, 2), DAVGeoPoint(2, 1));

  using verorariv::util::DoubleBitwiseHash;
  EXPECT_EQ(31 * DoubleBitwiseHash(1.5) + DoubleBitwiseHash(-2.0), DAVGeoPoint(1.5, -2).Hash());
  EXPECT_NE(DAVGeoPoint(1, 2).Hash(), DAVGeoPoint(2, 1).Hash());
}

using TimestampDeathTest = testing::Test;

TEST(TimestampDeathTest, OutOfRangeValuesStop) {
  const std::string failure = "VERORARIV INTERNAL ASSERTION FAILED: ";
  EXPECT_DEATH(
      Timestamp(-62135596801, 0),
      HasSubstr(failure + "Timestamp seconds out of range: -62135596801 (expected seconds_ >= "
                          "-62135596800L)"));
  EXPECT_DEATH(
      Timestamp(253402300800, 0),
      HasSubstr(failure + "Timestamp seconds out of range: 253402300800 (expected seconds_ < "
                          "253402300800L)"));
  EXPECT_DEATH(
      Timestamp(0, -1),
      HasSubstr(failure + "Timestamp nanoseconds out of range: -1 (expected nanoseconds_ >= 0)"));
  EXPECT_DEATH(
      Timestamp(0, 1000000000),
      HasSubstr(failure +
                "Timestamp nanoseconds out of range: 1000000000 (expected nanoseconds_ < 1e9)"));
  // Nanoseconds are checked before seconds.
  EXPECT_DEATH(Timestamp(253402300800, -1), HasSubstr("Timestamp nanoseconds out of range: -1"));
}

}  // namespace
}  // namespace davedove
