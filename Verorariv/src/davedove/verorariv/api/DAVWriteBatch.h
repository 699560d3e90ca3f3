#ifndef DAVEDOVE_VERORARIV_API_DAVWRITEBATCH_H_
#define DAVEDOVE_VERORARIV_API_DAVWRITEBATCH_H_

#include <memory>
#include <mutex>
#include <vector>

#include "davedove/verorariv/api/DAVValue.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/model/VRVMutation.h"

class DAVDocumentReference;

// Writes to several documents of one database, applied all together or not at all.
class DAVWriteBatch : public std::enable_shared_from_this<DAVWriteBatch> {
 public:
  explicit DAVWriteBatch(std::shared_ptr<DAVVerorariv> verorariv);

  // Queues a write of the whole document (or, with `merge`, of the given fields only); returns
  // the batch.
  std::shared_ptr<DAVWriteBatch> setData(const DAVValue::Map& data,
                                         const std::shared_ptr<DAVDocumentReference>& document,
                                         bool merge = false);
  // Queues an update of the named fields (values may be sentinels); the commit fails when the
  // document does not exist. Returns the batch.
  std::shared_ptr<DAVWriteBatch> updateData(const DAVValue::Map& fields,
                                            const std::shared_ptr<DAVDocumentReference>& document);
  // Queues the document's deletion; returns the batch.
  std::shared_ptr<DAVWriteBatch> deleteDocument(
      const std::shared_ptr<DAVDocumentReference>& document);

  // Hands the queued writes to the database as one group; the completion runs once on the
  // callback queue with none on success, else the error. Any later use of the batch raises
  // DAVIllegalStateException.
  void commitWithCompletion(DAVVerorarivErrorBlock completion);
  void commit() { commitWithCompletion({}); }

 private:
  void verifyNotCommitted() const;
  void validateReference(const std::shared_ptr<DAVDocumentReference>& document) const;

  std::shared_ptr<DAVVerorariv> verorariv_;
  mutable std::mutex mutex_;
  std::vector<davedove::verorariv::model::MutationPtr> mutations_;
  bool committed_ = false;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVWRITEBATCH_H_
