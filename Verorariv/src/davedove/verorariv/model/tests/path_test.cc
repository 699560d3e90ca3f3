#include <string>
#include <vector>

#include "davedove/verorariv/model/field_path.h"
#include "davedove/verorariv/model/resource_path.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;

std::vector<std::string> Segments(const ResourcePath& path) { return {path.begin(), path.end()}; }
std::vector<std::string> Segments(const FieldPath& path) { return {path.begin(), path.end()}; }

const char kFailure[] = "VERORARIV INTERNAL ASSERTION FAILED: ";

TEST(ResourcePathTest, FromStringSplitsAndIgnoresOuterSlashes) {
  EXPECT_TRUE(ResourcePath::FromString("").empty());
  EXPECT_TRUE(ResourcePath::FromString("/").empty());
  EXPECT_THAT(Segments(ResourcePath::FromString("/rooms/eros/")), ElementsAre("rooms", "eros"));
  EXPECT_THAT(Segments(ResourcePath::FromString("rooms/eros/messages")),
              ElementsAre("rooms", "eros", "messages"));
  // No escapes: backslashes and dots are ordinary bytes.
  EXPECT_THAT(Segments(ResourcePath::FromString("a\\b/c.d")), ElementsAre("a\\b", "c.d"));
}

TEST(ResourcePathTest, CanonicalStringRoundTrips) {
  EXPECT_EQ("", ResourcePath{}.CanonicalString());
  EXPECT_EQ("rooms/eros/messages",
            ResourcePath::FromString("/rooms/eros/messages/").CanonicalString());
  ResourcePath path{"a", "b", "c"};
  EXPECT_EQ(path, ResourcePath::FromString(path.CanonicalString()));
}

TEST(ResourcePathTest, AccessAndDerivedPaths) {
  const ResourcePath path{"rooms", "eros", "messages"};
  EXPECT_EQ(3u, path.size());
  EXPECT_EQ("eros", path[1]);
  EXPECT_EQ("rooms", path.first_segment());
  EXPECT_EQ("messages", path.last_segment());
  EXPECT_EQ((ResourcePath{"eros", "messages"}), path.PopFirst());
  EXPECT_EQ((ResourcePath{"messages"}), path.PopFirst(2));
  EXPECT_TRUE(path.PopFirst(3).empty());
  EXPECT_EQ((ResourcePath{"rooms", "eros"}), path.PopLast());
  EXPECT_EQ((ResourcePath{"rooms", "eros", "messages", "x", "y"}),
            path.Append(ResourcePath{"x", "y"}));
  EXPECT_EQ(path, path.Append(ResourcePath{}));
  // The original stays as it was.
  EXPECT_EQ((ResourcePath{"rooms", "eros", "messages"}), path);
}

TEST(ResourcePathTest, IsPrefixOf) {
  const ResourcePath ab{"a", "b"};
  EXPECT_TRUE(ResourcePath{}.IsPrefixOf(ab));
  EXPECT_TRUE(ResourcePath{}.IsPrefixOf(ResourcePath{}));
  EXPECT_TRUE(ab.IsPrefixOf(ab));
  EXPECT_TRUE((ResourcePath{"a"}).IsPrefixOf(ab));
  EXPECT_FALSE(ab.IsPrefixOf(ResourcePath{"a"}));
  EXPECT_FALSE((ResourcePath{"b"}).IsPrefixOf(ab));
  EXPECT_FALSE((ResourcePath{"a", "c"}).IsPrefixOf(ResourcePath{"a", "b", "c"}));
}

TEST(ResourcePathTest, OrderIsBytewiseSegmentBySegment) {
  const ResourcePath a{"a"};
  const ResourcePath ab{"a", "b"};
  const ResourcePath b{"b"};
  EXPECT_LT(a, ab);
  EXPECT_LT(ab, b);
  EXPECT_LT(a, b);
  EXPECT_FALSE(ab < a);
  EXPECT_FALSE(a < a);
  EXPECT_LT((ResourcePath{"A"}), (ResourcePath{"a"}));
  // Segments compare as whole strings, not as the joined text ("a/b" vs "a-b": '/' > '-').
  EXPECT_LT((ResourcePath{"a", "b"}), (ResourcePath{"a-b"}));
  EXPECT_LT((ResourcePath{std::string("\x7f")}), (ResourcePath{std::string("\x80")}));
  EXPECT_LT((ResourcePath{"ab"}), (ResourcePath{"abc"}));
}

TEST(ResourcePathTest, HashCombinesSegmentsAndCount) {
  std::hash<std::string> h;
  EXPECT_EQ(0u, ResourcePath{}.Hash());
  EXPECT_EQ(31 * h("a") + 1, (ResourcePath{"a"}).Hash());
  EXPECT_EQ(31 * (31 * h("a") + h("b")) + 2, (ResourcePath{"a", "b"}).Hash());
  EXPECT_NE((ResourcePath{"a", "b"}).Hash(), (ResourcePath{"b", "a"}).Hash());
}

TEST(FieldPathTest, FromServerFormatSplitsOnDots) {
  EXPECT_THAT(Segments(FieldPath::FromServerFormat("foo")), ElementsAre("foo"));
  EXPECT_THAT(Segments(FieldPath::FromServerFormat("foo.bar")), ElementsAre("foo", "bar"));
  EXPECT_THAT(Segments(FieldPath::FromServerFormat("`foo.bar`.baz")),
              ElementsAre("foo.bar", "baz"));
  EXPECT_THAT(Segments(FieldPath::FromServerFormat("foo\\.bar")), ElementsAre("foo.bar"));
  EXPECT_THAT(Segments(FieldPath::FromServerFormat("a\\\\b.`c\\`d`")), ElementsAre("a\\b", "c`d"));
  EXPECT_THAT(Segments(FieldPath::FromServerFormat("`a`.b")), ElementsAre("a", "b"));
  EXPECT_THAT(Segments(FieldPath::FromServerFormat(std::string("foo\0bar", 7))),
              ElementsAre("foo"));
}

TEST(FieldPathTest, CanonicalStringQuotesNonIdentifiers) {
  EXPECT_EQ("", FieldPath{}.CanonicalString());
  EXPECT_EQ("a.b", (FieldPath{"a", "b"}).CanonicalString());
  EXPECT_EQ("`a.b`", (FieldPath{"a.b"}).CanonicalString());
  EXPECT_EQ("`1a`", (FieldPath{"1a"}).CanonicalString());
  EXPECT_EQ("_a1.B_2", (FieldPath{"_a1", "B_2"}).CanonicalString());
  EXPECT_EQ("``", (FieldPath{""}).CanonicalString());
  EXPECT_EQ("`a\\`b`", (FieldPath{"a`b"}).CanonicalString());
  EXPECT_EQ("`a\\\\b`", (FieldPath{"a\\b"}).CanonicalString());
  EXPECT_EQ("`a b`.`é`", (FieldPath{"a b", "é"}).CanonicalString());
}

TEST(FieldPathTest, CanonicalStringParsesBack) {
  for (const FieldPath& path : {FieldPath{"a", "b"}, FieldPath{"a.b", "c"}, FieldPath{"x`y", "z\\"},
                                FieldPath{"__name__"}, FieldPath{"9", "a b.c"}}) {
    EXPECT_EQ(path, FieldPath::FromServerFormat(path.CanonicalString())) << path.CanonicalString();
  }
}

TEST(FieldPathTest, SharedPathsAndKeyFieldPath) {
  EXPECT_TRUE(FieldPath::EmptyPath().empty());
  EXPECT_EQ(&FieldPath::EmptyPath(), &FieldPath::EmptyPath());
  EXPECT_THAT(Segments(FieldPath::KeyFieldPath()), ElementsAre("__name__"));
  EXPECT_EQ(&FieldPath::KeyFieldPath(), &FieldPath::KeyFieldPath());
  EXPECT_TRUE(FieldPath::KeyFieldPath().IsKeyFieldPath());
  EXPECT_TRUE(FieldPath::FromServerFormat("__name__").IsKeyFieldPath());
  EXPECT_FALSE((FieldPath{"__name__", "a"}).IsKeyFieldPath());
  EXPECT_FALSE((FieldPath{"__NAME__"}).IsKeyFieldPath());
  EXPECT_FALSE(FieldPath{}.IsKeyFieldPath());
}

using PathDeathTest = testing::Test;

TEST(PathDeathTest, BasePathBounds) {
  const ResourcePath path{"a", "b"};
  const ResourcePath empty;
  EXPECT_DEATH(path[2], HasSubstr(std::string(kFailure) +
                                  "index 2 out of range (expected i < segments_.size())"));
  EXPECT_DEATH(empty.first_segment(),
               HasSubstr("Cannot call first_segment on empty path (expected !empty())"));
  EXPECT_DEATH(empty.last_segment(),
               HasSubstr("Cannot call last_segment on empty path (expected !empty())"));
  EXPECT_DEATH(path.PopFirst(3),
               HasSubstr("Cannot call PopFirst(3) on path of length 2 (expected n <= size())"));
  EXPECT_DEATH(empty.PopLast(),
               HasSubstr("Cannot call PopLast() on empty path (expected !empty())"));
}

TEST(PathDeathTest, ResourcePathDoubleSlash) {
  EXPECT_DEATH(ResourcePath::FromString("a//b"),
               HasSubstr(std::string(kFailure) +
                         "Invalid path (a//b). Paths must not contain // in them. (expected "
                         "path.find(\"//\") == std::string::npos)"));
}

TEST(PathDeathTest, FieldPathFromServerFormat) {
  const std::string invalid =
      ". Paths must not be empty, begin with '.', end with '.', or contain '..' (expected "
      "!segment.empty())";
  EXPECT_DEATH(FieldPath::FromServerFormat(""),
               HasSubstr(std::string(kFailure) + "Invalid field path ()" + invalid));
  EXPECT_DEATH(FieldPath::FromServerFormat(".a"), HasSubstr("Invalid field path (.a)" + invalid));
  EXPECT_DEATH(FieldPath::FromServerFormat("a."), HasSubstr("Invalid field path (a.)" + invalid));
  EXPECT_DEATH(FieldPath::FromServerFormat("a..b"),
               HasSubstr("Invalid field path (a..b)" + invalid));
  EXPECT_DEATH(FieldPath::FromServerFormat("a\\"),
               HasSubstr("Trailing escape characters not allowed in a\\ (expected i + 1 != "
                         "path.size())"));
  EXPECT_DEATH(FieldPath::FromServerFormat("`a.b"),
               HasSubstr("Unterminated ` in path `a.b (expected !inside_backticks)"));
}

}  // namespace
}  // namespace model
}  // namespace verorariv
}  // namespace davedove
