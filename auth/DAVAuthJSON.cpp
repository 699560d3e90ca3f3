#include "auth/DAVAuthJSON.h"

#include <chrono>
#include <cstdlib>

#include "platform/foundation/DamagedInput.h"

namespace dav_auth_json {

nlohmann::json parse(const std::string& text) {
  if (!platform::jsonNestingWithin(text))
    throw nlohmann::json::parse_error::create(101, 0, "JSON text nests too deeply.", nullptr);
  return nlohmann::json::parse(text);
}

nlohmann::json parseOrDiscarded(const std::string& text) {
  if (!platform::jsonNestingWithin(text)) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(text, nullptr, false);
}

std::optional<std::string> serialize(const nlohmann::json& json, platform::ErrorPtr* error) {
  try {
    return json.dump();
  } catch (const nlohmann::json::exception& e) {
    if (error) *error = platform::makeError("NSCocoaErrorDomain", 3840, e.what());
    return std::nullopt;
  }
}

platform::Value toValue(const nlohmann::json& json) {
  switch (json.type()) {
    case nlohmann::json::value_t::boolean:
      return platform::Value(json.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return platform::Value(json.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return platform::Value(static_cast<int64_t>(json.get<uint64_t>()));
    case nlohmann::json::value_t::number_float:
      return platform::Value(json.get<double>());
    case nlohmann::json::value_t::string:
      return platform::Value(json.get<std::string>());
    case nlohmann::json::value_t::array: {
      platform::Array array;
      for (const auto& element : json) array.push_back(toValue(element));
      return platform::Value(std::move(array));
    }
    case nlohmann::json::value_t::object: {
      platform::Dictionary dictionary;
      for (const auto& [key, element] : json.items()) dictionary[key] = toValue(element);
      return platform::Value(std::move(dictionary));
    }
    case nlohmann::json::value_t::binary:
      return platform::Value::data(std::string(json.get_binary().begin(), json.get_binary().end()));
    default:
      return platform::Value();
  }
}

std::optional<std::string> stringForKey(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

bool boolForKey(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return false;
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

platform::Date now() {
  using namespace std::chrono;
  return platform::Date{duration<double>(system_clock::now().time_since_epoch()).count()};
}

std::optional<platform::Date> lifetimeForKey(const nlohmann::json& object, const char* key) {
  std::optional<std::string> text = stringForKey(object, key);
  if (!text) return std::nullopt;
  // Read like a leading number of the text; no number reads as 0.
  double seconds = std::strtod(text->c_str(), nullptr);
  return platform::Date{now().secondsSince1970 + seconds};
}

}  // namespace dav_auth_json
