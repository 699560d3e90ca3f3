#include "davedove/verorariv/util/filesystem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "davedove/verorariv/util/directory_iterator.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

class FilesystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "vrvfsXXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = Path::FromUtf8(tmpl);
  }
  void TearDown() override { RecursivelyDelete(root_).IgnoreError(); }

  Path At(absl::string_view relative) const { return root_.AppendUtf8(relative); }

  static void Touch(const Path& path, const std::string& content = "") {
    std::ofstream out(path.ToUtf8String(), std::ios::binary);
    out << content;
  }

  static bool Exists(const Path& path) {
    struct stat buffer {};
    return ::lstat(path.ToUtf8String().c_str(), &buffer) == 0;
  }

  Path root_;
};

TEST_F(FilesystemTest, IsDirectory) {
  EXPECT_TRUE(IsDirectory(root_).ok());

  Path file = At("file");
  Touch(file);
  Status not_dir = IsDirectory(file);
  EXPECT_EQ(not_dir.code(), VerorarivErrorCode::FailedPrecondition);
  EXPECT_EQ(not_dir.error_message(), "Path " + file.ToUtf8String() + " exists but is not a directory");

  Path missing = At("missing");
  Status not_found = IsDirectory(missing);
  EXPECT_EQ(not_found.code(), VerorarivErrorCode::NotFound);
  EXPECT_EQ(not_found.error_message(), missing.ToUtf8String());
  EXPECT_EQ(IsDirectory(file.AppendUtf8("below")).code(), VerorarivErrorCode::NotFound);
}

TEST_F(FilesystemTest, FileSizeAndReadFile) {
  Path file = At("data");
  Touch(file, std::string("abc\0def", 7));
  StatusOr<int64_t> size = FileSize(file);
  ASSERT_TRUE(size.ok());
  EXPECT_EQ(size.value(), 7);
  StatusOr<std::string> content = ReadFile(file);
  ASSERT_TRUE(content.ok());
  EXPECT_EQ(content.value(), std::string("abc\0def", 7));

  Path missing = At("missing");
  StatusOr<int64_t> no_size = FileSize(missing);
  EXPECT_EQ(no_size.status().code(), VerorarivErrorCode::NotFound);
  EXPECT_EQ(no_size.status().error_message(), "Failed to stat file: " + missing.ToUtf8String() +
                                                  " (errno 2: " + StrError(2) + ")");

  StatusOr<std::string> no_content = ReadFile(missing);
  EXPECT_EQ(no_content.status().code(), VerorarivErrorCode::Unknown);
  EXPECT_EQ(no_content.status().error_message(),
            "File at path '" + missing.ToUtf8String() + "' cannot be opened");
}

TEST_F(FilesystemTest, CreateDirectories) {
  ASSERT_TRUE(detail::CreateDir(At("x")).ok());
  ASSERT_TRUE(RecursivelyCreateDir(At("x/y/z")).ok());
  EXPECT_TRUE(IsDirectory(At("x/y")).ok());
  EXPECT_TRUE(IsDirectory(At("x/y/z")).ok());
  EXPECT_TRUE(RecursivelyCreateDir(At("x/y/z")).ok());  // already there

  Touch(At("plain"));
  EXPECT_TRUE(detail::CreateDir(At("plain")).ok());  // an existing entry of any kind
  Status under_file = RecursivelyCreateDir(At("plain/sub/dir"));
  EXPECT_EQ(under_file.code(), VerorarivErrorCode::FailedPrecondition);
  EXPECT_NE(under_file.error_message().find("Could not create directory"), std::string::npos);
}

TEST_F(FilesystemTest, CreateStopsWhereNoParentIsLeft) {
  // An empty path cannot be created and has no parent: one failure, no endless recursion.
  Status empty = RecursivelyCreateDir(Path());
  EXPECT_EQ(empty.code(), VerorarivErrorCode::NotFound);

  // A relative path inside a working directory that no longer exists.
  char saved[4096];
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  Path gone = At("gone");
  ASSERT_TRUE(detail::CreateDir(gone).ok());
  ASSERT_EQ(::chdir(gone.ToUtf8String().c_str()), 0);
  ASSERT_TRUE(detail::DeleteDir(gone).ok());
  Status relative = RecursivelyCreateDir(Path::FromUtf8("a/b"));
  ASSERT_EQ(::chdir(saved), 0);
  EXPECT_EQ(relative.code(), VerorarivErrorCode::NotFound);
}

TEST_F(FilesystemTest, DeleteTreesFilesAndMissingPaths) {
  EXPECT_TRUE(RecursivelyDelete(At("missing")).ok());
  EXPECT_TRUE(detail::DeleteFile(At("missing")).ok());
  EXPECT_TRUE(detail::DeleteDir(At("missing")).ok());

  Path file = At("single");
  Touch(file);
  EXPECT_TRUE(RecursivelyDelete(file).ok());
  EXPECT_FALSE(Exists(file));

  ASSERT_TRUE(RecursivelyCreateDir(At("tree/a/b")).ok());
  ASSERT_TRUE(RecursivelyCreateDir(At("tree/c")).ok());
  Touch(At("tree/f1"));
  Touch(At("tree/a/f2"));
  Touch(At("tree/a/b/f3"));
  EXPECT_TRUE(RecursivelyDelete(At("tree")).ok());
  EXPECT_FALSE(Exists(At("tree")));

  ASSERT_TRUE(detail::CreateDir(At("full")).ok());
  Touch(At("full/f"));
  Status not_empty = detail::DeleteDir(At("full"));
  EXPECT_EQ(not_empty.code(), VerorarivErrorCode::FailedPrecondition);
  EXPECT_EQ(not_empty.error_message().rfind("Could not delete directory " + At("full").ToUtf8String(), 0),
            0u);
}

TEST_F(FilesystemTest, DeleteDoesNotFollowLinksOutOfTheTree) {
  ASSERT_TRUE(RecursivelyCreateDir(At("outside")).ok());
  Touch(At("outside/keep"));
  ASSERT_TRUE(RecursivelyCreateDir(At("tree")).ok());
  ASSERT_EQ(::symlink(At("outside").ToUtf8String().c_str(), At("tree/link").ToUtf8String().c_str()), 0);
  ASSERT_EQ(::symlink(At("outside").ToUtf8String().c_str(), At("toplink").ToUtf8String().c_str()), 0);

  EXPECT_TRUE(RecursivelyDelete(At("tree")).ok());
  EXPECT_FALSE(Exists(At("tree")));
  EXPECT_TRUE(RecursivelyDelete(At("toplink")).ok());
  EXPECT_FALSE(Exists(At("toplink")));
  EXPECT_TRUE(Exists(At("outside/keep")));
}

TEST_F(FilesystemTest, DirectoryIterator) {
  Touch(At("one"));
  Touch(At("two"));
  ASSERT_TRUE(detail::CreateDir(At("sub")).ok());

  std::unique_ptr<DirectoryIterator> it;
  {
    Path parent = root_;  // the iterator must not depend on this copy staying alive
    it = DirectoryIterator::Create(parent);
  }
  std::set<std::string> names;
  for (; it->Valid(); it->Next()) names.insert(it->file().Basename().ToUtf8String());
  EXPECT_TRUE(it->status().ok());
  EXPECT_EQ(names, (std::set<std::string>{"one", "sub", "two"}));

  auto empty = DirectoryIterator::Create(At("sub"));
  EXPECT_FALSE(empty->Valid());
  EXPECT_TRUE(empty->status().ok());

  auto missing = DirectoryIterator::Create(At("nothing"));
  EXPECT_FALSE(missing->Valid());
  EXPECT_EQ(missing->status().code(), VerorarivErrorCode::NotFound);
  EXPECT_EQ(missing->status().error_message().rfind("Could not open directory", 0), 0u);
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
