#include "davedove/verorariv/local/memory_mutation_queue.h"

#include <gtest/gtest.h>

#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/local/tests/memory_testutil.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using testutil::Key;
using testutil::Keys;
using testutil::Mutations;
using testutil::Query;
using testutil::SetMutation;

std::vector<BatchId> Ids(const std::vector<model::MutationBatchPtr>& batches) {
  std::vector<BatchId> ids;
  for (const auto& batch : batches) ids.push_back(batch->batchID());
  return ids;
}

class MemoryMutationQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    persistence_ = VRVMemoryPersistence::persistenceWithEagerGC();
    queue_ = persistence_->mutationQueueForUser(auth::User("alice"));
    persistence_->run()("start", [&] { queue_->Start(); });
  }

  model::MutationBatchPtr Add(std::vector<model::MutationPtr> mutations) {
    return persistence_->run()("add", [&] {
      return queue_->AddMutationBatch(DAVTimestamp(1, 0), {}, std::move(mutations));
    });
  }

  void Remove(const model::MutationBatchPtr& batch) {
    persistence_->run()("remove", [&] { queue_->RemoveMutationBatch(*batch); });
  }

  std::shared_ptr<VRVMemoryPersistence> persistence_;
  MemoryMutationQueue* queue_ = nullptr;
};

TEST_F(MemoryMutationQueueTest, BatchIdsStartAtOneAndRestartOnlyWhenEmpty) {
  EXPECT_TRUE(queue_->IsEmpty());
  auto first = Add({SetMutation("rooms/a")});
  auto second = Add({SetMutation("rooms/b")});
  EXPECT_EQ(1, first->batchID());
  EXPECT_EQ(2, second->batchID());
  EXPECT_FALSE(queue_->IsEmpty());

  // A queue that still holds batches keeps counting.
  queue_->Start();
  EXPECT_EQ(3, Add({SetMutation("rooms/c")})->batchID());

  Remove(first);
  Remove(second);
  Remove(queue_->LookupMutationBatch(3));
  EXPECT_TRUE(queue_->IsEmpty());
  queue_->Start();
  EXPECT_EQ(1, Add({SetMutation("rooms/d")})->batchID());
}

TEST_F(MemoryMutationQueueTest, AcknowledgeKeepsTheBatchAndStoresTheToken) {
  auto batch = Add({SetMutation("rooms/a")});
  EXPECT_TRUE(queue_->GetLastStreamToken().empty());
  queue_->AcknowledgeBatch(*batch, "token-1");
  EXPECT_EQ("token-1", queue_->GetLastStreamToken());
  EXPECT_EQ(std::vector<BatchId>{1}, Ids(queue_->AllMutationBatches()));
  queue_->SetLastStreamToken("token-2");
  EXPECT_EQ("token-2", queue_->GetLastStreamToken());
}

TEST_F(MemoryMutationQueueTest, RemovingTheOnlyBatchLeavesNoIndexEntries) {
  auto batch = Add({SetMutation("rooms/a"), SetMutation("rooms/b")});
  EXPECT_TRUE(queue_->ContainsKey(Key("rooms/a")));
  Remove(batch);
  queue_->PerformConsistencyCheck();
  EXPECT_FALSE(queue_->ContainsKey(Key("rooms/a")));
  EXPECT_FALSE(queue_->ContainsKey(Key("rooms/b")));
  EXPECT_TRUE(queue_->AllMutationBatchesAffectingDocumentKey(Key("rooms/a")).empty());
}

TEST_F(MemoryMutationQueueTest, LookupAndNextUseTheQueuePositions) {
  EXPECT_EQ(nullptr, queue_->NextMutationBatchAfterBatchId(0));
  EXPECT_EQ(nullptr, queue_->LookupMutationBatch(1));
  auto b1 = Add({SetMutation("rooms/a")});
  auto b2 = Add({SetMutation("rooms/b")});
  auto b3 = Add({SetMutation("rooms/c")});
  Remove(b1);

  EXPECT_EQ(nullptr, queue_->LookupMutationBatch(1));
  EXPECT_EQ(b2, queue_->LookupMutationBatch(2));
  EXPECT_EQ(b3, queue_->LookupMutationBatch(3));
  EXPECT_EQ(nullptr, queue_->LookupMutationBatch(4));
  EXPECT_EQ(nullptr, queue_->LookupMutationBatch(std::numeric_limits<BatchId>::min()));

  // Below the queue's range gives the first batch; the last id or later gives none.
  EXPECT_EQ(b2, queue_->NextMutationBatchAfterBatchId(-5));
  EXPECT_EQ(b2, queue_->NextMutationBatchAfterBatchId(1));
  EXPECT_EQ(b3, queue_->NextMutationBatchAfterBatchId(2));
  EXPECT_EQ(nullptr, queue_->NextMutationBatchAfterBatchId(3));
  EXPECT_EQ(nullptr, queue_->NextMutationBatchAfterBatchId(std::numeric_limits<BatchId>::max()));
}

TEST_F(MemoryMutationQueueTest, BatchesByKeysAreListedOnceInIdOrder) {
  Add({SetMutation("rooms/a"), SetMutation("rooms/a", 2)});
  Add({SetMutation("rooms/b")});
  Add({SetMutation("rooms/a"), SetMutation("rooms/c")});
  Add({SetMutation("halls/a")});

  EXPECT_EQ((std::vector<BatchId>{1, 3}),
            Ids(queue_->AllMutationBatchesAffectingDocumentKeys(Keys({"rooms/a"}))));
  EXPECT_EQ((std::vector<BatchId>{1, 2, 3}),
            Ids(queue_->AllMutationBatchesAffectingDocumentKeys(Keys({"rooms/a", "rooms/b"}))));
  // Two mutations of one document in one batch still list the batch once.
  EXPECT_EQ((std::vector<BatchId>{1, 3}),
            Ids(queue_->AllMutationBatchesAffectingDocumentKey(Key("rooms/a"))));
  EXPECT_TRUE(queue_->AllMutationBatchesAffectingDocumentKey(Key("rooms/z")).empty());
}

TEST_F(MemoryMutationQueueTest, QueryScanSkipsSubcollectionsAndNeighbours) {
  Add({SetMutation("rooms/a")});
  Add({SetMutation("rooms/a/messages/m1")});
  Add({SetMutation("roomsX/a")});
  Add({SetMutation("rooms/b"), SetMutation("halls/h")});
  Add({SetMutation("rooms/a/messages/m2")});

  EXPECT_EQ((std::vector<BatchId>{1, 4}),
            Ids(queue_->AllMutationBatchesAffectingQuery(*Query("rooms"))));
  EXPECT_EQ((std::vector<BatchId>{2, 5}),
            Ids(queue_->AllMutationBatchesAffectingQuery(*Query("rooms/a/messages"))));
  EXPECT_TRUE(queue_->AllMutationBatchesAffectingQuery(*Query("empty")).empty());
}

TEST_F(MemoryMutationQueueTest, MutationsRecordTheirCollectionParents) {
  Add({SetMutation("rooms/a/messages/m1")});
  EXPECT_EQ(std::vector<model::ResourcePath>{model::ResourcePath::FromString("rooms/a")},
            persistence_->indexManager()->GetCollectionParents("messages"));
}

TEST_F(MemoryMutationQueueTest, QueuesAreKeptPerUser) {
  Add({SetMutation("rooms/a")});
  MemoryMutationQueue* bob = persistence_->mutationQueueForUser(auth::User("bob"));
  EXPECT_NE(queue_, bob);
  EXPECT_TRUE(bob->IsEmpty());
  EXPECT_EQ(queue_, persistence_->mutationQueueForUser(auth::User("alice")));
  EXPECT_EQ(persistence_->mutationQueueForUser(auth::User()),
            persistence_->mutationQueueForUser(auth::User::Unauthenticated()));
}

TEST_F(MemoryMutationQueueTest, OrderingViolationsStopTheProcess) {
  EXPECT_DEATH(Add({}), "Mutation batches should not be empty");
  EXPECT_DEATH(queue_->AcknowledgeBatch(model::VRVMutationBatch(
                                            1, DAVTimestamp(1, 0), {}, {SetMutation("rooms/a")}),
                                        ""),
               "Cannot acknowledge batch on an empty queue");
  auto b1 = Add({SetMutation("rooms/a")});
  auto b2 = Add({SetMutation("rooms/b")});
  EXPECT_DEATH(queue_->AcknowledgeBatch(*b2, ""),
               "Queue ordering failure: expected batch 2, got batch 1");
  EXPECT_DEATH(Remove(b2), "Can only remove the first entry of the mutation queue");
  EXPECT_DEATH(queue_->AllMutationBatchesAffectingQuery(
                   *core::VRVQuery::queryWithPath(model::ResourcePath(), "rooms")),
               "CollectionGroup queries should be handled in LocalDocumentsView");
  Remove(b1);
  Remove(b2);
  EXPECT_DEATH(Remove(b2), "Trying to remove batch from empty queue");
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
