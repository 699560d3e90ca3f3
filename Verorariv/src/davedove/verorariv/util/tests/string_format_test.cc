#include "davedove/verorariv/util/string_format.h"

#include <cstdint>
#include <memory>
#include <string>

#include "davedove/verorariv/util/string_util.h"
#include "davedove/verorariv/util/verorariv_error_code.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

struct Described {
  std::string description() const { return "<described>"; }
};

enum class Small { Three = 3 };

TEST(StringFormatTest, PlaceholdersAndBadDirectives) {
  EXPECT_EQ(StringFormat("a%sb%sc", "x", "y"), "axbyc");
  EXPECT_EQ(StringFormat("a%sb%sc", "x"), "axb<missing>c");
  EXPECT_EQ(StringFormat("100%%"), "100%");
  EXPECT_EQ(StringFormat("50%"), "50%");
  EXPECT_EQ(StringFormat("%d"), "<invalid>");
  EXPECT_EQ(StringFormat("%d%s", "x"), "<invalid>x");
  EXPECT_EQ(StringFormat("%s", "used", "left over"), "used");
  EXPECT_EQ(StringFormat("no placeholders"), "no placeholders");
  EXPECT_EQ(StringFormat(""), "");
}

TEST(StringFormatTest, ArgumentConversions) {
  EXPECT_EQ(StringFormat("%s %s %s", 42, -7, UINT64_MAX), "42 -7 18446744073709551615");
  EXPECT_EQ(StringFormat("%s", INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(StringFormat("%s", VerorarivErrorCode::NotFound), "5");
  EXPECT_EQ(StringFormat("%s", Small::Three), "3");

  std::string bytes("a\0b", 3);
  EXPECT_EQ(StringFormat("[%s]", bytes), std::string("[a\0b]", 5));
  EXPECT_EQ(StringFormat("%s", absl::string_view("view")), "view");

  const char* null_text = nullptr;
  EXPECT_EQ(StringFormat("%s", null_text), "null");

  Described object;
  EXPECT_EQ(StringFormat("%s", object), "<described>");
  auto shared = std::make_shared<const Described>();
  EXPECT_EQ(StringFormat("%s", shared), "<described>");
  std::shared_ptr<const Described> none;
  EXPECT_EQ(StringFormat("%s", none), "null");

  EXPECT_EQ(StringFormat("%s (errno %s: %s)", std::string("open"), 2, "No such file"),
            "open (errno 2: No such file)");
}

TEST(StringUtilTest, Successors) {
  EXPECT_EQ(PrefixSuccessor("a\xff"), "b");
  EXPECT_EQ(PrefixSuccessor("\xff\xff"), "");
  EXPECT_EQ(PrefixSuccessor(""), "");
  EXPECT_EQ(PrefixSuccessor("ab"), "ac");
  EXPECT_EQ(ImmediateSuccessor("abc"), std::string("abc\0", 4));
  EXPECT_EQ(ImmediateSuccessor(""), std::string(1, '\0'));
  EXPECT_EQ(MakeString(""), "");
  EXPECT_EQ(MakeString("grüße"), "grüße");
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
