#ifndef DAVEDOVE_VERORARIV_LOCAL_VRVLOCALWRITERESULT_H_
#define DAVEDOVE_VERORARIV_LOCAL_VRVLOCALWRITERESULT_H_

#include <utility>

#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/document_map.h"

namespace davedove {
namespace verorariv {
namespace local {

// The answer to a local write: its batch id and the local view of each document it touched.
// Immutable.
class VRVLocalWriteResult {
 public:
  VRVLocalWriteResult(model::BatchId batchID, model::MaybeDocumentMap changes)
      : batchID_(batchID), changes_(std::move(changes)) {}

  static VRVLocalWriteResult resultForBatchID(model::BatchId batchID,
                                              model::MaybeDocumentMap changes) {
    return VRVLocalWriteResult(batchID, std::move(changes));
  }

  model::BatchId batchID() const { return batchID_; }
  const model::MaybeDocumentMap& changes() const { return changes_; }

 private:
  model::BatchId batchID_;
  model::MaybeDocumentMap changes_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_VRVLOCALWRITERESULT_H_
