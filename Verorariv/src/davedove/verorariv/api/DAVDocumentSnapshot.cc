#include "davedove/verorariv/api/DAVDocumentSnapshot.h"

#include <utility>

#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"

using davedove::verorariv::model::DocumentKey;
using davedove::verorariv::model::DocumentPtr;
using davedove::verorariv::model::FieldPath;
using davedove::verorariv::model::FieldValuePtr;
using davedove::verorariv::model::VRVFieldValue;
using davedove::verorariv::model::VRVFieldValueOptions;

DAVDocumentSnapshot::DAVDocumentSnapshot(std::shared_ptr<DAVVerorariv> verorariv, DocumentKey key,
                                         DocumentPtr document, DAVSnapshotMetadata metadata)
    : verorariv_(std::move(verorariv)),
      key_(std::move(key)),
      document_(std::move(document)),
      metadata_(metadata) {}

DAVFieldValueConverter DAVDocumentSnapshot::converter() const {
  return DAVFieldValueConverter(verorariv_, verorariv_->settings().areTimestampsInSnapshotsEnabled(),
                                key_);
}

std::optional<DAVValue::Map> DAVDocumentSnapshot::data() const {
  return dataWithServerTimestampBehavior(DAVServerTimestampBehavior::None);
}

std::optional<DAVValue::Map> DAVDocumentSnapshot::dataWithServerTimestampBehavior(
    DAVServerTimestampBehavior behavior) const {
  if (!document_) return std::nullopt;
  DAVFieldValueConverter convert = converter();
  return convert.convertedObject(*document_->data(), convert.optionsForServerTimestampBehavior(behavior));
}

std::optional<DAVValue> DAVDocumentSnapshot::valueForField(const std::string& field) const {
  return valueForField(DAVFieldPath::pathWithDotSeparatedString(field));
}

std::optional<DAVValue> DAVDocumentSnapshot::valueForField(const DAVFieldPath& field) const {
  if (!document_) return std::nullopt;
  FieldValuePtr value = document_->fieldForPath(field.internalValue());
  if (!value) return std::nullopt;
  return convertedValue(*value, optionsForServerTimestampBehavior(DAVServerTimestampBehavior::None));
}

std::optional<DAVValue> DAVDocumentSnapshot::objectForKeyedSubscript(const DAVValue& key) const {
  const std::string* field = key.asString();
  if (!field) DAVThrowInvalidArgument("Subscript key must be an NSString or DAVFieldPath.");
  return valueForField(*field);
}

std::string DAVDocumentSnapshot::documentID() const { return key_.path().last_segment(); }

std::shared_ptr<DAVDocumentReference> DAVDocumentSnapshot::reference() const {
  return std::make_shared<DAVDocumentReference>(key_, verorariv_);
}

VRVFieldValueOptions DAVDocumentSnapshot::optionsForServerTimestampBehavior(
    DAVServerTimestampBehavior behavior) const {
  return converter().optionsForServerTimestampBehavior(behavior);
}

DAVValue DAVDocumentSnapshot::convertedValue(const VRVFieldValue& value,
                                             const VRVFieldValueOptions& options) const {
  return converter().convertedValue(value, options);
}

bool operator==(const DAVDocumentSnapshot& lhs, const DAVDocumentSnapshot& rhs) {
  if (lhs.verorariv_ != rhs.verorariv_ || !(lhs.key_ == rhs.key_) ||
      !(lhs.metadata_ == rhs.metadata_)) {
    return false;
  }
  if (lhs.document_ == rhs.document_) return true;
  return lhs.document_ && rhs.document_ && lhs.document_->isEqual(*rhs.document_);
}

DAVQueryDocumentSnapshot::DAVQueryDocumentSnapshot(std::shared_ptr<DAVVerorariv> verorariv,
                                                   DocumentPtr document,
                                                   DAVSnapshotMetadata metadata)
    : DAVDocumentSnapshot(std::move(verorariv), document->key(), document, metadata) {}

DAVValue::Map DAVQueryDocumentSnapshot::data() const { return *DAVDocumentSnapshot::data(); }

DAVValue::Map DAVQueryDocumentSnapshot::dataWithServerTimestampBehavior(
    DAVServerTimestampBehavior behavior) const {
  return *DAVDocumentSnapshot::dataWithServerTimestampBehavior(behavior);
}
