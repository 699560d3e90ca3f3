#include <gtest/gtest.h>

#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"

using namespace platform;

TEST(Error, DescriptionDefaultsAndUserInfo) {
  Error plain("VRLTestDomain", 17);
  EXPECT_EQ(plain.localizedDescription(), "The operation couldn't be completed. (VRLTestDomain error 17.)");
  EXPECT_EQ(plain.localizedFailureReason(), "");
  EXPECT_EQ(plain.underlyingError(), nullptr);
  EXPECT_NE(plain.description().find("Domain=VRLTestDomain Code=17"), std::string::npos);

  Error negative("D", -1);
  EXPECT_EQ(negative.localizedDescription(), "The operation couldn't be completed. (D error -1.)");

  Error described("D", 2, {{kLocalizedDescriptionKey, "Something failed."}, {kLocalizedFailureReasonKey, "Because."}});
  EXPECT_EQ(described.localizedDescription(), "Something failed.");
  EXPECT_EQ(described.localizedFailureReason(), "Because.");
  EXPECT_NE(described.description().find("\"Something failed.\""), std::string::npos);

  // A description of the wrong kind falls back to the default text.
  Error wrongKind("D", 3, {{kLocalizedDescriptionKey, 5}});
  EXPECT_EQ(wrongKind.localizedDescription(), "The operation couldn't be completed. (D error 3.)");
}

TEST(Error, UnderlyingErrorBothWays) {
  auto inner = makeError("Inner", 1, "inner text");
  Error outer("Outer", 2, {}, inner);
  EXPECT_EQ(outer.underlyingError(), inner);
  const Value& stored = outer.userInfo().at(kUnderlyingErrorKey);
  auto obj = std::dynamic_pointer_cast<const ErrorObject>(stored.asObject());
  ASSERT_TRUE(obj);
  EXPECT_EQ(obj->error, inner);

  // Given only through user info, it is found as the underlying error too.
  Error viaInfo("Outer", 3, {{kUnderlyingErrorKey, Value(std::shared_ptr<const Object>(obj))}});
  EXPECT_EQ(viaInfo.underlyingError(), inner);
  EXPECT_EQ(makeError("X", 1)->userInfo().count(kLocalizedDescriptionKey), 0u);
}

TEST(Exception, NameReasonAndWhat) {
  try {
    raise(kInvalidArgumentException, "Collection path cannot be nil.");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "NSInvalidArgumentException");
    EXPECT_EQ(e.reason(), "Collection path cannot be nil.");
    EXPECT_STREQ(e.what(), "NSInvalidArgumentException: Collection path cannot be nil.");
  }
  try {
    raiseFormat("CustomName", "Invalid path (%@). Paths must not contain // in them.", {"a//b"});
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "CustomName: Invalid path (a//b). Paths must not contain // in them.");
  }
}

TEST(Exception, FormatObjC) {
  EXPECT_EQ(formatObjC("App named %@ has already been configured.", {"x"}),
            "App named x has already been configured.");
  EXPECT_EQ(formatObjC("%@ and %s then %d, %ld, %lu, %lld.", {"a", "b", "1", "-2", "3", "4"}),
            "a and b then 1, -2, 3, 4.");
  EXPECT_EQ(formatObjC("100%% of %@", {"it"}), "100% of it");
  EXPECT_EQ(formatObjC("%%@ is literal", {"unused"}), "%@ is literal");
  // Missing arguments keep the conversion; unknown ones stay as text.
  EXPECT_EQ(formatObjC("%@ %@", {"one"}), "one %@");
  EXPECT_EQ(formatObjC("50% done %@", {"now"}), "50% done now");
  EXPECT_EQ(formatObjC("trailing %", {}), "trailing %");
  // An argument that itself contains a conversion is not expanded again.
  EXPECT_EQ(formatObjC("%@ %@", {"%@", "b"}), "%@ b");
}
