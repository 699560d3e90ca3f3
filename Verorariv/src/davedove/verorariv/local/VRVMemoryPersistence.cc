#include "davedove/verorariv/local/VRVMemoryPersistence.h"

#include <utility>
#include <vector>

#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/reference_set.h"
#include "davedove/verorariv/model/model_assert.h"
#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace local {

// VRVMemoryPersistence

std::shared_ptr<VRVMemoryPersistence> VRVMemoryPersistence::persistenceWithEagerGC() {
  auto persistence = std::make_shared<VRVMemoryPersistence>();
  persistence->setReferenceDelegate(
      std::make_shared<VRVMemoryEagerReferenceDelegate>(persistence));
  return persistence;
}

std::shared_ptr<VRVMemoryPersistence> VRVMemoryPersistence::persistenceWithLruParams(
    const LruParams& lruParams, std::shared_ptr<const VRVLocalSerializer> serializer) {
  auto persistence = std::make_shared<VRVMemoryPersistence>();
  persistence->setReferenceDelegate(std::make_shared<VRVMemoryLRUReferenceDelegate>(
      persistence, std::move(serializer), lruParams));
  return persistence;
}

VRVMemoryPersistence::VRVMemoryPersistence()
    : queryCache_(this), remoteDocumentCache_(this), started_(true) {}

void VRVMemoryPersistence::setReferenceDelegate(
    std::shared_ptr<VRVReferenceDelegate> referenceDelegate) {
  referenceDelegate_ = std::move(referenceDelegate);
  auto transactional = std::dynamic_pointer_cast<VRVTransactional>(referenceDelegate_);
  if (transactional) {
    transactionRunner_.SetBackingPersistence(transactional);
  }
}

void VRVMemoryPersistence::shutdown() {
  MODEL_ASSERT(isStarted(), "self.isStarted", "VRVMemoryPersistence shutdown without start!");
  started_ = false;
}

MemoryMutationQueue* VRVMemoryPersistence::mutationQueueForUser(const auth::User& user) {
  std::unique_ptr<MemoryMutationQueue>& queue = mutationQueues_[user];
  if (!queue) {
    queue = std::make_unique<MemoryMutationQueue>(this);
  }
  return queue.get();
}

model::ListenSequenceNumber VRVMemoryPersistence::currentSequenceNumber() {
  return referenceDelegate_->currentSequenceNumber();
}

// VRVMemoryEagerReferenceDelegate

std::unordered_set<model::DocumentKey, model::DocumentKeyHash>&
VRVMemoryEagerReferenceDelegate::orphaned() {
  HARD_ASSERT(orphaned_ != nullptr, "Reference changed outside of a transaction");
  return *orphaned_;
}

void VRVMemoryEagerReferenceDelegate::removeTarget(const QueryDataPtr& queryData) {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (!persistence) return;
  MemoryQueryCache* queryCache = persistence->queryCache();
  for (const model::DocumentKey& key : queryCache->GetMatchingKeys(queryData->targetID())) {
    orphaned().insert(key);
  }
  queryCache->RemoveTarget(queryData);
}

void VRVMemoryEagerReferenceDelegate::addReference(const model::DocumentKey& key) {
  orphaned().erase(key);
}

void VRVMemoryEagerReferenceDelegate::removeReference(const model::DocumentKey& key) {
  orphaned().insert(key);
}

void VRVMemoryEagerReferenceDelegate::removeMutationReference(const model::DocumentKey& key) {
  orphaned().insert(key);
}

void VRVMemoryEagerReferenceDelegate::limboDocumentUpdated(const model::DocumentKey& key) {
  if (isReferenced(key)) {
    orphaned().erase(key);
  } else {
    orphaned().insert(key);
  }
}

void VRVMemoryEagerReferenceDelegate::startTransaction(absl::string_view) {
  orphaned_ = std::make_unique<std::unordered_set<model::DocumentKey, model::DocumentKeyHash>>();
}

void VRVMemoryEagerReferenceDelegate::commitTransaction() {
  std::unique_ptr<std::unordered_set<model::DocumentKey, model::DocumentKeyHash>> orphaned =
      std::move(orphaned_);
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (!persistence || !orphaned) return;
  MemoryRemoteDocumentCache* remoteDocuments = persistence->remoteDocumentCache();
  for (const model::DocumentKey& key : *orphaned) {
    if (!isReferenced(key)) {
      remoteDocuments->Remove(key);
    }
  }
}

bool VRVMemoryEagerReferenceDelegate::isReferenced(const model::DocumentKey& key) {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (persistence && persistence->queryCache()->Contains(key)) return true;
  if (mutationQueuesContainKey(key)) return true;
  return additionalReferences_ != nullptr && additionalReferences_->ContainsKey(key);
}

bool VRVMemoryEagerReferenceDelegate::mutationQueuesContainKey(const model::DocumentKey& key) {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (!persistence) return false;
  for (const auto& entry : *persistence->mutationQueues()) {
    if (entry.second->ContainsKey(key)) return true;
  }
  return false;
}

// VRVMemoryLRUReferenceDelegate

VRVMemoryLRUReferenceDelegate::VRVMemoryLRUReferenceDelegate(
    std::weak_ptr<VRVMemoryPersistence> persistence,
    std::shared_ptr<const VRVLocalSerializer> serializer, const LruParams& lruParams)
    : persistence_(std::move(persistence)),
      lruParams_(lruParams),
      serializer_(std::move(serializer)) {
  std::shared_ptr<VRVMemoryPersistence> owner = persistence_.lock();
  HARD_ASSERT(owner != nullptr, "The persistence must exist before its reference delegate");
  listenSequence_ =
      std::make_unique<ListenSequence>(owner->queryCache()->highest_listen_sequence_number());
}

void VRVMemoryLRUReferenceDelegate::removeTarget(const QueryDataPtr& queryData) {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (!persistence) return;
  // Read straight from the field: the target keeps whatever number is current.
  QueryDataPtr updated = queryData->queryDataByReplacingSnapshotVersion(
      queryData->snapshotVersion(), queryData->resumeToken(), currentSequenceNumber_);
  persistence->queryCache()->UpdateTarget(updated);
}

model::ListenSequenceNumber VRVMemoryLRUReferenceDelegate::currentSequenceNumber() {
  MODEL_ASSERT(currentSequenceNumber_ != kVRVListenSequenceNumberInvalid,
               "_currentSequenceNumber != kVRVListenSequenceNumberInvalid",
               "Asking for a sequence number outside of a transaction");
  return currentSequenceNumber_;
}

void VRVMemoryLRUReferenceDelegate::StampKey(const model::DocumentKey& key) {
  sequenceNumbers_[key] = currentSequenceNumber();
}

void VRVMemoryLRUReferenceDelegate::enumerateTargetsUsingCallback(
    const TargetCallback& callback) {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (!persistence) return;
  persistence->queryCache()->EnumerateTargets(callback);
}

void VRVMemoryLRUReferenceDelegate::enumerateMutationsUsingCallback(
    const OrphanedDocumentCallback& callback) {
  for (const auto& entry : sequenceNumbers_) {
    if (!isPinnedAtSequenceNumber(entry.second, entry.first)) {
      callback(entry.first, entry.second);
    }
  }
}

int32_t VRVMemoryLRUReferenceDelegate::removeOrphanedDocumentsThroughSequenceNumber(
    model::ListenSequenceNumber upperBound) {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (!persistence) return 0;
  MemoryRemoteDocumentCache* documents = persistence->remoteDocumentCache();
  std::vector<model::DocumentKey> removed = documents->RemoveOrphanedDocuments(this, upperBound);
  for (const model::DocumentKey& key : removed) {
    sequenceNumbers_.erase(key);
  }
  // Keys that never reached the cache (a rejected write to a new document) have nothing to
  // remove, but their numbers would pile up and keep counting.
  std::vector<model::DocumentKey> forgotten;
  for (const auto& entry : sequenceNumbers_) {
    if (entry.second <= upperBound && documents->Get(entry.first) == nullptr &&
        !isPinnedAtSequenceNumber(upperBound, entry.first)) {
      forgotten.push_back(entry.first);
    }
  }
  for (const model::DocumentKey& key : forgotten) sequenceNumbers_.erase(key);
  return static_cast<int32_t>(removed.size());
}

int32_t VRVMemoryLRUReferenceDelegate::removeTargetsThroughSequenceNumber(
    model::ListenSequenceNumber upperBound, const LiveQueryMap& liveQueries) {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (!persistence) return 0;
  return persistence->queryCache()->RemoveTargets(upperBound, liveQueries);
}

int64_t VRVMemoryLRUReferenceDelegate::byteSize() {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (!persistence || !serializer_) return 0;
  int64_t count = persistence->queryCache()->CalculateByteSize(*serializer_);
  count += persistence->remoteDocumentCache()->CalculateByteSize(*serializer_);
  for (const auto& entry : *persistence->mutationQueues()) {
    count += entry.second->CalculateByteSize(*serializer_);
  }
  return count;
}

int32_t VRVMemoryLRUReferenceDelegate::sequenceNumberCount() {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  int32_t count = persistence ? static_cast<int32_t>(persistence->queryCache()->size()) : 0;
  enumerateMutationsUsingCallback(
      [&count](const model::DocumentKey&, model::ListenSequenceNumber) { count++; });
  return count;
}

std::shared_ptr<VRVLRUGarbageCollector> VRVMemoryLRUReferenceDelegate::gc() {
  if (!gc_) {
    gc_ = std::make_shared<VRVLRUGarbageCollector>(weak_from_this(), lruParams_);
  }
  return gc_;
}

void VRVMemoryLRUReferenceDelegate::startTransaction(absl::string_view) {
  // A nested start would hand the inner transaction's number to the rest of the outer one.
  HARD_ASSERT(currentSequenceNumber_ == kVRVListenSequenceNumberInvalid,
              "Previous sequence number is still in effect");
  currentSequenceNumber_ = listenSequence_->Next();
}

void VRVMemoryLRUReferenceDelegate::commitTransaction() {
  currentSequenceNumber_ = kVRVListenSequenceNumberInvalid;
}

bool VRVMemoryLRUReferenceDelegate::mutationQueuesContainKey(const model::DocumentKey& key) {
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (!persistence) return false;
  for (const auto& entry : *persistence->mutationQueues()) {
    if (entry.second->ContainsKey(key)) return true;
  }
  return false;
}

bool VRVMemoryLRUReferenceDelegate::isPinnedAtSequenceNumber(
    model::ListenSequenceNumber upperBound, const model::DocumentKey& key) {
  if (mutationQueuesContainKey(key)) return true;
  if (additionalReferences_ != nullptr && additionalReferences_->ContainsKey(key)) return true;
  std::shared_ptr<VRVMemoryPersistence> persistence = persistence_.lock();
  if (persistence && persistence->queryCache()->Contains(key)) return true;
  auto found = sequenceNumbers_.find(key);
  return found != sequenceNumbers_.end() && found->second > upperBound;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
