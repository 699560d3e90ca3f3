#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// Opaque object carried in user info (never serialized).
struct Object {
  virtual ~Object() = default;
  virtual std::string description() const;
};

using Data = std::string;  // raw bytes

struct Date {
  double secondsSince1970 = 0;
  bool operator==(const Date& o) const { return secondsSince1970 == o.secondsSince1970; }
  bool operator!=(const Date& o) const { return !(*this == o); }
};

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;

// One typed value for property lists, user info and defaults.
class Value {
 public:
  enum class Kind { Null, Bool, Integer, Real, String, Data, Date, Array, Dictionary, Object };

  Value();  // Null
  Value(bool b);
  Value(int i);
  Value(long i);
  Value(long long i);
  Value(unsigned int i);
  Value(unsigned long i);       // stored as a signed 64-bit integer
  Value(unsigned long long i);
  Value(double d);
  Value(const char* s);  // nullptr gives Null
  Value(std::string s);
  Value(Date d);
  Value(Array a);
  Value(Dictionary d);
  Value(std::shared_ptr<const Object> o);  // nullptr gives Null
  static Value data(std::string bytes);
  static Value null() { return Value(); }

  Kind kind() const;
  bool isNull() const { return kind() == Kind::Null; }
  bool isBool() const { return kind() == Kind::Bool; }
  bool isInteger() const { return kind() == Kind::Integer; }
  bool isReal() const { return kind() == Kind::Real; }
  bool isNumber() const { return isInteger() || isReal(); }
  bool isString() const { return kind() == Kind::String; }
  bool isData() const { return kind() == Kind::Data; }
  bool isDate() const { return kind() == Kind::Date; }
  bool isArray() const { return kind() == Kind::Array; }
  bool isDictionary() const { return kind() == Kind::Dictionary; }
  bool isObject() const { return kind() == Kind::Object; }

  // Typed accessors: std::nullopt / nullptr when the kind differs.
  std::optional<bool> asBool() const;
  std::optional<int64_t> asInteger() const;
  std::optional<double> asReal() const;  // also converts Integer
  const std::string* asString() const;
  const Data* asData() const;
  std::optional<Date> asDate() const;
  const Array* asArray() const;
  const Dictionary* asDictionary() const;
  std::shared_ptr<const Object> asObject() const;

  // Mutable access for building nested containers in place; nullptr when the kind differs.
  Array* asMutableArray();
  Dictionary* asMutableDictionary();

  // Dictionary member lookup; nullptr when not a dictionary or the key is absent.
  const Value* find(const std::string& key) const;

  bool operator==(const Value& o) const;  // deep; objects compare by identity
  bool operator!=(const Value& o) const { return !(*this == o); }

  std::string description() const;  // debug text

 private:
  struct DataBytes {
    std::string bytes;
    bool operator==(const DataBytes& o) const { return bytes == o.bytes; }
  };
  using Storage = std::variant<std::monostate, bool, int64_t, double, std::string, DataBytes, Date,
                               std::shared_ptr<Array>, std::shared_ptr<Dictionary>,
                               std::shared_ptr<const Object>>;
  Storage v_;
};

const char* kindName(Value::Kind k);

}  // namespace platform
