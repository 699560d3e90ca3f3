#ifndef DAVEDOVE_VERORARIV_MODEL_VRVMUTATIONBATCH_H_
#define DAVEDOVE_VERORARIV_MODEL_VRVMUTATIONBATCH_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "davedove/verorariv/model/DAVTimestamp.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/document_map.h"
#include "davedove/verorariv/model/snapshot_version.h"

namespace davedove {
namespace verorariv {
namespace model {

// Id of a batch within one user's mutation queue, increasing in write order.
using BatchId = int32_t;
// No batch.
constexpr BatchId kBatchIdUnknown = -1;

// For each document a batch wrote, the version the server reported for it.
using DocumentVersionMap = std::unordered_map<DocumentKey, SnapshotVersion, DocumentKeyHash>;

class VRVMutationBatch;
class VRVMutationBatchResult;
using MutationBatchPtr = std::shared_ptr<const VRVMutationBatch>;
using MutationBatchResultPtr = std::shared_ptr<const VRVMutationBatchResult>;

// The writes the application committed together, applied in order. Immutable.
class VRVMutationBatch {
 public:
  // `mutations` must not be empty.
  VRVMutationBatch(BatchId batchID, const DAVTimestamp& localWriteTime,
                   std::vector<MutationPtr> baseMutations, std::vector<MutationPtr> mutations);

  BatchId batchID() const { return batchID_; }
  const DAVTimestamp& localWriteTime() const { return localWriteTime_; }
  // Applied locally before the batch's own mutations; never sent.
  const std::vector<MutationPtr>& baseMutations() const { return baseMutations_; }
  const std::vector<MutationPtr>& mutations() const { return mutations_; }

  // The document of `documentKey` (or null) after the server acknowledged the batch.
  MaybeDocumentPtr applyToRemoteDocument(MaybeDocumentPtr maybeDoc, const DocumentKey& documentKey,
                                         const VRVMutationBatchResult& mutationBatchResult) const;
  // The document of `documentKey` (or null) in the local view after the batch.
  MaybeDocumentPtr applyToLocalDocument(MaybeDocumentPtr maybeDoc,
                                        const DocumentKey& documentKey) const;
  // `maybeDocs` with the batch applied locally to every document it writes.
  MaybeDocumentMap applyToLocalDocumentSet(const MaybeDocumentMap& maybeDocs) const;

  // The keys of the batch's mutations (not of its base mutations).
  DocumentKeySet keys() const;

  bool isEqual(const VRVMutationBatch& other) const;
  size_t Hash() const;
  std::string ToString() const;

  friend bool operator==(const VRVMutationBatch& lhs, const VRVMutationBatch& rhs) {
    return lhs.isEqual(rhs);
  }
  friend bool operator!=(const VRVMutationBatch& lhs, const VRVMutationBatch& rhs) {
    return !lhs.isEqual(rhs);
  }

 private:
  BatchId batchID_;
  DAVTimestamp localWriteTime_;
  std::vector<MutationPtr> baseMutations_;
  std::vector<MutationPtr> mutations_;
};

// The server's acknowledgement of one batch. Immutable.
class VRVMutationBatchResult {
 public:
  VRVMutationBatchResult(MutationBatchPtr batch, const SnapshotVersion& commitVersion,
                         std::vector<VRVMutationResult> mutationResults, std::string streamToken,
                         DocumentVersionMap docVersions);

  // Pairs each mutation with its result and records each written document's version; the counts
  // must match.
  static MutationBatchResultPtr resultWithBatch(MutationBatchPtr batch,
                                                const SnapshotVersion& commitVersion,
                                                std::vector<VRVMutationResult> mutationResults,
                                                std::string streamToken);

  const MutationBatchPtr& batch() const { return batch_; }
  const SnapshotVersion& commitVersion() const { return commitVersion_; }
  const std::vector<VRVMutationResult>& mutationResults() const { return mutationResults_; }
  // The write stream's token after this acknowledgement (opaque bytes).
  const std::string& streamToken() const { return streamToken_; }
  const DocumentVersionMap& docVersions() const { return docVersions_; }

 private:
  MutationBatchPtr batch_;
  SnapshotVersion commitVersion_;
  std::vector<VRVMutationResult> mutationResults_;
  std::string streamToken_;
  DocumentVersionMap docVersions_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_VRVMUTATIONBATCH_H_
