// The LevelDB persistence: where it lives, how it opens, its transactions and sequence numbers,
// its LRU delegate, the stored row formats, and what it does with rows that do not decode.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/escaping.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/local/leveldb_migrations.h"
#include "davedove/verorariv/local/reference_set.h"
#include "davedove/verorariv/local/tests/leveldb_testutil.h"
#include "davedove/verorariv/local/tests/memory_testutil.h"
#include "davedove/verorariv/model/field_transform.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "davedove/verorariv/util/directory_iterator.h"
#include "platform/utilities/Logger.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using leveldb_testutil::Open;
using leveldb_testutil::RawGet;
using leveldb_testutil::RawOpen;
using leveldb_testutil::RawPut;
using leveldb_testutil::TempDir;
using model::DocumentKey;
using util::Path;
using util::VerorarivErrorCode;
using namespace testutil;  // NOLINT

std::string Hex(const std::string& bytes) { return absl::BytesToHexString(bytes); }

core::DatabaseInfo Info(const std::string& key, const std::string& project,
                        const std::string& database = "(default)") {
  return core::DatabaseInfo(model::DatabaseId(project, database), key);
}

// ----- storage directory -----

TEST(LevelDbStorageDirectoryTest, LayoutFollowsKeyProjectAndDatabase) {
  Path documents = Path::FromUtf8("/Users/a/.verorariv");
  auto defaultDb = VRVLevelDB::storageDirectoryForDatabaseInfo(Info("__DAVAPP_DEFAULT", "p"),
                                                               documents);
  ASSERT_TRUE(defaultDb.ok());
  EXPECT_EQ(defaultDb.value().ToUtf8String(), "/Users/a/.verorariv/__DAVAPP_DEFAULT/p/main");

  auto named = VRVLevelDB::storageDirectoryForDatabaseInfo(Info("app", "p", "other"), documents);
  ASSERT_TRUE(named.ok());
  EXPECT_EQ(named.value().ToUtf8String(), "/Users/a/.verorariv/app/p.other/main");

  auto otherApp = VRVLevelDB::storageDirectoryForDatabaseInfo(Info("app2", "p"), documents);
  ASSERT_TRUE(otherApp.ok());
  EXPECT_NE(otherApp.value(), defaultDb.value());
}

TEST(LevelDbStorageDirectoryTest, DocumentsDirectoryIsUnderHome) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(VRVLevelDB::documentsDirectory().ToUtf8String(), std::string(home) + "/.verorariv");
}

TEST(LevelDbStorageDirectoryTest, NamesThatLeaveTheirLevelAreRefused) {
  Path documents = Path::FromUtf8("/home/u/.verorariv");
  for (const std::string& bad : {std::string(""), std::string("."), std::string(".."),
                                 std::string("a/b"), std::string("/abs"), std::string("x\0y", 3)}) {
    for (int position = 0; position < 3; position++) {
      // A database id never holds an empty part; only the persistence key can be empty here.
      if (bad.empty() && position > 0) continue;
      core::DatabaseInfo info = position == 0   ? Info(bad, "p")
                                : position == 1 ? Info("app", bad)
                                                : Info("app", "p", bad);
      auto result = VRVLevelDB::storageDirectoryForDatabaseInfo(info, documents);
      EXPECT_FALSE(result.ok()) << "name \"" << bad << "\" at position " << position;
      if (!result.ok()) {
        EXPECT_EQ(result.status().code(), VerorarivErrorCode::InvalidArgument);
      }
    }
  }
  // Dots inside a name are ordinary.
  EXPECT_TRUE(
      VRVLevelDB::storageDirectoryForDatabaseInfo(Info("my.app", "p..q"), documents).ok());
}

// ----- opening -----

TEST(LevelDbOpenTest, FreshDirectoryIsCreatedAndMigrated) {
  TempDir temp;
  Path directory = temp.Sub("a").AppendUtf8("b").AppendUtf8("main");
  std::shared_ptr<VRVLevelDB> db = Open(directory);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(util::IsDirectory(directory).ok());
  EXPECT_TRUE(db->users().empty());
  EXPECT_TRUE(db->isStarted());
  EXPECT_EQ(RawGet(db->ptr(), LevelDbVersionKey::Key()), "6");
  EXPECT_EQ(db->queryCache()->size(), 0u);
  db->shutdown();
  EXPECT_FALSE(db->isStarted());
}

TEST(LevelDbOpenTest, DirectoryThatCannotBeCreatedIsAnInternalError) {
  TempDir temp;
  Path file = temp.Sub("file");
  FILE* f = std::fopen(file.ToUtf8String().c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  auto opened = VRVLevelDB::dbWithDirectory(file.AppendUtf8("main"), leveldb_testutil::Serializer(),
                                            leveldb_testutil::DefaultLru());
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.status().code(), VerorarivErrorCode::Internal);
  EXPECT_NE(opened.status().error_message().find("Failed to create persistence directory"),
            std::string::npos);
}

TEST(LevelDbOpenTest, ReopenKeepsDataAndFindsEveryUser) {
  TempDir temp;
  Path directory = temp.Sub("main");
  {
    std::shared_ptr<VRVLevelDB> db = Open(directory);
    MutationQueue* anonymous = db->mutationQueueForUser(auth::User());
    MutationQueue* bob = db->mutationQueueForUser(auth::User("bob"));
    db->run()("write", [&] {
      anonymous->Start();
      bob->Start();
      anonymous->AddMutationBatch(DAVTimestamp(1, 0), {}, {SetMutation("rooms/a")});
      bob->AddMutationBatch(DAVTimestamp(1, 0), {}, {SetMutation("rooms/b")});
      bob->SetLastStreamToken("bob-token");
      db->remoteDocumentCache()->Add(Doc("rooms/c", 3, Obj({{"v", Int(3)}})));
      db->queryCache()->AddTarget(Target("rooms", 4, 9));
      db->queryCache()->SetLastRemoteSnapshotVersion(Version(12));
    });
    db->shutdown();
  }
  std::shared_ptr<VRVLevelDB> db = Open(directory);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->users(), (std::set<std::string>{"", "bob"}));
  EXPECT_EQ(db->queryCache()->GetLastRemoteSnapshotVersion(), Version(12));
  EXPECT_EQ(db->queryCache()->highest_target_id(), 4);
  MutationQueue* bob = db->mutationQueueForUser(auth::User("bob"));
  db->run()("read", [&] {
    bob->Start();
    ASSERT_EQ(bob->AllMutationBatches().size(), 1u);
    EXPECT_EQ(bob->AllMutationBatches()[0]->keys(), Keys({"rooms/b"}));
    EXPECT_EQ(bob->GetLastStreamToken(), "bob-token");
    model::MaybeDocumentPtr doc = db->remoteDocumentCache()->Get(Key("rooms/c"));
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(doc->isEqual(*Doc("rooms/c", 3, Obj({{"v", Int(3)}}))));
    QueryDataPtr target = db->queryCache()->GetTarget(*Query("rooms"));
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->targetID(), 4);
    // Batch ids continue after the highest stored batch of any user (both queues above were
    // started before either wrote, so both stored batch 0).
    MutationQueue* carol = db->mutationQueueForUser(auth::User("carol"));
    carol->Start();
    EXPECT_EQ(carol->AddMutationBatch(DAVTimestamp(1, 0), {}, {SetMutation("x/y")})->batchID(), 1);
  });
  db->shutdown();
}

TEST(LevelDbOpenTest, UnreadableVersionRowFailsTheOpenWithDataLoss) {
  TempDir temp;
  Path directory = temp.Sub("main");
  {
    auto raw = RawOpen(directory);
    RawPut(raw.get(), LevelDbVersionKey::Key(), "six");
  }
  auto opened = VRVLevelDB::dbWithDirectory(directory, leveldb_testutil::Serializer(),
                                            leveldb_testutil::DefaultLru());
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.status().code(), VerorarivErrorCode::DataLoss);
  // Nothing was migrated or deleted.
  auto raw = RawOpen(directory);
  EXPECT_EQ(RawGet(raw.get(), LevelDbVersionKey::Key()), "six");
  EXPECT_EQ(RawGet(raw.get(), LevelDbTargetGlobalKey::Key()), "<absent>");
}

// Whatever keeps a pending write from decoding, the open fails naming the row, and the row stays
// for whoever looks into the store.
TEST(LevelDbOpenTest, PendingWriteThatDoesNotDecodeFailsTheOpenNamingTheRow) {
  model::VRVMutationBatch batch(
      3, DAVTimestamp(1700000000, 0), {},
      {std::make_shared<const model::VRVSetMutation>(Key("rooms/a"), Obj({{"n", Int(1)}}),
                                                     model::Precondition::None()),
       std::make_shared<const model::VRVTransformMutation>(
           Key("rooms/a"),
           std::vector<model::FieldTransform>{model::FieldTransform(
               Field("n"), std::make_shared<const model::NumericIncrementTransform>(Int(1)))})});
  auto encodedFor = [&](const std::string& project) {
    return leveldb_testutil::Serializer(project)->encodedMutationBatch(batch);
  };
  VRVPBWriteBatch noOperation = encodedFor("p");
  noOperation.mutable_writes(0)->clear_update();
  VRVPBWriteBatch transformWithoutPrecondition = encodedFor("p");
  transformWithoutPrecondition.mutable_writes(1)->clear_current_document();
  const std::vector<std::pair<std::string, std::string>> badRows{
      {"garbage", "\xff\xff\xff garbage"},
      {"another project", encodedFor("q").SerializeAsString()},
      {"no operation", noOperation.SerializeAsString()},
      {"transform without precondition", transformWithoutPrecondition.SerializeAsString()},
  };
  std::string badRow = LevelDbMutationKey::Key("alice", 3);
  for (const auto& bad : badRows) {
    TempDir temp;
    Path directory = temp.Sub("main");
    {
      std::shared_ptr<VRVLevelDB> db = Open(directory);
      // A good batch of another user before it does not hide the bad one.
      db->run()("good batch", [&] {
        db->currentTransaction()->Put(LevelDbMutationKey::Key("", 2),
                                      encodedFor("p").SerializeAsString());
      });
      db->shutdown();
      auto raw = RawOpen(directory);
      RawPut(raw.get(), badRow, bad.second);
    }
    auto opened = VRVLevelDB::dbWithDirectory(directory, leveldb_testutil::Serializer(),
                                              leveldb_testutil::DefaultLru());
    ASSERT_FALSE(opened.ok()) << bad.first;
    EXPECT_EQ(opened.status().code(), VerorarivErrorCode::DataLoss) << bad.first;
    EXPECT_NE(opened.status().error_message().find("[mutation: user_id=alice batch_id=3]"),
              std::string::npos)
        << bad.first << ": " << opened.status().ToString();
    auto raw = RawOpen(directory);
    EXPECT_EQ(RawGet(raw.get(), badRow), bad.second) << bad.first;
  }
}

// ----- transactions and sequence numbers -----

TEST(LevelDbTransactionBracketTest, EachTransactionDrawsTheNextSequenceNumber) {
  TempDir temp;
  Path directory = temp.Sub("main");
  {
    std::shared_ptr<VRVLevelDB> db = Open(directory);
    db->run()("t", [&] { db->queryCache()->AddTarget(Target("rooms", 2, 41)); });
    db->shutdown();
  }
  std::shared_ptr<VRVLevelDB> db = Open(directory);
  std::vector<model::ListenSequenceNumber> seen;
  db->run()("one", [&] {
    seen.push_back(db->currentSequenceNumber());
    seen.push_back(db->currentSequenceNumber());
  });
  db->run()("two", [&] { seen.push_back(db->currentSequenceNumber()); });
  EXPECT_EQ(seen, (std::vector<model::ListenSequenceNumber>{42, 42, 43}));
  db->shutdown();
}

TEST(LevelDbTransactionBracketDeathTest, BrokenCallOrderStops) {
  TempDir temp;
  std::shared_ptr<VRVLevelDB> db = Open(temp.Sub("main"));
  EXPECT_DEATH(
      {
        db->startTransaction("a");
        db->startTransaction("b");
      },
      "Starting a transaction while one is already outstanding");
  EXPECT_DEATH(db->commitTransaction(), "Committing a transaction before one is started");
  EXPECT_DEATH(db->currentTransaction(), "Attempting to access transaction before one has started");
  EXPECT_DEATH(db->currentSequenceNumber(), "Asking for a sequence number outside of a transaction");
  db->shutdown();
  EXPECT_DEATH(db->shutdown(), "VRVLevelDB shutdown without start!");
}

// ----- byte size -----

TEST(LevelDbByteSizeTest, SumsTheFilesAndSkipsOnesThatVanished) {
  TempDir temp;
  Path directory = temp.Sub("main");
  std::shared_ptr<VRVLevelDB> db = Open(directory);
  db->run()("fill", [&] {
    for (int i = 0; i < 50; i++) {
      db->remoteDocumentCache()->Add(Doc("rooms/d" + std::to_string(i), 1, Obj({{"v", Int(i)}})));
    }
  });
  // A listed entry whose stat fails with "not found", as a file deleted by compaction would.
  std::string vanished = directory.AppendUtf8("000999.ldb").ToUtf8String();
  ASSERT_EQ(::symlink("/nonexistent/vrv-vanished", vanished.c_str()), 0);

  int64_t expected = 0;
  auto it = util::DirectoryIterator::Create(directory);
  for (; it->Valid(); it->Next()) {
    struct stat info {};
    if (::stat(it->file().ToUtf8String().c_str(), &info) == 0) expected += info.st_size;
  }
  EXPECT_GT(expected, 0);
  EXPECT_EQ(db->byteSize(), expected);
  EXPECT_EQ(db->lruDelegate()->byteSize(), expected);
  db->shutdown();
}

// ----- LRU delegate -----

class LevelDbLruDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override { db_ = Open(temp_.Sub("main")); }
  void TearDown() override { db_->shutdown(); }

  std::vector<std::pair<std::string, model::ListenSequenceNumber>> Orphans() {
    std::vector<std::pair<std::string, model::ListenSequenceNumber>> orphans;
    db_->run()("orphans", [&] {
      db_->lruDelegate()->enumerateMutationsUsingCallback(
          [&](const DocumentKey& key, model::ListenSequenceNumber n) {
            orphans.emplace_back(key.ToString(), n);
          });
    });
    return orphans;
  }

  TempDir temp_;
  std::shared_ptr<VRVLevelDB> db_;
};

TEST_F(LevelDbLruDelegateTest, ReferenceChangesStampTheSentinelWithTheTransactionNumber) {
  model::ListenSequenceNumber first = 0;
  db_->run()("add", [&] {
    first = db_->currentSequenceNumber();
    db_->remoteDocumentCache()->Add(Doc("rooms/a", 1, Obj()));
    db_->queryCache()->AddTarget(Target("rooms", 2, first));
    db_->queryCache()->AddMatchingKeys(Keys({"rooms/a"}), 2);
  });
  EXPECT_TRUE(Orphans().empty());  // held by target 2
  db_->run()("remove", [&] { db_->queryCache()->RemoveMatchingKeys(Keys({"rooms/a"}), 2); });
  // The removal's transaction stamped it; the read transaction in between took one number.
  auto orphans = Orphans();
  ASSERT_EQ(orphans.size(), 1u);
  EXPECT_EQ(orphans[0].first, "rooms/a");
  EXPECT_EQ(orphans[0].second, first + 2);
  EXPECT_EQ(RawGet(db_->ptr(), LevelDbDocumentTargetKey::SentinelKey(Key("rooms/a"))),
            LevelDbDocumentTargetKey::EncodeSentinelValue(first + 2));
}

TEST_F(LevelDbLruDelegateTest, OrphanRemovalHonoursTheBoundPinsAndPendingWrites) {
  ReferenceSet pins;
  pins.AddReference(Key("rooms/pinned"), 1);
  db_->lruDelegate()->addInMemoryPins(&pins);
  MutationQueue* otherUser = db_->mutationQueueForUser(auth::User("other"));
  db_->mutationQueueForUser(auth::User("me"));
  db_->run()("setup", [&] {
    otherUser->Start();
    for (const char* path : {"rooms/atBound", "rooms/above", "rooms/pinned", "rooms/written",
                             "rooms/parent"}) {
      db_->remoteDocumentCache()->Add(Doc(path, 1, Obj()));
    }
    otherUser->AddMutationBatch(DAVTimestamp(1, 0), {},
                                {SetMutation("rooms/written"), SetMutation("rooms/parent/sub/x")});
    auto* txn = db_->currentTransaction();
    for (const char* path : {"rooms/atBound", "rooms/pinned", "rooms/written", "rooms/parent"}) {
      txn->Put(LevelDbDocumentTargetKey::SentinelKey(Key(path)),
               LevelDbDocumentTargetKey::EncodeSentinelValue(10));
    }
    txn->Put(LevelDbDocumentTargetKey::SentinelKey(Key("rooms/above")),
             LevelDbDocumentTargetKey::EncodeSentinelValue(11));
  });
  int32_t removed = 0;
  db_->run()("collect", [&] {
    EXPECT_TRUE(db_->lruDelegate()->isPinned(Key("rooms/pinned")));
    // Another user's pending write, and one beneath the document, pin it.
    EXPECT_TRUE(db_->lruDelegate()->isPinned(Key("rooms/written")));
    EXPECT_TRUE(db_->lruDelegate()->isPinned(Key("rooms/parent")));
    EXPECT_FALSE(db_->lruDelegate()->isPinned(Key("rooms/atBound")));
    removed = db_->lruDelegate()->removeOrphanedDocumentsThroughSequenceNumber(10);
  });
  EXPECT_EQ(removed, 1);
  EXPECT_EQ(RawGet(db_->ptr(), LevelDbRemoteDocumentKey::Key(Key("rooms/atBound"))), "<absent>");
  EXPECT_EQ(RawGet(db_->ptr(), LevelDbDocumentTargetKey::SentinelKey(Key("rooms/atBound"))),
            "<absent>");
  for (const char* kept : {"rooms/above", "rooms/pinned", "rooms/written", "rooms/parent"}) {
    EXPECT_NE(RawGet(db_->ptr(), LevelDbRemoteDocumentKey::Key(Key(kept))), "<absent>") << kept;
  }
  db_->lruDelegate()->addInMemoryPins(nullptr);
}

TEST_F(LevelDbLruDelegateTest, SentinelHoldingZeroIsStillCollected) {
  db_->run()("setup", [&] {
    db_->remoteDocumentCache()->Add(Doc("rooms/zero", 1, Obj()));
    db_->remoteDocumentCache()->Add(Doc("rooms/zeroHeld", 1, Obj()));
    auto* txn = db_->currentTransaction();
    txn->Put(LevelDbDocumentTargetKey::SentinelKey(Key("rooms/zero")),
             LevelDbDocumentTargetKey::EncodeSentinelValue(0));
    txn->Put(LevelDbDocumentTargetKey::SentinelKey(Key("rooms/zeroHeld")),
             LevelDbDocumentTargetKey::EncodeSentinelValue(0));
    txn->Put(LevelDbDocumentTargetKey::Key(Key("rooms/zeroHeld"), 4), "");
  });
  auto orphans = Orphans();
  ASSERT_EQ(orphans.size(), 1u);
  EXPECT_EQ(orphans[0], (std::pair<std::string, model::ListenSequenceNumber>{"rooms/zero", 0}));
  int32_t count = 0;
  db_->run()("count", [&] { count = db_->lruDelegate()->sequenceNumberCount(); });
  EXPECT_EQ(count, 1);
  int32_t removed = 0;
  db_->run()("collect", [&] {
    removed = db_->lruDelegate()->removeOrphanedDocumentsThroughSequenceNumber(0);
  });
  EXPECT_EQ(removed, 1);
  EXPECT_EQ(RawGet(db_->ptr(), LevelDbRemoteDocumentKey::Key(Key("rooms/zero"))), "<absent>");
  EXPECT_NE(RawGet(db_->ptr(), LevelDbRemoteDocumentKey::Key(Key("rooms/zeroHeld"))), "<absent>");
}

TEST_F(LevelDbLruDelegateTest, RemovedTargetStaysStoredWithTheCurrentNumber) {
  QueryDataPtr target = Target("rooms", 2, 1);
  db_->run()("add", [&] { db_->queryCache()->AddTarget(target); });
  model::ListenSequenceNumber current = 0;
  db_->run()("release", [&] {
    current = db_->currentSequenceNumber();
    db_->referenceDelegate()->removeTarget(target);
  });
  db_->run()("read", [&] {
    QueryDataPtr stored = db_->queryCache()->GetTarget(*Query("rooms"));
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->sequenceNumber(), current);
  });
}

// ----- rows that do not decode, and scans -----

TEST_F(LevelDbLruDelegateTest, RemoteDocumentRowThatDoesNotDecodeIsLoggedAbsentAndKept) {
  // Rows that do not parse, parse as no kind of document, belong to another project, or hold
  // another document than their key says.
  std::map<std::string, std::string> badRows{
      {"rooms/bad", std::string("\x0a\xff\x01", 3)},
      {"rooms/empty", std::string("\x20\x01", 2)},
      {"rooms/foreign", leveldb_testutil::Serializer("q")
                            ->encodedMaybeDocument(*Doc("rooms/foreign", 1, Obj()))
                            .SerializeAsString()},
      {"rooms/moved", leveldb_testutil::Serializer()
                          ->encodedMaybeDocument(*Doc("rooms/elsewhere", 1, Obj()))
                          .SerializeAsString()},
  };
  db_->run()("setup", [&] {
    db_->remoteDocumentCache()->Add(Doc("rooms/good", 1, Obj()));
    for (const auto& bad : badRows) {
      db_->currentTransaction()->Put(LevelDbRemoteDocumentKey::Key(Key(bad.first)), bad.second);
    }
  });

  std::vector<std::string> warnings;
  platform::VULLogObserverToken token =
      platform::VULAddLogObserver([&](const platform::VULLogRecord& record) {
        warnings.push_back(record.message);
      });
  db_->run()("read", [&] {
    model::DocumentKeySet keys = Keys({"rooms/good"});
    for (const auto& bad : badRows) {
      EXPECT_EQ(db_->remoteDocumentCache()->Get(Key(bad.first)), nullptr) << bad.first;
      keys = keys.insert(Key(bad.first));
    }
    model::MaybeDocumentMap all = db_->remoteDocumentCache()->GetAll(keys);
    ASSERT_EQ(all.size(), badRows.size() + 1);
    for (const auto& bad : badRows) EXPECT_EQ(all.find(Key(bad.first))->second, nullptr);
    EXPECT_NE(all.find(Key("rooms/good"))->second, nullptr);
    model::DocumentMap matching = db_->remoteDocumentCache()->GetMatching(*Query("rooms"));
    EXPECT_EQ(matching.size(), 1u);
    EXPECT_TRUE(matching.contains(Key("rooms/good")));
  });
  platform::VULRemoveLogObserver(token);
  for (const auto& bad : badRows) {
    std::string named = "The cached document " + bad.first + " ";
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(),
                            [&](const std::string& message) {
                              return message.find(named) != std::string::npos &&
                                     message.find("treated as absent") != std::string::npos;
                            }))
        << bad.first;
    EXPECT_EQ(RawGet(db_->ptr(), LevelDbRemoteDocumentKey::Key(Key(bad.first))), bad.second);
  }
}

TEST_F(LevelDbLruDelegateTest, IndexRowWithoutItsBatchIsFatal) {
  db_->run()("dangling", [&] {
    db_->currentTransaction()->Put(LevelDbDocumentMutationKey::Key("alice", Key("rooms/a"), 9),
                                   std::string());
  });
  LevelDbMutationQueue* queue = db_->mutationQueueForUser(auth::User("alice"));
  db_->run()("start", [&] { queue->Start(); });
  EXPECT_DEATH(db_->run()("read",
                          [&] { queue->AllMutationBatchesAffectingDocumentKey(Key("rooms/a")); }),
               "Dangling document-mutation reference found: Missing batch \\[mutation: "
               "user_id=alice batch_id=9\\]; seeking there found");
}

TEST_F(LevelDbLruDelegateTest, CollectionScanStopsAtTheFirstKeyOutsideTheCollection) {
  db_->run()("setup", [&] {
    db_->remoteDocumentCache()->Add(Doc("rooms/a", 1, Obj()));
    db_->remoteDocumentCache()->Add(Doc("rooms/a/messages/m", 1, Obj()));
    db_->remoteDocumentCache()->Add(Deleted("rooms/c", 1));
    // A row of the next collection that must never be read: it holds another key's document,
    // which would be reported on reading.
    db_->currentTransaction()->Put(
        LevelDbRemoteDocumentKey::Key(Key("roomz/x")),
        leveldb_testutil::Serializer()->encodedMaybeDocument(*Doc("other/y", 1, Obj())));
  });
  std::vector<std::string> warnings;
  platform::VULLogObserverToken token = platform::VULAddLogObserver(
      [&](const platform::VULLogRecord& record) { warnings.push_back(record.message); });
  db_->run()("scan", [&] {
    model::DocumentMap matching = db_->remoteDocumentCache()->GetMatching(*Query("rooms"));
    ASSERT_EQ(matching.size(), 1u);
    EXPECT_TRUE(matching.contains(Key("rooms/a")));
  });
  platform::VULRemoveLogObserver(token);
  EXPECT_TRUE(warnings.empty()) << warnings.front();
}

// ----- stored rows, byte for byte -----

TEST_F(LevelDbLruDelegateTest, StoredRowsHaveTheirExactBytes) {
  const std::string name = "projects/p/databases/(default)/documents/rooms/a";  // 0x30 bytes
  const std::string nameHex = Hex(name);
  MutationQueue* queue = db_->mutationQueueForUser(auth::User("u"));
  db_->run()("write", [&] {
    queue->Start();
    queue->AddMutationBatch(DAVTimestamp(1, 0), {}, {SetMutation("rooms/z")});
    queue->AddMutationBatch(DAVTimestamp(1000, 5), {}, {DeleteMutation("rooms/a")});
    queue->SetLastStreamToken("tok");
    db_->queryCache()->AddTarget(std::make_shared<const VRVQueryData>(
        Query("rooms/a"), 2, 7, VRVQueryPurposeListen, Version(6), "rt"));
  });
  leveldb::DB* raw = db_->ptr();

  // mutation: batch id 1, one delete write, local write time (1000 s, 5 ns), no base writes.
  EXPECT_EQ(Hex(RawGet(raw, LevelDbMutationKey::Key("u", 1))),
            "0801" "1232" "1230" + nameHex + "1a05" "08e807" "1005");
  // mutation_queue: only the stream token.
  EXPECT_EQ(Hex(RawGet(raw, LevelDbMutationQueueKey::Key("u"))), "1203" "746f6b");
  // target: id 2, snapshot (6 s), resume token, sequence number 7, a documents target.
  EXPECT_EQ(Hex(RawGet(raw, LevelDbTargetKey::Key(2))),
            "0802" "12020806" "1a027274" "2007" "3232" "0a30" + nameHex);
  // target_global: highest id 2, highest sequence number 7, no remote version yet, one target.
  EXPECT_EQ(Hex(RawGet(raw, LevelDbTargetGlobalKey::Key())), "0802" "1007" "2001");

  struct Row {
    model::MaybeDocumentPtr document;
    std::string hex;
  };
  std::vector<Row> rows = {
      // no_document: name and read time (5 s); not committed, so no flag.
      {Deleted("rooms/a", 5), "0a36" "0a30" + nameHex + "12020805"},
      // unknown_document: name and version; the flag is always written as true.
      {Unknown("rooms/a", 5), "1a36" "0a30" + nameHex + "12020805" "2001"},
      // document: name, fields {n: integer 1}, update time (5 s).
      {Doc("rooms/a", 5, Obj({{"n", Int(1)}})),
       "123f" "0a30" + nameHex + "1207" "0a016e" "12021801" "22020805"},
  };
  for (const Row& row : rows) {
    db_->run()("doc", [&] { db_->remoteDocumentCache()->Add(row.document); });
    EXPECT_EQ(Hex(RawGet(raw, LevelDbRemoteDocumentKey::Key(Key("rooms/a")))), row.hex)
        << row.document->ToString();
    db_->run()("read", [&] {
      model::MaybeDocumentPtr read = db_->remoteDocumentCache()->Get(Key("rooms/a"));
      ASSERT_NE(read, nullptr);
      EXPECT_TRUE(read->isEqual(*row.document));
    });
  }
  // Sentinel value of a sequence number, and the version row.
  EXPECT_EQ(Hex(LevelDbDocumentTargetKey::EncodeSentinelValue(5)), "85");
  EXPECT_EQ(RawGet(raw, LevelDbVersionKey::Key()), "6");
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
