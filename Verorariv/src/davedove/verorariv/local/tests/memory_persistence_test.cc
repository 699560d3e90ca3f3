#include "davedove/verorariv/local/VRVMemoryPersistence.h"

#include <gtest/gtest.h>

#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/reference_set.h"
#include "davedove/verorariv/local/tests/memory_testutil.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using testutil::Doc;
using testutil::Key;
using testutil::Keys;
using testutil::Obj;
using testutil::SetMutation;
using testutil::Target;

// Records the bracket calls it receives.
class RecordingParticipant : public VRVTransactional {
 public:
  void startTransaction(absl::string_view label) override {
    calls.push_back("start:" + std::string(label));
  }
  void commitTransaction() override { calls.push_back("commit"); }
  std::vector<std::string> calls;
};

TEST(TransactionRunnerTest, BracketsTheCallbackAndReturnsItsResult) {
  auto participant = std::make_shared<RecordingParticipant>();
  VRVTransactionRunner runner;
  runner.SetBackingPersistence(participant);
  int result = runner("Allocate query", [&] {
    participant->calls.push_back("body");
    return 42;
  });
  EXPECT_EQ(42, result);
  EXPECT_EQ((std::vector<std::string>{"start:Allocate query", "body", "commit"}),
            participant->calls);
}

TEST(TransactionRunnerTest, RunsWithoutBracketWhenNoParticipantWasInstalled) {
  VRVTransactionRunner runner;
  bool ran = false;
  runner("label", [&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(TransactionRunnerTest, FailsWhenTheInstalledParticipantIsGone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  VRVTransactionRunner runner;
  {
    auto participant = std::make_shared<RecordingParticipant>();
    runner.SetBackingPersistence(participant);
  }
  EXPECT_DEATH(runner("label", [] {}),
               "Transaction runner accessed without underlying db when it expected one");
}

class EagerPersistenceTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  std::shared_ptr<VRVMemoryPersistence> persistence_ = VRVMemoryPersistence::persistenceWithEagerGC();
  MemoryQueryCache* targets_ = persistence_->queryCache();
  MemoryRemoteDocumentCache* documents_ = persistence_->remoteDocumentCache();
  std::shared_ptr<VRVReferenceDelegate> delegate_ = persistence_->referenceDelegate();
};

TEST_F(EagerPersistenceTest, ReleasedTargetsDocumentsLeaveAtCommit) {
  auto target = Target("rooms", 2, kVRVListenSequenceNumberInvalid);
  persistence_->run()("setup", [&] {
    targets_->AddTarget(target);
    documents_->Add(Doc("rooms/a", 1, Obj()));
    documents_->Add(Doc("rooms/b", 1, Obj()));
    targets_->AddMatchingKeys(Keys({"rooms/a", "rooms/b"}), 2);
  });
  persistence_->run()("Release query", [&] {
    delegate_->removeTarget(target);
    // Still there inside the transaction.
    EXPECT_NE(nullptr, documents_->Get(Key("rooms/a")));
    EXPECT_EQ(nullptr, targets_->GetTarget(*target->query()));
  });
  EXPECT_EQ(nullptr, documents_->Get(Key("rooms/a")));
  EXPECT_EQ(nullptr, documents_->Get(Key("rooms/b")));
}

TEST_F(EagerPersistenceTest, DocumentMovedToAnotherTargetStays) {
  persistence_->run()("setup", [&] {
    documents_->Add(Doc("rooms/a", 1, Obj()));
    targets_->AddMatchingKeys(Keys({"rooms/a"}), 2);
  });
  persistence_->run()("move", [&] {
    targets_->RemoveMatchingKeys(Keys({"rooms/a"}), 2);
    targets_->AddMatchingKeys(Keys({"rooms/a"}), 4);
  });
  EXPECT_NE(nullptr, documents_->Get(Key("rooms/a")));
  // Still referenced at commit (by a target removed and re-added in another order) also stays.
  persistence_->run()("move back", [&] {
    targets_->AddMatchingKeys(Keys({"rooms/a"}), 2);
    targets_->RemoveMatchingKeys(Keys({"rooms/a"}), 4);
  });
  EXPECT_NE(nullptr, documents_->Get(Key("rooms/a")));
}

TEST_F(EagerPersistenceTest, MutationsAndPinsKeepDocuments) {
  ReferenceSet pins;
  delegate_->addInMemoryPins(&pins);
  MemoryMutationQueue* queue = persistence_->mutationQueueForUser(auth::User("alice"));
  model::MutationBatchPtr batch;
  persistence_->run()("setup", [&] {
    queue->Start();
    documents_->Add(Doc("rooms/a", 1, Obj()));
    documents_->Add(Doc("rooms/p", 1, Obj()));
    documents_->Add(Doc("rooms/gone", 1, Obj()));
    batch = queue->AddMutationBatch(DAVTimestamp(1, 0), {}, {SetMutation("rooms/a")});
    pins.AddReference(Key("rooms/p"), 9);
    targets_->AddMatchingKeys(Keys({"rooms/a", "rooms/p", "rooms/gone"}), 2);
  });
  persistence_->run()("unlisten", [&] {
    targets_->RemoveMatchingKeys(Keys({"rooms/a", "rooms/p", "rooms/gone"}), 2);
  });
  EXPECT_NE(nullptr, documents_->Get(Key("rooms/a")));
  EXPECT_NE(nullptr, documents_->Get(Key("rooms/p")));
  EXPECT_EQ(nullptr, documents_->Get(Key("rooms/gone")));

  // The batch's removal drops the last reference.
  persistence_->run()("Acknowledge batch", [&] { queue->RemoveMutationBatch(*batch); });
  EXPECT_EQ(nullptr, documents_->Get(Key("rooms/a")));
  EXPECT_NE(nullptr, documents_->Get(Key("rooms/p")));
}

TEST_F(EagerPersistenceTest, LimboUpdateOfUnreferencedDocumentRemovesIt) {
  persistence_->run()("setup", [&] {
    documents_->Add(Doc("rooms/a", 1, Obj()));
    documents_->Add(Doc("rooms/b", 1, Obj()));
    targets_->AddMatchingKeys(Keys({"rooms/b"}), 2);
  });
  persistence_->run()("Apply remote event", [&] {
    delegate_->limboDocumentUpdated(Key("rooms/a"));
    delegate_->limboDocumentUpdated(Key("rooms/b"));
  });
  EXPECT_EQ(nullptr, documents_->Get(Key("rooms/a")));
  EXPECT_NE(nullptr, documents_->Get(Key("rooms/b")));
}

TEST_F(EagerPersistenceTest, NoSequenceNumbersAndOneShutdown) {
  EXPECT_EQ(kVRVListenSequenceNumberInvalid, persistence_->currentSequenceNumber());
  persistence_->run()("inside", [&] {
    EXPECT_EQ(kVRVListenSequenceNumberInvalid, persistence_->currentSequenceNumber());
  });
  EXPECT_TRUE(persistence_->isStarted());
  persistence_->shutdown();
  EXPECT_FALSE(persistence_->isStarted());
  EXPECT_DEATH(persistence_->shutdown(), "VRVMemoryPersistence shutdown without start!");
}

std::shared_ptr<const VRVLocalSerializer> Serializer() {
  return std::make_shared<const VRVLocalSerializer>(
      std::make_shared<const remote::VRVSerializerBeta>(model::DatabaseId("p", "(default)")));
}

class LruPersistenceTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  VRVMemoryLRUReferenceDelegate* Delegate() {
    return static_cast<VRVMemoryLRUReferenceDelegate*>(persistence_->referenceDelegate().get());
  }

  std::shared_ptr<VRVMemoryPersistence> persistence_ =
      VRVMemoryPersistence::persistenceWithLruParams(LruParams{0, 100, 1000}, Serializer());
  MemoryQueryCache* targets_ = persistence_->queryCache();
  MemoryRemoteDocumentCache* documents_ = persistence_->remoteDocumentCache();
};

TEST_F(LruPersistenceTest, EachTransactionHasTheNextNumber) {
  EXPECT_DEATH(persistence_->currentSequenceNumber(),
               "Asking for a sequence number outside of a transaction");
  persistence_->run()("first", [&] {
    EXPECT_EQ(1, persistence_->currentSequenceNumber());
    EXPECT_EQ(1, persistence_->currentSequenceNumber());
  });
  persistence_->run()("second", [&] { EXPECT_EQ(2, persistence_->currentSequenceNumber()); });
  EXPECT_DEATH(Delegate()->addReference(Key("rooms/a")),
               "Asking for a sequence number outside of a transaction");
}

TEST_F(LruPersistenceTest, NestedTransactionIsRefused) {
  // The inner commit would leave the rest of the outer transaction without a number.
  persistence_->run()("outer", [&] {
    EXPECT_DEATH(persistence_->run()("inner", [] {}),
                 "Previous sequence number is still in effect");
  });
}

TEST(LruPersistenceSeedTest, ListenSequenceStartsAfterTheCachesHighestNumber) {
  auto persistence = std::make_shared<VRVMemoryPersistence>();
  persistence->queryCache()->AddTarget(Target("rooms", 2, 7));
  persistence->setReferenceDelegate(std::make_shared<VRVMemoryLRUReferenceDelegate>(
      persistence, Serializer(), LruParams{0, 10, 1000}));
  persistence->run()("first", [&] { EXPECT_EQ(8, persistence->currentSequenceNumber()); });
}

TEST_F(LruPersistenceTest, RemovedTargetStaysWithTheNewNumber) {
  auto target = std::make_shared<const VRVQueryData>(testutil::Query("rooms"), 2, 1,
                                                     VRVQueryPurposeListen, testutil::Version(5),
                                                     "resume");
  persistence_->run()("add", [&] {
    targets_->AddTarget(target);
    targets_->AddMatchingKeys(Keys({"rooms/a"}), 2);
  });
  persistence_->run()("Release query", [&] { Delegate()->removeTarget(target); });
  QueryDataPtr stored = targets_->GetTarget(*target->query());
  ASSERT_NE(nullptr, stored);
  EXPECT_EQ(2, stored->sequenceNumber());
  EXPECT_EQ(testutil::Version(5), stored->snapshotVersion());
  EXPECT_EQ("resume", stored->resumeToken());
  EXPECT_TRUE(targets_->Contains(Key("rooms/a")));
}

TEST_F(LruPersistenceTest, PinningFollowsReferencesAndLastUse) {
  ReferenceSet pins;
  Delegate()->addInMemoryPins(&pins);
  EXPECT_FALSE(Delegate()->isPinnedAtSequenceNumber(100, Key("rooms/none")));

  persistence_->run()("1", [&] { Delegate()->removeReference(Key("rooms/old")); });
  persistence_->run()("2", [&] { Delegate()->removeReference(Key("rooms/new")); });
  EXPECT_FALSE(Delegate()->isPinnedAtSequenceNumber(1, Key("rooms/old")));
  EXPECT_TRUE(Delegate()->isPinnedAtSequenceNumber(1, Key("rooms/new")));
  EXPECT_FALSE(Delegate()->isPinnedAtSequenceNumber(2, Key("rooms/new")));

  pins.AddReference(Key("rooms/old"), 3);
  EXPECT_TRUE(Delegate()->isPinnedAtSequenceNumber(5, Key("rooms/old")));
  pins.RemoveAllReferences();

  MemoryMutationQueue* queue = persistence_->mutationQueueForUser(auth::User("alice"));
  persistence_->run()("write", [&] {
    queue->Start();
    queue->AddMutationBatch(DAVTimestamp(1, 0), {}, {SetMutation("rooms/old")});
  });
  EXPECT_TRUE(Delegate()->isPinnedAtSequenceNumber(5, Key("rooms/old")));
  EXPECT_TRUE(Delegate()->mutationQueuesContainKey(Key("rooms/old")));

  // Only what nothing holds is enumerated as orphaned, and counted with the targets.
  persistence_->run()("target", [&] { targets_->AddTarget(Target("rooms", 2, 4)); });
  std::vector<std::string> orphaned;
  Delegate()->enumerateMutationsUsingCallback(
      [&](const model::DocumentKey& key, model::ListenSequenceNumber number) {
        orphaned.push_back(key.ToString() + "@" + std::to_string(number));
      });
  EXPECT_EQ(std::vector<std::string>{"rooms/new@2"}, orphaned);
  EXPECT_EQ(2, Delegate()->sequenceNumberCount());
}

TEST_F(LruPersistenceTest, KeysThatNeverReachedTheCacheAreForgottenByACollection) {
  // A write to a new document, rejected: the key is stamped but no document was ever cached.
  MemoryMutationQueue* queue = persistence_->mutationQueueForUser(auth::User("alice"));
  model::MutationBatchPtr batch;
  persistence_->run()("write", [&] {
    queue->Start();
    batch = queue->AddMutationBatch(DAVTimestamp(1, 0), {}, {SetMutation("rooms/never")});
  });
  persistence_->run()("reject", [&] { queue->RemoveMutationBatch(*batch); });
  persistence_->run()("cached", [&] {
    documents_->Add(Doc("rooms/cached", 1, Obj()));
    Delegate()->removeReference(Key("rooms/cached"));
  });
  // A key stamped after the bound stays for a later run.
  persistence_->run()("late", [&] { Delegate()->removeReference(Key("rooms/late")); });
  EXPECT_EQ(3, Delegate()->sequenceNumberCount());

  int32_t removed = 0;
  persistence_->run()("collect", [&] {
    removed = Delegate()->removeOrphanedDocumentsThroughSequenceNumber(3);
  });
  // Only the cached document counts as removed; the uncached key's number is gone as well.
  EXPECT_EQ(1, removed);
  std::vector<std::string> left;
  Delegate()->enumerateMutationsUsingCallback(
      [&](const model::DocumentKey& key, model::ListenSequenceNumber) {
        left.push_back(key.ToString());
      });
  EXPECT_EQ(std::vector<std::string>{"rooms/late"}, left);
  EXPECT_EQ(1, Delegate()->sequenceNumberCount());
}

TEST_F(LruPersistenceTest, ByteSizeCountsEveryStore) {
  EXPECT_EQ(0, Delegate()->byteSize());
  persistence_->run()("fill", [&] {
    documents_->Add(Doc("rooms/a", 1, Obj({{"v", testutil::Int(1)}})));
  });
  int64_t withDocument = Delegate()->byteSize();
  // At least the key's segments.
  EXPECT_GT(withDocument, 6);
  persistence_->run()("target", [&] {
    targets_->AddTarget(Target("rooms", 2, 1));
    // A limbo target is measured too, not refused.
    targets_->AddTarget(Target("rooms/a", 1, 1, VRVQueryPurposeLimboResolution));
  });
  int64_t withTargets = Delegate()->byteSize();
  EXPECT_GT(withTargets, withDocument);
  MemoryMutationQueue* queue = persistence_->mutationQueueForUser(auth::User("alice"));
  persistence_->run()("write", [&] {
    queue->AddMutationBatch(DAVTimestamp(1, 0), {}, {SetMutation("rooms/b")});
  });
  EXPECT_GT(Delegate()->byteSize(), withTargets);
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
