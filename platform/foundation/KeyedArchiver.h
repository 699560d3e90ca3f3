#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Value.h"

namespace platform {

class KeyedArchiver;
class KeyedUnarchiver;

// An object that can be written into a keyed archive. A class read back with
// KeyedUnarchiver::decodeObjectOfClass<T> also provides
//     static constexpr const char* kArchiveClassName = "...";          // same text as archiveClassName()
//     static std::shared_ptr<T> initWithCoder(KeyedUnarchiver& coder); // nullptr: no object
class Coding {
 public:
  virtual ~Coding() = default;
  virtual std::string archiveClassName() const = 0;
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

// Errors of decoding (wrong class, wrong kind of value, not an archive).
inline constexpr const char* kKeyedArchiveErrorDomain = "VrlKeyedArchiveErrorDomain";
inline constexpr int64_t kKeyedArchiveErrorCorrupt = 4864;

// Collects typed values by key, one keyed container per object (with its class name), and writes
// them as one property list. Absent values (nullopt, nullptr, Null) write nothing.
class KeyedArchiver {
 public:
  explicit KeyedArchiver(PlistFormat format = PlistFormat::Binary);
  ~KeyedArchiver();

  void encodeString(const std::string& key, const std::optional<std::string>& value);
  void encodeBool(const std::string& key, bool value);
  void encodeInteger(const std::string& key, int64_t value);
  void encodeDouble(const std::string& key, double value);
  void encodeDate(const std::string& key, const std::optional<Date>& value);
  void encodeData(const std::string& key, const std::optional<Data>& value);
  void encodeValue(const std::string& key, const Value& value);  // any property-list value
  void encodeObject(const std::string& key, const Coding* object);
  void encodeObject(const std::string& key, const std::shared_ptr<const Coding>& object) {
    encodeObject(key, object.get());
  }
  template <class T>
  void encodeObjectDictionary(const std::string& key, const std::map<std::string, std::shared_ptr<T>>& objects) {
    std::map<std::string, const Coding*> plain;
    for (const auto& [k, v] : objects) plain[k] = v.get();
    encodeObjectDictionaryImpl(key, plain);
  }
  template <class T>
  void encodeObjectArray(const std::string& key, const std::vector<std::shared_ptr<T>>& objects) {
    std::vector<const Coding*> plain;
    for (const auto& v : objects) plain.push_back(v.get());
    encodeObjectArrayImpl(key, plain);
  }

  // Ends the archive; later encode calls are ignored.
  void finishEncoding();
  // The archive bytes (finishes the archive first when that was not done).
  Data encodedData();

  // One object under one key, finished.
  static Data archivedData(const std::string& key, const Coding& object,
                           PlistFormat format = PlistFormat::Binary);

 private:
  void encodeObjectDictionaryImpl(const std::string& key, const std::map<std::string, const Coding*>& objects);
  void encodeObjectArrayImpl(const std::string& key, const std::vector<const Coding*>& objects);
  Value encodeObjectValue(const Coding& object);
  void put(const std::string& key, Value v);

  PlistFormat format_;
  std::vector<Dictionary> stack_;  // keyed containers being filled; front is the top level
  bool finished_ = false;
  Data data_;
};

// Reads an archive made by KeyedArchiver. Typed reads give nullopt / false / 0 when the key is
// absent or holds another kind of value; object reads check the stored class name against the
// class asked for and give nullptr (and record error()) on a mismatch.
class KeyedUnarchiver {
 public:
  // nullptr (and an error text) when the bytes are not such an archive.
  static std::unique_ptr<KeyedUnarchiver> create(const Data& data, std::string* error = nullptr);

  bool containsValueForKey(const std::string& key) const;
  std::optional<std::string> decodeString(const std::string& key) const;
  bool decodeBool(const std::string& key) const;
  int64_t decodeInteger(const std::string& key) const;
  double decodeDouble(const std::string& key) const;
  std::optional<Date> decodeDate(const std::string& key) const;
  std::optional<Data> decodeData(const std::string& key) const;
  std::optional<Value> decodeValue(const std::string& key) const;

  template <class T>
  std::shared_ptr<T> decodeObjectOfClass(const std::string& key) {
    const Value* v = entry(key);
    if (!v) return nullptr;
    auto coder = objectCoder(*v, T::kArchiveClassName, key);
    return coder ? T::initWithCoder(*coder) : nullptr;
  }
  // nullopt when absent or not a dictionary; entries of another class are left out (and recorded).
  template <class T>
  std::optional<std::map<std::string, std::shared_ptr<T>>> decodeObjectDictionaryOfClass(const std::string& key) {
    const Dictionary* d = objectContainer<Dictionary>(key);
    if (!d) return std::nullopt;
    std::map<std::string, std::shared_ptr<T>> out;
    for (const auto& [k, v] : *d) {
      auto coder = objectCoder(v, T::kArchiveClassName, key + "." + k);
      if (!coder) continue;
      if (auto obj = T::initWithCoder(*coder)) out[k] = std::move(obj);
    }
    return out;
  }
  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> decodeObjectArrayOfClass(const std::string& key) {
    const Array* a = objectContainer<Array>(key);
    if (!a) return std::nullopt;
    std::vector<std::shared_ptr<T>> out;
    for (const auto& v : *a) {
      auto coder = objectCoder(v, T::kArchiveClassName, key);
      if (!coder) continue;
      if (auto obj = T::initWithCoder(*coder)) out.push_back(std::move(obj));
    }
    return out;
  }

  void finishDecoding() {}
  // The first decoding failure met by this unarchiver or any object coder made from it.
  ErrorPtr error() const;

 private:
  struct State;
  KeyedUnarchiver(Dictionary values, std::shared_ptr<State> state);
  const Value* entry(const std::string& key) const;
  std::unique_ptr<KeyedUnarchiver> objectCoder(const Value& v, const std::string& className, const std::string& key);
  template <class C>
  const C* objectContainer(const std::string& key);
  void fail(const std::string& reason);

  Dictionary values_;
  std::shared_ptr<State> state_;
};

template <>
const Dictionary* KeyedUnarchiver::objectContainer<Dictionary>(const std::string& key);
template <>
const Array* KeyedUnarchiver::objectContainer<Array>(const std::string& key);

}  // namespace platform
