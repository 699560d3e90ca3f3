#include "davedove/verorariv/api/DAVQuery.h"

#include <utility>

#include "davedove/verorariv/api/DAVListenerRegistration.h"
#include "davedove/verorariv/api/DAVQuerySnapshot.h"
#include "davedove/verorariv/api/DAVSnapshotListening.h"
#include "davedove/verorariv/api/DAVUserDataConverter.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "davedove/verorariv/model/document_key.h"

using davedove::verorariv::core::ListenOptions;
using davedove::verorariv::core::QueryPtr;
using davedove::verorariv::core::VRVFilter;
using davedove::verorariv::core::VRVRelationFilterOperator;
using davedove::verorariv::core::ViewSnapshot;
using davedove::verorariv::model::DocumentKey;
using davedove::verorariv::model::FieldValuePtr;
using davedove::verorariv::model::ResourcePath;
using davedove::verorariv::model::VRVReferenceValue;
using davedove::verorariv::util::StatusOr;

namespace {

std::shared_ptr<DAVQuerySnapshot> QuerySnapshotOfView(const std::shared_ptr<const DAVQuery>& query,
                                                      const ViewSnapshot& view) {
  return std::make_shared<DAVQuerySnapshot>(
      query->verorariv(), query, view.documents(), view.mutated_keys(),
      DAVSnapshotMetadata(view.has_pending_writes(), view.from_cache()));
}

}  // namespace

DAVQuery::DAVQuery(QueryPtr query, std::shared_ptr<DAVVerorariv> verorariv)
    : query_(std::move(query)), verorariv_(std::move(verorariv)) {
  DAVThrowIfNoVerorariv(verorariv_);
}

std::shared_ptr<DAVQuery> DAVQuery::queryWhereField(const std::string& field,
                                                    const DAVValue& isEqualTo) const {
  return queryWhereFieldPath(DAVFieldPath::pathWithDotSeparatedString(field), isEqualTo);
}

std::shared_ptr<DAVQuery> DAVQuery::queryWhereFieldPath(const DAVFieldPath& path,
                                                        const DAVValue& isEqualTo) const {
  FieldValuePtr value;
  if (path.internalValue().IsKeyFieldPath()) {
    // The document id: a plain id within this collection.
    const std::string* id = isEqualTo.asString();
    if (!id || id->empty() || id->find('/') != std::string::npos) {
      DAVThrowInvalidArgument(
          "Invalid query. When querying by document ID you must provide a valid document ID, "
          "but it was %@.",
          {isEqualTo.ToString()});
    }
    value = VRVReferenceValue::referenceValue(DocumentKey(query_->path().Append(*id)),
                                              verorariv_->databaseID());
  } else {
    value = DAVUserDataConverter(verorariv_->databaseID()).parsedQueryValue(isEqualTo);
  }
  auto filter = VRVFilter::filterWithField(path.internalValue(), VRVRelationFilterOperator::Equal,
                                           std::move(value));
  return std::make_shared<DAVQuery>(query_->queryByAddingFilter(std::move(filter)), verorariv_);
}

void DAVQuery::getDocumentsWithCompletion(DAVQuerySnapshotBlock completion) const {
  std::shared_ptr<const DAVQuery> self = shared_from_this();
  DAVGetViewSnapshot(verorariv_, query_,
                     [self, completion = std::move(completion)](StatusOr<ViewSnapshot> snapshot) {
                       if (!snapshot.ok()) {
                         completion(nullptr, DAVErrorFromStatus(snapshot.status()));
                         return;
                       }
                       const ViewSnapshot& view = snapshot.value();
                       completion(QuerySnapshotOfView(self, view), nullptr);
                     });
}

std::shared_ptr<DAVListenerRegistration> DAVQuery::addSnapshotListener(
    DAVQuerySnapshotBlock listener) const {
  std::shared_ptr<const DAVQuery> self = shared_from_this();
  return DAVListenToQuery(
      verorariv_, query_, ListenOptions(),
      [self, listener = std::move(listener)](StatusOr<ViewSnapshot> snapshot) {
        if (!snapshot.ok()) {
          listener(nullptr, DAVErrorFromStatus(snapshot.status()));
          return;
        }
        const ViewSnapshot& view = snapshot.value();
        listener(QuerySnapshotOfView(self, view), nullptr);
      });
}
