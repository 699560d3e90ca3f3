// Conversions between the JSON of the identity service and the platform's values (for user info).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace dav_auth_json {

// Parses outside JSON text; throws nlohmann::json::parse_error when it is malformed or nests deeper than
// platform::kMaxJSONNesting (toValue and its callers recurse through the nesting).
nlohmann::json parse(const std::string& text);
// The same, giving a discarded value instead of throwing.
nlohmann::json parseOrDiscarded(const std::string& text);
// Compact JSON text; none, with the reason as an error of the platform's JSON writer, when a string
// in it is not UTF-8 (text from a caller may be anything).
std::optional<std::string> serialize(const nlohmann::json& json, platform::ErrorPtr* error);

platform::Value toValue(const nlohmann::json& json);

// The string under key of a JSON object; nullopt when the key is absent or not a string.
std::optional<std::string> stringForKey(const nlohmann::json& object, const char* key);
// The boolean under key; false when absent or not a boolean.
bool boolForKey(const nlohmann::json& object, const char* key);
// "now plus the seconds" for a lifetime given as a string of seconds; nullopt for any other type.
std::optional<platform::Date> lifetimeForKey(const nlohmann::json& object, const char* key);
platform::Date now();

}  // namespace dav_auth_json
