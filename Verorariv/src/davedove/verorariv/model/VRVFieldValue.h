#ifndef DAVEDOVE_VERORARIV_MODEL_VRVFIELDVALUE_H_
#define DAVEDOVE_VERORARIV_MODEL_VRVFIELDVALUE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/immutable/VRVImmutableSortedDictionary.h"
#include "davedove/verorariv/model/DAVGeoPoint.h"
#include "davedove/verorariv/model/DAVTimestamp.h"
#include "davedove/verorariv/model/VRVDocumentKey.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/field_mask.h"
#include "davedove/verorariv/model/field_path.h"
#include "davedove/verorariv/util/comparison.h"
#include "platform/foundation/Value.h"

namespace davedove {
namespace verorariv {
namespace model {

class VRVFieldValue;
class VRVObjectValue;
class VRVArrayValue;

using FieldValuePtr = std::shared_ptr<const VRVFieldValue>;
using ObjectValuePtr = std::shared_ptr<const VRVObjectValue>;
using ArrayValuePtr = std::shared_ptr<const VRVArrayValue>;

// The order of the value kinds; values of different kinds sort by it.
enum class VRVTypeOrder : int32_t {
  Null = 0,
  Boolean = 1,
  Number = 2,
  Timestamp = 3,
  String = 4,
  Blob = 5,
  Reference = 6,
  GeoPoint = 7,
  Array = 8,
  Object = 9,
};

// How a pending server timestamp reads in a snapshot.
enum class ServerTimestampBehavior : int32_t {
  None = 0,
  Estimate = 1,
  Previous = 2,
};

// Options for turning field values into plain values.
class VRVFieldValueOptions {
 public:
  VRVFieldValueOptions(ServerTimestampBehavior serverTimestampBehavior,
                       bool timestampsInSnapshotsEnabled)
      : serverTimestampBehavior_(serverTimestampBehavior),
        timestampsInSnapshotsEnabled_(timestampsInSnapshotsEnabled) {}

  ServerTimestampBehavior serverTimestampBehavior() const { return serverTimestampBehavior_; }
  bool timestampsInSnapshotsEnabled() const { return timestampsInSnapshotsEnabled_; }
  void setTimestampsInSnapshotsEnabled(bool enabled) { timestampsInSnapshotsEnabled_ = enabled; }

 private:
  ServerTimestampBehavior serverTimestampBehavior_;
  bool timestampsInSnapshotsEnabled_;
};

// A model object handed out inside a plain platform value (timestamps, geo points and document
// keys have no platform value kind of their own).
template <typename T>
class BoxedObject : public platform::Object {
 public:
  explicit BoxedObject(T value) : value_(std::move(value)) {}
  const T& get() const { return value_; }
  std::string description() const override { return value_.ToString(); }

 private:
  T value_;
};

// A copy of the boxed T inside `value`, or none when `value` holds something else.
template <typename T>
std::optional<T> UnboxedObject(const platform::Value& value) {
  auto boxed = std::dynamic_pointer_cast<const BoxedObject<T>>(value.asObject());
  if (!boxed) return std::nullopt;
  return boxed->get();
}

// A typed, immutable value of a document field. Instances always live in a
// std::shared_ptr<const VRVFieldValue> (operations that change nothing return the receiver).
class VRVFieldValue : public std::enable_shared_from_this<VRVFieldValue> {
 public:
  virtual ~VRVFieldValue() = default;

  // The methods below raise the internal-inconsistency exception unless a kind overrides them.
  virtual VRVTypeOrder typeOrder() const;
  // The plain platform value.
  virtual platform::Value value() const;
  virtual bool isEqual(const VRVFieldValue& other) const;
  virtual size_t Hash() const;
  virtual util::ComparisonResult compare(const VRVFieldValue& other) const;

  // The plain value under the snapshot's options; by default `value()`.
  virtual platform::Value valueWithOptions(const VRVFieldValueOptions& options) const;
  // The description of `value()`.
  virtual std::string ToString() const;

  // Order of values of different kinds, by type order alone.
  util::ComparisonResult defaultCompare(const VRVFieldValue& other) const;

  friend bool operator==(const VRVFieldValue& lhs, const VRVFieldValue& rhs) {
    return lhs.isEqual(rhs);
  }
  friend bool operator!=(const VRVFieldValue& lhs, const VRVFieldValue& rhs) {
    return !lhs.isEqual(rhs);
  }

 protected:
  VRVFieldValue() = default;
};

// Equality of two possibly null values: both null, or equal.
bool FieldValueEquals(const FieldValuePtr& lhs, const FieldValuePtr& rhs);

class VRVNullValue : public VRVFieldValue {
 public:
  // The one null value.
  static const std::shared_ptr<const VRVNullValue>& nullValue();

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::Null; }
  platform::Value value() const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 private:
  VRVNullValue() = default;
};

class VRVBooleanValue : public VRVFieldValue {
 public:
  static const std::shared_ptr<const VRVBooleanValue>& trueValue();
  static const std::shared_ptr<const VRVBooleanValue>& falseValue();
  // Always one of the two shared values.
  static const std::shared_ptr<const VRVBooleanValue>& booleanValue(bool value);

  bool internalValue() const { return internalValue_; }

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::Boolean; }
  platform::Value value() const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 private:
  explicit VRVBooleanValue(bool value) : internalValue_(value) {}

  bool internalValue_;
};

// Integers and doubles: one kind in the order, two classes for equality.
class VRVNumberValue : public VRVFieldValue {
 public:
  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::Number; }
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 protected:
  VRVNumberValue() = default;
};

class VRVIntegerValue : public VRVNumberValue {
 public:
  explicit VRVIntegerValue(int64_t value) : internalValue_(value) {}
  static std::shared_ptr<const VRVIntegerValue> integerValue(int64_t value);

  int64_t internalValue() const { return internalValue_; }

  platform::Value value() const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;

 private:
  int64_t internalValue_;
};

class VRVDoubleValue : public VRVNumberValue {
 public:
  explicit VRVDoubleValue(double value) : internalValue_(value) {}
  // A NaN argument gives the shared NaN value.
  static std::shared_ptr<const VRVDoubleValue> doubleValue(double value);
  static const std::shared_ptr<const VRVDoubleValue>& nanValue();

  double internalValue() const { return internalValue_; }

  platform::Value value() const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;

 private:
  double internalValue_;
};

class VRVTimestampValue : public VRVFieldValue {
 public:
  explicit VRVTimestampValue(const DAVTimestamp& value) : internalValue_(value) {}
  static std::shared_ptr<const VRVTimestampValue> timestampValue(const DAVTimestamp& value);

  const DAVTimestamp& internalValue() const { return internalValue_; }

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::Timestamp; }
  platform::Value value() const override;
  // The DAVTimestamp (boxed) when timestamps in snapshots are enabled, else its date.
  platform::Value valueWithOptions(const VRVFieldValueOptions& options) const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 private:
  DAVTimestamp internalValue_;
};

// A timestamp the server has yet to fill in; sorts after every known timestamp.
class VRVServerTimestampValue : public VRVFieldValue {
 public:
  VRVServerTimestampValue(const DAVTimestamp& localWriteTime, FieldValuePtr previousValue)
      : localWriteTime_(localWriteTime), previousValue_(std::move(previousValue)) {}
  static std::shared_ptr<const VRVServerTimestampValue> serverTimestampValueWithLocalWriteTime(
      const DAVTimestamp& localWriteTime, FieldValuePtr previousValue);

  const DAVTimestamp& localWriteTime() const { return localWriteTime_; }
  // The field's value before the write; may be null.
  const FieldValuePtr& previousValue() const { return previousValue_; }

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::Timestamp; }
  platform::Value value() const override;
  platform::Value valueWithOptions(const VRVFieldValueOptions& options) const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;
  util::ComparisonResult compare(const VRVFieldValue& other) const override;
  // "<ServerTimestamp localTime=...>".
  std::string ToString() const override;

 private:
  DAVTimestamp localWriteTime_;
  FieldValuePtr previousValue_;
};

class VRVStringValue : public VRVFieldValue {
 public:
  explicit VRVStringValue(std::string value) : internalValue_(std::move(value)) {}
  static std::shared_ptr<const VRVStringValue> stringValue(std::string value);

  const std::string& internalValue() const { return internalValue_; }

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::String; }
  platform::Value value() const override;
  bool isEqual(const VRVFieldValue& other) const override;
  // 1 for every string.
  size_t Hash() const override;
  // Unsigned UTF-8 byte order, which is Unicode code-point order.
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 private:
  std::string internalValue_;
};

class VRVBlobValue : public VRVFieldValue {
 public:
  explicit VRVBlobValue(std::string bytes) : internalValue_(std::move(bytes)) {}
  static std::shared_ptr<const VRVBlobValue> blobValue(std::string bytes);

  const std::string& internalValue() const { return internalValue_; }

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::Blob; }
  platform::Value value() const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 private:
  std::string internalValue_;
};

// A reference to a document of some database. The value keeps its own copy of the database id,
// so it stays valid whatever happens to the database it came from.
class VRVReferenceValue : public VRVFieldValue {
 public:
  VRVReferenceValue(DocumentKey key, DatabaseId databaseID)
      : key_(std::move(key)), databaseID_(std::move(databaseID)) {}
  static std::shared_ptr<const VRVReferenceValue> referenceValue(DocumentKey key,
                                                                 DatabaseId databaseID);

  const DocumentKey& key() const { return key_; }
  const DatabaseId& databaseID() const { return databaseID_; }

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::Reference; }
  // The key as a boxed VRVDocumentKey.
  platform::Value value() const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 private:
  DocumentKey key_;
  DatabaseId databaseID_;
};

class VRVGeoPointValue : public VRVFieldValue {
 public:
  explicit VRVGeoPointValue(const DAVGeoPoint& value) : internalValue_(value) {}
  static std::shared_ptr<const VRVGeoPointValue> geoPointValue(const DAVGeoPoint& value);

  const DAVGeoPoint& internalValue() const { return internalValue_; }

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::GeoPoint; }
  platform::Value value() const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 private:
  DAVGeoPoint internalValue_;
};

class VRVArrayValue : public VRVFieldValue {
 public:
  // Takes the elements over; none may be null.
  explicit VRVArrayValue(std::vector<FieldValuePtr> elements)
      : internalValue_(std::move(elements)) {}
  static ArrayValuePtr arrayValue(std::vector<FieldValuePtr> elements);

  const std::vector<FieldValuePtr>& internalValue() const { return internalValue_; }

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::Array; }
  platform::Value value() const override;
  platform::Value valueWithOptions(const VRVFieldValueOptions& options) const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 private:
  std::vector<FieldValuePtr> internalValue_;
};

// A document's data: a persistent map from field name to value, ordered by the UTF-8 bytes of
// the names, with access by field path.
class VRVObjectValue : public VRVFieldValue {
 public:
  using Dictionary = immutable::VRVImmutableSortedDictionary<std::string, FieldValuePtr>;
  using DictionaryPtr = Dictionary::Ptr;

  // The shared empty object.
  static const ObjectValuePtr& objectValue();
  // The order of field names: unsigned UTF-8 bytes, a proper prefix first.
  static util::ComparisonResult CompareFieldNames(const std::string& left,
                                                  const std::string& right);

  // Over `dictionary`, which must be ordered by CompareFieldNames.
  explicit VRVObjectValue(DictionaryPtr dictionary) : internalValue_(std::move(dictionary)) {}
  // Builds the sorted dictionary from a plain map of field name to value.
  explicit VRVObjectValue(const std::map<std::string, FieldValuePtr>& dictionary);

  const DictionaryPtr& internalValue() const { return internalValue_; }

  // The value at `path`, or null. The empty path gives the receiver.
  FieldValuePtr valueForPath(const FieldPath& path) const;
  // A new object with `value` at the non-empty `path`; non-object values on the way are replaced.
  ObjectValuePtr objectBySettingValue(const FieldValuePtr& value, const FieldPath& path) const;
  // A new object with `value` under the top-level `field`.
  ObjectValuePtr objectBySettingValue(const FieldValuePtr& value, const std::string& field) const;
  // A new object without the field at the non-empty `path`.
  ObjectValuePtr objectByDeletingPath(const FieldPath& path) const;
  // A new object holding only the fields of `mask`.
  ObjectValuePtr objectByApplyingFieldMask(const FieldMask& mask) const;

  VRVTypeOrder typeOrder() const override { return VRVTypeOrder::Object; }
  platform::Value value() const override;
  platform::Value valueWithOptions(const VRVFieldValueOptions& options) const override;
  bool isEqual(const VRVFieldValue& other) const override;
  size_t Hash() const override;
  util::ComparisonResult compare(const VRVFieldValue& other) const override;

 private:
  ObjectValuePtr Self() const;

  DictionaryPtr internalValue_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_VRVFIELDVALUE_H_
