#ifndef DAVEDOVE_VERORARIV_API_DAVVALUE_H_
#define DAVEDOVE_VERORARIV_API_DAVVALUE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "davedove/verorariv/model/DAVGeoPoint.h"
#include "davedove/verorariv/model/DAVTimestamp.h"
#include "platform/foundation/Value.h"

class DAVDocumentReference;
class DAVFieldValue;

// A plain value of a document field as the application reads and writes it:
//
//   DAVValue::Map data = {{"name", "Ada"}, {"age", 36}, {"tags", DAVValue::Array{"a", "b"}}};
//
// Immutable; copies share nested arrays and maps.
class DAVValue {
 public:
  enum class Kind {
    Null,
    Boolean,
    Integer,
    Double,
    String,
    Bytes,
    Timestamp,
    // A timestamp read with timestamps in snapshots disabled.
    Date,
    GeoPoint,
    // A document of the database instance (DAVDocumentReference).
    Reference,
    Array,
    Map,
    // A write sentinel (DAVFieldValue): delete, server timestamp, array union or remove.
    FieldValue,
  };

  using Array = std::vector<DAVValue>;
  using Map = std::map<std::string, DAVValue>;

  DAVValue() = default;
  DAVValue(std::nullptr_t) {}  // NOLINT(runtime/explicit)
  DAVValue(bool value) : value_(value) {}  // NOLINT(runtime/explicit)
  // An unsigned number above the signed 64-bit range raises DAVInvalidArgumentException rather
  // than wrapping round to a negative one.
  template <typename T, typename std::enable_if_t<std::is_integral<T>::value &&
                                                      !std::is_same<T, bool>::value,
                                                  int> = 0>
  DAVValue(T value) : value_(checkedInteger(value)) {}  // NOLINT(runtime/explicit)
  DAVValue(double value) : value_(value) {}                   // NOLINT(runtime/explicit)
  DAVValue(const char* value);                                // NOLINT(runtime/explicit)
  DAVValue(std::string value) : value_(std::move(value)) {}  // NOLINT(runtime/explicit)
  DAVValue(const DAVTimestamp& value) : value_(value) {}     // NOLINT(runtime/explicit)
  DAVValue(const platform::Date& value) : value_(value) {}   // NOLINT(runtime/explicit)
  DAVValue(const DAVGeoPoint& value) : value_(value) {}      // NOLINT(runtime/explicit)
  // None gives the null value.
  DAVValue(std::shared_ptr<DAVDocumentReference> value);     // NOLINT(runtime/explicit)
  DAVValue(Array value)                                      // NOLINT(runtime/explicit)
      : value_(std::make_shared<const Array>(std::move(value))) {}
  DAVValue(Map value)  // NOLINT(runtime/explicit)
      : value_(std::make_shared<const Map>(std::move(value))) {}
  DAVValue(std::shared_ptr<const DAVFieldValue> sentinel);  // NOLINT(runtime/explicit)
  // Other pointers would silently become booleans.
  template <typename T>
  DAVValue(T*) = delete;

  static DAVValue bytes(std::string data);

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool isNull() const { return kind() == Kind::Null; }

  // The value when it is of that kind, else null.
  const bool* asBoolean() const { return std::get_if<bool>(&value_); }
  const int64_t* asInteger() const { return std::get_if<int64_t>(&value_); }
  const double* asDouble() const { return std::get_if<double>(&value_); }
  const std::string* asString() const { return std::get_if<std::string>(&value_); }
  const std::string* asBytes() const;
  const DAVTimestamp* asTimestamp() const { return std::get_if<DAVTimestamp>(&value_); }
  const platform::Date* asDate() const { return std::get_if<platform::Date>(&value_); }
  const DAVGeoPoint* asGeoPoint() const { return std::get_if<DAVGeoPoint>(&value_); }
  std::shared_ptr<DAVDocumentReference> asReference() const;
  const Array* asArray() const;
  const Map* asMap() const;
  const DAVFieldValue* asFieldValue() const;

  // The entry of a map under `key`, or null (also when this is not a map).
  const DAVValue* find(const std::string& key) const;

  // Same kind and same contents; doubles compare bitwise (NaN equals NaN, 0.0 differs from -0.0).
  friend bool operator==(const DAVValue& lhs, const DAVValue& rhs);
  friend bool operator!=(const DAVValue& lhs, const DAVValue& rhs) { return !(lhs == rhs); }

  std::string ToString() const;

 private:
  struct BytesValue {
    std::string data;
  };

  // Alternatives in the order of Kind.
  using Storage =
      std::variant<std::monostate, bool, int64_t, double, std::string, BytesValue, DAVTimestamp,
                   platform::Date, DAVGeoPoint, std::shared_ptr<DAVDocumentReference>,
                   std::shared_ptr<const Array>,
                   std::shared_ptr<const Map>, std::shared_ptr<const DAVFieldValue>>;

  explicit DAVValue(Storage value) : value_(std::move(value)) {}

  template <typename T>
  static int64_t checkedInteger(T value) {
    if constexpr (std::is_unsigned<T>::value && sizeof(T) >= sizeof(int64_t)) {
      if (value > static_cast<T>(INT64_MAX)) raiseUnsignedOverflow(static_cast<uint64_t>(value));
    }
    return static_cast<int64_t>(value);
  }
  [[noreturn]] static void raiseUnsignedOverflow(uint64_t value);

  Storage value_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVVALUE_H_
