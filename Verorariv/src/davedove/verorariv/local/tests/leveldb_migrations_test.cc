// Schema migrations over stores that the tests write row by row as each older version left them.
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/local/leveldb_migrations.h"
#include "davedove/verorariv/local/tests/leveldb_testutil.h"
#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "davedove/verorariv/util/log.h"
#include "gtest/gtest.h"
#include "platform/utilities/Logger.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using leveldb_testutil::Open;
using leveldb_testutil::RawGet;
using leveldb_testutil::RawKeys;
using leveldb_testutil::RawOpen;
using leveldb_testutil::RawPut;
using leveldb_testutil::TempDir;
using model::ResourcePath;
using model::testutil::Key;
using util::VerorarivErrorCode;

// A stored batch that decodes: the store refuses to open over one that does not.
std::string Batch(BatchId id) {
  model::VRVMutationBatch batch(id, DAVTimestamp(1700000000, 0), {},
                                {std::make_shared<const model::VRVDeleteMutation>(
                                    Key("rooms/a"), model::Precondition::None())});
  return leveldb_testutil::Serializer()->encodedMutationBatch(batch).SerializeAsString();
}

std::string Queue(BatchId lastAcknowledged) {
  VRVPBMutationQueue queue;
  queue.set_last_acknowledged_batch_id(lastAcknowledged);
  return queue.SerializeAsString();
}

std::string Global(model::ListenSequenceNumber highest) {
  VRVPBTargetGlobal global;
  global.set_highest_target_id(4);
  global.set_highest_listen_sequence_number(highest);
  global.set_target_count(1);
  return global.SerializeAsString();
}

// Every row of the store.
std::map<std::string, std::string> Rows(leveldb::DB* db) {
  std::map<std::string, std::string> rows;
  for (const std::string& key : RawKeys(db)) rows[key] = RawGet(db, key);
  return rows;
}

size_t CountPrefix(leveldb::DB* db, const std::string& prefix) {
  size_t count = 0;
  for (const std::string& key : RawKeys(db)) count += key.compare(0, prefix.size(), prefix) == 0;
  return count;
}

// Collects the transaction labels that commits log.
class CommitLog {
 public:
  CommitLog() {
    util::LogSetLevel(util::LogLevel::Debug);
    token_ = platform::VULAddLogObserver([this](const platform::VULLogRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(record.message);
    });
  }
  ~CommitLog() {
    platform::VULRemoveLogObserver(token_);
    util::LogSetLevel(util::LogLevel::Warning);
  }
  // Waits a little for the logger, which may deliver on its own thread.
  bool Saw(const std::string& text) {
    for (int i = 0; i < 200; i++) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& message : messages_) {
          if (message.find(text) != std::string::npos) return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // How many messages contain `text`, once the count has reached `expected` or time ran out.
  size_t Count(const std::string& text, size_t expected) {
    size_t count = 0;
    for (int i = 0; i < 200; i++) {
      count = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& message : messages_) {
          count += message.find(text) != std::string::npos;
        }
      }
      if (count >= expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return count;
  }

 private:
  platform::VULLogObserverToken token_ = 0;
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

// Targets in the form of the earliest builds, and their index rows in both directions.
void WriteOldTargets(leveldb::DB* db, int count) {
  for (int i = 1; i <= count; i++) {
    RawPut(db, LevelDbTargetKey::Key(i), "an old target form");
    RawPut(db, LevelDbQueryTargetKey::Key("q" + std::to_string(i), i), "");
  }
  RawPut(db, LevelDbTargetDocumentKey::Key(1, Key("rooms/a")), "");
  RawPut(db, LevelDbDocumentTargetKey::Key(Key("rooms/a"), 1), "");
}

TEST(LevelDbMigrationsTest, FreshStoreEndsAtSixWithOnlyTheGlobalAndVersionRows) {
  TempDir temp;
  auto db = RawOpen(temp.Sub("main"));
  CommitLog log;
  ASSERT_TRUE(LevelDbMigrations::RunMigrations(db.get()).ok());
  std::map<std::string, std::string> rows = Rows(db.get());
  EXPECT_EQ(rows, (std::map<std::string, std::string>{{LevelDbVersionKey::Key(), "6"},
                                                      {LevelDbTargetGlobalKey::Key(), ""}}));
  EXPECT_EQ(LevelDbMigrations::ReadSchemaVersion(db.get()).value(), 6);
  for (const char* label : {"Delete everything with prefix", "Drop query cache",
                            "Ensure sentinel rows", "remove acknowledged mutations",
                            "Ensure Collection Parents Index"}) {
    EXPECT_TRUE(log.Saw(std::string("<LevelDbTransaction ") + label + ":")) << label;
  }
}

TEST(LevelDbMigrationsTest, VersionZeroStoreIsBroughtToSixAndOpens) {
  TempDir temp;
  {
    auto db = RawOpen(temp.Sub("main"));
    WriteOldTargets(db.get(), 3);
    RawPut(db.get(), LevelDbRemoteDocumentKey::Key(Key("rooms/a")), "doc");
    RawPut(db.get(), LevelDbMutationKey::Key("alice", 1), Batch(1));
    RawPut(db.get(), LevelDbDocumentMutationKey::Key("alice", Key("chats/c"), 1), "");
    RawPut(db.get(), LevelDbMutationQueueKey::Key("alice"), Queue(0));
  }
  std::shared_ptr<VRVLevelDB> store = Open(temp.Sub("main"));
  ASSERT_NE(store, nullptr);
  leveldb::DB* db = store->ptr();
  EXPECT_EQ(RawGet(db, LevelDbVersionKey::Key()), "6");
  EXPECT_EQ(CountPrefix(db, LevelDbTargetKey::KeyPrefix()), 0u);
  EXPECT_EQ(CountPrefix(db, LevelDbQueryTargetKey::KeyPrefix()), 0u);
  EXPECT_EQ(CountPrefix(db, LevelDbTargetDocumentKey::KeyPrefix()), 0u);
  // The old target row is gone; the document gained a sentinel of sequence number 0.
  EXPECT_EQ(CountPrefix(db, LevelDbDocumentTargetKey::KeyPrefix()), 1u);
  EXPECT_EQ(RawGet(db, LevelDbDocumentTargetKey::SentinelKey(Key("rooms/a"))),
            LevelDbDocumentTargetKey::EncodeSentinelValue(0));
  EXPECT_EQ(RawGet(db, LevelDbTargetGlobalKey::Key()), "");
  // Mutations survive; last acknowledged 0 removes nothing.
  EXPECT_EQ(RawGet(db, LevelDbMutationKey::Key("alice", 1)), Batch(1));
  EXPECT_EQ(store->users(), (std::set<std::string>{"alice"}));
  EXPECT_EQ(store->queryCache()->size(), 0u);
  store->shutdown();
}

TEST(LevelDbMigrationsTest, VersionTwoStoreLosesItsTargetsInPassesAndKeepsTheRest) {
  TempDir temp;
  auto db = RawOpen(temp.Sub("main"));
  RawPut(db.get(), LevelDbVersionKey::Key(), "2");
  WriteOldTargets(db.get(), 2500);
  RawPut(db.get(), LevelDbRemoteDocumentKey::Key(Key("rooms/a")), "doc");
  RawPut(db.get(), LevelDbMutationKey::Key("bob", 4), Batch(4));
  CommitLog log;
  ASSERT_TRUE(LevelDbMigrations::RunMigrations(db.get(), 3).ok());
  // 2500 target rows and 2500 query_target rows: passes of 1000, 1000 and 500 each.
  EXPECT_EQ(log.Count("<LevelDbTransaction Delete everything with prefix: 1000 changes", 4), 4u);
  EXPECT_EQ(log.Count("<LevelDbTransaction Delete everything with prefix: 500 changes", 2), 2u);
  EXPECT_EQ(RawGet(db.get(), LevelDbVersionKey::Key()), "3");
  EXPECT_EQ(CountPrefix(db.get(), LevelDbTargetKey::KeyPrefix()), 0u);
  EXPECT_EQ(CountPrefix(db.get(), LevelDbQueryTargetKey::KeyPrefix()), 0u);
  EXPECT_EQ(CountPrefix(db.get(), LevelDbTargetDocumentKey::KeyPrefix()), 0u);
  EXPECT_EQ(CountPrefix(db.get(), LevelDbDocumentTargetKey::KeyPrefix()), 0u);
  EXPECT_EQ(RawGet(db.get(), LevelDbTargetGlobalKey::Key()), "");
  EXPECT_EQ(RawGet(db.get(), LevelDbRemoteDocumentKey::Key(Key("rooms/a"))), "doc");
  EXPECT_EQ(RawGet(db.get(), LevelDbMutationKey::Key("bob", 4)), Batch(4));
}

TEST(LevelDbMigrationsTest, VersionThreeStoreGainsMissingSentinels) {
  TempDir temp;
  auto db = RawOpen(temp.Sub("main"));
  RawPut(db.get(), LevelDbVersionKey::Key(), "3");
  RawPut(db.get(), LevelDbTargetGlobalKey::Key(), Global(17));
  RawPut(db.get(), LevelDbTargetKey::Key(4), "kept as it is");
  RawPut(db.get(), LevelDbRemoteDocumentKey::Key(Key("rooms/a")), "doc");
  RawPut(db.get(), LevelDbRemoteDocumentKey::Key(Key("rooms/b")), "doc");
  RawPut(db.get(), LevelDbDocumentTargetKey::SentinelKey(Key("rooms/b")),
         LevelDbDocumentTargetKey::EncodeSentinelValue(5));
  ASSERT_TRUE(LevelDbMigrations::RunMigrations(db.get(), 4).ok());
  EXPECT_EQ(RawGet(db.get(), LevelDbVersionKey::Key()), "4");
  EXPECT_EQ(RawGet(db.get(), LevelDbDocumentTargetKey::SentinelKey(Key("rooms/a"))),
            LevelDbDocumentTargetKey::EncodeSentinelValue(17));
  EXPECT_EQ(RawGet(db.get(), LevelDbDocumentTargetKey::SentinelKey(Key("rooms/b"))),
            LevelDbDocumentTargetKey::EncodeSentinelValue(5));
  EXPECT_EQ(RawGet(db.get(), LevelDbTargetKey::Key(4)), "kept as it is");
  EXPECT_EQ(RawGet(db.get(), LevelDbTargetGlobalKey::Key()), Global(17));
}

TEST(LevelDbMigrationsTest, VersionFourStoreDropsAcknowledgedBatchesPerUser) {
  TempDir temp;
  auto db = RawOpen(temp.Sub("main"));
  RawPut(db.get(), LevelDbVersionKey::Key(), "4");
  RawPut(db.get(), LevelDbMutationQueueKey::Key("alice"), Queue(7));
  RawPut(db.get(), LevelDbMutationQueueKey::Key("bob"), Queue(0));
  for (BatchId id : {5, 6, 7, 8}) {
    RawPut(db.get(), LevelDbMutationKey::Key("alice", id), Batch(id));
    RawPut(db.get(), LevelDbDocumentMutationKey::Key("alice", Key("rooms/a"), id), "");
  }
  RawPut(db.get(), LevelDbDocumentMutationKey::Key("alice", Key("rooms/b"), 6), "");
  // Batch ids start at 0: a last acknowledged id of 0 means none was acknowledged.
  for (BatchId id : {0, 3, 7}) {
    RawPut(db.get(), LevelDbMutationKey::Key("bob", id), Batch(id));
    RawPut(db.get(), LevelDbDocumentMutationKey::Key("bob", Key("rooms/a"), id), "");
  }
  ASSERT_TRUE(LevelDbMigrations::RunMigrations(db.get(), 5).ok());
  EXPECT_EQ(RawGet(db.get(), LevelDbVersionKey::Key()), "5");
  for (BatchId id : {5, 6, 7}) {
    EXPECT_EQ(RawGet(db.get(), LevelDbMutationKey::Key("alice", id)), "<absent>") << id;
    EXPECT_EQ(RawGet(db.get(), LevelDbDocumentMutationKey::Key("alice", Key("rooms/a"), id)),
              "<absent>");
  }
  EXPECT_EQ(RawGet(db.get(), LevelDbDocumentMutationKey::Key("alice", Key("rooms/b"), 6)),
            "<absent>");
  EXPECT_EQ(RawGet(db.get(), LevelDbMutationKey::Key("alice", 8)), Batch(8));
  EXPECT_EQ(RawGet(db.get(), LevelDbDocumentMutationKey::Key("alice", Key("rooms/a"), 8)), "");
  for (BatchId id : {0, 3, 7}) {
    EXPECT_EQ(RawGet(db.get(), LevelDbMutationKey::Key("bob", id)), Batch(id));
    EXPECT_EQ(RawGet(db.get(), LevelDbDocumentMutationKey::Key("bob", Key("rooms/a"), id)), "");
  }
  // The queue rows themselves stay as they were.
  EXPECT_EQ(RawGet(db.get(), LevelDbMutationQueueKey::Key("alice")), Queue(7));
}

TEST(LevelDbMigrationsTest, VersionFiveStoreGetsItsCollectionParents) {
  TempDir temp;
  auto db = RawOpen(temp.Sub("main"));
  RawPut(db.get(), LevelDbVersionKey::Key(), "5");
  RawPut(db.get(), LevelDbRemoteDocumentKey::Key(Key("rooms/a")), "doc");
  RawPut(db.get(), LevelDbRemoteDocumentKey::Key(Key("rooms/b")), "doc");
  RawPut(db.get(), LevelDbRemoteDocumentKey::Key(Key("rooms/a/messages/m")), "doc");
  RawPut(db.get(), LevelDbDocumentMutationKey::Key("alice", Key("chats/c"), 1), "");
  ASSERT_TRUE(LevelDbMigrations::RunMigrations(db.get()).ok());
  EXPECT_EQ(RawGet(db.get(), LevelDbVersionKey::Key()), "6");
  std::vector<std::string> parents;
  for (const std::string& key : RawKeys(db.get())) {
    LevelDbCollectionParentKey parent;
    if (parent.Decode(key)) {
      parents.push_back(parent.collection_id() + "@" + parent.parent().CanonicalString());
    }
  }
  EXPECT_EQ(parents, (std::vector<std::string>{"chats@", "messages@rooms/a", "rooms@"}));
}

TEST(LevelDbMigrationsTest, NewerStoreIsOnlyRelabelledAndCurrentStoreIsUntouched) {
  TempDir temp;
  auto db = RawOpen(temp.Sub("main"));
  RawPut(db.get(), LevelDbVersionKey::Key(), "7");
  RawPut(db.get(), LevelDbTargetKey::Key(9), "a newer build's target");
  RawPut(db.get(), LevelDbRemoteDocumentKey::Key(Key("rooms/a")), "a newer build's document");
  std::map<std::string, std::string> before = Rows(db.get());
  ASSERT_TRUE(LevelDbMigrations::RunMigrations(db.get()).ok());
  std::map<std::string, std::string> after = Rows(db.get());
  EXPECT_EQ(after[LevelDbVersionKey::Key()], "6");
  before[LevelDbVersionKey::Key()] = "6";
  EXPECT_EQ(after, before);

  // At six, a second run changes nothing at all.
  ASSERT_TRUE(LevelDbMigrations::RunMigrations(db.get()).ok());
  EXPECT_EQ(Rows(db.get()), after);
}

TEST(LevelDbMigrationsTest, VersionRowThatIsNotANumberIsDataLoss) {
  TempDir temp;
  auto db = RawOpen(temp.Sub("main"));
  for (const char* text : {"", "x", "6x", "-1", "99999999999"}) {
    RawPut(db.get(), LevelDbVersionKey::Key(), text);
    auto version = LevelDbMigrations::ReadSchemaVersion(db.get());
    EXPECT_FALSE(version.ok()) << "\"" << text << "\"";
    if (!version.ok()) {
      EXPECT_EQ(version.status().code(), VerorarivErrorCode::DataLoss);
    }
    util::Status status = LevelDbMigrations::RunMigrations(db.get());
    EXPECT_EQ(status.code(), VerorarivErrorCode::DataLoss);
  }
  // Nothing was rebuilt over the unreadable store.
  EXPECT_EQ(RawGet(db.get(), LevelDbTargetGlobalKey::Key()), "<absent>");
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
