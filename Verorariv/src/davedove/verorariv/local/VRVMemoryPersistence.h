#ifndef DAVEDOVE_VERORARIV_LOCAL_VRVMEMORYPERSISTENCE_H_
#define DAVEDOVE_VERORARIV_LOCAL_VRVMEMORYPERSISTENCE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/local/VRVLRUGarbageCollector.h"
#include "davedove/verorariv/local/VRVPersistence.h"
#include "davedove/verorariv/local/listen_sequence.h"
#include "davedove/verorariv/local/lru_garbage_collector.h"
#include "davedove/verorariv/local/memory_index_manager.h"
#include "davedove/verorariv/local/memory_mutation_queue.h"
#include "davedove/verorariv/local/memory_query_cache.h"
#include "davedove/verorariv/local/memory_remote_document_cache.h"
#include "davedove/verorariv/model/document_key.h"

namespace davedove {
namespace verorariv {
namespace local {

class ReferenceSet;
class VRVLocalSerializer;

// Users are the same queue owner when both are unauthenticated or both have the same uid.
struct HashUser {
  size_t operator()(const auth::User& user) const {
    return user.is_authenticated() ? std::hash<std::string>()(user.uid()) : 0;
  }
};

using MutationQueueMap =
    std::unordered_map<auth::User, std::unique_ptr<MemoryMutationQueue>, HashUser>;

// A persistence that keeps everything in memory; nothing outlives the process. Which cached
// documents stay is up to its reference delegate.
class VRVMemoryPersistence : public VRVPersistence,
                             public std::enable_shared_from_this<VRVMemoryPersistence> {
 public:
  // Collects unreferenced documents at each commit.
  static std::shared_ptr<VRVMemoryPersistence> persistenceWithEagerGC();
  // Keeps documents until the LRU collector removes them; the serializer measures sizes.
  static std::shared_ptr<VRVMemoryPersistence> persistenceWithLruParams(
      const LruParams& lruParams, std::shared_ptr<const VRVLocalSerializer> serializer);

  // Started at once, without a reference delegate until one is set.
  VRVMemoryPersistence();

  // Keeps the delegate; a transactional one brackets every run.
  void setReferenceDelegate(std::shared_ptr<VRVReferenceDelegate> referenceDelegate);

  void shutdown() override;
  MemoryMutationQueue* mutationQueueForUser(const auth::User& user) override;
  MemoryQueryCache* queryCache() override { return &queryCache_; }
  MemoryRemoteDocumentCache* remoteDocumentCache() override { return &remoteDocumentCache_; }
  MemoryIndexManager* indexManager() override { return &indexManager_; }
  const VRVTransactionRunner& run() override { return transactionRunner_; }
  std::shared_ptr<VRVReferenceDelegate> referenceDelegate() override { return referenceDelegate_; }
  model::ListenSequenceNumber currentSequenceNumber() override;

  const MutationQueueMap* mutationQueues() const { return &mutationQueues_; }
  bool isStarted() const { return started_; }
  void setStarted(bool started) { started_ = started; }

 private:
  MemoryQueryCache queryCache_;
  MemoryRemoteDocumentCache remoteDocumentCache_;
  MemoryIndexManager indexManager_;
  VRVTransactionRunner transactionRunner_;
  std::shared_ptr<VRVReferenceDelegate> referenceDelegate_;
  bool started_ = false;
  MutationQueueMap mutationQueues_;
};

// Removes at commit every document that lost a reference during the transaction and has none
// left.
class VRVMemoryEagerReferenceDelegate : public VRVReferenceDelegate, public VRVTransactional {
 public:
  explicit VRVMemoryEagerReferenceDelegate(std::weak_ptr<VRVMemoryPersistence> persistence)
      : persistence_(std::move(persistence)) {}

  void addInMemoryPins(ReferenceSet* pins) override { additionalReferences_ = pins; }
  void removeInMemoryPins(ReferenceSet* pins) override {
    if (additionalReferences_ == pins) additionalReferences_ = nullptr;
  }
  void removeTarget(const QueryDataPtr& queryData) override;
  void addReference(const model::DocumentKey& key) override;
  void removeReference(const model::DocumentKey& key) override;
  void removeMutationReference(const model::DocumentKey& key) override;
  void limboDocumentUpdated(const model::DocumentKey& key) override;
  // Keeps no sequence numbers.
  model::ListenSequenceNumber currentSequenceNumber() override {
    return kVRVListenSequenceNumberInvalid;
  }

  void startTransaction(absl::string_view label) override;
  void commitTransaction() override;

  // Held by a target, a queued batch or a pin.
  bool isReferenced(const model::DocumentKey& key);
  bool mutationQueuesContainKey(const model::DocumentKey& key);

 private:
  std::unordered_set<model::DocumentKey, model::DocumentKeyHash>& orphaned();

  std::unique_ptr<std::unordered_set<model::DocumentKey, model::DocumentKeyHash>> orphaned_;
  std::weak_ptr<VRVMemoryPersistence> persistence_;
  ReferenceSet* additionalReferences_ = nullptr;
};

// Stamps every touched document with the transaction's listen sequence number and leaves the
// removal to its LRU collector.
class VRVMemoryLRUReferenceDelegate
    : public VRVReferenceDelegate,
      public VRVLRUDelegate,
      public VRVTransactional,
      public std::enable_shared_from_this<VRVMemoryLRUReferenceDelegate> {
 public:
  // The persistence must exist: its query cache seeds the listen sequence.
  VRVMemoryLRUReferenceDelegate(std::weak_ptr<VRVMemoryPersistence> persistence,
                                std::shared_ptr<const VRVLocalSerializer> serializer,
                                const LruParams& lruParams);

  // VRVReferenceDelegate
  void addInMemoryPins(ReferenceSet* pins) override { additionalReferences_ = pins; }
  void removeInMemoryPins(ReferenceSet* pins) override {
    if (additionalReferences_ == pins) additionalReferences_ = nullptr;
  }
  // Keeps the target, stamped with the current number.
  void removeTarget(const QueryDataPtr& queryData) override;
  void addReference(const model::DocumentKey& key) override { StampKey(key); }
  void removeReference(const model::DocumentKey& key) override { StampKey(key); }
  void removeMutationReference(const model::DocumentKey& key) override { StampKey(key); }
  void limboDocumentUpdated(const model::DocumentKey& key) override { StampKey(key); }
  // Only inside a transaction.
  model::ListenSequenceNumber currentSequenceNumber() override;

  // VRVLRUDelegate
  void enumerateTargetsUsingCallback(const TargetCallback& callback) override;
  void enumerateMutationsUsingCallback(const OrphanedDocumentCallback& callback) override;
  int32_t removeOrphanedDocumentsThroughSequenceNumber(
      model::ListenSequenceNumber upperBound) override;
  int32_t removeTargetsThroughSequenceNumber(model::ListenSequenceNumber upperBound,
                                             const LiveQueryMap& liveQueries) override;
  int64_t byteSize() override;
  int32_t sequenceNumberCount() override;
  std::shared_ptr<VRVLRUGarbageCollector> gc() override;

  // VRVTransactional
  void startTransaction(absl::string_view label) override;
  void commitTransaction() override;

  bool mutationQueuesContainKey(const model::DocumentKey& key);
  // Held by a queued batch, a pin or a target, or used after `upperBound`.
  bool isPinnedAtSequenceNumber(model::ListenSequenceNumber upperBound,
                                const model::DocumentKey& key);

 private:
  void StampKey(const model::DocumentKey& key);

  std::weak_ptr<VRVMemoryPersistence> persistence_;
  std::unordered_map<model::DocumentKey, model::ListenSequenceNumber, model::DocumentKeyHash>
      sequenceNumbers_;
  ReferenceSet* additionalReferences_ = nullptr;
  // Made on first use: the collector holds this delegate weakly.
  std::shared_ptr<VRVLRUGarbageCollector> gc_;
  LruParams lruParams_;
  std::unique_ptr<ListenSequence> listenSequence_;
  model::ListenSequenceNumber currentSequenceNumber_ = kVRVListenSequenceNumberInvalid;
  std::shared_ptr<const VRVLocalSerializer> serializer_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_VRVMEMORYPERSISTENCE_H_
