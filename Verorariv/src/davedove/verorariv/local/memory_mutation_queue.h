#ifndef DAVEDOVE_VERORARIV_LOCAL_MEMORY_MUTATION_QUEUE_H_
#define DAVEDOVE_VERORARIV_LOCAL_MEMORY_MUTATION_QUEUE_H_

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "davedove/verorariv/immutable/sorted_set.h"
#include "davedove/verorariv/local/document_key_reference.h"
#include "davedove/verorariv/local/mutation_queue.h"

namespace davedove {
namespace verorariv {
namespace local {

class VRVLocalSerializer;
class VRVMemoryPersistence;

// One user's batches in memory. Batches come with consecutive ids and leave only from the front,
// so a batch's position is its id minus the first batch's id.
class MemoryMutationQueue : public MutationQueue {
 public:
  // `persistence` owns the queue and outlives it.
  explicit MemoryMutationQueue(VRVMemoryPersistence* persistence) : persistence_(persistence) {}

  void Start() override;
  bool IsEmpty() override { return queue_.empty(); }
  void AcknowledgeBatch(const model::VRVMutationBatch& batch,
                        const std::string& streamToken) override;
  model::MutationBatchPtr AddMutationBatch(const DAVTimestamp& localWriteTime,
                                           std::vector<model::MutationPtr>&& baseMutations,
                                           std::vector<model::MutationPtr>&& mutations) override;
  void RemoveMutationBatch(const model::VRVMutationBatch& batch) override;
  std::vector<model::MutationBatchPtr> AllMutationBatches() override;
  std::vector<model::MutationBatchPtr> AllMutationBatchesAffectingDocumentKeys(
      const model::DocumentKeySet& documentKeys) override;
  std::vector<model::MutationBatchPtr> AllMutationBatchesAffectingDocumentKey(
      const model::DocumentKey& key) override;
  std::vector<model::MutationBatchPtr> AllMutationBatchesAffectingQuery(
      const core::VRVQuery& query) override;
  model::MutationBatchPtr LookupMutationBatch(BatchId batchID) override;
  model::MutationBatchPtr NextMutationBatchAfterBatchId(BatchId batchID) override;
  void PerformConsistencyCheck() override;
  std::string GetLastStreamToken() override { return last_stream_token_; }
  void SetLastStreamToken(const std::string& streamToken) override {
    last_stream_token_ = streamToken;
  }

  // Whether any queued batch writes the document.
  bool ContainsKey(const model::DocumentKey& key) const;
  // Bytes the queued batches take as stored messages.
  int64_t CalculateByteSize(const VRVLocalSerializer& serializer);

 private:
  using DocumentKeyReferenceSet =
      immutable::SortedSet<DocumentKeyReference, DocumentKeyReference::ByKey>;

  // Position of the id in the queue; may lie outside it. 0 for an empty queue.
  int64_t IndexOfBatchId(BatchId batchID) const;
  // The queued batches of the ids, ascending; ids not queued are skipped.
  std::vector<model::MutationBatchPtr> AllMutationBatchesWithIds(const std::set<BatchId>& ids);

  VRVMemoryPersistence* persistence_;
  std::deque<model::MutationBatchPtr> queue_;
  BatchId next_batch_id_ = 1;
  std::string last_stream_token_;
  DocumentKeyReferenceSet batches_by_document_key_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_MEMORY_MUTATION_QUEUE_H_
