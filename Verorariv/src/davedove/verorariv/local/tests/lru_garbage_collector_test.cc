#include "davedove/verorariv/local/VRVLRUGarbageCollector.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/local/tests/memory_testutil.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using testutil::Doc;
using testutil::Key;
using testutil::Keys;
using testutil::Obj;
using testutil::Target;

// A delegate with fixed numbers that records what the collector asks it to remove.
class FakeLruDelegate : public VRVLRUDelegate {
 public:
  void enumerateTargetsUsingCallback(const TargetCallback& callback) override {
    for (model::ListenSequenceNumber number : targetNumbers) {
      callback(Target("rooms", 2, number));
    }
  }
  void enumerateMutationsUsingCallback(const OrphanedDocumentCallback& callback) override {
    for (model::ListenSequenceNumber number : documentNumbers) {
      callback(Key("rooms/a"), number);
    }
  }
  int32_t removeOrphanedDocumentsThroughSequenceNumber(
      model::ListenSequenceNumber upperBound) override {
    documentBounds.push_back(upperBound);
    return 3;
  }
  int32_t removeTargetsThroughSequenceNumber(model::ListenSequenceNumber upperBound,
                                             const LiveQueryMap& liveQueries) override {
    targetBounds.push_back(upperBound);
    liveCount = liveQueries.size();
    return 2;
  }
  int64_t byteSize() override { return bytes; }
  int32_t sequenceNumberCount() override {
    return count >= 0 ? count
                      : static_cast<int32_t>(targetNumbers.size() + documentNumbers.size());
  }
  std::shared_ptr<VRVLRUGarbageCollector> gc() override { return nullptr; }

  std::vector<model::ListenSequenceNumber> targetNumbers;
  std::vector<model::ListenSequenceNumber> documentNumbers;
  int32_t count = -1;
  int64_t bytes = 0;
  std::vector<model::ListenSequenceNumber> targetBounds;
  std::vector<model::ListenSequenceNumber> documentBounds;
  size_t liveCount = 0;
};

TEST(LruGarbageCollectorTest, PercentileTruncatesInSinglePrecision) {
  auto delegate = std::make_shared<FakeLruDelegate>();
  VRVLRUGarbageCollector gc(delegate, LruParams{0, 10, 1000});
  delegate->count = 25;
  EXPECT_EQ(2, gc.queryCountForPercentile(10));
  delegate->count = 5;
  EXPECT_EQ(0, gc.queryCountForPercentile(10));
  delegate->count = 1000;
  EXPECT_EQ(100, gc.queryCountForPercentile(10));
  EXPECT_EQ(1000, gc.queryCountForPercentile(100));
}

TEST(LruGarbageCollectorTest, BoundIsTheLargestOfTheSmallestN) {
  auto delegate = std::make_shared<FakeLruDelegate>();
  VRVLRUGarbageCollector gc(delegate, LruParams{0, 10, 1000});
  delegate->targetNumbers = {5, 3};
  delegate->documentNumbers = {9, 3, 1};
  EXPECT_EQ(3, gc.sequenceNumberForQueryCount(3));
  EXPECT_EQ(1, gc.sequenceNumberForQueryCount(1));
  EXPECT_EQ(9, gc.sequenceNumberForQueryCount(5));
  EXPECT_EQ(kVRVListenSequenceNumberInvalid, gc.sequenceNumberForQueryCount(0));

  // A count that the enumerations do not back yields no bound rather than reading an empty heap.
  delegate->targetNumbers.clear();
  delegate->documentNumbers.clear();
  EXPECT_EQ(kVRVListenSequenceNumberInvalid, gc.sequenceNumberForQueryCount(2));
}

TEST(LruGarbageCollectorTest, ThresholdAndDisabling) {
  auto delegate = std::make_shared<FakeLruDelegate>();
  delegate->targetNumbers = {1, 2};
  VRVLRUGarbageCollector gc(delegate, LruParams{1000, 50, 1000});

  delegate->bytes = 999;
  LruResults below = gc.collectWithLiveTargets({});
  EXPECT_FALSE(below.didRun);
  EXPECT_EQ(0, below.sequenceNumbersCollected);
  EXPECT_TRUE(delegate->targetBounds.empty());

  delegate->bytes = 1000;
  LruResults at = gc.collectWithLiveTargets({});
  EXPECT_TRUE(at.didRun);
  EXPECT_EQ(1, at.sequenceNumbersCollected);
  EXPECT_EQ(2, at.targetsRemoved);
  EXPECT_EQ(3, at.documentsRemoved);
  EXPECT_EQ(std::vector<model::ListenSequenceNumber>{1}, delegate->targetBounds);
  EXPECT_EQ(std::vector<model::ListenSequenceNumber>{1}, delegate->documentBounds);

  VRVLRUGarbageCollector disabled(delegate, LruParams{LruParams::kCollectionDisabled, 50, 1000});
  delegate->bytes = 1 << 30;
  EXPECT_FALSE(disabled.collectWithLiveTargets({}).didRun);
  EXPECT_EQ(1u, delegate->targetBounds.size());
}

TEST(LruGarbageCollectorTest, TooFewNumbersCollectNothingButStillRun) {
  auto delegate = std::make_shared<FakeLruDelegate>();
  delegate->targetNumbers = {1, 2, 3, 4, 5};
  VRVLRUGarbageCollector gc(delegate, LruParams{0, 10, 1000});
  LruResults results = gc.collectWithLiveTargets({});
  EXPECT_TRUE(results.didRun);
  EXPECT_EQ(0, results.sequenceNumbersCollected);
  EXPECT_EQ(std::vector<model::ListenSequenceNumber>{-1}, delegate->targetBounds);
  EXPECT_EQ(std::vector<model::ListenSequenceNumber>{-1}, delegate->documentBounds);
}

TEST(LruGarbageCollectorTest, CountIsCappedAtTheMaximum) {
  auto delegate = std::make_shared<FakeLruDelegate>();
  for (int i = 20000; i > 0; --i) delegate->documentNumbers.push_back(i);
  VRVLRUGarbageCollector gc(delegate, LruParams{0, 10, 1000});
  LruResults results = gc.runGCWithLiveTargets({});
  EXPECT_EQ(1000, results.sequenceNumbersCollected);
  EXPECT_EQ(std::vector<model::ListenSequenceNumber>{1000}, delegate->targetBounds);
}

TEST(LruGarbageCollectorTest, ReleasedDelegateRemovesNothing) {
  auto delegate = std::make_shared<FakeLruDelegate>();
  VRVLRUGarbageCollector gc(delegate, LruParams{0, 100, 1000});
  delegate.reset();
  EXPECT_EQ(0, gc.byteSize());
  LruResults results = gc.runGCWithLiveTargets({});
  EXPECT_EQ(0, results.targetsRemoved);
  EXPECT_EQ(0, results.documentsRemoved);
}

// The collector over the memory persistence with LRU collection.
class MemoryLruCollectionTest : public ::testing::Test {
 protected:
  std::shared_ptr<VRVMemoryPersistence> persistence_ =
      VRVMemoryPersistence::persistenceWithLruParams(
          LruParams{0, 50, 1000},
          std::make_shared<const VRVLocalSerializer>(std::make_shared<const remote::VRVSerializerBeta>(
              model::DatabaseId("p", "(default)"))));
  MemoryQueryCache* targets_ = persistence_->queryCache();
  MemoryRemoteDocumentCache* documents_ = persistence_->remoteDocumentCache();
  std::shared_ptr<VRVMemoryLRUReferenceDelegate> delegate_ =
      std::static_pointer_cast<VRVMemoryLRUReferenceDelegate>(persistence_->referenceDelegate());

  // A target in its own transaction, matching one new document.
  QueryDataPtr AddTargetWithDocument(const std::string& collection, TargetId targetID) {
    return persistence_->run()("Allocate query", [&] {
      auto target = Target(collection, targetID, persistence_->currentSequenceNumber());
      targets_->AddTarget(target);
      documents_->Add(Doc(collection + "/doc", 1, Obj()));
      targets_->AddMatchingKeys(Keys({collection + "/doc"}), targetID);
      return target;
    });
  }
};

TEST_F(MemoryLruCollectionTest, LiveOldTargetSurvivesWithItsDocuments) {
  auto oldLive = AddTargetWithDocument("a", 2);   // number 1
  AddTargetWithDocument("b", 4);                  // number 2
  AddTargetWithDocument("c", 6);                  // number 3
  AddTargetWithDocument("d", 8);                  // number 4
  // An orphaned document used at number 5.
  persistence_->run()("orphan", [&] {
    documents_->Add(Doc("e/doc", 1, Obj()));
    delegate_->removeReference(Key("e/doc"));
  });
  EXPECT_EQ(5, delegate_->sequenceNumberCount());

  LruResults results = persistence_->run()("Collect garbage", [&] {
    return delegate_->gc()->collectWithLiveTargets({{oldLive->targetID(), oldLive}});
  });
  // 50 % of 5 numbers is 2: the bound is number 2.
  EXPECT_TRUE(results.didRun);
  EXPECT_EQ(2, results.sequenceNumbersCollected);
  EXPECT_EQ(1, results.targetsRemoved);
  EXPECT_EQ(1, results.documentsRemoved);

  EXPECT_NE(nullptr, targets_->GetTarget(*oldLive->query()));
  EXPECT_NE(nullptr, documents_->Get(Key("a/doc")));
  EXPECT_EQ(nullptr, targets_->GetTarget(*testutil::Query("b")));
  EXPECT_EQ(nullptr, documents_->Get(Key("b/doc")));
  EXPECT_NE(nullptr, documents_->Get(Key("c/doc")));
  EXPECT_NE(nullptr, documents_->Get(Key("e/doc")));
}

TEST_F(MemoryLruCollectionTest, OrphanedDocumentsGoOnceOldEnough) {
  persistence_->run()("orphans", [&] {
    documents_->Add(Doc("x/1", 1, Obj()));
    documents_->Add(Doc("x/2", 1, Obj()));
    delegate_->removeReference(Key("x/1"));
    delegate_->removeReference(Key("x/2"));
  });
  persistence_->run()("touch", [&] {
    documents_->Add(Doc("x/3", 1, Obj()));
    delegate_->removeReference(Key("x/3"));
  });
  int32_t removed = persistence_->run()("Collect garbage", [&] {
    return delegate_->removeOrphanedDocumentsThroughSequenceNumber(1);
  });
  EXPECT_EQ(2, removed);
  EXPECT_EQ(nullptr, documents_->Get(Key("x/1")));
  EXPECT_NE(nullptr, documents_->Get(Key("x/3")));
  // Forgotten once removed: only x/3 is still counted.
  EXPECT_EQ(1, delegate_->sequenceNumberCount());
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
