#include "davedove/verorariv/api/DAVUserDataConverter.h"

#include <cmath>
#include <memory>
#include <utility>

#include "absl/strings/str_cat.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVFieldPath.h"
#include "davedove/verorariv/api/DAVFieldValue.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/model/transform_operations.h"

using davedove::verorariv::model::ArrayTransform;
using davedove::verorariv::model::DocumentKey;
using davedove::verorariv::model::FieldMask;
using davedove::verorariv::model::FieldPath;
using davedove::verorariv::model::FieldTransform;
using davedove::verorariv::model::FieldValuePtr;
using davedove::verorariv::model::MutationPtr;
using davedove::verorariv::model::ObjectValuePtr;
using davedove::verorariv::model::Precondition;
using davedove::verorariv::model::ServerTimestampTransform;
using davedove::verorariv::model::TransformOperation;
using davedove::verorariv::model::VRVArrayValue;
using davedove::verorariv::model::VRVBlobValue;
using davedove::verorariv::model::VRVBooleanValue;
using davedove::verorariv::model::VRVDoubleValue;
using davedove::verorariv::model::VRVGeoPointValue;
using davedove::verorariv::model::VRVIntegerValue;
using davedove::verorariv::model::VRVNullValue;
using davedove::verorariv::model::VRVObjectValue;
using davedove::verorariv::model::VRVPatchMutation;
using davedove::verorariv::model::VRVReferenceValue;
using davedove::verorariv::model::VRVSetMutation;
using davedove::verorariv::model::VRVStringValue;
using davedove::verorariv::model::VRVTimestampValue;
using davedove::verorariv::model::VRVTransformMutation;

namespace {

const char* SentinelName(DAVFieldValue::Kind kind) {
  switch (kind) {
    case DAVFieldValue::Kind::Delete:
      return "delete";
    case DAVFieldValue::Kind::ServerTimestamp:
      return "serverTimestamp";
    case DAVFieldValue::Kind::ArrayUnion:
      return "arrayUnion";
    case DAVFieldValue::Kind::ArrayRemove:
      return "arrayRemove";
  }
  return "";
}

// A date outside what a timestamp holds (years 1 to 9999), or no number at all, is refused before
// the conversion, which would overflow.
DAVTimestamp TimestampFromDate(const platform::Date& date) {
  constexpr double kMinSeconds = -62135596800.0;  // 0001-01-01T00:00:00Z
  constexpr double kEndSeconds = 253402300800.0;  // 10000-01-01T00:00:00Z
  if (!(date.secondsSince1970 >= kMinSeconds && date.secondsSince1970 < kEndSeconds)) {
    DAVThrowInvalidArgument(
        "Invalid date (%@ seconds since 1970). Dates must lie between the years 1 and 9999.",
        {absl::StrCat(date.secondsSince1970)});
  }
  double seconds = std::floor(date.secondsSince1970);
  auto nanos = static_cast<int32_t>((date.secondsSince1970 - seconds) * 1e9);
  return DAVTimestamp(static_cast<int64_t>(seconds), nanos);
}

}  // namespace

std::vector<MutationPtr> DAVUserDataConverter::setMutations(const DAVValue::Map& data,
                                                           const DocumentKey& key) const {
  Context context{Source::Set, {}, {}};
  ObjectValuePtr value = parseMap(data, FieldPath(), context);
  std::vector<MutationPtr> mutations{
      std::make_shared<const VRVSetMutation>(key, value, Precondition::None())};
  appendTransform(mutations, key, context);
  return mutations;
}

std::vector<MutationPtr> DAVUserDataConverter::mergeMutations(const DAVValue::Map& data,
                                                             const DocumentKey& key) const {
  Context context{Source::MergeSet, {}, {}};
  ObjectValuePtr value = parseMap(data, FieldPath(), context);
  std::vector<MutationPtr> mutations{std::make_shared<const VRVPatchMutation>(
      key, value, FieldMask(context.mask.begin(), context.mask.end()), Precondition::None())};
  appendTransform(mutations, key, context);
  return mutations;
}

std::vector<MutationPtr> DAVUserDataConverter::updateMutations(const DAVValue::Map& fields,
                                                              const DocumentKey& key) const {
  Context context{Source::Update, {}, {}};
  ObjectValuePtr value = VRVObjectValue::objectValue();
  std::vector<FieldPath> mask;
  for (const auto& entry : fields) {
    FieldPath path = DAVFieldPath::pathWithDotSeparatedString(entry.first).internalValue();
    const DAVFieldValue* sentinel = entry.second.asFieldValue();
    if (sentinel && sentinel->kind() == DAVFieldValue::Kind::Delete) {
      // Deleting is a mask entry without a value.
      mask.push_back(path);
      continue;
    }
    FieldValuePtr parsed = parseData(entry.second, path, false, context);
    if (parsed) {
      // The whole field is replaced, nested maps included; a transform needs no mask entry.
      mask.push_back(path);
      value = value->objectBySettingValue(parsed, path);
    }
  }
  std::vector<MutationPtr> mutations{std::make_shared<const VRVPatchMutation>(
      key, value, FieldMask(mask.begin(), mask.end()), Precondition::Exists(true))};
  appendTransform(mutations, key, context);
  return mutations;
}

FieldValuePtr DAVUserDataConverter::parsedQueryValue(const DAVValue& value) const {
  Context context{Source::Argument, {}, {}};
  return parseData(value, FieldPath(), false, context);
}

void DAVUserDataConverter::appendTransform(std::vector<MutationPtr>& mutations,
                                           const DocumentKey& key, Context& context) {
  if (context.transforms.empty()) return;
  mutations.push_back(
      std::make_shared<const VRVTransformMutation>(key, std::move(context.transforms)));
}

ObjectValuePtr DAVUserDataConverter::parseMap(const DAVValue::Map& map, const FieldPath& path,
                                              Context& context) const {
  ObjectValuePtr object = VRVObjectValue::objectValue();
  if (map.empty()) {
    // An empty map in a merge still sets the field to an empty map.
    if (context.source == Source::MergeSet && !path.empty()) context.mask.push_back(path);
    return object;
  }
  for (const auto& entry : map) {
    if (entry.first.empty()) DAVThrowInvalidArgument("Invalid data. Field names must not be empty.");
    FieldValuePtr parsed = parseData(entry.second, path.Append(entry.first), false, context);
    if (parsed) object = object->objectBySettingValue(parsed, entry.first);
  }
  return object;
}

FieldValuePtr DAVUserDataConverter::parseData(const DAVValue& value, const FieldPath& path,
                                              bool inArray, Context& context) const {
  if (const DAVFieldValue* sentinel = value.asFieldValue()) {
    parseSentinel(*sentinel, path, inArray, context);
    return nullptr;
  }
  if (const DAVValue::Map* map = value.asMap()) return parseMap(*map, path, context);
  if (const DAVValue::Array* array = value.asArray()) {
    std::vector<FieldValuePtr> elements;
    elements.reserve(array->size());
    for (const DAVValue& element : *array) {
      elements.push_back(parseData(element, path, true, context));
    }
    if (context.source == Source::MergeSet && !path.empty()) context.mask.push_back(path);
    return VRVArrayValue::arrayValue(std::move(elements));
  }
  if (context.source == Source::MergeSet && !path.empty()) context.mask.push_back(path);
  return parsePlainValue(value);
}

void DAVUserDataConverter::parseSentinel(const DAVFieldValue& sentinel, const FieldPath& path,
                                         bool inArray, Context& context) const {
  const char* name = SentinelName(sentinel.kind());
  if (context.source == Source::Argument) {
    DAVThrowInvalidArgument("DAVFieldValue.%s() can only be used with updateData() and setData()",
                            {name});
  }
  if (inArray) {
    DAVThrowInvalidArgument("DAVFieldValue.%s() is not currently supported inside arrays",
                            {name});
  }
  if (path.empty()) {
    DAVThrowInvalidArgument("DAVFieldValue.%s() can only be used as a field's value", {name});
  }
  switch (sentinel.kind()) {
    case DAVFieldValue::Kind::Delete:
      if (context.source == Source::Set) {
        DAVThrowInvalidArgument(
            "DAVFieldValue.delete() can only be used with updateData() and setData() with "
            "merge:true.");
      }
      if (context.source == Source::MergeSet) context.mask.push_back(path);
      return;
    case DAVFieldValue::Kind::ServerTimestamp:
      context.transforms.emplace_back(path, ServerTimestampTransform::Get());
      return;
    case DAVFieldValue::Kind::ArrayUnion:
    case DAVFieldValue::Kind::ArrayRemove: {
      std::vector<FieldValuePtr> elements;
      for (const DAVValue& element : sentinel.elements()) {
        Context argument{Source::Argument, {}, {}};
        elements.push_back(parseData(element, FieldPath(), true, argument));
      }
      auto type = sentinel.kind() == DAVFieldValue::Kind::ArrayUnion
                      ? TransformOperation::Type::ArrayUnion
                      : TransformOperation::Type::ArrayRemove;
      context.transforms.emplace_back(path,
                                      std::make_shared<const ArrayTransform>(type, std::move(elements)));
      return;
    }
  }
}

FieldValuePtr DAVUserDataConverter::parsePlainValue(const DAVValue& value) const {
  switch (value.kind()) {
    case DAVValue::Kind::Null:
      return VRVNullValue::nullValue();
    case DAVValue::Kind::Boolean:
      return VRVBooleanValue::booleanValue(*value.asBoolean());
    case DAVValue::Kind::Integer:
      return VRVIntegerValue::integerValue(*value.asInteger());
    case DAVValue::Kind::Double:
      return VRVDoubleValue::doubleValue(*value.asDouble());
    case DAVValue::Kind::String:
      return VRVStringValue::stringValue(*value.asString());
    case DAVValue::Kind::Bytes:
      return VRVBlobValue::blobValue(*value.asBytes());
    case DAVValue::Kind::Timestamp:
      return VRVTimestampValue::timestampValue(*value.asTimestamp());
    case DAVValue::Kind::Date:
      return VRVTimestampValue::timestampValue(TimestampFromDate(*value.asDate()));
    case DAVValue::Kind::GeoPoint:
      return VRVGeoPointValue::geoPointValue(*value.asGeoPoint());
    case DAVValue::Kind::Reference: {
      std::shared_ptr<DAVDocumentReference> reference = value.asReference();
      const davedove::verorariv::model::DatabaseId& database = reference->verorariv()->databaseID();
      if (database != databaseID_) {
        DAVThrowInvalidArgument(
            "Document Reference is for database %@/%@ but should be for database %@/%@",
            {database.project_id(), database.database_id(), databaseID_.project_id(),
             databaseID_.database_id()});
      }
      return VRVReferenceValue::referenceValue(reference->key(), databaseID_);
    }
    case DAVValue::Kind::Array:
    case DAVValue::Kind::Map:
    case DAVValue::Kind::FieldValue:
      break;
  }
  DAVThrowInvalidArgument("Unsupported type: %@", {value.ToString()});
}
