#ifndef DAVEDOVE_VERORARIV_LOCAL_MUTATION_QUEUE_H_
#define DAVEDOVE_VERORARIV_LOCAL_MUTATION_QUEUE_H_

#include <string>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/DAVTimestamp.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"

namespace davedove {
namespace verorariv {
namespace local {

using model::BatchId;

// One user's local write batches that the backend has not yet acknowledged and removed.
class MutationQueue {
 public:
  virtual ~MutationQueue() = default;

  // Prepares the queue; called by the store at start and after each user change.
  virtual void Start() = 0;
  virtual bool IsEmpty() = 0;
  // Stores the stream token; the batch, which must be the first, stays queued.
  virtual void AcknowledgeBatch(const model::VRVMutationBatch& batch,
                                const std::string& streamToken) = 0;
  // Stores and returns a new batch whose id is higher than any handed out before for this user.
  virtual model::MutationBatchPtr AddMutationBatch(
      const DAVTimestamp& localWriteTime, std::vector<model::MutationPtr>&& baseMutations,
      std::vector<model::MutationPtr>&& mutations) = 0;
  // Removes the batch, which must be the oldest, and tells the reference delegate of its keys.
  virtual void RemoveMutationBatch(const model::VRVMutationBatch& batch) = 0;
  // Every batch, ascending id.
  virtual std::vector<model::MutationBatchPtr> AllMutationBatches() = 0;
  // The batches that touch any of the keys, each once, ascending id.
  virtual std::vector<model::MutationBatchPtr> AllMutationBatchesAffectingDocumentKeys(
      const model::DocumentKeySet& documentKeys) = 0;
  // The batches that touch the key, ascending id.
  virtual std::vector<model::MutationBatchPtr> AllMutationBatchesAffectingDocumentKey(
      const model::DocumentKey& key) = 0;
  // The batches that touch a document directly under the query's collection, ascending id.
  // Collection-group queries are refused.
  virtual std::vector<model::MutationBatchPtr> AllMutationBatchesAffectingQuery(
      const core::VRVQuery& query) = 0;
  // The batch with the id, or null.
  virtual model::MutationBatchPtr LookupMutationBatch(BatchId batchID) = 0;
  // The first batch with a higher id, or null.
  virtual model::MutationBatchPtr NextMutationBatchAfterBatchId(BatchId batchID) = 0;
  // An empty queue must have no document index entries left.
  virtual void PerformConsistencyCheck() = 0;
  // The last write-stream token; empty when none.
  virtual std::string GetLastStreamToken() = 0;
  virtual void SetLastStreamToken(const std::string& streamToken) = 0;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_MUTATION_QUEUE_H_
