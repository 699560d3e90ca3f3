#include "platform/foundation/KeyedArchiver.h"

namespace platform {
namespace {

const char kArchiverKey[] = "$archiver";
const char kArchiverName[] = "VrlKeyedArchiver";
const char kVersionKey[] = "$version";
const char kTopKey[] = "$top";
const char kClassKey[] = "$class";
const char kValuesKey[] = "$values";
// Dates are kept as seconds in a real number: the property-list date type is coarser than a double.
const char kDateKey[] = "$date";

}  // namespace

// ---- KeyedArchiver ----

KeyedArchiver::KeyedArchiver(PlistFormat format) : format_(format) { stack_.emplace_back(); }
KeyedArchiver::~KeyedArchiver() = default;

void KeyedArchiver::put(const std::string& key, Value v) {
  if (finished_ || v.isNull()) return;
  stack_.back()[key] = std::move(v);
}

void KeyedArchiver::encodeString(const std::string& key, const std::optional<std::string>& value) {
  if (value) put(key, Value(*value));
}
void KeyedArchiver::encodeBool(const std::string& key, bool value) { put(key, Value(value)); }
void KeyedArchiver::encodeInteger(const std::string& key, int64_t value) { put(key, Value(static_cast<long long>(value))); }
void KeyedArchiver::encodeDouble(const std::string& key, double value) { put(key, Value(value)); }
void KeyedArchiver::encodeDate(const std::string& key, const std::optional<Date>& value) {
  if (value) put(key, Value(Dictionary{{kDateKey, Value(value->secondsSince1970)}}));
}
void KeyedArchiver::encodeData(const std::string& key, const std::optional<Data>& value) {
  if (value) put(key, Value::data(*value));
}
void KeyedArchiver::encodeValue(const std::string& key, const Value& value) { put(key, value); }

Value KeyedArchiver::encodeObjectValue(const Coding& object) {
  stack_.emplace_back();
  object.encodeWithCoder(*this);
  Dictionary values = std::move(stack_.back());
  stack_.pop_back();
  return Value(Dictionary{{kClassKey, Value(object.archiveClassName())}, {kValuesKey, Value(std::move(values))}});
}

void KeyedArchiver::encodeObject(const std::string& key, const Coding* object) {
  if (!object || finished_) return;
  put(key, encodeObjectValue(*object));
}

void KeyedArchiver::encodeObjectDictionaryImpl(const std::string& key,
                                               const std::map<std::string, const Coding*>& objects) {
  if (finished_) return;
  Dictionary d;
  for (const auto& [k, obj] : objects)
    if (obj) d[k] = encodeObjectValue(*obj);
  put(key, Value(std::move(d)));
}

void KeyedArchiver::encodeObjectArrayImpl(const std::string& key, const std::vector<const Coding*>& objects) {
  if (finished_) return;
  Array a;
  for (const Coding* obj : objects)
    if (obj) a.push_back(encodeObjectValue(*obj));
  put(key, Value(std::move(a)));
}

void KeyedArchiver::finishEncoding() {
  if (finished_) return;
  Dictionary root{{kArchiverKey, Value(kArchiverName)},
                  {kVersionKey, Value(1)},
                  {kTopKey, Value(std::move(stack_.front()))}};
  stack_.clear();
  data_ = serializePropertyList(Value(std::move(root)), format_);
  finished_ = true;
}

Data KeyedArchiver::encodedData() {
  finishEncoding();
  return data_;
}

Data KeyedArchiver::archivedData(const std::string& key, const Coding& object, PlistFormat format) {
  KeyedArchiver archiver(format);
  archiver.encodeObject(key, &object);
  return archiver.encodedData();
}

// ---- KeyedUnarchiver ----

struct KeyedUnarchiver::State {
  ErrorPtr error;
};

KeyedUnarchiver::KeyedUnarchiver(Dictionary values, std::shared_ptr<State> state)
    : values_(std::move(values)), state_(std::move(state)) {}

std::unique_ptr<KeyedUnarchiver> KeyedUnarchiver::create(const Data& data, std::string* error) {
  std::string parseError;
  auto root = parsePropertyList(data, &parseError);
  auto fail = [&](const std::string& text) -> std::unique_ptr<KeyedUnarchiver> {
    if (error) *error = text;
    return nullptr;
  };
  if (!root) return fail("not a property list: " + parseError);
  const Value* archiver = root->find(kArchiverKey);
  if (!archiver || !archiver->asString() || *archiver->asString() != kArchiverName)
    return fail("not a keyed archive");
  const Value* top = root->find(kTopKey);
  if (!top || !top->asDictionary()) return fail("keyed archive without top-level values");
  return std::unique_ptr<KeyedUnarchiver>(new KeyedUnarchiver(*top->asDictionary(), std::make_shared<State>()));
}

const Value* KeyedUnarchiver::entry(const std::string& key) const {
  auto it = values_.find(key);
  return it == values_.end() ? nullptr : &it->second;
}

bool KeyedUnarchiver::containsValueForKey(const std::string& key) const { return entry(key) != nullptr; }

std::optional<std::string> KeyedUnarchiver::decodeString(const std::string& key) const {
  const Value* v = entry(key);
  if (v && v->asString()) return *v->asString();
  return std::nullopt;
}

bool KeyedUnarchiver::decodeBool(const std::string& key) const {
  const Value* v = entry(key);
  return v && v->asBool() ? *v->asBool() : false;
}

int64_t KeyedUnarchiver::decodeInteger(const std::string& key) const {
  const Value* v = entry(key);
  if (!v) return 0;
  if (auto i = v->asInteger()) return *i;
  if (auto b = v->asBool()) return *b ? 1 : 0;
  return 0;
}

double KeyedUnarchiver::decodeDouble(const std::string& key) const {
  const Value* v = entry(key);
  if (v)
    if (auto d = v->asReal()) return *d;
  return 0;
}

std::optional<Date> KeyedUnarchiver::decodeDate(const std::string& key) const {
  const Value* v = entry(key);
  if (!v) return std::nullopt;
  if (auto d = v->asDate()) return d;
  if (const Value* s = v->find(kDateKey))
    if (auto seconds = s->asReal()) return Date{*seconds};
  return std::nullopt;
}

std::optional<Data> KeyedUnarchiver::decodeData(const std::string& key) const {
  const Value* v = entry(key);
  if (v && v->asData()) return *v->asData();
  return std::nullopt;
}

std::optional<Value> KeyedUnarchiver::decodeValue(const std::string& key) const {
  const Value* v = entry(key);
  if (!v) return std::nullopt;
  return *v;
}

void KeyedUnarchiver::fail(const std::string& reason) {
  if (state_->error) return;
  state_->error = makeError(kKeyedArchiveErrorDomain, kKeyedArchiveErrorCorrupt, reason);
}

ErrorPtr KeyedUnarchiver::error() const { return state_->error; }

std::unique_ptr<KeyedUnarchiver> KeyedUnarchiver::objectCoder(const Value& v, const std::string& className,
                                                              const std::string& key) {
  const Value* cls = v.find(kClassKey);
  const Value* values = v.find(kValuesKey);
  if (!cls || !cls->asString() || !values || !values->asDictionary()) {
    fail("value for key '" + key + "' is not an archived object");
    return nullptr;
  }
  if (*cls->asString() != className) {
    fail("value for key '" + key + "' was of unexpected class '" + *cls->asString() + "' (allowed: '" +
         className + "')");
    return nullptr;
  }
  return std::unique_ptr<KeyedUnarchiver>(new KeyedUnarchiver(*values->asDictionary(), state_));
}

template <>
const Dictionary* KeyedUnarchiver::objectContainer<Dictionary>(const std::string& key) {
  const Value* v = entry(key);
  if (!v) return nullptr;
  if (!v->asDictionary() || v->find(kClassKey)) {
    fail("value for key '" + key + "' is not a dictionary of objects");
    return nullptr;
  }
  return v->asDictionary();
}

template <>
const Array* KeyedUnarchiver::objectContainer<Array>(const std::string& key) {
  const Value* v = entry(key);
  if (!v) return nullptr;
  if (!v->asArray()) {
    fail("value for key '" + key + "' is not an array of objects");
    return nullptr;
  }
  return v->asArray();
}

}  // namespace platform
