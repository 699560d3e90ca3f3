#include "platform/foundation/Value.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <sstream>

namespace platform {

std::string Object::description() const {
  char buf[48];
  std::snprintf(buf, sizeof buf, "<Object %p>", static_cast<const void*>(this));
  return buf;
}

Value::Value() = default;
Value::Value(bool b) : v_(b) {}
Value::Value(int i) : v_(static_cast<int64_t>(i)) {}
Value::Value(long i) : v_(static_cast<int64_t>(i)) {}
Value::Value(long long i) : v_(static_cast<int64_t>(i)) {}
Value::Value(unsigned int i) : v_(static_cast<int64_t>(i)) {}
Value::Value(unsigned long i) : v_(static_cast<int64_t>(i)) {}
Value::Value(unsigned long long i) : v_(static_cast<int64_t>(i)) {}
Value::Value(double d) : v_(d) {}
Value::Value(const char* s) {
  if (s) v_ = std::string(s);
}
Value::Value(std::string s) : v_(std::move(s)) {}
Value::Value(Date d) : v_(d) {}
Value::Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}
Value::Value(Dictionary d) : v_(std::make_shared<Dictionary>(std::move(d))) {}
Value::Value(std::shared_ptr<const Object> o) {
  if (o) v_ = std::move(o);
}

Value Value::data(std::string bytes) {
  Value v;
  v.v_ = DataBytes{std::move(bytes)};
  return v;
}

Value::Kind Value::kind() const {
  static constexpr Kind kinds[] = {Kind::Null, Kind::Bool,  Kind::Integer, Kind::Real,       Kind::String,
                                   Kind::Data, Kind::Date, Kind::Array,   Kind::Dictionary, Kind::Object};
  return kinds[v_.index()];
}

std::optional<bool> Value::asBool() const {
  if (auto p = std::get_if<bool>(&v_)) return *p;
  return std::nullopt;
}
std::optional<int64_t> Value::asInteger() const {
  if (auto p = std::get_if<int64_t>(&v_)) return *p;
  return std::nullopt;
}
std::optional<double> Value::asReal() const {
  if (auto p = std::get_if<double>(&v_)) return *p;
  if (auto p = std::get_if<int64_t>(&v_)) return static_cast<double>(*p);
  return std::nullopt;
}
const std::string* Value::asString() const { return std::get_if<std::string>(&v_); }
const Data* Value::asData() const {
  auto p = std::get_if<DataBytes>(&v_);
  return p ? &p->bytes : nullptr;
}
std::optional<Date> Value::asDate() const {
  if (auto p = std::get_if<Date>(&v_)) return *p;
  return std::nullopt;
}
const Array* Value::asArray() const {
  auto p = std::get_if<std::shared_ptr<Array>>(&v_);
  return p ? p->get() : nullptr;
}
const Dictionary* Value::asDictionary() const {
  auto p = std::get_if<std::shared_ptr<Dictionary>>(&v_);
  return p ? p->get() : nullptr;
}
std::shared_ptr<const Object> Value::asObject() const {
  auto p = std::get_if<std::shared_ptr<const Object>>(&v_);
  return p ? *p : nullptr;
}

// Containers are shared between copies; detach before writing so copies keep value semantics.
Array* Value::asMutableArray() {
  auto p = std::get_if<std::shared_ptr<Array>>(&v_);
  if (!p) return nullptr;
  if (p->use_count() > 1) *p = std::make_shared<Array>(**p);
  return p->get();
}
Dictionary* Value::asMutableDictionary() {
  auto p = std::get_if<std::shared_ptr<Dictionary>>(&v_);
  if (!p) return nullptr;
  if (p->use_count() > 1) *p = std::make_shared<Dictionary>(**p);
  return p->get();
}

const Value* Value::find(const std::string& key) const {
  const Dictionary* d = asDictionary();
  if (!d) return nullptr;
  auto it = d->find(key);
  return it == d->end() ? nullptr : &it->second;
}

bool Value::operator==(const Value& o) const {
  if (v_.index() != o.v_.index()) return false;
  if (auto a = asArray()) return a == o.asArray() || *a == *o.asArray();
  if (auto d = asDictionary()) return d == o.asDictionary() || *d == *o.asDictionary();
  return v_ == o.v_;  // scalars by value, objects by identity
}

namespace {

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s)
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '-' || c == '/')) return true;
  return false;
}

void describe(const Value& v, std::ostringstream& out, int indent) {
  const std::string pad(static_cast<size_t>(indent) * 4, ' ');
  const std::string inner(static_cast<size_t>(indent + 1) * 4, ' ');
  switch (v.kind()) {
    case Value::Kind::Null: out << "<null>"; break;
    case Value::Kind::Bool: out << (*v.asBool() ? "1" : "0"); break;
    case Value::Kind::Integer: out << *v.asInteger(); break;
    case Value::Kind::Real: {
      // Shortest text that reads back as the same number.
      char buf[32];
      for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, *v.asReal());
        if (std::strtod(buf, nullptr) == *v.asReal()) break;
      }
      out << buf;
      break;
    }
    case Value::Kind::String: {
      const std::string& s = *v.asString();
      out << (needsQuotes(s) ? quoted(s) : s);
      break;
    }
    case Value::Kind::Data: {
      static const char hex[] = "0123456789abcdef";
      out << '{' << "length = " << v.asData()->size() << ", bytes = 0x";
      size_t n = 0;
      for (unsigned char c : *v.asData()) {
        if (n++ == 32) { out << "..."; break; }
        out << hex[c >> 4] << hex[c & 15];
      }
      out << '}';
      break;
    }
    case Value::Kind::Date: {
      double secs = v.asDate()->secondsSince1970;
      std::time_t t = static_cast<std::time_t>(std::floor(secs));
      std::tm tm{};
      gmtime_r(&t, &tm);
      char buf[64];
      std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
      out << buf;
      break;
    }
    case Value::Kind::Array: {
      const Array& a = *v.asArray();
      if (a.empty()) { out << "(\n" << pad << ")"; break; }
      out << "(\n";
      for (size_t i = 0; i < a.size(); ++i) {
        out << inner;
        describe(a[i], out, indent + 1);
        out << (i + 1 < a.size() ? ",\n" : "\n");
      }
      out << pad << ")";
      break;
    }
    case Value::Kind::Dictionary: {
      out << "{\n";
      for (const auto& [k, item] : *v.asDictionary()) {
        out << inner << (needsQuotes(k) ? quoted(k) : k) << " = ";
        describe(item, out, indent + 1);
        out << ";\n";
      }
      out << pad << "}";
      break;
    }
    case Value::Kind::Object: out << v.asObject()->description(); break;
  }
}

}  // namespace

std::string Value::description() const {
  std::ostringstream out;
  describe(*this, out, 0);
  return out.str();
}

const char* kindName(Value::Kind k) {
  switch (k) {
    case Value::Kind::Null: return "null";
    case Value::Kind::Bool: return "bool";
    case Value::Kind::Integer: return "integer";
    case Value::Kind::Real: return "real";
    case Value::Kind::String: return "string";
    case Value::Kind::Data: return "data";
    case Value::Kind::Date: return "date";
    case Value::Kind::Array: return "array";
    case Value::Kind::Dictionary: return "dictionary";
    case Value::Kind::Object: return "object";
  }
  return "unknown";
}

}  // namespace platform
