#include "davedove/verorariv/local/leveldb_transaction.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "davedove/verorariv/local/leveldb_key.h"
#include "google/protobuf/timestamp.pb.h"
#include "leveldb/db.h"
#include "leveldb/write_batch.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

// A fresh LevelDB database in a temporary directory, removed afterwards.
class LevelDbTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/vrv-leveldb-txn-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    Open();
  }

  void TearDown() override {
    db_.reset();
    (void)leveldb::DestroyDB(dir_, leveldb::Options());
    rmdir(dir_.c_str());
  }

  void Open() {
    leveldb::Options options;
    options.create_if_missing = true;
    leveldb::DB* db = nullptr;
    leveldb::Status status = leveldb::DB::Open(options, dir_, &db);
    ASSERT_TRUE(status.ok()) << status.ToString();
    db_.reset(db);
  }

  void Reopen() {
    db_.reset();
    Open();
  }

  void Store(const std::string& key, const std::string& value) {
    ASSERT_TRUE(db_->Put(leveldb::WriteOptions(), key, value).ok());
  }

  // Every row of the database, read directly.
  std::map<std::string, std::string> Rows() {
    std::map<std::string, std::string> rows;
    std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(leveldb::ReadOptions()));
    for (it->SeekToFirst(); it->Valid(); it->Next()) {
      rows[it->key().ToString()] = it->value().ToString();
    }
    return rows;
  }

  // key=value pairs an iterator shows from `start` to its end.
  static std::vector<std::string> Scan(LevelDbTransaction& txn, const std::string& start = "") {
    std::vector<std::string> seen;
    auto it = txn.NewIterator();
    for (it->Seek(start); it->Valid(); it->Next()) {
      seen.push_back(std::string(it->key()) + "=" + std::string(it->value()));
    }
    return seen;
  }

  std::string dir_;
  std::unique_ptr<leveldb::DB> db_;
};

using Strings = std::vector<std::string>;

TEST_F(LevelDbTransactionTest, ReadsOwnWrites) {
  Store("stored", "old");
  LevelDbTransaction txn(db_.get(), "reads");
  std::string value;

  EXPECT_TRUE(txn.Get("stored", &value).ok());
  EXPECT_EQ(value, "old");
  EXPECT_TRUE(txn.Get("missing", &value).IsNotFound());

  txn.Put("a", "1");
  ASSERT_TRUE(txn.Get("a", &value).ok());
  EXPECT_EQ(value, "1");

  txn.Put("a", "2");
  ASSERT_TRUE(txn.Get("a", &value).ok());
  EXPECT_EQ(value, "2");

  txn.Delete("a");
  value = "untouched";
  leveldb::Status status = txn.Get("a", &value);
  EXPECT_TRUE(status.IsNotFound());
  EXPECT_EQ(status.ToString(), "NotFound: a is not present in the transaction");
  EXPECT_EQ(value, "untouched");

  txn.Put("a", "3");
  ASSERT_TRUE(txn.Get("a", &value).ok());
  EXPECT_EQ(value, "3");

  // A pending delete hides a stored row; a pending put shadows one.
  txn.Delete("stored");
  EXPECT_TRUE(txn.Get("stored", &value).IsNotFound());
  txn.Put("stored", "new");
  ASSERT_TRUE(txn.Get("stored", &value).ok());
  EXPECT_EQ(value, "new");

  // Nothing reaches the database before the commit.
  EXPECT_EQ(Rows(), (std::map<std::string, std::string>{{"stored", "old"}}));
}

TEST_F(LevelDbTransactionTest, CommitWritesEverythingOrNothing) {
  Store("keep", "k");
  Store("gone", "g");
  Store("over", "o1");
  {
    LevelDbTransaction discarded(db_.get(), "discarded");
    discarded.Put("x", "1");
    discarded.Delete("keep");
  }
  EXPECT_EQ(Rows(), (std::map<std::string, std::string>{{"gone", "g"}, {"keep", "k"}, {"over", "o1"}}));

  LevelDbTransaction txn(db_.get(), "commit");
  txn.Put("new", "first");
  txn.Put("new", "second");
  txn.Delete("gone");
  txn.Put("over", "o2");
  txn.Delete("never-stored");
  txn.Put("dropped", "d");
  txn.Delete("dropped");
  txn.Commit();

  Reopen();
  EXPECT_EQ(Rows(),
            (std::map<std::string, std::string>{{"keep", "k"}, {"new", "second"}, {"over", "o2"}}));

  LevelDbTransaction empty(db_.get(), "empty");
  empty.Commit();
  EXPECT_EQ(Rows().size(), 3u);
}

TEST_F(LevelDbTransactionTest, PutsMessagesAsTheirBytes) {
  google::protobuf::Timestamp timestamp;
  timestamp.set_seconds(1);
  timestamp.set_nanos(2);
  LevelDbTransaction txn(db_.get(), "message");
  txn.Put("ts", timestamp);
  std::string value;
  ASSERT_TRUE(txn.Get("ts", &value).ok());
  EXPECT_EQ(value, std::string("\x08\x01\x10\x02", 4));
}

TEST_F(LevelDbTransactionTest, IteratorMergesPendingWritesWithStoredRows) {
  Store("a", "A");
  Store("c", "C");
  LevelDbTransaction txn(db_.get(), "merge");
  txn.Put("b", "B");
  txn.Delete("c");
  EXPECT_EQ(Scan(txn), (Strings{"a=A", "b=B"}));

  // A pending put of a stored key shows once, with the pending value.
  txn.Put("a", "A2");
  EXPECT_EQ(Scan(txn), (Strings{"a=A2", "b=B"}));
  EXPECT_EQ(Scan(txn, "a\x01"), (Strings{"b=B"}));
  EXPECT_EQ(Scan(txn, "z"), Strings{});

  auto it = txn.NewIterator();
  EXPECT_FALSE(it->Valid());
  it->Seek("zz");
  EXPECT_FALSE(it->Valid());
  EXPECT_EQ(DescribeKey(it), "the end of the table");
  txn.Put(LevelDbTargetKey::Key(2), "");
  it->Seek(LevelDbTargetKey::KeyPrefix());
  ASSERT_TRUE(it->Valid());
  EXPECT_EQ(DescribeKey(it), "[target: target_id=2]");
}

TEST_F(LevelDbTransactionTest, IteratorFollowsChangesMadeWhileIterating) {
  Store("a", "A");
  Store("b", "B");
  Store("c", "C");
  Store("e", "E");
  LevelDbTransaction txn(db_.get(), "changes");

  // Deleting the current key: Next lands on the following key, not the one after it.
  auto it = txn.NewIterator();
  it->Seek("b");
  ASSERT_EQ(it->key(), "b");
  txn.Delete("b");
  it->Next();
  ASSERT_TRUE(it->Valid());
  EXPECT_EQ(it->key(), "c");

  // Putting a key between the current and the next: Next shows it.
  txn.Put("d", "D");
  it->Next();
  ASSERT_TRUE(it->Valid());
  EXPECT_EQ(it->key(), "d");
  EXPECT_EQ(it->value(), "D");

  // Changing the current key's value: Next still moves on.
  txn.Put("d", "D2");
  it->Next();
  ASSERT_TRUE(it->Valid());
  EXPECT_EQ(it->key(), "e");

  // Deleting the last key while standing on it ends the iteration.
  txn.Delete("e");
  it->Next();
  EXPECT_FALSE(it->Valid());
}

TEST_F(LevelDbTransactionTest, ToString) {
  LevelDbTransaction fresh(db_.get(), "Start LevelDB");
  EXPECT_EQ(fresh.ToString(), "<LevelDbTransaction Start LevelDB: 0 changes (0 bytes):>");

  LevelDbTransaction txn(db_.get(), "Write");
  txn.Put(LevelDbTargetKey::Key(2), "12345");
  txn.Put(LevelDbMutationKey::Key("u", 3), "ab");
  txn.Delete(LevelDbVersionKey::Key());
  EXPECT_EQ(txn.ToString(),
            "<LevelDbTransaction Write: 3 changes (7 bytes):"
            "\n  - Delete [version:]"
            "\n  - Put [mutation: user_id=u batch_id=3] (2 bytes)"
            "\n  - Put [target: target_id=2] (5 bytes)>");
}

TEST_F(LevelDbTransactionTest, OptionsAndStatusConversion) {
  EXPECT_TRUE(LevelDbTransaction::DefaultReadOptions().verify_checksums);
  EXPECT_TRUE(LevelDbTransaction::DefaultReadOptions().fill_cache);
  EXPECT_EQ(LevelDbTransaction::DefaultReadOptions().snapshot, nullptr);
  EXPECT_FALSE(LevelDbTransaction::DefaultWriteOptions().sync);

  EXPECT_TRUE(ConvertStatus(leveldb::Status::OK()).ok());
  struct Case {
    leveldb::Status status;
    VerorarivErrorCode code;
  };
  const Case cases[] = {
      {leveldb::Status::NotFound("nf"), VerorarivErrorCode::NotFound},
      {leveldb::Status::Corruption("bad"), VerorarivErrorCode::DataLoss},
      {leveldb::Status::NotSupported("ns"), VerorarivErrorCode::Unimplemented},
      {leveldb::Status::InvalidArgument("ia"), VerorarivErrorCode::InvalidArgument},
      {leveldb::Status::IOError("io"), VerorarivErrorCode::Unavailable},
  };
  for (const Case& c : cases) {
    util::Status converted = ConvertStatus(c.status);
    EXPECT_EQ(converted.code(), c.code);
    EXPECT_EQ(converted.error_message(), "LevelDB error: " + c.status.ToString());
  }
}

TEST_F(LevelDbTransactionTest, InvalidIteratorUseStopsTheProcess) {
  LevelDbTransaction txn(db_.get(), "invalid");
  auto it = txn.NewIterator();
  it->Seek("");
  ASSERT_FALSE(it->Valid());
  EXPECT_DEATH(it->key(), "key\\(\\) called on invalid iterator");
  EXPECT_DEATH(it->value(), "value\\(\\) called on invalid iterator");
  EXPECT_DEATH(it->Next(), "Next\\(\\) called on invalid iterator");
}

// Random puts and deletes, checked against a model of what the transaction should show, with
// iterators that keep running while the transaction changes under them.
TEST_F(LevelDbTransactionTest, MatchesModelUnderRandomPutsAndDeletes) {
  std::mt19937 rng(12345);
  auto random_key = [&rng]() {
    // Short keys over a small alphabet, including 0x00 and 0xFF, so that keys collide often.
    static const char alphabet[] = {'\0', 'a', 'b', 'c', '\xff'};
    std::string key;
    size_t len = 1 + rng() % 3;
    for (size_t i = 0; i < len; ++i) key.push_back(alphabet[rng() % 5]);
    return key;
  };

  for (int round = 0; round < 30; ++round) {
    // Start from a committed random state.
    std::map<std::string, std::string> model = Rows();
    {
      leveldb::WriteBatch batch;
      for (int i = 0; i < 40; ++i) {
        std::string key = random_key();
        if (rng() % 3 == 0) {
          batch.Delete(key);
          model.erase(key);
        } else {
          std::string value = "s" + std::to_string(rng() % 1000);
          batch.Put(key, value);
          model[key] = value;
        }
      }
      ASSERT_TRUE(db_->Write(leveldb::WriteOptions(), &batch).ok());
    }

    LevelDbTransaction txn(db_.get(), "random");
    std::vector<std::unique_ptr<LevelDbTransaction::Iterator>> iterators;
    for (int i = 0; i < 3; ++i) iterators.push_back(txn.NewIterator());

    auto check_iterator_at = [&](LevelDbTransaction::Iterator& it,
                                 std::map<std::string, std::string>::iterator expected) {
      if (expected == model.end()) {
        ASSERT_FALSE(it.Valid());
      } else {
        ASSERT_TRUE(it.Valid());
        ASSERT_EQ(it.key(), expected->first);
        ASSERT_EQ(it.value(), expected->second);
      }
    };

    for (int step = 0; step < 200; ++step) {
      int op = static_cast<int>(rng() % 10);
      if (op < 3) {
        std::string key = random_key();
        std::string value = "p" + std::to_string(step);
        txn.Put(key, value);
        model[key] = value;
      } else if (op < 5) {
        std::string key = random_key();
        txn.Delete(key);
        model.erase(key);
      } else if (op < 7) {
        auto& it = *iterators[rng() % iterators.size()];
        std::string target = random_key();
        it.Seek(target);
        ASSERT_NO_FATAL_FAILURE(check_iterator_at(it, model.lower_bound(target)));
      } else if (op < 9) {
        auto& it = *iterators[rng() % iterators.size()];
        if (!it.Valid()) continue;
        std::string current(it.key());
        it.Next();
        ASSERT_NO_FATAL_FAILURE(check_iterator_at(it, model.upper_bound(current)));
      } else {
        std::string value;
        std::string key = random_key();
        leveldb::Status status = txn.Get(key, &value);
        auto found = model.find(key);
        if (found == model.end()) {
          ASSERT_TRUE(status.IsNotFound());
        } else {
          ASSERT_TRUE(status.ok());
          ASSERT_EQ(value, found->second);
        }
      }
    }

    // A full scan shows the model exactly.
    Strings expected;
    for (const auto& entry : model) expected.push_back(entry.first + "=" + entry.second);
    ASSERT_EQ(Scan(txn), expected);

    iterators.clear();
    if (rng() % 4 == 0) {
      // Dropped without commit: the database keeps its earlier state.
      continue;
    }
    txn.Commit();
    ASSERT_EQ(Rows(), model);
  }
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
