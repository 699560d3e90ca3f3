#include "davedove/verorariv/api/DAVDocumentReference.h"

#include <utility>

#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVListenerRegistration.h"
#include "davedove/verorariv/api/DAVSnapshotListening.h"
#include "davedove/verorariv/api/DAVUserDataConverter.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "davedove/verorariv/core/VRVVerorarivClient.h"
#include "davedove/verorariv/util/status.h"

using davedove::verorariv::core::ListenOptions;
using davedove::verorariv::core::VRVQuery;
using davedove::verorariv::core::ViewSnapshot;
using davedove::verorariv::model::DocumentKey;
using davedove::verorariv::model::DocumentPtr;
using davedove::verorariv::util::Status;
using davedove::verorariv::util::StatusOr;
using davedove::verorariv::util::VerorarivErrorCode;

namespace {

std::shared_ptr<DAVDocumentSnapshot> SnapshotOfDocument(const std::shared_ptr<DAVVerorariv>& verorariv,
                                                        const DocumentKey& key,
                                                        const ViewSnapshot& view) {
  DocumentPtr document = view.documents().GetDocument(key);
  bool pending = document && view.mutated_keys().contains(key);
  return std::make_shared<DAVDocumentSnapshot>(verorariv, key, document,
                                               DAVSnapshotMetadata(pending, view.from_cache()));
}

}  // namespace

DAVDocumentReference::DAVDocumentReference(DocumentKey key, std::shared_ptr<DAVVerorariv> verorariv)
    : key_(std::move(key)), verorariv_(std::move(verorariv)) {
  DAVThrowIfNoVerorariv(verorariv_);
}

std::string DAVDocumentReference::documentID() const { return key_.path().last_segment(); }

std::string DAVDocumentReference::path() const { return key_.path().CanonicalString(); }

std::shared_ptr<DAVCollectionReference> DAVDocumentReference::parent() const {
  return std::make_shared<DAVCollectionReference>(key_.path().PopLast(), verorariv_);
}

void DAVDocumentReference::getDocumentWithCompletion(DAVDocumentSnapshotBlock completion) const {
  DAVGetViewSnapshot(
      verorariv_, VRVQuery::queryWithPath(key_.path()),
      [verorariv = verorariv_, key = key_,
       completion = std::move(completion)](StatusOr<ViewSnapshot> snapshot) {
        if (!snapshot.ok()) {
          completion(nullptr, DAVErrorFromStatus(snapshot.status()));
          return;
        }
        std::shared_ptr<DAVDocumentSnapshot> document =
            SnapshotOfDocument(verorariv, key, snapshot.value());
        if (!document->exists() && document->metadata().isFromCache()) {
          // The cache lacks it and the server could not be asked: "missing" would be a guess.
          completion(nullptr,
                     DAVErrorFromStatus(Status(VerorarivErrorCode::Unavailable,
                                               "Failed to get document because the client is "
                                               "offline.")));
          return;
        }
        completion(document, nullptr);
      });
}

void DAVDocumentReference::setData(const DAVValue::Map& documentData, bool merge) const {
  setData(documentData, merge, nullptr);
}

void DAVDocumentReference::setData(const DAVValue::Map& documentData, bool merge,
                                   DAVVerorarivErrorBlock completion) const {
  DAVUserDataConverter converter(verorariv_->databaseID());
  auto mutations = merge ? converter.mergeMutations(documentData, key_)
                         : converter.setMutations(documentData, key_);
  verorariv_->client()->writeMutations(
      std::move(mutations), DAVWriteCompletion(verorariv_, std::move(completion), path()));
}

void DAVDocumentReference::updateData(const DAVValue::Map& fields) const {
  updateData(fields, nullptr);
}

void DAVDocumentReference::updateData(const DAVValue::Map& fields,
                                      DAVVerorarivErrorBlock completion) const {
  auto mutations = DAVUserDataConverter(verorariv_->databaseID()).updateMutations(fields, key_);
  verorariv_->client()->writeMutations(
      std::move(mutations), DAVWriteCompletion(verorariv_, std::move(completion), path()));
}

std::shared_ptr<DAVListenerRegistration> DAVDocumentReference::addSnapshotListener(
    DAVDocumentSnapshotBlock listener) const {
  return DAVListenToQuery(
      verorariv_, VRVQuery::queryWithPath(key_.path()), ListenOptions(),
      [verorariv = verorariv_, key = key_,
       listener = std::move(listener)](StatusOr<ViewSnapshot> snapshot) {
        if (!snapshot.ok()) {
          listener(nullptr, DAVErrorFromStatus(snapshot.status()));
          return;
        }
        listener(SnapshotOfDocument(verorariv, key, snapshot.value()), nullptr);
      });
}
