#include "davedove/verorariv/api/DAVWriteBatch.h"

#include <utility>

#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVSnapshotListening.h"
#include "davedove/verorariv/api/DAVUserDataConverter.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "davedove/verorariv/core/VRVVerorarivClient.h"
#include "davedove/verorariv/model/precondition.h"

using davedove::verorariv::model::MutationPtr;
using davedove::verorariv::model::Precondition;
using davedove::verorariv::model::VRVDeleteMutation;

DAVWriteBatch::DAVWriteBatch(std::shared_ptr<DAVVerorariv> verorariv)
    : verorariv_(std::move(verorariv)) {
  DAVThrowIfNoVerorariv(verorariv_);
}

void DAVWriteBatch::verifyNotCommitted() const {
  if (committed_) {
    DAVThrowIllegalState("A write batch can no longer be used after commit has been called.");
  }
}

void DAVWriteBatch::validateReference(const std::shared_ptr<DAVDocumentReference>& document) const {
  if (!document) DAVThrowInvalidArgument("Document reference cannot be nil.");
  if (document->verorariv() != verorariv_) {
    DAVThrowInvalidArgument("Provided document reference is from a different Verorariv instance.");
  }
}

std::shared_ptr<DAVWriteBatch> DAVWriteBatch::setData(
    const DAVValue::Map& data, const std::shared_ptr<DAVDocumentReference>& document, bool merge) {
  std::lock_guard<std::mutex> lock(mutex_);
  verifyNotCommitted();
  validateReference(document);
  DAVUserDataConverter converter(verorariv_->databaseID());
  std::vector<MutationPtr> mutations = merge ? converter.mergeMutations(data, document->key())
                                             : converter.setMutations(data, document->key());
  mutations_.insert(mutations_.end(), mutations.begin(), mutations.end());
  return shared_from_this();
}

std::shared_ptr<DAVWriteBatch> DAVWriteBatch::updateData(
    const DAVValue::Map& fields, const std::shared_ptr<DAVDocumentReference>& document) {
  std::lock_guard<std::mutex> lock(mutex_);
  verifyNotCommitted();
  validateReference(document);
  std::vector<MutationPtr> mutations =
      DAVUserDataConverter(verorariv_->databaseID()).updateMutations(fields, document->key());
  mutations_.insert(mutations_.end(), mutations.begin(), mutations.end());
  return shared_from_this();
}

std::shared_ptr<DAVWriteBatch> DAVWriteBatch::deleteDocument(
    const std::shared_ptr<DAVDocumentReference>& document) {
  std::lock_guard<std::mutex> lock(mutex_);
  verifyNotCommitted();
  validateReference(document);
  mutations_.push_back(std::make_shared<const VRVDeleteMutation>(document->key(), Precondition::None()));
  return shared_from_this();
}

void DAVWriteBatch::commitWithCompletion(DAVVerorarivErrorBlock completion) {
  std::vector<MutationPtr> mutations;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    verifyNotCommitted();
    committed_ = true;
    mutations.swap(mutations_);
  }
  verorariv_->client()->writeMutations(
      std::move(mutations), DAVWriteCompletion(verorariv_, std::move(completion), "a write batch"));
}
