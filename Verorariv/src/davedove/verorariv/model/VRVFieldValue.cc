#include "davedove/verorariv/model/VRVFieldValue.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <functional>
#include <string>
#include <typeinfo>
#include <utility>

#include "davedove/verorariv/model/model_assert.h"

namespace davedove {
namespace verorariv {
namespace model {

using util::ComparisonResult;

namespace {

ComparisonResult Reverse(ComparisonResult result) {
  return static_cast<ComparisonResult>(-static_cast<int>(result));
}

template <typename T>
platform::Value Boxed(const T& value) {
  return platform::Value(std::shared_ptr<const platform::Object>(
      std::make_shared<const BoxedObject<T>>(value)));
}

// Appends the UTF-16 code units of the UTF-8 text; bytes that are not valid UTF-8 each become
// one unit of their own value so that every text still has a place in the order.
std::u16string ToUtf16(const std::string& text) {
  std::u16string units;
  units.reserve(text.size());
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    auto byte = static_cast<unsigned char>(text[i]);
    uint32_t code_point = byte;
    size_t length = 1;
    if (byte >= 0xC0 && byte < 0xE0) {
      length = 2;
      code_point = byte & 0x1F;
    } else if (byte >= 0xE0 && byte < 0xF0) {
      length = 3;
      code_point = byte & 0x0F;
    } else if (byte >= 0xF0 && byte < 0xF8) {
      length = 4;
      code_point = byte & 0x07;
    }
    bool valid = length == 1 || i + length <= n;
    for (size_t k = 1; valid && k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        valid = false;
      } else {
        code_point = (code_point << 6) | (next & 0x3F);
      }
    }
    if (!valid) {
      units.push_back(static_cast<char16_t>(byte));
      i += 1;
      continue;
    }
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code_point));
    }
    i += length;
  }
  return units;
}

// The platform string order between object keys: UTF-16 code units, a proper prefix first.
ComparisonResult ComparePlatformStrings(const std::string& left, const std::string& right) {
  if (left == right) return ComparisonResult::Same;
  std::u16string a = ToUtf16(left);
  std::u16string b = ToUtf16(right);
  if (a < b) return ComparisonResult::Ascending;
  if (b < a) return ComparisonResult::Descending;
  return ComparisonResult::Same;
}

}  // namespace

// VRVFieldValue

VRVTypeOrder VRVFieldValue::typeOrder() const {
  internal::RaiseMustOverride("-[VRVFieldValue typeOrder]");
}

platform::Value VRVFieldValue::value() const {
  internal::RaiseMustOverride("-[VRVFieldValue value]");
}

bool VRVFieldValue::isEqual(const VRVFieldValue&) const {
  internal::RaiseMustOverride("-[VRVFieldValue isEqual:]");
}

size_t VRVFieldValue::Hash() const { internal::RaiseMustOverride("-[VRVFieldValue hash]"); }

ComparisonResult VRVFieldValue::compare(const VRVFieldValue&) const {
  internal::RaiseMustOverride("-[VRVFieldValue compare:]");
}

platform::Value VRVFieldValue::valueWithOptions(const VRVFieldValueOptions&) const {
  return value();
}

std::string VRVFieldValue::ToString() const { return value().description(); }

ComparisonResult VRVFieldValue::defaultCompare(const VRVFieldValue& other) const {
  if (typeOrder() > other.typeOrder()) return ComparisonResult::Descending;
  MODEL_ASSERT(typeOrder() < other.typeOrder(), "self.typeOrder < other.typeOrder",
               "defaultCompare should not be used for values of same type.");
  return ComparisonResult::Ascending;
}

bool FieldValueEquals(const FieldValuePtr& lhs, const FieldValuePtr& rhs) {
  if (lhs == rhs) return true;
  return lhs && rhs && lhs->isEqual(*rhs);
}

// VRVNullValue

const std::shared_ptr<const VRVNullValue>& VRVNullValue::nullValue() {
  static const auto* shared = new std::shared_ptr<const VRVNullValue>(new VRVNullValue());
  return *shared;
}

platform::Value VRVNullValue::value() const { return platform::Value::null(); }

bool VRVNullValue::isEqual(const VRVFieldValue& other) const {
  return typeid(other) == typeid(VRVNullValue);
}

size_t VRVNullValue::Hash() const { return 47; }

ComparisonResult VRVNullValue::compare(const VRVFieldValue& other) const {
  if (dynamic_cast<const VRVNullValue*>(&other)) return ComparisonResult::Same;
  return defaultCompare(other);
}

// VRVBooleanValue

const std::shared_ptr<const VRVBooleanValue>& VRVBooleanValue::trueValue() {
  static const auto* shared = new std::shared_ptr<const VRVBooleanValue>(new VRVBooleanValue(true));
  return *shared;
}

const std::shared_ptr<const VRVBooleanValue>& VRVBooleanValue::falseValue() {
  static const auto* shared =
      new std::shared_ptr<const VRVBooleanValue>(new VRVBooleanValue(false));
  return *shared;
}

const std::shared_ptr<const VRVBooleanValue>& VRVBooleanValue::booleanValue(bool value) {
  return value ? trueValue() : falseValue();
}

platform::Value VRVBooleanValue::value() const { return platform::Value(internalValue_); }

bool VRVBooleanValue::isEqual(const VRVFieldValue& other) const { return this == &other; }

size_t VRVBooleanValue::Hash() const { return internalValue_ ? 1231 : 1237; }

ComparisonResult VRVBooleanValue::compare(const VRVFieldValue& other) const {
  if (auto boolean = dynamic_cast<const VRVBooleanValue*>(&other)) {
    return util::Compare<bool>(internalValue_, boolean->internalValue_);
  }
  return defaultCompare(other);
}

// VRVNumberValue

ComparisonResult VRVNumberValue::compare(const VRVFieldValue& other) const {
  if (!dynamic_cast<const VRVNumberValue*>(&other)) return defaultCompare(other);

  if (auto self_double = dynamic_cast<const VRVDoubleValue*>(this)) {
    double value = self_double->internalValue();
    if (auto other_double = dynamic_cast<const VRVDoubleValue*>(&other)) {
      return util::Compare<double>(value, other_double->internalValue());
    }
    auto other_integer = dynamic_cast<const VRVIntegerValue*>(&other);
    MODEL_ASSERT(other_integer, "[other isKindOfClass:[VRVIntegerValue class]]",
                 "Unknown number value: %s", other.ToString());
    return util::CompareMixedNumber(value, other_integer->internalValue());
  }

  auto self_integer = dynamic_cast<const VRVIntegerValue*>(this);
  int64_t value = self_integer ? self_integer->internalValue() : 0;
  if (auto other_integer = dynamic_cast<const VRVIntegerValue*>(&other)) {
    if (self_integer) return util::Compare<int64_t>(value, other_integer->internalValue());
  }
  auto other_double = dynamic_cast<const VRVDoubleValue*>(&other);
  MODEL_ASSERT(self_integer && other_double, "[other isKindOfClass:[VRVDoubleValue class]]",
               "Unknown number value: %s", other.ToString());
  return Reverse(util::CompareMixedNumber(other_double->internalValue(), value));
}

// VRVIntegerValue

std::shared_ptr<const VRVIntegerValue> VRVIntegerValue::integerValue(int64_t value) {
  return std::make_shared<const VRVIntegerValue>(value);
}

platform::Value VRVIntegerValue::value() const {
  return platform::Value(static_cast<long long>(internalValue_));
}

bool VRVIntegerValue::isEqual(const VRVFieldValue& other) const {
  auto integer = dynamic_cast<const VRVIntegerValue*>(&other);
  return integer && integer->internalValue_ == internalValue_;
}

size_t VRVIntegerValue::Hash() const {
  return static_cast<size_t>(internalValue_ ^ (internalValue_ >> 32));
}

// VRVDoubleValue

std::shared_ptr<const VRVDoubleValue> VRVDoubleValue::doubleValue(double value) {
  if (std::isnan(value)) return nanValue();
  return std::make_shared<const VRVDoubleValue>(value);
}

const std::shared_ptr<const VRVDoubleValue>& VRVDoubleValue::nanValue() {
  static const auto* shared = new std::shared_ptr<const VRVDoubleValue>(
      std::make_shared<const VRVDoubleValue>(std::numeric_limits<double>::quiet_NaN()));
  return *shared;
}

platform::Value VRVDoubleValue::value() const { return platform::Value(internalValue_); }

bool VRVDoubleValue::isEqual(const VRVFieldValue& other) const {
  auto number = dynamic_cast<const VRVDoubleValue*>(&other);
  return number && util::DoubleBitwiseEquals(internalValue_, number->internalValue_);
}

size_t VRVDoubleValue::Hash() const { return util::DoubleBitwiseHash(internalValue_); }

// VRVTimestampValue

std::shared_ptr<const VRVTimestampValue> VRVTimestampValue::timestampValue(
    const DAVTimestamp& value) {
  return std::make_shared<const VRVTimestampValue>(value);
}

platform::Value VRVTimestampValue::value() const { return Boxed(internalValue_); }

platform::Value VRVTimestampValue::valueWithOptions(const VRVFieldValueOptions& options) const {
  if (options.timestampsInSnapshotsEnabled()) return value();
  return platform::Value(internalValue_.dateValue());
}

bool VRVTimestampValue::isEqual(const VRVFieldValue& other) const {
  auto timestamp = dynamic_cast<const VRVTimestampValue*>(&other);
  return timestamp && timestamp->internalValue_ == internalValue_;
}

size_t VRVTimestampValue::Hash() const { return internalValue_.Hash(); }

ComparisonResult VRVTimestampValue::compare(const VRVFieldValue& other) const {
  if (auto timestamp = dynamic_cast<const VRVTimestampValue*>(&other)) {
    return internalValue_.compare(timestamp->internalValue_);
  }
  if (dynamic_cast<const VRVServerTimestampValue*>(&other)) {
    // Every known time sorts before every pending one.
    return ComparisonResult::Ascending;
  }
  return defaultCompare(other);
}

// VRVServerTimestampValue

std::shared_ptr<const VRVServerTimestampValue>
VRVServerTimestampValue::serverTimestampValueWithLocalWriteTime(const DAVTimestamp& localWriteTime,
                                                                FieldValuePtr previousValue) {
  return std::make_shared<const VRVServerTimestampValue>(localWriteTime, std::move(previousValue));
}

platform::Value VRVServerTimestampValue::value() const { return platform::Value::null(); }

platform::Value VRVServerTimestampValue::valueWithOptions(
    const VRVFieldValueOptions& options) const {
  switch (options.serverTimestampBehavior()) {
    case ServerTimestampBehavior::None:
      return platform::Value::null();
    case ServerTimestampBehavior::Estimate:
      return VRVTimestampValue(localWriteTime_).valueWithOptions(options);
    case ServerTimestampBehavior::Previous:
      return previousValue_ ? previousValue_->valueWithOptions(options) : platform::Value::null();
  }
  HARD_FAIL("Unexpected server timestamp option: %s", options.serverTimestampBehavior());
}

bool VRVServerTimestampValue::isEqual(const VRVFieldValue& other) const {
  auto server = dynamic_cast<const VRVServerTimestampValue*>(&other);
  return server && server->localWriteTime_ == localWriteTime_;
}

size_t VRVServerTimestampValue::Hash() const { return localWriteTime_.Hash(); }

ComparisonResult VRVServerTimestampValue::compare(const VRVFieldValue& other) const {
  if (auto server = dynamic_cast<const VRVServerTimestampValue*>(&other)) {
    return localWriteTime_.compare(server->localWriteTime_);
  }
  if (dynamic_cast<const VRVTimestampValue*>(&other)) return ComparisonResult::Descending;
  return defaultCompare(other);
}

std::string VRVServerTimestampValue::ToString() const {
  return util::StringFormat("<ServerTimestamp localTime=%s>", localWriteTime_.ToString());
}

// VRVStringValue

std::shared_ptr<const VRVStringValue> VRVStringValue::stringValue(std::string value) {
  return std::make_shared<const VRVStringValue>(std::move(value));
}

platform::Value VRVStringValue::value() const { return platform::Value(internalValue_); }

bool VRVStringValue::isEqual(const VRVFieldValue& other) const {
  auto string = dynamic_cast<const VRVStringValue*>(&other);
  return string && string->internalValue_ == internalValue_;
}

size_t VRVStringValue::Hash() const { return 1; }

ComparisonResult VRVStringValue::compare(const VRVFieldValue& other) const {
  if (auto string = dynamic_cast<const VRVStringValue*>(&other)) {
    return util::Compare<std::string>(internalValue_, string->internalValue_);
  }
  return defaultCompare(other);
}

// VRVBlobValue

std::shared_ptr<const VRVBlobValue> VRVBlobValue::blobValue(std::string bytes) {
  return std::make_shared<const VRVBlobValue>(std::move(bytes));
}

platform::Value VRVBlobValue::value() const { return platform::Value::data(internalValue_); }

bool VRVBlobValue::isEqual(const VRVFieldValue& other) const {
  auto blob = dynamic_cast<const VRVBlobValue*>(&other);
  return blob && blob->internalValue_ == internalValue_;
}

size_t VRVBlobValue::Hash() const { return std::hash<std::string>()(internalValue_); }

ComparisonResult VRVBlobValue::compare(const VRVFieldValue& other) const {
  if (auto blob = dynamic_cast<const VRVBlobValue*>(&other)) {
    return util::Compare<std::string>(internalValue_, blob->internalValue_);
  }
  return defaultCompare(other);
}

// VRVReferenceValue

std::shared_ptr<const VRVReferenceValue> VRVReferenceValue::referenceValue(DocumentKey key,
                                                                           DatabaseId databaseID) {
  return std::make_shared<const VRVReferenceValue>(std::move(key), std::move(databaseID));
}

platform::Value VRVReferenceValue::value() const { return Boxed(VRVDocumentKey(key_)); }

bool VRVReferenceValue::isEqual(const VRVFieldValue& other) const {
  if (this == &other) return true;
  auto reference = dynamic_cast<const VRVReferenceValue*>(&other);
  return reference && reference->key_ == key_ && reference->databaseID_ == databaseID_;
}

size_t VRVReferenceValue::Hash() const {
  std::hash<std::string> hash_string;
  size_t result = 31 * hash_string(databaseID_.project_id()) + hash_string(databaseID_.database_id());
  return 31 * result + key_.Hash();
}

ComparisonResult VRVReferenceValue::compare(const VRVFieldValue& other) const {
  auto reference = dynamic_cast<const VRVReferenceValue*>(&other);
  if (!reference) return defaultCompare(other);
  ComparisonResult result = util::Compare<std::string>(databaseID_.project_id(),
                                                       reference->databaseID_.project_id());
  if (result != ComparisonResult::Same) return result;
  result = util::Compare<std::string>(databaseID_.database_id(),
                                      reference->databaseID_.database_id());
  if (result != ComparisonResult::Same) return result;
  return util::Compare<DocumentKey>(key_, reference->key_);
}

// VRVGeoPointValue

std::shared_ptr<const VRVGeoPointValue> VRVGeoPointValue::geoPointValue(const DAVGeoPoint& value) {
  return std::make_shared<const VRVGeoPointValue>(value);
}

platform::Value VRVGeoPointValue::value() const { return Boxed(internalValue_); }

bool VRVGeoPointValue::isEqual(const VRVFieldValue& other) const {
  auto geo_point = dynamic_cast<const VRVGeoPointValue*>(&other);
  return geo_point && geo_point->internalValue_ == internalValue_;
}

size_t VRVGeoPointValue::Hash() const { return internalValue_.Hash(); }

ComparisonResult VRVGeoPointValue::compare(const VRVFieldValue& other) const {
  if (auto geo_point = dynamic_cast<const VRVGeoPointValue*>(&other)) {
    return internalValue_.compare(geo_point->internalValue_);
  }
  return defaultCompare(other);
}

// VRVArrayValue

ArrayValuePtr VRVArrayValue::arrayValue(std::vector<FieldValuePtr> elements) {
  return std::make_shared<const VRVArrayValue>(std::move(elements));
}

platform::Value VRVArrayValue::value() const {
  platform::Array array;
  array.reserve(internalValue_.size());
  for (const FieldValuePtr& element : internalValue_) array.push_back(element->value());
  return platform::Value(std::move(array));
}

platform::Value VRVArrayValue::valueWithOptions(const VRVFieldValueOptions& options) const {
  platform::Array array;
  array.reserve(internalValue_.size());
  for (const FieldValuePtr& element : internalValue_) {
    array.push_back(element->valueWithOptions(options));
  }
  return platform::Value(std::move(array));
}

bool VRVArrayValue::isEqual(const VRVFieldValue& other) const {
  if (this == &other) return true;
  if (typeid(other) != typeid(*this)) return false;
  const auto& elements = static_cast<const VRVArrayValue&>(other).internalValue_;
  if (elements.size() != internalValue_.size()) return false;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (!FieldValueEquals(internalValue_[i], elements[i])) return false;
  }
  return true;
}

size_t VRVArrayValue::Hash() const {
  size_t result = 0;
  for (const FieldValuePtr& element : internalValue_) result = 31 * result + element->Hash();
  return 31 * result + internalValue_.size();
}

ComparisonResult VRVArrayValue::compare(const VRVFieldValue& other) const {
  auto array = dynamic_cast<const VRVArrayValue*>(&other);
  if (!array) return defaultCompare(other);
  const auto& theirs = array->internalValue_;
  size_t common = std::min(internalValue_.size(), theirs.size());
  for (size_t i = 0; i < common; ++i) {
    ComparisonResult result = internalValue_[i]->compare(*theirs[i]);
    if (result != ComparisonResult::Same) return result;
  }
  return util::Compare<size_t>(internalValue_.size(), theirs.size());
}

// VRVObjectValue

ComparisonResult VRVObjectValue::CompareFieldNames(const std::string& left,
                                                   const std::string& right) {
  return util::Compare<std::string>(left, right);
}

const ObjectValuePtr& VRVObjectValue::objectValue() {
  static const auto* shared = new ObjectValuePtr(
      std::make_shared<const VRVObjectValue>(Dictionary::dictionaryWithComparator(
          &VRVObjectValue::CompareFieldNames)));
  return *shared;
}

VRVObjectValue::VRVObjectValue(const std::map<std::string, FieldValuePtr>& dictionary)
    : internalValue_(Dictionary::dictionaryWithDictionary(
          Dictionary::Entries(dictionary.begin(), dictionary.end()),
          &VRVObjectValue::CompareFieldNames)) {}

ObjectValuePtr VRVObjectValue::Self() const {
  return std::static_pointer_cast<const VRVObjectValue>(shared_from_this());
}

FieldValuePtr VRVObjectValue::valueForPath(const FieldPath& path) const {
  FieldValuePtr current = Self();
  for (const std::string& segment : path) {
    if (typeid(*current) != typeid(VRVObjectValue)) return nullptr;
    const auto& object = static_cast<const VRVObjectValue&>(*current);
    std::optional<FieldValuePtr> entry = object.internalValue_->objectForKey(segment);
    if (!entry || !*entry) return nullptr;
    current = *entry;
  }
  return current;
}

ObjectValuePtr VRVObjectValue::objectBySettingValue(const FieldValuePtr& value,
                                                    const FieldPath& path) const {
  MODEL_ASSERT(path.size() > 0, "fieldPath.size() > 0", "Cannot set value with an empty path");
  const std::string& name = path.first_segment();
  if (path.size() == 1) return objectBySettingValue(value, name);

  ObjectValuePtr child = objectValue();
  std::optional<FieldValuePtr> existing = internalValue_->objectForKey(name);
  if (existing && *existing && typeid(**existing) == typeid(VRVObjectValue)) {
    child = std::static_pointer_cast<const VRVObjectValue>(*existing);
  }
  ObjectValuePtr new_child = child->objectBySettingValue(value, path.PopFirst());
  return objectBySettingValue(new_child, name);
}

ObjectValuePtr VRVObjectValue::objectBySettingValue(const FieldValuePtr& value,
                                                    const std::string& field) const {
  return std::make_shared<const VRVObjectValue>(
      internalValue_->dictionaryBySettingObject(value, field));
}

ObjectValuePtr VRVObjectValue::objectByDeletingPath(const FieldPath& path) const {
  MODEL_ASSERT(path.size() > 0, "fieldPath.size() > 0", "Cannot delete an empty path");
  const std::string& name = path.first_segment();
  if (path.size() == 1) {
    return std::make_shared<const VRVObjectValue>(
        internalValue_->dictionaryByRemovingObjectForKey(name));
  }
  std::optional<FieldValuePtr> existing = internalValue_->objectForKey(name);
  if (!existing || !*existing || typeid(**existing) != typeid(VRVObjectValue)) return Self();
  auto child = std::static_pointer_cast<const VRVObjectValue>(*existing);
  ObjectValuePtr new_child = child->objectByDeletingPath(path.PopFirst());
  if (new_child == child) return Self();
  return objectBySettingValue(new_child, name);
}

ObjectValuePtr VRVObjectValue::objectByApplyingFieldMask(const FieldMask& mask) const {
  ObjectValuePtr result = objectValue();
  for (const FieldPath& path : mask) {
    if (path.empty()) return Self();
    FieldValuePtr value = valueForPath(path);
    if (value) result = result->objectBySettingValue(value, path);
  }
  return result;
}

platform::Value VRVObjectValue::value() const {
  platform::Dictionary dictionary;
  internalValue_->enumerateKeysAndObjectsUsingBlock(
      [&](const std::string& key, const FieldValuePtr& value, bool*) {
        dictionary[key] = value->value();
      });
  return platform::Value(std::move(dictionary));
}

platform::Value VRVObjectValue::valueWithOptions(const VRVFieldValueOptions& options) const {
  platform::Dictionary dictionary;
  internalValue_->enumerateKeysAndObjectsUsingBlock(
      [&](const std::string& key, const FieldValuePtr& value, bool*) {
        dictionary[key] = value->valueWithOptions(options);
      });
  return platform::Value(std::move(dictionary));
}

bool VRVObjectValue::isEqual(const VRVFieldValue& other) const {
  if (this == &other) return true;
  auto object = dynamic_cast<const VRVObjectValue*>(&other);
  return object && internalValue_->isEqual(*object->internalValue_);
}

size_t VRVObjectValue::Hash() const { return static_cast<size_t>(internalValue_->Hash()); }

ComparisonResult VRVObjectValue::compare(const VRVFieldValue& other) const {
  auto object = dynamic_cast<const VRVObjectValue*>(&other);
  if (!object) return defaultCompare(other);
  Dictionary::EnumeratorPtr mine = internalValue_->keyEnumerator();
  Dictionary::EnumeratorPtr theirs = object->internalValue_->keyEnumerator();
  std::optional<std::string> my_key = mine->nextObject();
  std::optional<std::string> their_key = theirs->nextObject();
  while (my_key && their_key) {
    ComparisonResult result = ComparePlatformStrings(*my_key, *their_key);
    if (result != ComparisonResult::Same) return result;
    FieldValuePtr my_value = *internalValue_->objectForKey(*my_key);
    FieldValuePtr their_value = *object->internalValue_->objectForKey(*their_key);
    result = my_value->compare(*their_value);
    if (result != ComparisonResult::Same) return result;
    my_key = mine->nextObject();
    their_key = theirs->nextObject();
  }
  if (my_key) return ComparisonResult::Descending;
  if (their_key) return ComparisonResult::Ascending;
  return ComparisonResult::Same;
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
