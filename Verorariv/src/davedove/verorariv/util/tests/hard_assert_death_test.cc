// Every way the utilities stop the process, in one death-test suite.
#include <string>

#include "davedove/verorariv/util/directory_iterator.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/ordered_code.h"
#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/util/statusor.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

class UtilDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(UtilDeathTest, HardAssertMessages) {
  int value = 3;
  EXPECT_DEATH(HARD_ASSERT(value == 4), "VERORARIV INTERNAL ASSERTION FAILED: value == 4\n");
  EXPECT_DEATH(HARD_ASSERT(value == 4, "value was %s", value),
               "VERORARIV INTERNAL ASSERTION FAILED: value was 3 \\(expected value == 4\\)");
  EXPECT_DEATH(HARD_FAIL("gave up on %s", "x"), "VERORARIV INTERNAL ASSERTION FAILED: gave up on x\n");
  EXPECT_DEATH(internal::Fail("f.cc", "void f()", 7, "", "x"),
               "VERORARIV INTERNAL ASSERTION FAILED: x\n");
  EXPECT_DEATH(internal::Fail("f.cc", "void f()", 7, "m", "x"),
               "VERORARIV INTERNAL ASSERTION FAILED: m \\(expected x\\)");
  HARD_ASSERT(value == 3, "not reached");  // a true condition does nothing
}

TEST_F(UtilDeathTest, StatusMisuse) {
  EXPECT_DEATH(Status(VerorarivErrorCode::Ok, "no"),
               "ASSERTION FAILED: code != VerorarivErrorCode::Ok\n");
  EXPECT_DEATH(StatusOr<int>{Status()},
               "An OK status is not a valid constructor argument to StatusOr<T>");
  StatusOr<int> failed(Status(VerorarivErrorCode::NotFound, "gone"));
  EXPECT_DEATH(failed.value(), "Attempting to fetch value instead of handling error Not found: gone");
  EXPECT_DEATH(StatusCheckOpHelperOutOfLine(Status(), "x"), "ASSERTION FAILED: !v.ok\\(\\)\n");
  EXPECT_DEATH(STATUS_CHECK_OK(Status(VerorarivErrorCode::Internal, "broken")),
               "Non-OK-status: Status\\(VerorarivErrorCode::Internal, \"broken\"\\) status: "
               "Internal: broken");
}

TEST_F(UtilDeathTest, IteratorMisuse) {
  auto it = DirectoryIterator::Create(Path::FromUtf8("/nonexistent-vrv-dir"));
  EXPECT_DEATH(it->Next(), "Next\\(\\) called on invalid iterator \\(expected Valid\\(\\)\\)");
  EXPECT_DEATH(it->file(), "file\\(\\) called on invalid iterator \\(expected Valid\\(\\)\\)");
}

TEST_F(UtilDeathTest, NonCanonicalNumbers) {
  std::string long_five("\xc0\x05", 2);
  absl::string_view src(long_five);
  int64_t value;
  EXPECT_DEATH(OrderedCode::ReadSignedNumIncreasing(&src, &value),
               "len == static_cast<size_t>\\( SignedEncodingLength\\(static_cast<int64_t>\\(x\\)\\)\\)");

  std::string leading_zero("\x02\x00\x05", 3);
  absl::string_view unsigned_src(leading_zero);
  uint64_t unsigned_value;
  EXPECT_DEATH(OrderedCode::ReadNumIncreasing(&unsigned_src, &unsigned_value),
               "0 == len \\|\\| src->size\\(\\) == 1 \\|\\| \\(\\*src\\)\\[1\\] != '\\\\0'");
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
