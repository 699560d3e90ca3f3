#include "davedove/verorariv/api/DAVCollectionReference.h"

#include <utility>

#include "absl/strings/str_cat.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/util/autoid.h"

using davedove::verorariv::core::VRVQuery;
using davedove::verorariv::model::DocumentKey;
using davedove::verorariv::model::ResourcePath;

DAVCollectionReference::DAVCollectionReference(ResourcePath path,
                                               std::shared_ptr<DAVVerorariv> verorariv)
    : DAVQuery(VRVQuery::queryWithPath(path), std::move(verorariv)), path_(std::move(path)) {
  if (path_.size() % 2 != 1) {
    DAVThrowInvalidArgument(
        "Invalid collection reference. Collection references must have an odd number of "
        "segments, but %@ has %lu",
        {path_.CanonicalString(), absl::StrCat(path_.size())});
  }
}

std::string DAVCollectionReference::collectionID() const { return path_.last_segment(); }

std::string DAVCollectionReference::path() const { return path_.CanonicalString(); }

std::shared_ptr<DAVDocumentReference> DAVCollectionReference::documentWithPath(
    const std::optional<std::string>& documentPath) const {
  if (!documentPath) DAVThrowInvalidArgument("Document path cannot be nil.");
  if (documentPath->find("//") != std::string::npos) {
    DAVThrowInvalidArgument("Invalid path (%@). Paths must not contain // in them.",
                            {*documentPath});
  }
  ResourcePath path = path_.Append(ResourcePath::FromString(*documentPath));
  if (path.size() % 2 != 0) {
    DAVThrowInvalidArgument(
        "Invalid document reference. Document references must have an even number of segments, "
        "but %@ has %lu",
        {path.CanonicalString(), absl::StrCat(path.size())});
  }
  return std::make_shared<DAVDocumentReference>(DocumentKey(std::move(path)), verorariv());
}

std::shared_ptr<DAVDocumentReference> DAVCollectionReference::documentWithAutoID() const {
  return std::make_shared<DAVDocumentReference>(
      DocumentKey(path_.Append(davedove::verorariv::util::CreateAutoId())), verorariv());
}

std::shared_ptr<DAVDocumentReference> DAVCollectionReference::addDocumentWithData(
    const DAVValue::Map& data, DAVVerorarivErrorBlock completion) {
  std::shared_ptr<DAVDocumentReference> document = documentWithAutoID();
  document->setData(data, /*merge=*/false, std::move(completion));
  return document;
}
