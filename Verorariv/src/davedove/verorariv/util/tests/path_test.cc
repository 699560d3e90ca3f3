#include "davedove/verorariv/util/path.h"

#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

std::string Str(const Path& p) { return p.ToUtf8String(); }

TEST(PathTest, Append) {
  EXPECT_EQ(Str(Path::FromUtf8("a/b").AppendUtf8("c")), "a/b/c");
  EXPECT_EQ(Str(Path::FromUtf8("a/b/").AppendUtf8("c")), "a/b/c");
  EXPECT_EQ(Str(Path::FromUtf8("a/b///").AppendUtf8("c")), "a/b/c");
  EXPECT_EQ(Str(Path::FromUtf8("/").AppendUtf8("c")), "/c");
  EXPECT_EQ(Str(Path::FromUtf8("//").AppendUtf8("c")), "//c");
  EXPECT_EQ(Str(Path::FromUtf8("").AppendUtf8("c")), "c");
  EXPECT_EQ(Str(Path::FromUtf8("a").AppendUtf8("/x")), "/x");
  EXPECT_EQ(Str(Path::FromUtf8("a").AppendUtf8("")), "a/");

  Path p = Path::FromUtf8("base");
  p.MutableAppendUtf8Segment("one");
  p.MutableAppendSegment("two/x", 3);
  EXPECT_EQ(Str(p), "base/one/two");
  EXPECT_EQ(Str(Path::FromUtf8(absl::string_view())), "");
}

TEST(PathTest, BasenameAndDirname) {
  EXPECT_EQ(Str(Path::FromUtf8("/a/b").Basename()), "b");
  EXPECT_EQ(Str(Path::FromUtf8("b").Basename()), "b");
  EXPECT_EQ(Str(Path::FromUtf8("/a/").Basename()), "");
  EXPECT_EQ(Str(Path::FromUtf8("").Basename()), "");

  EXPECT_EQ(Str(Path::FromUtf8("/a/b").Dirname()), "/a");
  EXPECT_EQ(Str(Path::FromUtf8("a//b").Dirname()), "a");
  EXPECT_EQ(Str(Path::FromUtf8("/a").Dirname()), "/");
  EXPECT_EQ(Str(Path::FromUtf8("//a").Dirname()), "/");
  EXPECT_EQ(Str(Path::FromUtf8("a").Dirname()), "");
  EXPECT_EQ(Str(Path::FromUtf8("").Dirname()), "");
  EXPECT_EQ(Str(Path::FromUtf8("a/b/").Dirname()), "a/b");
}

TEST(PathTest, AbsoluteAndEquality) {
  EXPECT_TRUE(Path::FromUtf8("/x").IsAbsolute());
  EXPECT_FALSE(Path::FromUtf8("x/").IsAbsolute());
  EXPECT_FALSE(Path::FromUtf8("").IsAbsolute());

  EXPECT_EQ(Path::FromUtf8("a/"), Path::FromUtf8("a"));
  EXPECT_EQ(Path::FromUtf8("a//"), Path::FromUtf8("a"));
  EXPECT_NE(Path::FromUtf8("/"), Path::FromUtf8("//"));
  EXPECT_EQ(Path::FromUtf8("//"), Path::FromUtf8("//"));
  EXPECT_NE(Path::FromUtf8("a/b"), Path::FromUtf8("a/c"));
  EXPECT_NE(Path::FromUtf8(""), Path::FromUtf8("/"));
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
