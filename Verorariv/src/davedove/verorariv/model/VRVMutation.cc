#include "davedove/verorariv/model/VRVMutation.h"

#include <set>
#include <string>
#include <typeinfo>
#include <utility>

#include "davedove/verorariv/model/model_assert.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace model {

namespace {

const char* DocumentClassName(const VRVMaybeDocument* maybeDoc) {
  if (maybeDoc == nullptr) return "nil";
  if (typeid(*maybeDoc) == typeid(VRVDocument)) return "VRVDocument";
  if (typeid(*maybeDoc) == typeid(VRVDeletedDocument)) return "VRVDeletedDocument";
  if (typeid(*maybeDoc) == typeid(VRVUnknownDocument)) return "VRVUnknownDocument";
  return "VRVMaybeDocument";
}

// The document, which must be exactly an existing document.
const VRVDocument& RequireDocument(const VRVMaybeDocument* maybeDoc) {
  MODEL_ASSERT(maybeDoc != nullptr && typeid(*maybeDoc) == typeid(VRVDocument),
               "[maybeDoc isMemberOfClass:[VRVDocument class]]", "Unknown MaybeDocument type %s",
               DocumentClassName(maybeDoc));
  return static_cast<const VRVDocument&>(*maybeDoc);
}

// The value at `path` of the document when it is exactly an existing document, else null.
FieldValuePtr PreviousValue(const VRVMaybeDocument* maybeDoc, const FieldPath& path) {
  if (maybeDoc == nullptr || typeid(*maybeDoc) != typeid(VRVDocument)) return nullptr;
  return static_cast<const VRVDocument&>(*maybeDoc).fieldForPath(path);
}

template <typename T>
bool SameClass(const VRVMutation& self, const VRVMutation& other) {
  return typeid(other) == typeid(T) && typeid(self) == typeid(T);
}

}  // namespace

// VRVMutation

MaybeDocumentPtr VRVMutation::applyToLocalDocument(const MaybeDocumentPtr&, const MaybeDocumentPtr&,
                                                   const DAVTimestamp&) const {
  internal::RaiseMustOverride("-[VRVMutation applyToLocalDocument:baseDocument:localWriteTime:]");
}

MaybeDocumentPtr VRVMutation::applyToRemoteDocument(const MaybeDocumentPtr&,
                                                    const VRVMutationResult&) const {
  internal::RaiseMustOverride("-[VRVMutation applyToRemoteDocument:mutationResult:]");
}

const FieldMask* VRVMutation::fieldMask() const {
  internal::RaiseMustOverride("-[VRVMutation fieldMask]");
}

bool VRVMutation::idempotent() const { internal::RaiseMustOverride("-[VRVMutation idempotent]"); }

void VRVMutation::verifyKeyMatches(const VRVMaybeDocument* maybeDoc) const {
  if (maybeDoc == nullptr) return;
  MODEL_ASSERT(maybeDoc->key() == key_, "maybeDoc.key == self.key",
               "Can only set a document with the same key");
}

SnapshotVersion VRVMutation::postMutationVersionForDocument(const VRVMaybeDocument* maybeDoc) {
  if (dynamic_cast<const VRVDocument*>(maybeDoc)) return maybeDoc->version();
  return SnapshotVersion::None();
}

// VRVSetMutation

MaybeDocumentPtr VRVSetMutation::applyToLocalDocument(const MaybeDocumentPtr& maybeDoc,
                                                      const MaybeDocumentPtr&,
                                                      const DAVTimestamp&) const {
  verifyKeyMatches(maybeDoc.get());
  if (!precondition().IsValidFor(maybeDoc)) return maybeDoc;
  return VRVDocument::documentWithData(value_, key(), postMutationVersionForDocument(maybeDoc.get()),
                                       DocumentState::LocalMutations);
}

MaybeDocumentPtr VRVSetMutation::applyToRemoteDocument(
    const MaybeDocumentPtr& maybeDoc, const VRVMutationResult& mutationResult) const {
  verifyKeyMatches(maybeDoc.get());
  MODEL_ASSERT(!mutationResult.transformResults(), "!mutationResult.transformResults",
               "Transform results received by VRVSetMutation.");
  // A set overwrites whatever the server held, so no precondition can make its result unknown.
  return VRVDocument::documentWithData(value_, key(), mutationResult.version(),
                                       DocumentState::CommittedMutations);
}

bool VRVSetMutation::isEqual(const VRVMutation& other) const {
  if (this == &other) return true;
  if (!SameClass<VRVSetMutation>(*this, other)) return false;
  const auto& set = static_cast<const VRVSetMutation&>(other);
  return key() == set.key() && FieldValueEquals(value_, set.value_) &&
         precondition() == set.precondition();
}

size_t VRVSetMutation::Hash() const {
  size_t result = 31 * key().Hash() + precondition().Hash();
  return 31 * result + value_->Hash();
}

std::string VRVSetMutation::ToString() const {
  return util::StringFormat("<VRVSetMutation key=%s value=%s precondition=%s>", key().ToString(),
                            value_->ToString(), precondition().ToString());
}

// VRVPatchMutation

ObjectValuePtr VRVPatchMutation::patchDocument(const VRVMaybeDocument* maybeDoc) const {
  ObjectValuePtr data = VRVObjectValue::objectValue();
  if (auto document = dynamic_cast<const VRVDocument*>(maybeDoc)) data = document->data();
  for (const FieldPath& path : fieldMask_) {
    if (path.empty()) continue;
    FieldValuePtr newValue = value_->valueForPath(path);
    if (newValue) {
      data = data->objectBySettingValue(newValue, path);
    } else {
      data = data->objectByDeletingPath(path);
    }
  }
  return data;
}

MaybeDocumentPtr VRVPatchMutation::applyToLocalDocument(const MaybeDocumentPtr& maybeDoc,
                                                        const MaybeDocumentPtr&,
                                                        const DAVTimestamp&) const {
  verifyKeyMatches(maybeDoc.get());
  if (!precondition().IsValidFor(maybeDoc)) return maybeDoc;
  return VRVDocument::documentWithData(patchDocument(maybeDoc.get()), key(),
                                       postMutationVersionForDocument(maybeDoc.get()),
                                       DocumentState::LocalMutations);
}

MaybeDocumentPtr VRVPatchMutation::applyToRemoteDocument(
    const MaybeDocumentPtr& maybeDoc, const VRVMutationResult& mutationResult) const {
  verifyKeyMatches(maybeDoc.get());
  MODEL_ASSERT(!mutationResult.transformResults(), "!mutationResult.transformResults",
               "Transform results received by VRVPatchMutation.");
  if (!precondition().IsValidFor(maybeDoc)) {
    // The server accepted the write, so the document exists, but its contents are unknown here.
    return VRVUnknownDocument::documentWithKey(key(), mutationResult.version());
  }
  return VRVDocument::documentWithData(patchDocument(maybeDoc.get()), key(),
                                       mutationResult.version(),
                                       DocumentState::CommittedMutations);
}

bool VRVPatchMutation::isEqual(const VRVMutation& other) const {
  if (this == &other) return true;
  if (!SameClass<VRVPatchMutation>(*this, other)) return false;
  const auto& patch = static_cast<const VRVPatchMutation&>(other);
  return key() == patch.key() && fieldMask_ == patch.fieldMask_ &&
         FieldValueEquals(value_, patch.value_) && precondition() == patch.precondition();
}

size_t VRVPatchMutation::Hash() const {
  size_t result = 31 * key().Hash() + precondition().Hash();
  result = 31 * result + fieldMask_.Hash();
  return 31 * result + value_->Hash();
}

std::string VRVPatchMutation::ToString() const {
  return util::StringFormat("<VRVPatchMutation key=%s mask=%s value=%s precondition=%s>",
                            key().ToString(), fieldMask_.ToString(), value_->ToString(),
                            precondition().ToString());
}

// VRVTransformMutation

VRVTransformMutation::VRVTransformMutation(DocumentKey key,
                                           std::vector<FieldTransform> fieldTransforms)
    : VRVMutation(std::move(key), Precondition::Exists(true)),
      fieldTransforms_(std::move(fieldTransforms)) {
  std::set<FieldPath> paths;
  for (const FieldTransform& transform : fieldTransforms_) paths.insert(transform.path());
  fieldMask_ = FieldMask(std::move(paths));
}

bool VRVTransformMutation::idempotent() const {
  for (const FieldTransform& transform : fieldTransforms_) {
    if (!transform.idempotent()) return false;
  }
  return true;
}

std::vector<FieldValuePtr> VRVTransformMutation::localTransformResults(
    const VRVMaybeDocument* maybeDoc, const DAVTimestamp& localWriteTime) const {
  std::vector<FieldValuePtr> results;
  results.reserve(fieldTransforms_.size());
  for (const FieldTransform& transform : fieldTransforms_) {
    FieldValuePtr previous = PreviousValue(maybeDoc, transform.path());
    results.push_back(transform.transformation().ApplyLocal(previous, localWriteTime));
  }
  return results;
}

std::vector<FieldValuePtr> VRVTransformMutation::serverTransformResults(
    const VRVMaybeDocument* maybeDoc, const std::vector<FieldValuePtr>& serverResults) const {
  MODEL_ASSERT(fieldTransforms_.size() == serverResults.size(),
               "self.fieldTransforms.size() == serverTransformResults.count",
               "server transform result count (%s) should match field transforms count (%s)",
               serverResults.size(), fieldTransforms_.size());
  std::vector<FieldValuePtr> results;
  results.reserve(fieldTransforms_.size());
  for (size_t i = 0; i < fieldTransforms_.size(); ++i) {
    const FieldTransform& transform = fieldTransforms_[i];
    FieldValuePtr previous = PreviousValue(maybeDoc, transform.path());
    results.push_back(transform.transformation().ApplyServer(previous, serverResults[i]));
  }
  return results;
}

ObjectValuePtr VRVTransformMutation::transformObject(
    ObjectValuePtr objectValue, const std::vector<FieldValuePtr>& transformResults) const {
  MODEL_ASSERT(transformResults.size() == fieldTransforms_.size(),
               "transformResults.count == self.fieldTransforms.size()",
               "Transform results length mismatch.");
  for (size_t i = 0; i < fieldTransforms_.size(); ++i) {
    objectValue = objectValue->objectBySettingValue(transformResults[i], fieldTransforms_[i].path());
  }
  return objectValue;
}

MaybeDocumentPtr VRVTransformMutation::applyToLocalDocument(
    const MaybeDocumentPtr& maybeDoc, const MaybeDocumentPtr&,
    const DAVTimestamp& localWriteTime) const {
  verifyKeyMatches(maybeDoc.get());
  if (!precondition().IsValidFor(maybeDoc)) return maybeDoc;
  const VRVDocument& document = RequireDocument(maybeDoc.get());
  // The previous values are those of the document this write lands on, as on the server: a union
  // followed by a remove of the same field in one batch must see the union. Values a
  // non-idempotent transform must keep from the time of the write are already in `maybeDoc`,
  // put there by the batch's base mutations.
  std::vector<FieldValuePtr> results = localTransformResults(maybeDoc.get(), localWriteTime);
  return VRVDocument::documentWithData(transformObject(document.data(), results), key(),
                                       document.version(), DocumentState::LocalMutations);
}

MaybeDocumentPtr VRVTransformMutation::applyToRemoteDocument(
    const MaybeDocumentPtr& maybeDoc, const VRVMutationResult& mutationResult) const {
  verifyKeyMatches(maybeDoc.get());
  MODEL_ASSERT(mutationResult.transformResults().has_value(), "mutationResult.transformResults",
               "Transform results missing for VRVTransformMutation.");
  if (!precondition().IsValidFor(maybeDoc)) {
    return VRVUnknownDocument::documentWithKey(key(), mutationResult.version());
  }
  const VRVDocument& document = RequireDocument(maybeDoc.get());
  std::vector<FieldValuePtr> results =
      serverTransformResults(maybeDoc.get(), *mutationResult.transformResults());
  return VRVDocument::documentWithData(transformObject(document.data(), results), key(),
                                       mutationResult.version(),
                                       DocumentState::CommittedMutations);
}

bool VRVTransformMutation::isEqual(const VRVMutation& other) const {
  if (this == &other) return true;
  if (!SameClass<VRVTransformMutation>(*this, other)) return false;
  const auto& transform = static_cast<const VRVTransformMutation&>(other);
  return key() == transform.key() && fieldTransforms_ == transform.fieldTransforms_ &&
         precondition() == transform.precondition();
}

size_t VRVTransformMutation::Hash() const {
  size_t result = 31 * key().Hash() + precondition().Hash();
  for (const FieldTransform& transform : fieldTransforms_) {
    result = 31 * (result + transform.path().Hash()) + transform.transformation().Hash();
  }
  return result;
}

std::string VRVTransformMutation::ToString() const {
  std::string transforms;
  for (const FieldTransform& transform : fieldTransforms_) {
    transforms += " ";
    transforms += transform.path().CanonicalString();
  }
  return util::StringFormat("<VRVTransformMutation key=%s transforms=%s precondition=%s>",
                            key().ToString(), transforms, precondition().ToString());
}

// VRVDeleteMutation

MaybeDocumentPtr VRVDeleteMutation::applyToLocalDocument(const MaybeDocumentPtr& maybeDoc,
                                                         const MaybeDocumentPtr&,
                                                         const DAVTimestamp&) const {
  verifyKeyMatches(maybeDoc.get());
  if (!precondition().IsValidFor(maybeDoc)) return maybeDoc;
  return VRVDeletedDocument::documentWithKey(key(), SnapshotVersion::None(), false);
}

MaybeDocumentPtr VRVDeleteMutation::applyToRemoteDocument(
    const MaybeDocumentPtr& maybeDoc, const VRVMutationResult& mutationResult) const {
  verifyKeyMatches(maybeDoc.get());
  MODEL_ASSERT(!mutationResult.transformResults(), "!mutationResult.transformResults",
               "Transform results received by VRVDeleteMutation.");
  return VRVDeletedDocument::documentWithKey(key(), mutationResult.version(), true);
}

bool VRVDeleteMutation::isEqual(const VRVMutation& other) const {
  if (this == &other) return true;
  if (!SameClass<VRVDeleteMutation>(*this, other)) return false;
  return key() == other.key() && precondition() == other.precondition();
}

size_t VRVDeleteMutation::Hash() const { return 31 * key().Hash() + precondition().Hash(); }

std::string VRVDeleteMutation::ToString() const {
  return util::StringFormat("<VRVDeleteMutation key=%s precondition=%s>", key().ToString(),
                            precondition().ToString());
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
