#include "davedove/verorariv/local/tests/local_store_contract.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>

#include "davedove/verorariv/local/VRVLRUGarbageCollector.h"
#include "davedove/verorariv/local/index_manager.h"
#include "davedove/verorariv/local/lru_garbage_collector.h"
#include "davedove/verorariv/local/mutation_queue.h"
#include "davedove/verorariv/local/query_cache.h"
#include "davedove/verorariv/local/remote_document_cache.h"
#include "davedove/verorariv/model/field_transform.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "davedove/verorariv/remote/remote_event.h"
#include "davedove/verorariv/util/log.h"
#include "platform/utilities/Logger.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace contract {

using auth::User;
using core::QueryPtr;
using core::VRVFilter;
using core::VRVQuery;
using core::VRVRelationFilterOperator;
using core::VRVSortOrder;
using model::DocumentKey;
using model::DocumentKeySet;
using model::DocumentMap;
using model::DocumentState;
using model::MaybeDocumentMap;
using model::MaybeDocumentPtr;
using model::MutationBatchPtr;
using model::MutationPtr;
using model::ResourcePath;
using model::SnapshotVersion;
using model::VRVDeletedDocument;
using model::VRVDocument;
using model::VRVMutationBatchResult;
using model::VRVMutationResult;
using remote::RemoteEvent;
using remote::TargetChange;
using namespace testutil;  // NOLINT

// ----- builders -----

namespace testutil {

core::QueryPtr Query(const std::string& path) {
  return VRVQuery::queryWithPath(ResourcePath::FromString(path));
}

MutationPtr SetMutation(const std::string& path,
                        const std::map<std::string, model::FieldValuePtr>& fields) {
  return std::make_shared<const model::VRVSetMutation>(Key(path), Obj(fields),
                                                       model::Precondition::None());
}

MutationPtr PatchMutation(const std::string& path,
                          const std::map<std::string, model::FieldValuePtr>& fields) {
  std::set<model::FieldPath> paths;
  for (const auto& field : fields) paths.insert(Field(field.first));
  return std::make_shared<const model::VRVPatchMutation>(
      Key(path), Obj(fields), model::FieldMask(std::move(paths)), model::Precondition::Exists(true));
}

MutationPtr DeleteMutation(const std::string& path) {
  return std::make_shared<const model::VRVDeleteMutation>(Key(path), model::Precondition::None());
}

MutationPtr IncrementMutation(const std::string& path, const std::string& field, int64_t amount) {
  std::vector<model::FieldTransform> transforms{model::FieldTransform(
      Field(field), std::make_shared<const model::NumericIncrementTransform>(Int(amount)))};
  return std::make_shared<const model::VRVTransformMutation>(Key(path), std::move(transforms));
}

DocumentKeySet NoKeys() { return DocumentKeySet(); }

DocumentKeySet Keys(std::initializer_list<std::string> paths) {
  DocumentKeySet keys;
  for (const std::string& path : paths) keys = keys.insert(Key(path));
  return keys;
}

}  // namespace testutil

namespace {

const User& Alice() {
  static const User user("alice");
  return user;
}

std::vector<model::BatchId> BatchIds(const std::vector<MutationBatchPtr>& batches) {
  std::vector<model::BatchId> ids;
  for (const MutationBatchPtr& batch : batches) ids.push_back(batch->batchID());
  return ids;
}

template <typename Map>
std::set<std::string> MapKeys(const Map& map) {
  std::set<std::string> result;
  for (const auto& entry : map) result.insert(entry.first.ToString());
  return result;
}

MaybeDocumentPtr Lookup(const MaybeDocumentMap& map, const std::string& path) {
  auto found = map.find(Key(path));
  return found == map.end() ? nullptr : found->second;
}

const VRVDocument* AsDoc(const MaybeDocumentPtr& maybeDoc) {
  return model::AsDocument(maybeDoc.get());
}

std::vector<std::string> ParentStrings(const std::vector<ResourcePath>& parents) {
  std::vector<std::string> result;
  for (const ResourcePath& parent : parents) result.push_back(parent.CanonicalString());
  std::sort(result.begin(), result.end());
  return result;
}

QueryDataPtr MakeTarget(const QueryPtr& query, TargetId targetID,
                        model::ListenSequenceNumber sequenceNumber,
                        const SnapshotVersion& version = SnapshotVersion::None(),
                        std::string token = "") {
  return std::make_shared<const VRVQueryData>(query, targetID, sequenceNumber,
                                              VRVQueryPurposeListen, version, std::move(token));
}

TargetChange Change(std::string token, DocumentKeySet added = DocumentKeySet(),
                    DocumentKeySet modified = DocumentKeySet(),
                    DocumentKeySet removed = DocumentKeySet()) {
  return TargetChange(std::move(token), true, std::move(added), std::move(modified),
                      std::move(removed));
}

RemoteEvent Event(const SnapshotVersion& version, RemoteEvent::TargetChangeMap changes,
                  const std::vector<MaybeDocumentPtr>& documents,
                  DocumentKeySet limbo = DocumentKeySet()) {
  RemoteEvent::DocumentUpdateMap updates;
  for (const MaybeDocumentPtr& document : documents) updates[document->key()] = document;
  return RemoteEvent(version, std::move(changes), std::move(updates), std::move(limbo));
}

// Collects the log messages written while it lives.
class LogCapture {
 public:
  LogCapture() {
    util::LogSetLevel(util::LogLevel::Debug);
    token_ = platform::VULAddLogObserver([this](const platform::VULLogRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(record.message);
    });
  }
  ~LogCapture() {
    platform::VULRemoveLogObserver(token_);
    util::LogSetLevel(util::LogLevel::Warning);
  }
  std::vector<std::string> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  platform::VULLogObserverToken token_ = 0;
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

// Wraps a persistence and records the label of every transaction run through it. The wrapped
// family's own participant (the persistence itself, or else its reference delegate) still
// brackets each transaction.
class LabelRecordingPersistence : public VRVPersistence {
 public:
  explicit LabelRecordingPersistence(std::shared_ptr<VRVPersistence> inner)
      : inner_(std::move(inner)), recorder_(std::make_shared<Recorder>()) {
    recorder_->inner = std::dynamic_pointer_cast<VRVTransactional>(inner_);
    if (!recorder_->inner) {
      recorder_->inner = std::dynamic_pointer_cast<VRVTransactional>(inner_->referenceDelegate());
    }
    runner_.SetBackingPersistence(recorder_);
  }

  void shutdown() override { inner_->shutdown(); }
  MutationQueue* mutationQueueForUser(const User& user) override {
    return inner_->mutationQueueForUser(user);
  }
  QueryCache* queryCache() override { return inner_->queryCache(); }
  RemoteDocumentCache* remoteDocumentCache() override { return inner_->remoteDocumentCache(); }
  IndexManager* indexManager() override { return inner_->indexManager(); }
  const VRVTransactionRunner& run() override { return runner_; }
  std::shared_ptr<VRVReferenceDelegate> referenceDelegate() override {
    return inner_->referenceDelegate();
  }
  model::ListenSequenceNumber currentSequenceNumber() override {
    return inner_->currentSequenceNumber();
  }

  std::vector<std::string> TakeLabels() { return std::exchange(recorder_->labels, {}); }

 private:
  struct Recorder : VRVTransactional {
    void startTransaction(absl::string_view label) override {
      labels.emplace_back(label);
      if (inner) inner->startTransaction(label);
    }
    void commitTransaction() override {
      if (inner) inner->commitTransaction();
    }
    std::shared_ptr<VRVTransactional> inner;
    std::vector<std::string> labels;
  };

  std::shared_ptr<VRVPersistence> inner_;
  std::shared_ptr<Recorder> recorder_;
  VRVTransactionRunner runner_;
};

// An LRU delegate that remembers which targets the collector was told are live.
class LiveTargetRecorder : public VRVLRUDelegate {
 public:
  void enumerateTargetsUsingCallback(const TargetCallback&) override {}
  void enumerateMutationsUsingCallback(const OrphanedDocumentCallback&) override {}
  int32_t removeOrphanedDocumentsThroughSequenceNumber(model::ListenSequenceNumber) override {
    return 0;
  }
  int32_t removeTargetsThroughSequenceNumber(model::ListenSequenceNumber,
                                             const LiveQueryMap& liveQueries) override {
    live = liveQueries;
    return 0;
  }
  int64_t byteSize() override { return 1 << 20; }
  int32_t sequenceNumberCount() override { return 0; }
  std::shared_ptr<VRVLRUGarbageCollector> gc() override { return nullptr; }

  std::optional<LiveQueryMap> live;
};

}  // namespace

// ----- fixtures -----

void PersistenceContractTest::SetUp() {
  persistence_ = GetParam().create();
  ASSERT_NE(persistence_, nullptr);
}

void PersistenceContractTest::TearDown() {
  if (persistence_) persistence_->shutdown();
  persistence_.reset();
}

void LocalStoreContractTest::SetUp() {
  PersistenceContractTest::SetUp();
  store_ = std::make_unique<VRVLocalStore>(persistence_, Alice());
  store_->start();
}

void LocalStoreContractTest::TearDown() {
  store_.reset();
  PersistenceContractTest::TearDown();
}

void LocalStoreContractTest::RestartStore() {
  store_.reset();
  store_ = std::make_unique<VRVLocalStore>(persistence_, Alice());
  store_->start();
}

// ----- mutation queue -----

namespace {

MutationBatchPtr AddBatch(MutationQueue* queue, std::vector<MutationPtr> mutations,
                          std::vector<MutationPtr> baseMutations = {}) {
  return queue->AddMutationBatch(DAVTimestamp(1000, 123456789), std::move(baseMutations),
                                 std::move(mutations));
}

}  // namespace

TEST_P(MutationQueueContractTest, BatchesGetIncreasingIdsAndReadBackUnchanged) {
  MutationQueue* queue = persistence_->mutationQueueForUser(Alice());
  Tx([&] {
    queue->Start();
    EXPECT_TRUE(queue->IsEmpty());
    EXPECT_TRUE(queue->AllMutationBatches().empty());

    MutationBatchPtr first =
        AddBatch(queue, {SetMutation("foo/a", {{"n", Int(1)}}), DeleteMutation("foo/b")},
                 {PatchMutation("foo/a", {{"n", Int(0)}})});
    MutationBatchPtr second = AddBatch(queue, {PatchMutation("bar/c", {{"x", Str("y")}})});
    EXPECT_FALSE(queue->IsEmpty());
    EXPECT_GT(second->batchID(), first->batchID());

    std::vector<MutationBatchPtr> all = queue->AllMutationBatches();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(*all[0], *first);
    EXPECT_EQ(*all[1], *second);

    MutationBatchPtr read = queue->LookupMutationBatch(first->batchID());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(*read, *first);
    ASSERT_EQ(read->baseMutations().size(), 1u);
    EXPECT_EQ(*read->baseMutations()[0], *PatchMutation("foo/a", {{"n", Int(0)}}));
    EXPECT_EQ(read->localWriteTime(), DAVTimestamp(1000, 123456789));
    EXPECT_EQ(queue->LookupMutationBatch(second->batchID() + 1), nullptr);
  });
}

TEST_P(MutationQueueContractTest, NextBatchAfterAnIdSkipsToTheFollowingBatch) {
  MutationQueue* queue = persistence_->mutationQueueForUser(Alice());
  Tx([&] {
    queue->Start();
    MutationBatchPtr b1 = AddBatch(queue, {SetMutation("foo/a", {})});
    MutationBatchPtr b2 = AddBatch(queue, {SetMutation("foo/b", {})});
    MutationBatchPtr b3 = AddBatch(queue, {SetMutation("foo/c", {})});

    EXPECT_EQ(queue->NextMutationBatchAfterBatchId(b1->batchID() - 1)->batchID(), b1->batchID());
    EXPECT_EQ(queue->NextMutationBatchAfterBatchId(b1->batchID())->batchID(), b2->batchID());
    EXPECT_EQ(queue->NextMutationBatchAfterBatchId(b3->batchID()), nullptr);

    // After removing the head, the next batch after its id is still the second.
    queue->RemoveMutationBatch(*b1);
    EXPECT_EQ(queue->NextMutationBatchAfterBatchId(b1->batchID())->batchID(), b2->batchID());
    EXPECT_EQ(queue->LookupMutationBatch(b1->batchID()), nullptr);
  });
}

TEST_P(MutationQueueContractTest, BatchesAffectingKeysAreListedOnceInIdOrder) {
  MutationQueue* queue = persistence_->mutationQueueForUser(Alice());
  Tx([&] {
    queue->Start();
    MutationBatchPtr b1 = AddBatch(queue, {SetMutation("foo/a", {}), SetMutation("foo/b", {})});
    MutationBatchPtr b2 = AddBatch(queue, {SetMutation("bar/x", {})});
    MutationBatchPtr b3 = AddBatch(queue, {DeleteMutation("foo/a")});

    EXPECT_EQ(BatchIds(queue->AllMutationBatchesAffectingDocumentKey(Key("foo/a"))),
              (std::vector<model::BatchId>{b1->batchID(), b3->batchID()}));
    EXPECT_TRUE(queue->AllMutationBatchesAffectingDocumentKey(Key("foo/zzz")).empty());
    // foo/a and foo/b both hit b1, which still appears once.
    EXPECT_EQ(BatchIds(queue->AllMutationBatchesAffectingDocumentKeys(Keys({"foo/a", "foo/b"}))),
              (std::vector<model::BatchId>{b1->batchID(), b3->batchID()}));
    EXPECT_EQ(BatchIds(queue->AllMutationBatchesAffectingDocumentKeys(Keys({"bar/x", "foo/b"}))),
              (std::vector<model::BatchId>{b1->batchID(), b2->batchID()}));
  });
}

TEST_P(MutationQueueContractTest, BatchesAffectingAQueryCoverItsCollectionOnly) {
  MutationQueue* queue = persistence_->mutationQueueForUser(Alice());
  Tx([&] {
    queue->Start();
    MutationBatchPtr inFoo = AddBatch(queue, {SetMutation("foo/a", {})});
    AddBatch(queue, {SetMutation("bar/a", {})});
    // A collection whose name extends "foo" is another collection.
    AddBatch(queue, {SetMutation("foobar/a", {})});
    MutationBatchPtr inFooAgain = AddBatch(queue, {DeleteMutation("foo/b")});

    EXPECT_EQ(BatchIds(queue->AllMutationBatchesAffectingQuery(*Query("foo"))),
              (std::vector<model::BatchId>{inFoo->batchID(), inFooAgain->batchID()}));
  });
}

TEST_P(MutationQueueContractTest, AcknowledgedBatchStaysUntilRemovedAndKeepsTheToken) {
  MutationQueue* queue = persistence_->mutationQueueForUser(Alice());
  Tx([&] {
    queue->Start();
    EXPECT_EQ(queue->GetLastStreamToken(), "");
    MutationBatchPtr b1 = AddBatch(queue, {SetMutation("foo/a", {})});
    MutationBatchPtr b2 = AddBatch(queue, {SetMutation("foo/b", {})});

    queue->AcknowledgeBatch(*b1, std::string("token\0one", 9));
    EXPECT_EQ(queue->GetLastStreamToken(), std::string("token\0one", 9));
    EXPECT_EQ(queue->AllMutationBatches().size(), 2u);

    queue->RemoveMutationBatch(*b1);
    queue->AcknowledgeBatch(*b2, "token2");
    queue->RemoveMutationBatch(*b2);
    EXPECT_TRUE(queue->IsEmpty());
    EXPECT_EQ(queue->GetLastStreamToken(), "token2");
    queue->PerformConsistencyCheck();

    queue->SetLastStreamToken("set directly");
    EXPECT_EQ(queue->GetLastStreamToken(), "set directly");

    // Ids keep rising after the queue emptied.
    MutationBatchPtr b3 = AddBatch(queue, {SetMutation("foo/c", {})});
    EXPECT_GT(b3->batchID(), b2->batchID());
  });
}

TEST_P(MutationQueueContractTest, EachUserHasQueueAndTokenOfTheirOwn) {
  MutationQueue* alice = persistence_->mutationQueueForUser(Alice());
  MutationQueue* bob = persistence_->mutationQueueForUser(User("bob"));
  Tx([&] {
    alice->Start();
    bob->Start();
    MutationBatchPtr aliceBatch = AddBatch(alice, {SetMutation("foo/a", {})});
    alice->SetLastStreamToken("alice-token");
    EXPECT_TRUE(bob->IsEmpty());
    EXPECT_EQ(bob->GetLastStreamToken(), "");
    AddBatch(bob, {SetMutation("foo/b", {})});
    EXPECT_EQ(BatchIds(alice->AllMutationBatches()),
              (std::vector<model::BatchId>{aliceBatch->batchID()}));
  });
  // The same user yields the same stored batches.
  MutationQueue* aliceAgain = persistence_->mutationQueueForUser(Alice());
  Tx([&] {
    aliceAgain->Start();
    ASSERT_EQ(aliceAgain->AllMutationBatches().size(), 1u);
    EXPECT_EQ(aliceAgain->AllMutationBatches()[0]->keys(), Keys({"foo/a"}));
    EXPECT_EQ(aliceAgain->GetLastStreamToken(), "alice-token");
  });
}

// ----- query cache -----

TEST_P(QueryCacheContractTest, TargetsAreStoredReadAndCounted) {
  QueryCache* cache = persistence_->queryCache();
  QueryPtr filtered =
      Query("rooms")
          ->queryByAddingFilter(VRVFilter::filterWithField(
              Field("size"), VRVRelationFilterOperator::GreaterThan, Int(3)))
          ->queryByAddingSortOrder(VRVSortOrder(Field("size"), false));
  QueryPtr document = Query("rooms/eros");
  Tx([&] {
    EXPECT_EQ(cache->GetTarget(*filtered), nullptr);
    EXPECT_EQ(cache->size(), 0u);
    EXPECT_EQ(cache->highest_target_id(), 0);

    QueryDataPtr a = MakeTarget(filtered, 4, 10, Version(5, 6), "resume-a");
    QueryDataPtr b = MakeTarget(document, 2, 20);
    cache->AddTarget(a);
    cache->AddTarget(b);
    EXPECT_EQ(cache->size(), 2u);
    EXPECT_EQ(cache->highest_target_id(), 4);
    EXPECT_EQ(cache->highest_listen_sequence_number(), 20);

    QueryDataPtr readA = cache->GetTarget(*filtered);
    ASSERT_NE(readA, nullptr);
    EXPECT_EQ(*readA, *a);
    QueryDataPtr readB = cache->GetTarget(*document);
    ASSERT_NE(readB, nullptr);
    EXPECT_EQ(*readB, *b);
    EXPECT_EQ(cache->GetTarget(*Query("rooms")), nullptr);

    std::set<TargetId> seen;
    cache->EnumerateTargets([&](const QueryDataPtr& target) { seen.insert(target->targetID()); });
    EXPECT_EQ(seen, (std::set<TargetId>{2, 4}));
  });
}

TEST_P(QueryCacheContractTest, UpdateOverwritesAndRemoveForgetsTheTargetAndItsKeys) {
  QueryCache* cache = persistence_->queryCache();
  QueryPtr query = Query("rooms");
  Tx([&] {
    cache->AddTarget(MakeTarget(query, 6, 1));
    cache->AddMatchingKeys(Keys({"rooms/a", "rooms/b"}), 6);

    QueryDataPtr updated = MakeTarget(query, 6, 7, Version(100), "newer");
    cache->UpdateTarget(updated);
    EXPECT_EQ(cache->size(), 1u);
    EXPECT_EQ(*cache->GetTarget(*query), *updated);
    EXPECT_EQ(cache->highest_listen_sequence_number(), 7);

    cache->RemoveTarget(updated);
    EXPECT_EQ(cache->GetTarget(*query), nullptr);
    EXPECT_EQ(cache->size(), 0u);
    EXPECT_TRUE(cache->GetMatchingKeys(6).empty());
    EXPECT_FALSE(cache->Contains(Key("rooms/a")));
    // The highest id ever stored survives the removal.
    EXPECT_EQ(cache->highest_target_id(), 6);
  });
}

TEST_P(QueryCacheContractTest, MatchingKeysArePerTarget) {
  QueryCache* cache = persistence_->queryCache();
  Tx([&] {
    cache->AddTarget(MakeTarget(Query("a"), 2, 1));
    cache->AddTarget(MakeTarget(Query("b"), 4, 1));
    EXPECT_FALSE(cache->Contains(Key("a/1")));

    cache->AddMatchingKeys(Keys({"a/1", "a/2"}), 2);
    cache->AddMatchingKeys(Keys({"a/1", "b/1"}), 4);
    EXPECT_EQ(cache->GetMatchingKeys(2), Keys({"a/1", "a/2"}));
    EXPECT_EQ(cache->GetMatchingKeys(4), Keys({"a/1", "b/1"}));

    cache->RemoveMatchingKeys(Keys({"a/1"}), 2);
    EXPECT_EQ(cache->GetMatchingKeys(2), Keys({"a/2"}));
    // Still matched by the other target.
    EXPECT_TRUE(cache->Contains(Key("a/1")));
    cache->RemoveMatchingKeys(Keys({"a/1"}), 4);
    EXPECT_FALSE(cache->Contains(Key("a/1")));
    EXPECT_TRUE(cache->Contains(Key("b/1")));
    EXPECT_TRUE(cache->GetMatchingKeys(8).empty());
  });
}

TEST_P(QueryCacheContractTest, RemoveTargetsSparesLiveAndNewerTargets) {
  QueryCache* cache = persistence_->queryCache();
  QueryDataPtr old1 = MakeTarget(Query("a"), 2, 10);
  QueryDataPtr old2 = MakeTarget(Query("b"), 4, 11);
  QueryDataPtr live = MakeTarget(Query("c"), 6, 9);
  QueryDataPtr newer = MakeTarget(Query("d"), 8, 30);
  Tx([&] {
    for (const QueryDataPtr& target : {old1, old2, live, newer}) cache->AddTarget(target);
    cache->AddMatchingKeys(Keys({"a/1"}), 2);
    cache->AddMatchingKeys(Keys({"c/1"}), 6);

    int32_t removed = cache->RemoveTargets(20, {{6, live}});
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(cache->size(), 2u);
    EXPECT_EQ(cache->GetTarget(*Query("a")), nullptr);
    EXPECT_EQ(cache->GetTarget(*Query("b")), nullptr);
    EXPECT_NE(cache->GetTarget(*Query("c")), nullptr);
    EXPECT_NE(cache->GetTarget(*Query("d")), nullptr);
    EXPECT_FALSE(cache->Contains(Key("a/1")));
    EXPECT_TRUE(cache->Contains(Key("c/1")));
  });
}

TEST_P(QueryCacheContractTest, LastRemoteSnapshotVersionIsKept) {
  QueryCache* cache = persistence_->queryCache();
  Tx([&] {
    EXPECT_EQ(cache->GetLastRemoteSnapshotVersion(), SnapshotVersion::None());
    cache->SetLastRemoteSnapshotVersion(Version(42, 7));
  });
  Tx([&] { EXPECT_EQ(cache->GetLastRemoteSnapshotVersion(), Version(42, 7)); });
}

// ----- remote document cache -----

TEST_P(RemoteDocumentCacheContractTest, EveryKindOfDocumentReadsBackEqual) {
  RemoteDocumentCache* cache = persistence_->remoteDocumentCache();
  std::vector<MaybeDocumentPtr> documents{
      Doc("rooms/a", 3, Obj({{"name", Str("a")}, {"n", Int(1)}})),
      Doc("rooms/b", 4, Obj({{"x", Bool(true)}}), DocumentState::CommittedMutations),
      Deleted("rooms/c", 5), Deleted("rooms/d", 6, /*committed=*/true), Unknown("rooms/e", 7)};
  Tx([&] {
    for (const MaybeDocumentPtr& document : documents) cache->Add(document);
  });
  Tx([&] {
    for (const MaybeDocumentPtr& document : documents) {
      MaybeDocumentPtr read = cache->Get(document->key());
      ASSERT_NE(read, nullptr) << document->ToString();
      EXPECT_TRUE(SameDoc(read, document)) << read->ToString() << " vs " << document->ToString();
    }
    EXPECT_EQ(cache->Get(Key("rooms/none")), nullptr);
  });
}

TEST_P(RemoteDocumentCacheContractTest, AddReplacesAndRemoveDeletes) {
  RemoteDocumentCache* cache = persistence_->remoteDocumentCache();
  Tx([&] {
    cache->Add(Doc("rooms/a", 1, Obj({{"v", Int(1)}})));
    cache->Add(Deleted("rooms/a", 2));
    EXPECT_TRUE(SameDoc(cache->Get(Key("rooms/a")), Deleted("rooms/a", 2)));
    cache->Remove(Key("rooms/a"));
    EXPECT_EQ(cache->Get(Key("rooms/a")), nullptr);
    cache->Remove(Key("rooms/never"));
  });
}

TEST_P(RemoteDocumentCacheContractTest, GetAllHasAnEntryForEveryRequestedKey) {
  RemoteDocumentCache* cache = persistence_->remoteDocumentCache();
  Tx([&] {
    cache->Add(Doc("rooms/b", 1, Obj({{"v", Int(1)}})));
    MaybeDocumentMap all = cache->GetAll(Keys({"rooms/a", "rooms/b", "rooms/c"}));
    EXPECT_EQ(all.size(), 3u);
    EXPECT_EQ(MapKeys(all), (std::set<std::string>{"rooms/a", "rooms/b", "rooms/c"}));
    EXPECT_EQ(Lookup(all, "rooms/a"), nullptr);
    EXPECT_TRUE(SameDoc(Lookup(all, "rooms/b"), Doc("rooms/b", 1, Obj({{"v", Int(1)}}))));
    EXPECT_EQ(Lookup(all, "rooms/c"), nullptr);
  });
}

TEST_P(RemoteDocumentCacheContractTest, MatchingScansOnlyExistingDocumentsOfTheCollection) {
  RemoteDocumentCache* cache = persistence_->remoteDocumentCache();
  Tx([&] {
    cache->Add(Doc("rooms/a", 1, Obj()));
    cache->Add(Doc("rooms/b", 1, Obj({{"n", Int(2)}})));
    cache->Add(Deleted("rooms/c", 1));
    cache->Add(Unknown("rooms/d", 1));
    cache->Add(Doc("rooms/a/messages/m", 1, Obj()));
    cache->Add(Doc("roomsx/a", 1, Obj()));
    cache->Add(Doc("other/a", 1, Obj()));

    DocumentMap matching = cache->GetMatching(*Query("rooms"));
    EXPECT_EQ(MapKeys(matching), (std::set<std::string>{"rooms/a", "rooms/b"}));
    EXPECT_TRUE(matching.empty() == false &&
                SameDoc(matching.find(Key("rooms/b"))->second, Doc("rooms/b", 1, Obj({{"n", Int(2)}}))));
    EXPECT_EQ(MapKeys(cache->GetMatching(*Query("rooms/a/messages"))),
              (std::set<std::string>{"rooms/a/messages/m"}));
  });
}

// Whatever a cache leaves out of a scan, it never leaves out a document the query matches. Enough
// documents, of every kind of value and with values repeated across documents, for each family's
// shortcuts to come into play; each query's result is checked against the query itself.
TEST_P(RemoteDocumentCacheContractTest, MatchingNeverLosesADocumentTheQueryMatches) {
  RemoteDocumentCache* cache = persistence_->remoteDocumentCache();
  std::vector<model::DocumentPtr> documents;
  std::vector<model::FieldValuePtr> values{
      Int(1),      Int(-7),     Dbl(1.0),  Dbl(2.5),       Dbl(std::nan("")), Str("1"),
      Str("b"),    Null(),      Bool(true), Arr({Int(1), Str("b")}),          Ts(5, 7),
      Obj({{"b", Int(1)}}),     Ref("contract-project", "(default)", "rooms/x"),
      Geo(1, 2),   Blob("\x01")};
  for (int i = 0; i < 600; ++i) {
    std::map<std::string, model::FieldValuePtr> fields{
        {"payload", Str(std::string(static_cast<size_t>(i % 40), 'p'))}};
    // Most documents hold every field; some lack one, so that order-by and filters meet gaps.
    if (i % 11 != 0) fields["v"] = values[static_cast<size_t>(i) % values.size()];
    if (i % 13 != 0) fields["w"] = Int(i % 5);
    fields["m"] = Obj({{"a", values[static_cast<size_t>(i * 7) % values.size()]}});
    char name[16];
    std::snprintf(name, sizeof(name), "rooms/d%03d", i);
    documents.push_back(Doc(name, 1 + i % 3, Obj(fields)));
  }
  Tx([&] {
    for (const model::DocumentPtr& document : documents) cache->Add(document);
    cache->Add(Deleted("rooms/gone", 1));
    cache->Add(Doc("rooms/d001/sub/x", 1, Obj({{"v", Int(1)}, {"w", Int(1)}})));
  });

  using Op = VRVRelationFilterOperator;
  auto where = [](const std::string& field, Op op, model::FieldValuePtr value) {
    return Query("rooms")->queryByAddingFilter(VRVFilter::filterWithField(Field(field), op, value));
  };
  std::vector<QueryPtr> queries{
      Query("rooms"),
      where("v", Op::Equal, Int(1)),
      where("v", Op::GreaterThan, Int(0)),
      where("v", Op::LessThanOrEqual, Str("b")),
      where("v", Op::ArrayContains, Str("b")),
      where("v", Op::Equal, Null()),
      where("v", Op::Equal, Dbl(std::nan(""))),
      where("m.a", Op::GreaterThanOrEqual, Dbl(1.0)),
      where("m.a.b", Op::Equal, Int(1)),
      where("w", Op::Equal, Int(3))->queryByAddingFilter(
          VRVFilter::filterWithField(Field("v"), Op::LessThan, Ts(6, 0))),
      Query("rooms")->queryByAddingSortOrder(VRVSortOrder(Field("v"), true)),
      Query("rooms")
          ->queryByAddingSortOrder(VRVSortOrder(Field("w"), false))
          ->queryByAddingStartAt(core::VRVBound({Int(3)}, true)),
      where(model::FieldPath::KeyFieldPath().CanonicalString(), Op::LessThan,
            Ref("contract-project", "(default)", "rooms/d100")),
  };
  Tx([&] {
    for (const QueryPtr& query : queries) {
      std::set<std::string> expected;
      for (const model::DocumentPtr& document : documents) {
        if (query->matchesDocument(*document)) expected.insert(document->key().ToString());
      }
      DocumentMap scanned = cache->GetMatching(*query);
      std::set<std::string> matched;
      for (const auto& entry : scanned) {
        auto original = std::find_if(documents.begin(), documents.end(),
                                     [&](const model::DocumentPtr& d) { return d->key() == entry.first; });
        ASSERT_NE(original, documents.end()) << entry.first.ToString();
        EXPECT_TRUE(SameDoc(entry.second, *original)) << entry.first.ToString();
        if (query->matchesDocument(*AsDoc(entry.second))) matched.insert(entry.first.ToString());
      }
      EXPECT_EQ(matched, expected) << query->ToString();
    }
  });
}

TEST_P(RemoteDocumentCacheContractTest, AddRecordsTheCollectionParent) {
  RemoteDocumentCache* cache = persistence_->remoteDocumentCache();
  Tx([&] {
    cache->Add(Doc("rooms/a/messages/m", 1, Obj()));
    cache->Add(Deleted("users/u/messages/n", 1));
  });
  Tx([&] {
    EXPECT_EQ(ParentStrings(persistence_->indexManager()->GetCollectionParents("messages")),
              (std::vector<std::string>{"rooms/a", "users/u"}));
  });
}

// ----- index manager -----

TEST_P(IndexManagerContractTest, CollectionParentsAreRecordedOncePerParent) {
  IndexManager* index = persistence_->indexManager();
  Tx([&] {
    index->AddToCollectionParentIndex(ResourcePath::FromString("messages"));
    index->AddToCollectionParentIndex(ResourcePath::FromString("rooms/a/messages"));
    index->AddToCollectionParentIndex(ResourcePath::FromString("rooms/a/messages"));
    index->AddToCollectionParentIndex(ResourcePath::FromString("rooms/b/messages"));
    index->AddToCollectionParentIndex(ResourcePath::FromString("rooms/a/other"));
  });
  Tx([&] {
    EXPECT_EQ(ParentStrings(index->GetCollectionParents("messages")),
              (std::vector<std::string>{"", "rooms/a", "rooms/b"}));
    EXPECT_EQ(ParentStrings(index->GetCollectionParents("other")),
              (std::vector<std::string>{"rooms/a"}));
    EXPECT_TRUE(index->GetCollectionParents("none").empty());
  });
}

// ----- local store: writes -----

TEST_P(LocalStoreContractTest, LocalWriteReturnsTheChangedDocumentsAtOnce) {
  VRVLocalWriteResult result = store_->locallyWriteMutations(
      {SetMutation("foo/bar", {{"foo", Str("bar")}}), DeleteMutation("foo/gone")});

  EXPECT_EQ(MapKeys(result.changes()), (std::set<std::string>{"foo/bar", "foo/gone"}));
  EXPECT_TRUE(SameDoc(Lookup(result.changes(), "foo/bar"),
                      Doc("foo/bar", 0, Obj({{"foo", Str("bar")}}), DocumentState::LocalMutations)));
  EXPECT_TRUE(SameDoc(Lookup(result.changes(), "foo/gone"), Deleted("foo/gone", 0)));

  MutationBatchPtr batch = store_->nextMutationBatchAfterBatchID(model::kBatchIdUnknown);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->batchID(), result.batchID());
  EXPECT_TRUE(batch->baseMutations().empty());

  EXPECT_TRUE(SameDoc(store_->readDocument(Key("foo/bar")),
                      Doc("foo/bar", 0, Obj({{"foo", Str("bar")}}), DocumentState::LocalMutations)));
  // The write sits on top of an existing remote document too.
  VRVLocalWriteResult second =
      store_->locallyWriteMutations({PatchMutation("foo/bar", {{"n", Int(2)}})});
  EXPECT_GT(second.batchID(), result.batchID());
  EXPECT_TRUE(SameDoc(Lookup(second.changes(), "foo/bar"),
                      Doc("foo/bar", 0, Obj({{"foo", Str("bar")}, {"n", Int(2)}}),
                          DocumentState::LocalMutations)));
}

TEST_P(LocalStoreContractTest, NonIdempotentWritesRecordTheirBaseValue) {
  QueryPtr query = Query("foo");
  QueryDataPtr target = store_->allocateQuery(query);
  store_->applyRemoteEvent(
      Event(Version(10), {{target->targetID(), Change("t", Keys({"foo/bar"}))}},
            {Doc("foo/bar", 10, Obj({{"count", Int(5)}, {"other", Str("x")}}))}));

  VRVLocalWriteResult result = store_->locallyWriteMutations(
      {IncrementMutation("foo/bar", "count", 2), IncrementMutation("foo/new", "count", 1),
       SetMutation("foo/set", {{"a", Int(1)}})});
  MutationBatchPtr batch = store_->nextMutationBatchAfterBatchID(model::kBatchIdUnknown);
  ASSERT_NE(batch, nullptr);
  ASSERT_EQ(batch->baseMutations().size(), 2u);
  EXPECT_EQ(*batch->baseMutations()[0],
            model::VRVPatchMutation(Key("foo/bar"), Obj({{"count", Int(5)}}),
                                    model::FieldMask{Field("count")},
                                    model::Precondition::Exists(true)));
  // Nothing there yet: the base is an empty object.
  EXPECT_EQ(*batch->baseMutations()[1],
            model::VRVPatchMutation(Key("foo/new"), Obj(), model::FieldMask{Field("count")},
                                    model::Precondition::Exists(true)));

  const VRVDocument* incremented = AsDoc(Lookup(result.changes(), "foo/bar"));
  ASSERT_NE(incremented, nullptr);
  EXPECT_TRUE(incremented->fieldForPath(Field("count"))->isEqual(*Int(7)));
  EXPECT_TRUE(incremented->hasLocalMutations());
}

TEST_P(LocalStoreContractTest, AcknowledgementAppliesTheCommitResultAndRemovesTheBatch) {
  store_->locallyWriteMutations({SetMutation("foo/bar", {{"v", Int(1)}})});
  // Keep the document in a view so that no collector drops it after the acknowledgement.
  store_->notifyLocalViewChanges({VRVLocalViewChanges(2, Keys({"foo/bar"}), NoKeys())});

  MutationBatchPtr batch = store_->nextMutationBatchAfterBatchID(model::kBatchIdUnknown);
  ASSERT_NE(batch, nullptr);
  MaybeDocumentMap changes = store_->acknowledgeBatchWithResult(*VRVMutationBatchResult::resultWithBatch(
      batch, Version(20), {VRVMutationResult(Version(20), std::nullopt)}, "ack-token"));

  MaybeDocumentPtr committed =
      Doc("foo/bar", 20, Obj({{"v", Int(1)}}), DocumentState::CommittedMutations);
  EXPECT_EQ(MapKeys(changes), (std::set<std::string>{"foo/bar"}));
  EXPECT_TRUE(SameDoc(Lookup(changes, "foo/bar"), committed));
  EXPECT_EQ(store_->nextMutationBatchAfterBatchID(model::kBatchIdUnknown), nullptr);
  EXPECT_EQ(store_->lastStreamToken(), "ack-token");
  EXPECT_TRUE(SameDoc(store_->readDocument(Key("foo/bar")), committed));
}

TEST_P(LocalStoreContractTest, AcknowledgementLeavesANewerRemoteDocumentAlone) {
  QueryDataPtr target = store_->allocateQuery(Query("foo"));
  store_->locallyWriteMutations({SetMutation("foo/bar", {{"v", Int(1)}})});
  // The server's newer state arrives before the acknowledgement.
  store_->applyRemoteEvent(Event(Version(30), {{target->targetID(), Change("t", Keys({"foo/bar"}))}},
                                 {Doc("foo/bar", 30, Obj({{"v", Int(9)}}))}));

  MutationBatchPtr batch = store_->nextMutationBatchAfterBatchID(model::kBatchIdUnknown);
  MaybeDocumentMap changes = store_->acknowledgeBatchWithResult(*VRVMutationBatchResult::resultWithBatch(
      batch, Version(20), {VRVMutationResult(Version(20), std::nullopt)}, "ack"));
  EXPECT_TRUE(SameDoc(Lookup(changes, "foo/bar"), Doc("foo/bar", 30, Obj({{"v", Int(9)}}))));
}

TEST_P(LocalStoreContractTest, RejectionDropsTheBatchAndReturnsItsDocuments) {
  // Rejections come in queue order, so the oldest batch is rejected.
  VRVLocalWriteResult rejected =
      store_->locallyWriteMutations({SetMutation("foo/bar", {{"v", Int(2)}})});
  VRVLocalWriteResult kept =
      store_->locallyWriteMutations({SetMutation("foo/keep", {{"v", Int(1)}})});

  MaybeDocumentMap changes = store_->rejectBatchID(rejected.batchID());
  // Exactly the rejected batch's keys, now as if the write never happened.
  EXPECT_EQ(MapKeys(changes), (std::set<std::string>{"foo/bar"}));
  EXPECT_TRUE(SameDoc(Lookup(changes, "foo/bar"), Deleted("foo/bar", 0)));
  EXPECT_EQ(store_->readDocument(Key("foo/bar")), nullptr);
  EXPECT_EQ(store_->nextMutationBatchAfterBatchID(model::kBatchIdUnknown)->batchID(),
            kept.batchID());
  EXPECT_NE(store_->readDocument(Key("foo/keep")), nullptr);
}

TEST_P(LocalStoreContractTest, RejectingAnUnknownBatchIsFatal) {
  EXPECT_DEATH(store_->rejectBatchID(12345), "Attempt to reject nonexistent batch!");
}

TEST_P(LocalStoreContractTest, QueueDrainedFromTheFrontKeepsItsOrderAcrossRestartAndUsers) {
  std::vector<model::BatchId> ids;
  for (int i = 0; i < 5; ++i) {
    ids.push_back(store_->locallyWriteMutations(
                            {SetMutation("foo/d" + std::to_string(i % 2), {{"v", Int(i)}})})
                      .batchID());
  }
  store_->rejectBatchID(ids[0]);
  store_->rejectBatchID(ids[1]);
  MutationBatchPtr third = store_->nextMutationBatchAfterBatchID(model::kBatchIdUnknown);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->batchID(), ids[2]);
  store_->acknowledgeBatchWithResult(*VRVMutationBatchResult::resultWithBatch(
      third, Version(7), {VRVMutationResult(Version(7), std::nullopt)}, "ack"));

  auto expectQueue = [&](const std::vector<model::BatchId>& expected) {
    std::vector<model::BatchId> seen;
    model::BatchId after = model::kBatchIdUnknown;
    while (MutationBatchPtr next = store_->nextMutationBatchAfterBatchID(after)) {
      seen.push_back(next->batchID());
      after = next->batchID();
    }
    EXPECT_EQ(seen, expected);
  };
  expectQueue({ids[3], ids[4]});
  // foo/d1 shows the last of its two pending sets; the acknowledged one is in the cache.
  EXPECT_TRUE(AsDoc(store_->readDocument(Key("foo/d1")))->fieldForPath(Field("v"))->isEqual(*Int(3)));
  EXPECT_TRUE(AsDoc(store_->readDocument(Key("foo/d0")))->fieldForPath(Field("v"))->isEqual(*Int(4)));

  RestartStore();
  expectQueue({ids[3], ids[4]});
  store_->userDidChange(User("bob"));
  expectQueue({});
  store_->userDidChange(Alice());
  expectQueue({ids[3], ids[4]});

  store_->rejectBatchID(ids[3]);
  store_->rejectBatchID(ids[4]);
  expectQueue({});
  model::BatchId later =
      store_->locallyWriteMutations({SetMutation("foo/d9", {{"v", Int(9)}})}).batchID();
  EXPECT_GT(later, ids[4]);
  expectQueue({later});
}

TEST_P(LocalStoreContractTest, StreamTokenIsStoredWithTheQueue) {
  EXPECT_EQ(store_->lastStreamToken(), "");
  store_->setLastStreamToken(std::string("\x01\x00\x02", 3));
  EXPECT_EQ(store_->lastStreamToken(), std::string("\x01\x00\x02", 3));
}

// ----- local store: remote events -----

TEST_P(LocalStoreContractTest, RemoteEventUpdatesTargetKeysTokensAndDocuments) {
  QueryPtr query = Query("foo");
  QueryDataPtr target = store_->allocateQuery(query);
  store_->locallyWriteMutations({PatchMutation("foo/bar", {{"local", Bool(true)}})});

  MaybeDocumentMap changes = store_->applyRemoteEvent(
      Event(Version(100), {{target->targetID(), Change("resume-1", Keys({"foo/bar", "foo/baz"}))}},
            {Doc("foo/bar", 100, Obj({{"remote", Int(1)}})), Doc("foo/baz", 100, Obj())}));

  EXPECT_EQ(MapKeys(changes), (std::set<std::string>{"foo/bar", "foo/baz"}));
  // The pending patch is applied on top of the new remote state.
  EXPECT_TRUE(SameDoc(Lookup(changes, "foo/bar"),
                      Doc("foo/bar", 100, Obj({{"remote", Int(1)}, {"local", Bool(true)}}),
                          DocumentState::LocalMutations)));
  EXPECT_TRUE(SameDoc(Lookup(changes, "foo/baz"), Doc("foo/baz", 100, Obj())));

  EXPECT_EQ(store_->remoteDocumentKeysForTarget(target->targetID()),
            Keys({"foo/bar", "foo/baz"}));
  EXPECT_EQ(store_->lastRemoteSnapshotVersion(), Version(100));
  QueryDataPtr stored = Tx([&] { return store_->queryCache()->GetTarget(*query); });
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->resumeToken(), "resume-1");
  EXPECT_EQ(stored->snapshotVersion(), Version(100));

  // A later event removes one key from the target.
  store_->applyRemoteEvent(Event(Version(101),
                                 {{target->targetID(), Change("resume-2", NoKeys(), NoKeys(), Keys({"foo/baz"}))}},
                                 {}));
  EXPECT_EQ(store_->remoteDocumentKeysForTarget(target->targetID()), Keys({"foo/bar"}));
  EXPECT_EQ(store_->lastRemoteSnapshotVersion(), Version(101));
}

TEST_P(LocalStoreContractTest, ChangesForInactiveTargetsAreSkipped) {
  QueryDataPtr target = store_->allocateQuery(Query("foo"));
  store_->applyRemoteEvent(Event(Version(5), {{target->targetID() + 100, Change("x", Keys({"foo/a"}))}},
                                 {}));
  EXPECT_TRUE(store_->remoteDocumentKeysForTarget(target->targetID() + 100).empty());
  QueryDataPtr stored = Tx([&] { return store_->queryCache()->GetTarget(*Query("foo")); });
  EXPECT_EQ(stored->resumeToken(), "");
}

TEST_P(LocalStoreContractTest, OutdatedWatchUpdatesAreIgnoredAndLogged) {
  QueryDataPtr target = store_->allocateQuery(Query("foo"));
  store_->notifyLocalViewChanges({VRVLocalViewChanges(target->targetID(), Keys({"foo/bar"}), NoKeys())});
  store_->applyRemoteEvent(Event(Version(50), {{target->targetID(), Change("t1", Keys({"foo/bar"}))}},
                                 {Doc("foo/bar", 50, Obj({{"v", Int(50)}}))}));

  LogCapture log;
  // The key only left the target: an older version is not authoritative.
  MaybeDocumentMap changes = store_->applyRemoteEvent(
      Event(Version(60), {{target->targetID(), Change("t2", NoKeys(), NoKeys(), Keys({"foo/bar"}))}},
            {Doc("foo/bar", 40, Obj({{"v", Int(40)}}))}));

  EXPECT_TRUE(changes.empty());
  EXPECT_TRUE(SameDoc(store_->readDocument(Key("foo/bar")), Doc("foo/bar", 50, Obj({{"v", Int(50)}}))));
  std::vector<std::string> messages = log.messages();
  std::string expected = "VRVLocalStore Ignoring outdated watch update for foo/bar. Current version: " +
                         Version(50).ToString() + "  Watch version: " + Version(40).ToString();
  EXPECT_NE(std::find(messages.begin(), messages.end(), expected), messages.end())
      << "expected log: " << expected;
}

TEST_P(LocalStoreContractTest, WhichWatchUpdatesWinOverTheCachedDocument) {
  QueryDataPtr target = store_->allocateQuery(Query("foo"));
  TargetId id = target->targetID();
  store_->notifyLocalViewChanges(
      {VRVLocalViewChanges(id, Keys({"foo/synth", "foo/auth", "foo/pending", "foo/newer"}), NoKeys())});
  store_->applyRemoteEvent(Event(
      Version(50), {{id, Change("t1", Keys({"foo/synth", "foo/auth", "foo/pending", "foo/newer"}))}},
      {Doc("foo/synth", 50, Obj()), Doc("foo/auth", 50, Obj()), Doc("foo/newer", 50, Obj()),
       Doc("foo/pending", 50, Obj())}));
  // A committed write leaves foo/pending with pending writes in the cache.
  store_->locallyWriteMutations({SetMutation("foo/pending", {{"mine", Int(1)}})});
  MutationBatchPtr batch = store_->nextMutationBatchAfterBatchID(model::kBatchIdUnknown);
  store_->acknowledgeBatchWithResult(*VRVMutationBatchResult::resultWithBatch(
      batch, Version(55), {VRVMutationResult(Version(55), std::nullopt)}, "ack"));

  MaybeDocumentMap changes = store_->applyRemoteEvent(Event(
      Version(60),
      {{id, Change("t2", NoKeys(), Keys({"foo/auth", "foo/pending"}))}},
      {// The none version: a synthesized update always wins.
       Deleted("foo/synth", 0),
       // Authoritative for the target and nothing pending: wins though older.
       Doc("foo/auth", 40, Obj({{"auth", Bool(true)}})),
       // Authoritative, but the cached document has pending writes: dropped.
       Doc("foo/pending", 40, Obj()),
       // Not authoritative but newer: wins.
       Doc("foo/newer", 60, Obj({{"newer", Bool(true)}}))}));

  EXPECT_EQ(MapKeys(changes), (std::set<std::string>{"foo/auth", "foo/newer", "foo/synth"}));
  EXPECT_TRUE(SameDoc(store_->readDocument(Key("foo/synth")), Deleted("foo/synth", 0)));
  EXPECT_TRUE(SameDoc(store_->readDocument(Key("foo/auth")),
                      Doc("foo/auth", 40, Obj({{"auth", Bool(true)}}))));
  EXPECT_TRUE(SameDoc(store_->readDocument(Key("foo/pending")),
                      Doc("foo/pending", 55, Obj({{"mine", Int(1)}}), DocumentState::CommittedMutations)));
  EXPECT_TRUE(SameDoc(store_->readDocument(Key("foo/newer")),
                      Doc("foo/newer", 60, Obj({{"newer", Bool(true)}}))));
}

TEST_P(LocalStoreContractTest, SynthesizedEventKeepsTheLastRemoteVersion) {
  QueryDataPtr target = store_->allocateQuery(Query("foo"));
  store_->applyRemoteEvent(Event(Version(70), {{target->targetID(), Change("t")}}, {}));
  store_->applyRemoteEvent(Event(SnapshotVersion::None(), {}, {Deleted("foo/limbo", 0)},
                                 Keys({"foo/limbo"})));
  EXPECT_EQ(store_->lastRemoteSnapshotVersion(), Version(70));
}

TEST_P(LocalStoreContractTest, WatchStreamGoingBackIsFatal) {
  QueryDataPtr target = store_->allocateQuery(Query("foo"));
  store_->applyRemoteEvent(Event(Version(70), {{target->targetID(), Change("t")}}, {}));
  EXPECT_DEATH(store_->applyRemoteEvent(Event(Version(69), {}, {})),
               "Watch stream reverted to previous snapshot\\?\\? \\(");
}

// ----- local store: targets -----

TEST_P(LocalStoreContractTest, TargetAllocationStartsAtTwoAndSkipsByTwo) {
  QueryDataPtr first = store_->allocateQuery(Query("foo"));
  QueryDataPtr second = store_->allocateQuery(Query("bar"));
  EXPECT_EQ(first->targetID(), 2);
  EXPECT_EQ(second->targetID(), 4);
  EXPECT_EQ(first->purpose(), VRVQueryPurposeListen);
  EXPECT_EQ(first->snapshotVersion(), SnapshotVersion::None());
  EXPECT_EQ(first->resumeToken(), "");
  EXPECT_DEATH(store_->allocateQuery(Query("foo")), "Tried to allocate an already allocated query");
}

TEST_P(LocalStoreContractTest, AStoredTargetIsReusedAndRestartContinuesAfterTheHighestId) {
  QueryPtr stored = Query("stored");
  Tx([&] {
    store_->queryCache()->AddTarget(MakeTarget(stored, 40, 1, Version(9), "old-token"));
  });
  QueryDataPtr reused = store_->allocateQuery(stored);
  EXPECT_EQ(reused->targetID(), 40);
  EXPECT_EQ(reused->resumeToken(), "old-token");
  EXPECT_EQ(reused->snapshotVersion(), Version(9));

  // The generator was seeded at start, before the target was stored.
  QueryDataPtr beforeRestart = store_->allocateQuery(Query("a"));
  EXPECT_EQ(beforeRestart->targetID(), 2);

  RestartStore();
  EXPECT_EQ(store_->allocateQuery(Query("b"))->targetID(), 42);
  // Targets of the earlier session come back with their ids.
  EXPECT_EQ(store_->allocateQuery(Query("a"))->targetID(), 2);
  EXPECT_EQ(store_->allocateQuery(stored)->targetID(), 40);
}

TEST_P(LocalStoreContractTest, ReleasedQueryTargetIsReusedWhileStored) {
  QueryPtr query = Query("foo");
  QueryDataPtr target = store_->allocateQuery(query);
  store_->applyRemoteEvent(Event(Version(5), {{target->targetID(), Change("tok", Keys({"foo/a"}))}},
                                 {Doc("foo/a", 5, Obj())}));
  store_->releaseQuery(query);

  QueryDataPtr stillStored = Tx([&] { return store_->queryCache()->GetTarget(*query); });
  QueryDataPtr again = store_->allocateQuery(query);
  if (stillStored) {
    EXPECT_EQ(again->targetID(), target->targetID());
    EXPECT_EQ(again->resumeToken(), "tok");
  } else {
    // A family that drops released targets hands out a fresh id.
    EXPECT_NE(again->targetID(), target->targetID());
    EXPECT_EQ(again->resumeToken(), "");
  }
}

TEST_P(LocalStoreContractTest, ReleasingAnUnknownQueryIsFatal) {
  EXPECT_DEATH(store_->releaseQuery(Query("never")), "Tried to release nonexistent query: ");
}

TEST_P(LocalStoreContractTest, ResumeTokensReachStorageOnlyUnderThePersistenceRule) {
  QueryPtr query = Query("foo");
  TargetId id = store_->allocateQuery(query)->targetID();
  auto storedToken = [&] {
    return Tx([&] { return store_->queryCache()->GetTarget(*query)->resumeToken(); });
  };

  // An empty token changes nothing.
  store_->applyRemoteEvent(Event(Version(1000), {{id, Change("")}}, {}));
  EXPECT_EQ(storedToken(), "");
  // The first token is always written.
  store_->applyRemoteEvent(Event(Version(1000), {{id, Change("t1")}}, {}));
  EXPECT_EQ(storedToken(), "t1");
  // 299 s newer and no document change: memory only.
  store_->applyRemoteEvent(Event(Version(1299), {{id, Change("t2")}}, {}));
  EXPECT_EQ(storedToken(), "t1");
  // A document change writes it.
  store_->applyRemoteEvent(Event(Version(1300), {{id, Change("t3", Keys({"foo/a"}))}},
                                 {Doc("foo/a", 1300, Obj())}));
  EXPECT_EQ(storedToken(), "t3");
  // 299 s after the previous snapshot: memory only; 300 s after it: written for its age.
  store_->applyRemoteEvent(Event(Version(1599), {{id, Change("t4")}}, {}));
  EXPECT_EQ(storedToken(), "t3");
  store_->applyRemoteEvent(Event(Version(1899), {{id, Change("t5")}}, {}));
  EXPECT_EQ(storedToken(), "t5");
  store_->applyRemoteEvent(Event(Version(1901), {{id, Change("t6")}}, {}));
  EXPECT_EQ(storedToken(), "t5");

  // Releasing writes the newer in-memory entry, when the family keeps released targets.
  store_->releaseQuery(query);
  QueryDataPtr afterRelease = Tx([&] { return store_->queryCache()->GetTarget(*query); });
  if (afterRelease) {
    EXPECT_EQ(afterRelease->resumeToken(), "t6");
    EXPECT_EQ(afterRelease->snapshotVersion(), Version(1901));
  }
}

// ----- local store: queries and views -----

TEST_P(LocalStoreContractTest, ExecuteQueryCombinesCacheAndPendingWrites) {
  QueryDataPtr target = store_->allocateQuery(Query("foo"));
  store_->applyRemoteEvent(Event(
      Version(10), {{target->targetID(), Change("t", Keys({"foo/a", "foo/b", "foo/c"}))}},
      {Doc("foo/a", 10, Obj({{"n", Int(1)}})), Doc("foo/b", 10, Obj({{"n", Int(2)}})),
       Doc("foo/c", 10, Obj({{"n", Int(3)}}))}));
  store_->locallyWriteMutations({DeleteMutation("foo/a"), SetMutation("foo/d", {{"n", Int(4)}}),
                                 PatchMutation("foo/missing", {{"n", Int(5)}}),
                                 SetMutation("foo/b/sub/x", {{"n", Int(6)}}),
                                 SetMutation("foo/c", {{"n", Int(0)}})});

  DocumentMap all = store_->executeQuery(*Query("foo"));
  // Deleted locally: gone; set locally: there; patch of a missing document: nothing;
  // subcollection write: not a result.
  EXPECT_EQ(MapKeys(all), (std::set<std::string>{"foo/b", "foo/c", "foo/d"}));

  QueryPtr filtered = Query("foo")->queryByAddingFilter(
      VRVFilter::filterWithField(Field("n"), VRVRelationFilterOperator::GreaterThan, Int(1)));
  // foo/c no longer matches after its local write; foo/d matches only through it.
  EXPECT_EQ(MapKeys(store_->executeQuery(*filtered)), (std::set<std::string>{"foo/b", "foo/d"}));

  DocumentMap single = store_->executeQuery(*Query("foo/d"));
  EXPECT_EQ(MapKeys(single), (std::set<std::string>{"foo/d"}));
  EXPECT_TRUE(store_->executeQuery(*Query("foo/a")).empty());
}

TEST_P(LocalStoreContractTest, PendingPatchesAndTransformsDecideWhatAFilteredQueryMatches) {
  QueryDataPtr target = store_->allocateQuery(Query("foo"));
  store_->applyRemoteEvent(Event(
      Version(10),
      {{target->targetID(), Change("t", Keys({"foo/e", "foo/t", "foo/p", "foo/q", "foo/k"}))}},
      {Doc("foo/e", 10, Obj({{"n", Int(0)}})), Doc("foo/t", 10, Obj({{"n", Int(0)}})),
       Doc("foo/p", 10, Obj({{"n", Int(5)}})), Doc("foo/q", 10, Obj({{"n", Int(5)}})),
       Doc("foo/k", 10, Obj({{"n", Int(5)}}))}));
  // Two writes that make a stored non-match match, two that break a stored match; foo/k is
  // left alone.
  store_->locallyWriteMutations({PatchMutation("foo/e", {{"n", Int(5)}}),
                                 IncrementMutation("foo/t", "n", 3)});
  store_->locallyWriteMutations({PatchMutation("foo/p", {{"n", Int(0)}}),
                                 IncrementMutation("foo/q", "n", -10)});

  QueryPtr query = Query("foo")->queryByAddingFilter(
      VRVFilter::filterWithField(Field("n"), VRVRelationFilterOperator::GreaterThan, Int(1)));
  DocumentMap matched = store_->executeQuery(*query);
  EXPECT_EQ(MapKeys(matched), (std::set<std::string>{"foo/e", "foo/k", "foo/t"}));
  // The query shows each document as readDocument does, pending writes applied.
  for (const char* path : {"foo/e", "foo/t", "foo/p", "foo/q", "foo/k"}) {
    MaybeDocumentPtr read = store_->readDocument(Key(path));
    ASSERT_NE(AsDoc(read), nullptr) << path;
    auto found = matched.find(Key(path));
    EXPECT_EQ(found != matched.end(), query->matchesDocument(*AsDoc(read))) << path;
    if (found != matched.end()) {
      EXPECT_TRUE(SameDoc(found->second, read)) << path;
    }
  }
  ASSERT_EQ(matched.size(), 3u);
  EXPECT_TRUE(AsDoc(matched.find(Key("foo/t"))->second)->fieldForPath(Field("n"))->isEqual(*Int(3)));
  EXPECT_TRUE(AsDoc(matched.find(Key("foo/e"))->second)->hasLocalMutations());
}

TEST_P(LocalStoreContractTest, CollectionGroupQueryUnitesEveryParent) {
  QueryDataPtr target = store_->allocateQuery(Query("rooms/a/messages"));
  store_->applyRemoteEvent(Event(Version(10),
                                 {{target->targetID(), Change("t", Keys({"rooms/a/messages/1"}))}},
                                 {Doc("rooms/a/messages/1", 10, Obj({{"n", Int(1)}}))}));
  store_->locallyWriteMutations({SetMutation("users/u/messages/2", {{"n", Int(2)}}),
                                 SetMutation("users/u/messages/3", {{"n", Int(0)}}),
                                 SetMutation("users/u/other/4", {{"n", Int(9)}})});

  QueryPtr group = VRVQuery::queryWithPath(ResourcePath(), "messages")
                       ->queryByAddingFilter(VRVFilter::filterWithField(
                           Field("n"), VRVRelationFilterOperator::GreaterThan, Int(0)));
  EXPECT_EQ(MapKeys(store_->executeQuery(*group)),
            (std::set<std::string>{"rooms/a/messages/1", "users/u/messages/2"}));
}

TEST_P(LocalStoreContractTest, CollectionGroupQueryBelowTheRootIsFatal) {
  QueryPtr nested = VRVQuery::queryWithPath(ResourcePath::FromString("rooms/a"), "messages");
  EXPECT_DEATH(store_->executeQuery(*nested),
               "Currently we only support collection group queries at the root.");
}

TEST_P(LocalStoreContractTest, UserChangeSwapsTheQueueAndReportsAffectedDocuments) {
  store_->locallyWriteMutations({SetMutation("foo/alice", {{"by", Str("alice")}})});

  MaybeDocumentMap toBob = store_->userDidChange(User("bob"));
  EXPECT_EQ(MapKeys(toBob), (std::set<std::string>{"foo/alice"}));
  EXPECT_TRUE(SameDoc(Lookup(toBob, "foo/alice"), Deleted("foo/alice", 0)));
  EXPECT_EQ(store_->readDocument(Key("foo/alice")), nullptr);
  EXPECT_EQ(store_->nextMutationBatchAfterBatchID(model::kBatchIdUnknown), nullptr);

  store_->locallyWriteMutations({SetMutation("foo/bob", {{"by", Str("bob")}})});
  MaybeDocumentMap toAlice = store_->userDidChange(Alice());
  EXPECT_EQ(MapKeys(toAlice), (std::set<std::string>{"foo/alice", "foo/bob"}));
  EXPECT_TRUE(SameDoc(Lookup(toAlice, "foo/alice"),
                      Doc("foo/alice", 0, Obj({{"by", Str("alice")}}), DocumentState::LocalMutations)));
  EXPECT_TRUE(SameDoc(Lookup(toAlice, "foo/bob"), Deleted("foo/bob", 0)));
  EXPECT_NE(store_->readDocument(Key("foo/alice")), nullptr);
}

TEST_P(LocalStoreContractTest, CollectGarbageHandsTheActiveTargetsToTheCollector) {
  QueryDataPtr active = store_->allocateQuery(Query("active"));
  QueryDataPtr released = store_->allocateQuery(Query("released"));
  store_->releaseQuery(Query("released"));

  auto delegate = std::make_shared<LiveTargetRecorder>();
  VRVLRUGarbageCollector collector(delegate, LruParams{0, 10, 1000});
  LruResults results = store_->collectGarbage(&collector);
  EXPECT_TRUE(results.didRun);
  ASSERT_TRUE(delegate->live.has_value());
  ASSERT_EQ(delegate->live->size(), 1u);
  EXPECT_EQ(*delegate->live->at(active->targetID()), *active);
}

TEST_P(LocalStoreContractTest, AStoreGoingAwayWithdrawsItsPinsButNotANewerStores) {
  auto cache = [&](std::initializer_list<const char*> paths) {
    Tx([&] {
      for (const char* path : paths) persistence_->remoteDocumentCache()->Add(Doc(path, 1, Obj()));
    });
  };
  // Every document loses its last reference; whatever the family collects, only pins hold.
  auto dropReferences = [&] {
    Tx([&] {
      for (const char* path : {"foo/gone", "foo/old", "foo/new"}) {
        persistence_->referenceDelegate()->removeReference(Key(path));
      }
    });
    if (auto lru = std::dynamic_pointer_cast<VRVLRUDelegate>(persistence_->referenceDelegate())) {
      Tx([&] {
        lru->removeOrphanedDocumentsThroughSequenceNumber(std::numeric_limits<int64_t>::max());
      });
    }
  };
  auto cached = [&](const char* path) {
    return Tx([&] { return persistence_->remoteDocumentCache()->Get(Key(path)) != nullptr; });
  };

  // The persistence outlives the store: the store's pins must not hold anything after it.
  cache({"foo/gone"});
  store_->notifyLocalViewChanges({VRVLocalViewChanges(2, Keys({"foo/gone"}), NoKeys())});
  dropReferences();
  EXPECT_TRUE(cached("foo/gone"));
  store_.reset();
  dropReferences();
  EXPECT_FALSE(cached("foo/gone"));

  // A newer store over the same persistence keeps its pins when an older one goes.
  cache({"foo/old", "foo/new"});
  auto older = std::make_unique<VRVLocalStore>(persistence_, Alice());
  older->notifyLocalViewChanges({VRVLocalViewChanges(2, Keys({"foo/old"}), NoKeys())});
  auto newer = std::make_unique<VRVLocalStore>(persistence_, Alice());
  newer->notifyLocalViewChanges({VRVLocalViewChanges(2, Keys({"foo/new"}), NoKeys())});
  older.reset();
  dropReferences();
  EXPECT_FALSE(cached("foo/old"));
  EXPECT_TRUE(cached("foo/new"));
  newer.reset();
}

// ----- local store: transaction labels -----

TEST_P(LocalStoreContractTest, EveryOperationRunsInItsLabelledTransaction) {
  store_.reset();
  auto recording = std::make_shared<LabelRecordingPersistence>(persistence_);
  VRVLocalStore store(recording, Alice());
  EXPECT_TRUE(recording->TakeLabels().empty());
  store.start();
  EXPECT_EQ(recording->TakeLabels(), (std::vector<std::string>{"Start MutationQueue"}));

  using Labels = std::vector<std::string>;
  QueryPtr query = Query("foo");
  TargetId id = store.allocateQuery(query)->targetID();
  EXPECT_EQ(recording->TakeLabels(), Labels{"Allocate query"});
  store.locallyWriteMutations({SetMutation("foo/a", {})});
  EXPECT_EQ(recording->TakeLabels(), Labels{"Locally write mutations"});
  store.applyRemoteEvent(
      Event(Version(3), {{id, Change("t", Keys({"foo/b"}))}}, {Doc("foo/b", 3, Obj())}));
  EXPECT_EQ(recording->TakeLabels(), Labels{"Apply remote event"});
  store.notifyLocalViewChanges({VRVLocalViewChanges(id, Keys({"foo/b"}), NoKeys())});
  EXPECT_EQ(recording->TakeLabels(), Labels{"NotifyLocalViewChanges"});
  MutationBatchPtr batch = store.nextMutationBatchAfterBatchID(model::kBatchIdUnknown);
  EXPECT_EQ(recording->TakeLabels(), Labels{"NextMutationBatchAfterBatchID"});
  store.readDocument(Key("foo/a"));
  EXPECT_EQ(recording->TakeLabels(), Labels{"ReadDocument"});
  store.executeQuery(*query);
  EXPECT_EQ(recording->TakeLabels(), Labels{"ExecuteQuery"});
  store.remoteDocumentKeysForTarget(id);
  EXPECT_EQ(recording->TakeLabels(), Labels{"RemoteDocumentKeysForTarget"});
  store.acknowledgeBatchWithResult(*VRVMutationBatchResult::resultWithBatch(
      batch, Version(4), {VRVMutationResult(Version(4), std::nullopt)}, "tok"));
  EXPECT_EQ(recording->TakeLabels(), Labels{"Acknowledge batch"});
  VRVLocalWriteResult second = store.locallyWriteMutations({SetMutation("foo/c", {})});
  recording->TakeLabels();
  store.rejectBatchID(second.batchID());
  EXPECT_EQ(recording->TakeLabels(), Labels{"Reject batch"});
  store.setLastStreamToken("s");
  EXPECT_EQ(recording->TakeLabels(), Labels{"Set stream token"});
  store.lastStreamToken();
  store.lastRemoteSnapshotVersion();
  EXPECT_TRUE(recording->TakeLabels().empty());
  store.releaseQuery(query);
  EXPECT_EQ(recording->TakeLabels(), Labels{"Release query"});
  auto delegate = std::make_shared<LiveTargetRecorder>();
  VRVLRUGarbageCollector collector(delegate, LruParams{LruParams::kCollectionDisabled, 10, 1000});
  store.collectGarbage(&collector);
  EXPECT_EQ(recording->TakeLabels(), Labels{"Collect garbage"});
  store.userDidChange(User("bob"));
  EXPECT_EQ(recording->TakeLabels(),
            (Labels{"OldBatches", "Start MutationQueue", "NewBatches"}));
}

}  // namespace contract
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
