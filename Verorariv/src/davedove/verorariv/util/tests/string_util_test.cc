#include "davedove/verorariv/util/string_util.h"

#include "gtest/gtest.h"

#include <typeinfo>

#include "davedove/verorariv/util/status.h"

struct VrvClassNameProbe {};

namespace davedove {
namespace verorariv {
namespace util {
namespace {

TEST(ClassNameTest, DemangledForFailureMessages) {
  EXPECT_EQ(ClassName(typeid(int)), "int");
  EXPECT_EQ(ClassName(typeid(VrvClassNameProbe)), "VrvClassNameProbe");
  EXPECT_EQ(ClassName(typeid(Status)), "davedove::verorariv::util::Status");
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
