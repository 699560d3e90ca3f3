#include "davedove/verorariv/util/comparison.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "davedove/verorariv/util/autoid.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double NaNWithPayload(uint64_t payload) {
  uint64_t bits = UINT64_C(0x7FF0000000000000) | payload;
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

TEST(ComparisonTest, StringsInUnsignedByteOrder) {
  Comparator<std::string> less;
  EXPECT_TRUE(less("", "a"));
  EXPECT_FALSE(less("", ""));
  EXPECT_TRUE(less("ab", "abc"));
  EXPECT_FALSE(less("abc", "ab"));
  EXPECT_TRUE(less("\x7f", "\x80"));
  EXPECT_FALSE(less("\x80", "\x7f"));
  EXPECT_TRUE(less(std::string("a\0", 2), "a\x01"));

  EXPECT_EQ(Compare<std::string>("a", "b"), ComparisonResult::Ascending);
  EXPECT_EQ(Compare<std::string>("b", "a"), ComparisonResult::Descending);
  EXPECT_EQ(Compare<std::string>("same", "same"), ComparisonResult::Same);
  EXPECT_EQ(Compare<absl::string_view>("\xff", "\x01"), ComparisonResult::Descending);
  EXPECT_EQ(Compare<int>(1, 2), ComparisonResult::Ascending);
}

TEST(ComparisonTest, DoubleOrderPutsNaNFirst) {
  Comparator<double> less;
  EXPECT_TRUE(less(kNaN, -kInf));
  EXPECT_FALSE(less(-kInf, kNaN));
  EXPECT_FALSE(less(kNaN, kNaN));
  EXPECT_FALSE(less(-0.0, 0.0));
  EXPECT_FALSE(less(0.0, -0.0));
  EXPECT_TRUE(less(-1.0, 1.0));
  EXPECT_EQ(Compare<double>(kNaN, NaNWithPayload(5)), ComparisonResult::Same);
  EXPECT_EQ(Compare<double>(-0.0, 0.0), ComparisonResult::Same);
  EXPECT_EQ(Compare<double>(kInf, 1e308), ComparisonResult::Descending);
}

TEST(ComparisonTest, MixedNumbers) {
  EXPECT_EQ(CompareMixedNumber(2.5, 2), ComparisonResult::Descending);
  EXPECT_EQ(CompareMixedNumber(-2.5, -2), ComparisonResult::Ascending);
  EXPECT_EQ(CompareMixedNumber(2.0, 2), ComparisonResult::Same);
  EXPECT_EQ(CompareMixedNumber(kNaN, INT64_MIN), ComparisonResult::Ascending);
  EXPECT_EQ(CompareMixedNumber(kNaN, 0), ComparisonResult::Ascending);
  EXPECT_EQ(CompareMixedNumber(9223372036854775808.0, INT64_MAX), ComparisonResult::Descending);
  EXPECT_EQ(CompareMixedNumber(-kInf, INT64_MIN), ComparisonResult::Ascending);
  EXPECT_EQ(CompareMixedNumber(-9223372036854775808.0, INT64_MIN), ComparisonResult::Same);
  EXPECT_EQ(CompareMixedNumber(1.0, 2), ComparisonResult::Ascending);
  // 2^53 + 1 is not a double; the integer part decides exactly.
  EXPECT_EQ(CompareMixedNumber(9007199254740992.0, 9007199254740993), ComparisonResult::Ascending);
  EXPECT_EQ(CompareMixedNumber(-0.5, 0), ComparisonResult::Ascending);
  EXPECT_EQ(CompareMixedNumber(0.5, 0), ComparisonResult::Descending);
}

TEST(ComparisonTest, BitwiseEqualityAndHash) {
  EXPECT_FALSE(DoubleBitwiseEquals(0.0, -0.0));
  EXPECT_TRUE(DoubleBitwiseEquals(1.5, 1.5));
  double nan1 = NaNWithPayload(1);
  double nan2 = NaNWithPayload(UINT64_C(0x8000000000001));
  ASSERT_TRUE(std::isnan(nan1) && std::isnan(nan2));
  EXPECT_TRUE(DoubleBitwiseEquals(nan1, nan2));
  EXPECT_EQ(DoubleBitwiseHash(nan1), DoubleBitwiseHash(nan2));
  EXPECT_EQ(DoubleBits(nan1), UINT64_C(0x7FF8000000000000));
  EXPECT_EQ(DoubleBits(-0.0), UINT64_C(0x8000000000000000));
  uint64_t one = DoubleBits(1.0);
  EXPECT_EQ(DoubleBitwiseHash(1.0), static_cast<size_t>(one ^ (one >> 32)));
}

TEST(AutoIdTest, TwentyCharactersFromTheAlphabet) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string previous;
  int seen[128] = {};
  for (int i = 0; i < 2000; i++) {
    std::string id = CreateAutoId();
    ASSERT_EQ(id.size(), 20u);
    for (char c : id) {
      ASSERT_NE(alphabet.find(c), std::string::npos) << id;
      seen[static_cast<unsigned char>(c)]++;
    }
    EXPECT_NE(id, previous);
    previous = id;
  }
  // 40000 draws over 62 characters: every character shows up, none dominates.
  for (char c : alphabet) {
    EXPECT_GT(seen[static_cast<unsigned char>(c)], 400) << c;
    EXPECT_LT(seen[static_cast<unsigned char>(c)], 900) << c;
  }
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
