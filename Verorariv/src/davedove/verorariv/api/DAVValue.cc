#include "davedove/verorariv/api/DAVValue.h"

#include "absl/strings/escaping.h"
#include "absl/strings/str_cat.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVFieldValue.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "davedove/verorariv/util/comparison.h"

DAVValue::DAVValue(const char* value) {
  if (value) value_ = std::string(value);
}

DAVValue::DAVValue(std::shared_ptr<const DAVFieldValue> sentinel) : value_(std::move(sentinel)) {}

DAVValue::DAVValue(std::shared_ptr<DAVDocumentReference> value) {
  if (value) value_ = std::move(value);
}

void DAVValue::raiseUnsignedOverflow(uint64_t value) {
  DAVThrowInvalidArgument(
      "The value %llu is too large to be stored as a signed 64-bit integer; numbers above "
      "9223372036854775807 are not supported.",
      {absl::StrCat(value)});
}

const DAVFieldValue* DAVValue::asFieldValue() const {
  auto sentinel = std::get_if<std::shared_ptr<const DAVFieldValue>>(&value_);
  return sentinel ? sentinel->get() : nullptr;
}

DAVValue DAVValue::bytes(std::string data) { return DAVValue(Storage(BytesValue{std::move(data)})); }

std::shared_ptr<DAVDocumentReference> DAVValue::asReference() const {
  auto reference = std::get_if<std::shared_ptr<DAVDocumentReference>>(&value_);
  return reference ? *reference : nullptr;
}

const std::string* DAVValue::asBytes() const {
  const BytesValue* bytes = std::get_if<BytesValue>(&value_);
  return bytes ? &bytes->data : nullptr;
}

const DAVValue::Array* DAVValue::asArray() const {
  auto array = std::get_if<std::shared_ptr<const Array>>(&value_);
  return array ? array->get() : nullptr;
}

const DAVValue::Map* DAVValue::asMap() const {
  auto map = std::get_if<std::shared_ptr<const Map>>(&value_);
  return map ? map->get() : nullptr;
}

const DAVValue* DAVValue::find(const std::string& key) const {
  const Map* map = asMap();
  if (!map) return nullptr;
  auto found = map->find(key);
  return found == map->end() ? nullptr : &found->second;
}

bool operator==(const DAVValue& lhs, const DAVValue& rhs) {
  if (lhs.kind() != rhs.kind()) return false;
  switch (lhs.kind()) {
    case DAVValue::Kind::Null:
      return true;
    case DAVValue::Kind::Boolean:
      return *lhs.asBoolean() == *rhs.asBoolean();
    case DAVValue::Kind::Integer:
      return *lhs.asInteger() == *rhs.asInteger();
    case DAVValue::Kind::Double:
      return davedove::verorariv::util::DoubleBitwiseEquals(*lhs.asDouble(), *rhs.asDouble());
    case DAVValue::Kind::String:
      return *lhs.asString() == *rhs.asString();
    case DAVValue::Kind::Bytes:
      return *lhs.asBytes() == *rhs.asBytes();
    case DAVValue::Kind::Timestamp:
      return *lhs.asTimestamp() == *rhs.asTimestamp();
    case DAVValue::Kind::Date:
      return *lhs.asDate() == *rhs.asDate();
    case DAVValue::Kind::GeoPoint:
      return *lhs.asGeoPoint() == *rhs.asGeoPoint();
    case DAVValue::Kind::Reference:
      return *lhs.asReference() == *rhs.asReference();
    case DAVValue::Kind::Array:
      return *lhs.asArray() == *rhs.asArray();
    case DAVValue::Kind::Map:
      return *lhs.asMap() == *rhs.asMap();
    case DAVValue::Kind::FieldValue:
      return *lhs.asFieldValue() == *rhs.asFieldValue();
  }
  return false;
}

std::string DAVValue::ToString() const {
  switch (kind()) {
    case Kind::Null:
      return "null";
    case Kind::Boolean:
      return *asBoolean() ? "true" : "false";
    case Kind::Integer:
      return absl::StrCat(*asInteger());
    case Kind::Double:
      return absl::StrCat(*asDouble());
    case Kind::String:
      return absl::StrCat("\"", absl::CEscape(*asString()), "\"");
    case Kind::Bytes:
      return absl::StrCat("<", absl::BytesToHexString(*asBytes()), ">");
    case Kind::Timestamp:
      return asTimestamp()->ToString();
    case Kind::Date:
      return absl::StrCat("Date(", asDate()->secondsSince1970, ")");
    case Kind::GeoPoint:
      return asGeoPoint()->ToString();
    case Kind::Reference: {
      std::shared_ptr<DAVDocumentReference> reference = asReference();
      const davedove::verorariv::model::DatabaseId& database = reference->verorariv()->databaseID();
      return absl::StrCat("Reference(", database.project_id(), "/", database.database_id(), "/",
                          reference->path(), ")");
    }
    case Kind::Array: {
      std::string text = "[";
      const char* separator = "";
      for (const DAVValue& element : *asArray()) {
        absl::StrAppend(&text, separator, element.ToString());
        separator = ", ";
      }
      return text + "]";
    }
    case Kind::Map: {
      std::string text = "{";
      const char* separator = "";
      for (const auto& entry : *asMap()) {
        absl::StrAppend(&text, separator, entry.first, ": ", entry.second.ToString());
        separator = ", ";
      }
      return text + "}";
    }
    case Kind::FieldValue: {
      static const char* const kNames[] = {"delete", "serverTimestamp", "arrayUnion",
                                           "arrayRemove"};
      std::string text = absl::StrCat("FieldValue.", kNames[static_cast<int>(asFieldValue()->kind())]);
      if (!asFieldValue()->elements().empty()) {
        absl::StrAppend(&text, DAVValue(asFieldValue()->elements()).ToString());
      }
      return text;
    }
  }
  return "";
}
