// Temporary stores for the LevelDB persistence tests.
#ifndef DAVEDOVE_VERORARIV_LOCAL_TESTS_LEVELDB_TESTUTIL_H_
#define DAVEDOVE_VERORARIV_LOCAL_TESTS_LEVELDB_TESTUTIL_H_

#include <cstdlib>
#include <memory>
#include <string>

#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "davedove/verorariv/util/filesystem.h"
#include "davedove/verorariv/util/path.h"
#include "gtest/gtest.h"
#include "leveldb/db.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace leveldb_testutil {

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vrv-leveldb-XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) std::abort();
    path_ = util::Path::FromUtf8(made);
  }
  ~TempDir() { util::RecursivelyDelete(path_).IgnoreError(); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const util::Path& path() const { return path_; }
  util::Path Sub(const std::string& name) const { return path_.AppendUtf8(name); }

 private:
  util::Path path_;
};

inline std::shared_ptr<const VRVLocalSerializer> Serializer(const std::string& project = "p") {
  return std::make_shared<const VRVLocalSerializer>(
      std::make_shared<const remote::VRVSerializerBeta>(model::DatabaseId(project, "(default)")));
}

inline LruParams DefaultLru() { return LruParams{104857600, 10, 1000}; }

// Opens the store, failing the test when it does not open.
inline std::shared_ptr<VRVLevelDB> Open(const util::Path& directory) {
  util::StatusOr<std::shared_ptr<VRVLevelDB>> opened =
      VRVLevelDB::dbWithDirectory(directory, Serializer(), DefaultLru());
  EXPECT_TRUE(opened.ok()) << opened.status().ToString();
  return opened.ok() ? opened.value() : nullptr;
}

// A raw database handle for writing rows as an older or foreign build would.
inline std::unique_ptr<leveldb::DB> RawOpen(const util::Path& directory) {
  EXPECT_TRUE(util::RecursivelyCreateDir(directory).ok());
  leveldb::Options options;
  options.create_if_missing = true;
  leveldb::DB* db = nullptr;
  leveldb::Status status = leveldb::DB::Open(options, directory.ToUtf8String(), &db);
  EXPECT_TRUE(status.ok()) << status.ToString();
  return std::unique_ptr<leveldb::DB>(db);
}

inline void RawPut(leveldb::DB* db, const std::string& key, const std::string& value) {
  ASSERT_TRUE(db->Put(leveldb::WriteOptions(), key, value).ok());
}

// The row's value, or "<absent>".
inline std::string RawGet(leveldb::DB* db, const std::string& key) {
  std::string value;
  leveldb::Status status = db->Get(leveldb::ReadOptions(), key, &value);
  return status.ok() ? value : std::string("<absent>");
}

// Every key of the store, in order.
inline std::vector<std::string> RawKeys(leveldb::DB* db) {
  std::vector<std::string> keys;
  std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
  for (it->SeekToFirst(); it->Valid(); it->Next()) keys.push_back(it->key().ToString());
  return keys;
}

}  // namespace leveldb_testutil
}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_TESTS_LEVELDB_TESTUTIL_H_
