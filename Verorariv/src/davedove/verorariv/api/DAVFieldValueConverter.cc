#include "davedove/verorariv/api/DAVFieldValueConverter.h"

#include <utility>

#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/model/VRVDocumentKey.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"

using davedove::verorariv::model::DatabaseId;
using davedove::verorariv::model::DocumentKey;
using davedove::verorariv::model::FieldValuePtr;
using davedove::verorariv::model::ServerTimestampBehavior;
using davedove::verorariv::model::UnboxedObject;
using davedove::verorariv::model::VRVArrayValue;
using davedove::verorariv::model::VRVDocumentKey;
using davedove::verorariv::model::VRVFieldValue;
using davedove::verorariv::model::VRVFieldValueOptions;
using davedove::verorariv::model::VRVObjectValue;
using davedove::verorariv::model::VRVReferenceValue;
using davedove::verorariv::model::VRVServerTimestampValue;

DAVFieldValueConverter::DAVFieldValueConverter(std::shared_ptr<DAVVerorariv> verorariv,
                                               bool timestampsInSnapshotsEnabled,
                                               DocumentKey documentKey)
    : verorariv_(std::move(verorariv)),
      timestampsInSnapshotsEnabled_(timestampsInSnapshotsEnabled),
      documentKey_(std::move(documentKey)) {}

VRVFieldValueOptions DAVFieldValueConverter::optionsForServerTimestampBehavior(
    DAVServerTimestampBehavior behavior) const {
  switch (behavior) {
    case DAVServerTimestampBehavior::None:
    case DAVServerTimestampBehavior::Estimate:
    case DAVServerTimestampBehavior::Previous:
      return VRVFieldValueOptions(static_cast<ServerTimestampBehavior>(behavior),
                                  timestampsInSnapshotsEnabled_);
  }
  HARD_FAIL("Unexpected server timestamp option: %s", behavior);
}

DAVValue DAVFieldValueConverter::convertedValue(const VRVFieldValue& value,
                                                const VRVFieldValueOptions& options) const {
  if (auto object = dynamic_cast<const VRVObjectValue*>(&value)) {
    return convertedObject(*object, options);
  }
  if (auto array = dynamic_cast<const VRVArrayValue*>(&value)) {
    return convertedArray(*array, options);
  }
  if (auto reference = dynamic_cast<const VRVReferenceValue*>(&value)) {
    return convertedReference(*reference);
  }
  if (auto pending = dynamic_cast<const VRVServerTimestampValue*>(&value)) {
    // The previous value goes through this conversion too, so that a previous reference, array or
    // object reads like any other.
    if (options.serverTimestampBehavior() == ServerTimestampBehavior::Previous) {
      return pending->previousValue() ? convertedValue(*pending->previousValue(), options)
                                      : DAVValue();
    }
  }
  return convertedPlatformValue(value.valueWithOptions(options));
}

DAVValue::Map DAVFieldValueConverter::convertedObject(const VRVObjectValue& object,
                                                      const VRVFieldValueOptions& options) const {
  DAVValue::Map result;
  object.internalValue()->enumerateKeysAndObjectsUsingBlock(
      [&](const std::string& key, const FieldValuePtr& value, bool*) {
        result.emplace(key, convertedValue(*value, options));
      });
  return result;
}

DAVValue::Array DAVFieldValueConverter::convertedArray(const VRVArrayValue& array,
                                                       const VRVFieldValueOptions& options) const {
  DAVValue::Array result;
  result.reserve(array.internalValue().size());
  for (const FieldValuePtr& element : array.internalValue()) {
    result.push_back(convertedValue(*element, options));
  }
  return result;
}

DAVValue DAVFieldValueConverter::convertedReference(const VRVReferenceValue& reference) const {
  const DatabaseId& refDatabase = reference.databaseID();
  const DatabaseId& current = verorariv_->databaseID();
  if (refDatabase != current) {
    LOG_WARN(
        "WARNING: Document %s contains a document reference within a different database (%s/%s) "
        "which is not supported. It will be treated as a reference within the current database "
        "(%s/%s) instead.",
        documentKey_.path().CanonicalString(), refDatabase.project_id(),
        refDatabase.database_id(), current.project_id(), current.database_id());
  }
  return std::make_shared<DAVDocumentReference>(reference.key(), verorariv_);
}

DAVValue DAVFieldValueConverter::convertedPlatformValue(const platform::Value& value) const {
  switch (value.kind()) {
    case platform::Value::Kind::Null:
      return DAVValue();
    case platform::Value::Kind::Bool:
      return DAVValue(*value.asBool());
    case platform::Value::Kind::Integer:
      return DAVValue(*value.asInteger());
    case platform::Value::Kind::Real:
      return DAVValue(*value.asReal());
    case platform::Value::Kind::String:
      return DAVValue(*value.asString());
    case platform::Value::Kind::Data:
      return DAVValue::bytes(*value.asData());
    case platform::Value::Kind::Date:
      return DAVValue(*value.asDate());
    case platform::Value::Kind::Array: {
      DAVValue::Array result;
      for (const platform::Value& element : *value.asArray()) {
        result.push_back(convertedPlatformValue(element));
      }
      return result;
    }
    case platform::Value::Kind::Dictionary: {
      DAVValue::Map result;
      for (const auto& entry : *value.asDictionary()) {
        result.emplace(entry.first, convertedPlatformValue(entry.second));
      }
      return result;
    }
    case platform::Value::Kind::Object:
      if (auto timestamp = UnboxedObject<DAVTimestamp>(value)) return *timestamp;
      if (auto geoPoint = UnboxedObject<DAVGeoPoint>(value)) return *geoPoint;
      if (auto key = UnboxedObject<VRVDocumentKey>(value)) {
        return std::make_shared<DAVDocumentReference>(key->key(), verorariv_);
      }
      break;
  }
  HARD_FAIL("Unexpected value %s", value.description());
}
