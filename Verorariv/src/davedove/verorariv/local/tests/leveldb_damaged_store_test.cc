// Opening a store whose files were damaged: the open refuses, and nothing on disk is replaced.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <leveldb/db.h>
#include <leveldb/env.h>

#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/tests/leveldb_testutil.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

namespace fs = std::filesystem;
using leveldb_testutil::RawGet;
using leveldb_testutil::RawOpen;
using leveldb_testutil::RawPut;
using leveldb_testutil::TempDir;
using util::Path;

util::StatusOr<std::shared_ptr<VRVLevelDB>> OpenStore(const Path& directory) {
  return VRVLevelDB::dbWithDirectory(directory, leveldb_testutil::Serializer(), leveldb_testutil::DefaultLru());
}

std::vector<std::string> FilesEndingIn(const Path& directory, const std::string& suffix) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory.ToUtf8String())) {
    std::string name = entry.path().filename();
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.push_back(name);
  }
  return names;
}

TEST(LevelDbDamagedStoreTest, LostCurrentFileIsDataLossAndTheTablesStay) {
  TempDir temp;
  Path directory = temp.Sub("main");
  {
    auto raw = RawOpen(directory);
    RawPut(raw.get(), "kept", "value");
    raw->CompactRange(nullptr, nullptr);  // into a table file
  }
  std::vector<std::string> tables = FilesEndingIn(directory, ".ldb");
  ASSERT_FALSE(tables.empty());
  fs::remove(directory.ToUtf8String() + "/CURRENT");

  auto opened = OpenStore(directory);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.status().code(), VerorarivErrorCode::DataLoss) << opened.status().ToString();
  EXPECT_EQ(FilesEndingIn(directory, ".ldb"), tables);
  EXPECT_FALSE(fs::exists(directory.ToUtf8String() + "/CURRENT"));
}

// A process stopped while LevelDB creates the store, after the first manifest and before CURRENT,
// leaves nothing stored: the next start makes the store anew instead of refusing it for good.
TEST(LevelDbDamagedStoreTest, AStoreWhoseCreationWasCutShortBeforeCurrentOpensAnew) {
  // Fails the rename that makes CURRENT, which is where such a stop leaves the folder.
  class NoCurrentEnv : public leveldb::EnvWrapper {
   public:
    NoCurrentEnv() : EnvWrapper(leveldb::Env::Default()) {}
    leveldb::Status RenameFile(const std::string& from, const std::string& to) override {
      if (to.size() >= 8 && to.compare(to.size() - 8, 8, "/CURRENT") == 0) return leveldb::Status::IOError(to, "cut short");
      return target()->RenameFile(from, to);
    }
  };
  TempDir temp;
  Path directory = temp.Sub("main");
  {
    NoCurrentEnv env;
    leveldb::Options options;
    options.create_if_missing = true;
    options.env = &env;
    leveldb::DB* db = nullptr;
    ASSERT_FALSE(leveldb::DB::Open(options, directory.ToUtf8String(), &db).ok());
    delete db;
  }
  ASSERT_TRUE(fs::exists(directory.ToUtf8String() + "/MANIFEST-000001"));
  ASSERT_FALSE(fs::exists(directory.ToUtf8String() + "/CURRENT"));

  auto opened = OpenStore(directory);
  ASSERT_TRUE(opened.ok()) << opened.status().ToString();
  opened.value()->shutdown();

  // Once it has been used, a lost CURRENT refuses the start again.
  {
    auto raw = RawOpen(directory);
    RawPut(raw.get(), "kept", "value");
  }
  fs::remove(directory.ToUtf8String() + "/CURRENT");
  auto refused = OpenStore(directory);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.status().code(), VerorarivErrorCode::DataLoss) << refused.status().ToString();
}

TEST(LevelDbDamagedStoreTest, DamagedLogRecordIsDataLossNotASilentlyDroppedWrite) {
  TempDir temp;
  Path directory = temp.Sub("main");
  {
    std::shared_ptr<VRVLevelDB> db = leveldb_testutil::Open(directory);
    ASSERT_TRUE(db);
    db->shutdown();
    auto raw = RawOpen(directory);
    leveldb::WriteOptions sync;
    sync.sync = true;
    ASSERT_TRUE(raw->Put(sync, "acknowledged-1", std::string(200, 'a')).ok());
    ASSERT_TRUE(raw->Put(sync, "acknowledged-2", std::string(200, 'b')).ok());
  }
  std::vector<std::string> logs = FilesEndingIn(directory, ".log");
  ASSERT_EQ(logs.size(), 1u);
  const std::string logPath = directory.ToUtf8String() + "/" + logs[0];
  const auto size = fs::file_size(logPath);
  ASSERT_GT(size, 300u);
  {
    std::fstream log(logPath, std::ios::in | std::ios::out | std::ios::binary);
    log.seekp(static_cast<std::streamoff>(size - 100));  // inside the last record's value
    log.put('X');
  }
  auto opened = OpenStore(directory);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.status().code(), VerorarivErrorCode::DataLoss) << opened.status().ToString();
}

TEST(LevelDbDamagedStoreTest, StoreFoldersAndFilesAreTheOwnersAlone) {
  const mode_t usualMask = ::umask(022);
  TempDir temp;
  Path parent = temp.Sub("persistence");
  Path directory = parent.AppendUtf8("project").AppendUtf8("main");
  {
    // A store written before, its files open to everyone.
    auto raw = RawOpen(directory);
    RawPut(raw.get(), "kept", "value");
    raw->CompactRange(nullptr, nullptr);
  }
  ASSERT_FALSE(FilesEndingIn(directory, ".ldb").empty());
  std::shared_ptr<VRVLevelDB> db = leveldb_testutil::Open(directory);
  ASSERT_TRUE(db);
  db->shutdown();
  ::umask(usualMask);
  for (const Path& folder : {parent, parent.AppendUtf8("project"), directory}) {
    struct stat st {};
    ASSERT_EQ(::stat(folder.ToUtf8String().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << folder.ToUtf8String();
  }
  // Those it kept and those it made since (the log, the manifest, CURRENT, LOCK, LOG).
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(directory.ToUtf8String())) {
    ++files;
    EXPECT_EQ(entry.status().permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
        << entry.path();
  }
  EXPECT_GE(files, 6u);
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
