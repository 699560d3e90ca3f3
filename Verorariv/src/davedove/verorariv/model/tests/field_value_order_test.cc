// The one total order of field values across and within kinds.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace {

using namespace testutil;  // NOLINT
using util::ComparisonResult;

// Every group sorts before every later group; members of one group compare the same.
void ExpectOrderedGroups(const std::vector<std::vector<FieldValuePtr>>& groups) {
  for (size_t i = 0; i < groups.size(); ++i) {
    for (size_t j = 0; j < groups.size(); ++j) {
      ComparisonResult expected = i < j   ? ComparisonResult::Ascending
                                  : i > j ? ComparisonResult::Descending
                                          : ComparisonResult::Same;
      for (const FieldValuePtr& left : groups[i]) {
        for (const FieldValuePtr& right : groups[j]) {
          EXPECT_EQ(expected, left->compare(*right))
              << "group " << i << " " << left->ToString() << " vs group " << j << " "
              << right->ToString();
        }
      }
    }
  }
}

TEST(FieldValueOrderTest, KindsSortByTypeOrder) {
  ExpectOrderedGroups({
      {Null()},
      {Bool(false)},
      {Bool(true)},
      {Dbl(std::nan(""))},
      {Dbl(-std::numeric_limits<double>::infinity())},
      {Int(0), Dbl(0.0), Dbl(-0.0)},
      {Ts(-62135596800, 0)},
      {Ts(253402300799, 999999999)},
      {ServerTs(0)},
      {Str("")},
      {Str("\xF4\x8F\xBF\xBF")},
      {Blob("")},
      {Blob("\xFF\xFF")},
      {Ref("p", "d", "c/a")},
      {Geo(-90, -180)},
      {Geo(90, 180)},
      {Arr({})},
      {Arr({Obj({{"z", Int(1)}})})},
      {Obj()},
  });
}

TEST(FieldValueOrderTest, MixedIntegersAndDoublesCompareExactly) {
  const double two63 = 9223372036854775808.0;  // 2^63
  const int64_t max = std::numeric_limits<int64_t>::max();
  const int64_t min = std::numeric_limits<int64_t>::min();
  ExpectOrderedGroups({
      {Dbl(std::nan("")), Dbl(-std::nan(""))},
      {Dbl(-std::numeric_limits<double>::infinity())},
      {Dbl(-2 * two63)},
      {Int(min), Dbl(-two63)},
      {Int(min + 1)},
      {Int(-1), Dbl(-1.0)},
      {Int(0), Dbl(0.0), Dbl(-0.0)},
      {Int(1), Dbl(1.0)},
      {Dbl(1.5)},
      {Int(2)},
      {Int((int64_t{1} << 53)), Dbl(9007199254740992.0)},
      {Int((int64_t{1} << 53) + 1)},
      {Dbl(9223372036854774784.0), Int(9223372036854774784)},  // largest double below 2^63
      {Int(max - 1)},
      {Int(max)},
      {Dbl(two63)},
      {Dbl(std::numeric_limits<double>::infinity())},
  });
}

TEST(FieldValueOrderTest, NaNAndSignedZero) {
  FieldValuePtr nan = Dbl(std::nan(""));
  FieldValuePtr other_nan = Dbl(-std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(VRVDoubleValue::nanValue(), nan);
  EXPECT_EQ(VRVDoubleValue::nanValue(), other_nan);
  EXPECT_TRUE(nan->isEqual(*other_nan));
  EXPECT_EQ(ComparisonResult::Same, nan->compare(*other_nan));
  EXPECT_EQ(ComparisonResult::Ascending, nan->compare(*Int(std::numeric_limits<int64_t>::min())));
  EXPECT_EQ(ComparisonResult::Descending,
            Int(std::numeric_limits<int64_t>::min())->compare(*nan));

  FieldValuePtr zero = Dbl(0.0);
  FieldValuePtr negative_zero = Dbl(-0.0);
  EXPECT_EQ(ComparisonResult::Same, zero->compare(*negative_zero));
  EXPECT_FALSE(zero->isEqual(*negative_zero));
  EXPECT_NE(zero->Hash(), negative_zero->Hash());

  // Same in the order, yet never equal across the two number classes.
  EXPECT_EQ(ComparisonResult::Same, Int(1)->compare(*Dbl(1.0)));
  EXPECT_FALSE(Int(1)->isEqual(*Dbl(1.0)));
  EXPECT_FALSE(Dbl(1.0)->isEqual(*Int(1)));
}

TEST(FieldValueOrderTest, StringsSortByCodePoint) {
  ExpectOrderedGroups({
      {Str("")},
      {Str("a")},
      {Str("ab")},
      {Str("b")},
      {Str("\x7F")},
      {Str("\xC2\x80")},          // U+0080 after U+007F: bytes compare unsigned
      {Str("\xEF\xBF\xBD")},      // U+FFFD
      {Str("\xF0\x9F\x98\x80")},  // U+1F600 after U+FFFD, unlike UTF-16 order
  });
}

TEST(FieldValueOrderTest, TimestampsAndPendingServerTimestamps) {
  ExpectOrderedGroups({
      {Ts(100, 0)},
      {Ts(100, 1)},
      {Ts(253402300799, 999999999)},
      {ServerTs(5, Int(1)), ServerTs(5, nullptr)},
      {ServerTs(6)},
  });
  EXPECT_TRUE(ServerTs(5, Int(1))->isEqual(*ServerTs(5, Str("other"))));
  EXPECT_FALSE(ServerTs(5)->isEqual(*ServerTs(6)));
  EXPECT_FALSE(ServerTs(5)->isEqual(*Ts(5)));
}

TEST(FieldValueOrderTest, BlobsReferencesAndGeoPoints) {
  ExpectOrderedGroups({
      {Blob("")},
      {Blob(std::string("\x01\x01\xFF", 3))},
      {Blob(std::string("\x01\x02", 2))},
      {Blob(std::string("\x01\x02\x00", 3))},
      {Blob(std::string("\x80", 1))},
  });
  ExpectOrderedGroups({
      {Ref("p", "d", "c/a")},
      {Ref("p", "d", "c/a/sub/x")},
      {Ref("p", "d", "c/b")},
      {Ref("p", "e", "a/a")},
      {Ref("pp", "a", "a/a")},
  });
  ExpectOrderedGroups({
      {Geo(std::nan(""), 0)},
      {Geo(-1, 5), Geo(-1, 5)},
      {Geo(0, std::nan(""))},
      {Geo(0, -0.5)},
      {Geo(0, 0), Geo(-0.0, -0.0)},
      {Geo(1, -100)},
  });
}

TEST(FieldValueOrderTest, ArraysAndObjects) {
  ExpectOrderedGroups({
      {Arr({})},
      {Arr({Null()})},
      {Arr({Int(1), Int(1), Int(5)})},
      {Arr({Int(1), Int(2)}), Arr({Dbl(1.0), Int(2)})},
      {Arr({Int(1), Int(2), Int(0)})},
      {Arr({Int(1), Str("a")})},
  });
  ExpectOrderedGroups({
      {Obj()},
      {Obj({{"a", Int(1)}})},
      {Obj({{"a", Int(1)}, {"b", Int(0)}})},
      {Obj({{"a", Int(1)}, {"z", Int(9)}})},
      {Obj({{"a", Int(2)}})},
      {Obj({{"b", Int(0)}})},
  });
}

TEST(FieldValueOrderTest, ObjectKeysCompareInPlatformStringOrder) {
  // Entries are arranged by UTF-8 bytes (U+FFFD before U+1F600), but keys of two objects are
  // compared in UTF-16 order, where the surrogate pair of U+1F600 sorts before U+FFFD.
  ObjectValuePtr astral = Obj({{"\xF0\x9F\x98\x80", Int(0)}});
  ObjectValuePtr replacement = Obj({{"\xEF\xBF\xBD", Int(0)}});
  EXPECT_EQ(ComparisonResult::Ascending, astral->compare(*replacement));
  EXPECT_EQ(ComparisonResult::Descending, replacement->compare(*astral));
  EXPECT_EQ(ComparisonResult::Descending, Str("\xF0\x9F\x98\x80")->compare(*Str("\xEF\xBF\xBD")));

  ObjectValuePtr both = Obj({{"\xF0\x9F\x98\x80", Int(0)}, {"\xEF\xBF\xBD", Int(0)}});
  std::vector<std::string> keys;
  both->internalValue()->enumerateKeysAndObjectsUsingBlock(
      [&](const std::string& key, const FieldValuePtr&, bool*) { keys.push_back(key); });
  EXPECT_EQ((std::vector<std::string>{"\xEF\xBF\xBD", "\xF0\x9F\x98\x80"}), keys);
}

class FieldValueOrderDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FieldValueOrderDeathTest, DefaultCompareRefusesValuesOfOneKind) {
  EXPECT_EQ(ComparisonResult::Ascending, Null()->defaultCompare(*Int(1)));
  EXPECT_EQ(ComparisonResult::Descending, Obj()->defaultCompare(*Arr({})));
  EXPECT_DEATH(Int(1)->defaultCompare(*Dbl(2.0)),
               "defaultCompare should not be used for values of same type. \\(expected "
               "self.typeOrder < other.typeOrder\\)");
}

}  // namespace
}  // namespace model
}  // namespace verorariv
}  // namespace davedove
