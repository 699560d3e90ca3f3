#include "davedove/verorariv/local/memory_mutation_queue.h"

#include <utility>

#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/model/model_assert.h"

namespace davedove {
namespace verorariv {
namespace local {

void MemoryMutationQueue::Start() {
  // Batch ids only need to grow while batches are queued.
  if (IsEmpty()) {
    next_batch_id_ = 1;
  }
}

void MemoryMutationQueue::AcknowledgeBatch(const model::VRVMutationBatch& batch,
                                           const std::string& streamToken) {
  MODEL_ASSERT(!queue_.empty(), "!queue_.empty()", "Cannot acknowledge batch on an empty queue");
  const model::MutationBatchPtr& check = queue_.front();
  MODEL_ASSERT(batch.batchID() == check->batchID(), "batch.batchID == check.batchID",
               "Queue ordering failure: expected batch %s, got batch %s", batch.batchID(),
               check->batchID());
  last_stream_token_ = streamToken;
}

model::MutationBatchPtr MemoryMutationQueue::AddMutationBatch(
    const DAVTimestamp& localWriteTime, std::vector<model::MutationPtr>&& baseMutations,
    std::vector<model::MutationPtr>&& mutations) {
  MODEL_ASSERT(!mutations.empty(), "!mutations.empty()", "Mutation batches should not be empty");

  BatchId batch_id = next_batch_id_;
  next_batch_id_++;

  if (!queue_.empty()) {
    const model::MutationBatchPtr& prior = queue_.back();
    MODEL_ASSERT(prior->batchID() < batch_id, "prior.batchID < batch_id",
                 "Mutation batchIDs must be in monotonically increasing order");
  }

  auto batch = std::make_shared<const model::VRVMutationBatch>(
      batch_id, localWriteTime, std::move(baseMutations), std::move(mutations));
  queue_.push_back(batch);

  for (const model::MutationPtr& mutation : batch->mutations()) {
    batches_by_document_key_ =
        batches_by_document_key_.insert(DocumentKeyReference(mutation->key(), batch_id));
    persistence_->indexManager()->AddToCollectionParentIndex(mutation->key().path().PopLast());
  }
  return batch;
}

void MemoryMutationQueue::RemoveMutationBatch(const model::VRVMutationBatch& batch) {
  MODEL_ASSERT(!queue_.empty(), "!queue_.empty()", "Trying to remove batch from empty queue");
  const model::MutationBatchPtr& head = queue_.front();
  MODEL_ASSERT(head->batchID() == batch.batchID(), "head.batchID == batch.batchID",
               "Can only remove the first entry of the mutation queue");
  // Keep the batch alive: `batch` may be the queue's own reference.
  model::MutationBatchPtr removed = head;
  queue_.pop_front();

  std::shared_ptr<VRVReferenceDelegate> delegate = persistence_->referenceDelegate();
  for (const model::MutationPtr& mutation : removed->mutations()) {
    const model::DocumentKey& key = mutation->key();
    delegate->removeMutationReference(key);
    batches_by_document_key_ =
        batches_by_document_key_.erase(DocumentKeyReference(key, removed->batchID()));
  }
}

std::vector<model::MutationBatchPtr> MemoryMutationQueue::AllMutationBatches() {
  return std::vector<model::MutationBatchPtr>(queue_.begin(), queue_.end());
}

std::vector<model::MutationBatchPtr> MemoryMutationQueue::AllMutationBatchesAffectingDocumentKeys(
    const model::DocumentKeySet& documentKeys) {
  std::set<BatchId> ids;
  for (const model::DocumentKey& key : documentKeys) {
    for (auto it = batches_by_document_key_.lower_bound(DocumentKeyReference(key, 0));
         it != batches_by_document_key_.end() && it->key() == key; ++it) {
      ids.insert(it->ref_id());
    }
  }
  return AllMutationBatchesWithIds(ids);
}

std::vector<model::MutationBatchPtr> MemoryMutationQueue::AllMutationBatchesAffectingDocumentKey(
    const model::DocumentKey& key) {
  std::vector<model::MutationBatchPtr> result;
  for (auto it = batches_by_document_key_.lower_bound(DocumentKeyReference(key, 0));
       it != batches_by_document_key_.end() && it->key() == key; ++it) {
    model::MutationBatchPtr batch = LookupMutationBatch(it->ref_id());
    MODEL_ASSERT(batch != nullptr, "batch", "Batches in the index must exist in the main table");
    result.push_back(std::move(batch));
  }
  return result;
}

std::vector<model::MutationBatchPtr> MemoryMutationQueue::AllMutationBatchesAffectingQuery(
    const core::VRVQuery& query) {
  MODEL_ASSERT(!query.isCollectionGroupQuery(), "![query isCollectionGroupQuery]",
               "CollectionGroup queries should be handled in LocalDocumentsView");
  const model::ResourcePath& prefix = query.path();
  size_t immediate_children_path_length = prefix.size() + 1;

  // An empty last segment makes a key that sorts before every document of the collection.
  model::ResourcePath start_path = prefix.size() % 2 == 1 ? prefix.Append("") : prefix;
  DocumentKeyReference start(model::DocumentKey(start_path), 0);

  std::set<BatchId> ids;
  for (auto it = batches_by_document_key_.lower_bound(start);
       it != batches_by_document_key_.end(); ++it) {
    const model::ResourcePath& row_key_path = it->key().path();
    if (!prefix.IsPrefixOf(row_key_path)) break;
    // Documents of subcollections share the prefix but lie deeper.
    if (row_key_path.size() == immediate_children_path_length) {
      ids.insert(it->ref_id());
    }
  }
  return AllMutationBatchesWithIds(ids);
}

model::MutationBatchPtr MemoryMutationQueue::LookupMutationBatch(BatchId batchID) {
  if (queue_.empty()) return nullptr;
  int64_t index = IndexOfBatchId(batchID);
  if (index < 0 || index >= static_cast<int64_t>(queue_.size())) return nullptr;
  const model::MutationBatchPtr& batch = queue_[static_cast<size_t>(index)];
  MODEL_ASSERT(batch->batchID() == batchID, "batch.batchID == batch_id",
               "If found, batch must match");
  return batch;
}

model::MutationBatchPtr MemoryMutationQueue::NextMutationBatchAfterBatchId(BatchId batchID) {
  if (queue_.empty()) return nullptr;
  // Ids are dense from the first batch on; an id before the queue yields the first batch.
  int64_t index = IndexOfBatchId(batchID) + 1;
  if (index < 0) index = 0;
  if (index >= static_cast<int64_t>(queue_.size())) return nullptr;
  return queue_[static_cast<size_t>(index)];
}

void MemoryMutationQueue::PerformConsistencyCheck() {
  if (queue_.empty()) {
    MODEL_ASSERT(batches_by_document_key_.empty(), "batches_by_document_key_.empty()",
                 "Document leak -- detected dangling mutation references when queue is empty.");
  }
}

bool MemoryMutationQueue::ContainsKey(const model::DocumentKey& key) const {
  auto it = batches_by_document_key_.lower_bound(DocumentKeyReference(key, 0));
  return it != batches_by_document_key_.end() && it->key() == key;
}

int64_t MemoryMutationQueue::CalculateByteSize(const VRVLocalSerializer& serializer) {
  int64_t count = 0;
  for (const model::MutationBatchPtr& batch : queue_) {
    count += static_cast<int64_t>(serializer.encodedMutationBatch(*batch).ByteSizeLong());
  }
  return count;
}

int64_t MemoryMutationQueue::IndexOfBatchId(BatchId batchID) const {
  if (queue_.empty()) return 0;
  return static_cast<int64_t>(batchID) - static_cast<int64_t>(queue_.front()->batchID());
}

std::vector<model::MutationBatchPtr> MemoryMutationQueue::AllMutationBatchesWithIds(
    const std::set<BatchId>& ids) {
  std::vector<model::MutationBatchPtr> result;
  for (BatchId batch_id : ids) {
    model::MutationBatchPtr batch = LookupMutationBatch(batch_id);
    if (batch) result.push_back(std::move(batch));
  }
  return result;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
