#include "platform/foundation/Base64.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Base64Test, StandardVectorsRoundTrip) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(plain), encoded);
    auto decoded = base64Decode(encoded);
    ASSERT_TRUE(decoded.has_value()) << encoded;
    EXPECT_EQ(*decoded, plain);
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(base64Decode(base64Encode(all)), all);
  EXPECT_EQ(base64URLDecode(base64URLEncode(all)), all);
}

TEST(Base64Test, URLSafeAlphabetAndPadding) {
  const std::string bytes("\xfb\xff", 2);
  EXPECT_EQ(base64Encode(bytes), "+/8=");
  EXPECT_EQ(base64URLEncode(bytes), "-_8");
  EXPECT_EQ(base64URLEncode(bytes, true), "-_8=");
  EXPECT_EQ(base64URLDecode("-_8"), bytes);
  EXPECT_EQ(base64URLDecode("-_8="), bytes);
  EXPECT_FALSE(base64URLDecode("+/8=").has_value());
  EXPECT_FALSE(base64Decode("-_8=").has_value());
}

TEST(Base64Test, RejectsMalformedText) {
  EXPECT_FALSE(base64Decode("Zg=").has_value());     // length not a multiple of 4
  EXPECT_FALSE(base64Decode("Zg").has_value());      // strict form wants padding
  EXPECT_FALSE(base64Decode("Z===").has_value());    // too much padding
  EXPECT_FALSE(base64Decode("Zm=v").has_value());    // padding inside
  EXPECT_FALSE(base64Decode("Zh==").has_value());    // stray low bits
  EXPECT_FALSE(base64Decode("Zm9v\nYmFy").has_value());
  EXPECT_FALSE(base64URLDecode("Z").has_value());
  EXPECT_FALSE(base64URLDecode("Zg=").has_value());
}

TEST(Base64Test, IgnoringUnknownCharactersSkipsThem) {
  EXPECT_EQ(base64Decode("Zm9v\nYmFy", true), "foobar");
  EXPECT_EQ(base64Decode(" Zm9v*YmE= \n", true), "fooba");
  EXPECT_EQ(base64Decode("Zg==\n", true), "f");
  // What is left after skipping must still be whole groups.
  EXPECT_FALSE(base64Decode("Zm9v!Y", true).has_value());
}

}  // namespace
}  // namespace platform
