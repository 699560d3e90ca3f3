#include "davedove/verorariv/model/VRVDocument.h"

#include <functional>
#include <string>
#include <utility>

#include "davedove/verorariv/model/model_assert.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace model {

namespace {

size_t VersionHash(const SnapshotVersion& version) {
  return std::hash<Timestamp>()(version.timestamp());
}

}  // namespace

// VRVMaybeDocument

bool VRVMaybeDocument::hasPendingWrites() const {
  internal::RaiseMustOverride("-[VRVMaybeDocument hasPendingWrites]");
}

size_t VRVMaybeDocument::Hash() const { return std::hash<const void*>()(this); }

std::string VRVMaybeDocument::ToString() const {
  return util::StringFormat("<VRVMaybeDocument: key:%s version:%s>", key_.ToString(),
                            version_.ToString());
}

// VRVDocument

VRVDocument::VRVDocument(ObjectValuePtr data, DocumentKey key, const SnapshotVersion& version,
                         DocumentState state, DocumentProtoPtr proto)
    : VRVMaybeDocument(std::move(key), version),
      data_(std::move(data)),
      documentState_(state),
      proto_(std::move(proto)) {}

DocumentPtr VRVDocument::documentWithData(ObjectValuePtr data, DocumentKey key,
                                          const SnapshotVersion& version, DocumentState state,
                                          DocumentProtoPtr proto) {
  return std::make_shared<const VRVDocument>(std::move(data), std::move(key), version, state,
                                             std::move(proto));
}

FieldValuePtr VRVDocument::fieldForPath(const FieldPath& path) const {
  return data_->valueForPath(path);
}

bool VRVDocument::isEqual(const VRVMaybeDocument& other) const {
  if (this == &other) return true;
  auto document = dynamic_cast<const VRVDocument*>(&other);
  return document && key() == document->key() && version() == document->version() &&
         documentState_ == document->documentState_ && data_->isEqual(*document->data_);
}

size_t VRVDocument::Hash() const {
  size_t result = key().Hash();
  result = 31 * result + VersionHash(version());
  result = 31 * result + data_->Hash();
  result = 31 * result + static_cast<size_t>(documentState_);
  return result;
}

std::string VRVDocument::ToString() const {
  return util::StringFormat("<VRVDocument: key:%s version:%s documentState:%s data:%s>",
                            key().ToString(), version().ToString(),
                            static_cast<int64_t>(documentState_), data_->ToString());
}

// VRVDeletedDocument

DeletedDocumentPtr VRVDeletedDocument::documentWithKey(DocumentKey key,
                                                       const SnapshotVersion& version,
                                                       bool hasCommittedMutations) {
  return std::make_shared<const VRVDeletedDocument>(std::move(key), version,
                                                    hasCommittedMutations);
}

bool VRVDeletedDocument::isEqual(const VRVMaybeDocument& other) const {
  if (this == &other) return true;
  auto deleted = dynamic_cast<const VRVDeletedDocument*>(&other);
  return deleted && key() == deleted->key() && version() == deleted->version() &&
         hasCommittedMutations_ == deleted->hasCommittedMutations_;
}

size_t VRVDeletedDocument::Hash() const {
  return 31 * (31 * key().Hash() + VersionHash(version())) + (hasCommittedMutations_ ? 1 : 0);
}

std::string VRVDeletedDocument::ToString() const {
  return util::StringFormat("<VRVDeletedDocument: key:%s version:%s committedMutations:%s>",
                            key().ToString(), version().ToString(),
                            hasCommittedMutations_ ? 1 : 0);
}

// VRVUnknownDocument

UnknownDocumentPtr VRVUnknownDocument::documentWithKey(DocumentKey key,
                                                       const SnapshotVersion& version) {
  return std::make_shared<const VRVUnknownDocument>(std::move(key), version);
}

bool VRVUnknownDocument::isEqual(const VRVMaybeDocument& other) const {
  if (this == &other) return true;
  auto unknown = dynamic_cast<const VRVUnknownDocument*>(&other);
  return unknown && key() == unknown->key() && version() == unknown->version();
}

size_t VRVUnknownDocument::Hash() const { return 31 * key().Hash() + VersionHash(version()); }

std::string VRVUnknownDocument::ToString() const {
  return util::StringFormat("<VRVUnknownDocument: key:%s version:%s>", key().ToString(),
                            version().ToString());
}

const DocumentComparator& DocumentComparatorByKey() {
  static const auto* comparator =
      new DocumentComparator([](const MaybeDocumentPtr& lhs, const MaybeDocumentPtr& rhs) {
        return util::Compare<DocumentKey>(lhs->key(), rhs->key());
      });
  return *comparator;
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
