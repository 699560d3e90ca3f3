#include "auth/DAVCreateAuthURIResponse.h"

#include "auth/DAVAuthJSON.h"

namespace {

std::optional<platform::Array> arrayForKey(const nlohmann::json& dictionary, const char* key) {
  auto it = dictionary.find(key);
  if (it == dictionary.end() || !it->is_array()) return std::nullopt;
  return *dav_auth_json::toValue(*it).asArray();
}

}  // namespace

bool DAVCreateAuthURIResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  authURI_ = stringForKey(dictionary, "authUri");
  providerID_ = stringForKey(dictionary, "providerId");
  registered_ = boolForKey(dictionary, "registered");
  forExistingProvider_ = boolForKey(dictionary, "forExistingProvider");
  allProviders_ = arrayForKey(dictionary, "allProviders");
  signinMethods_ = arrayForKey(dictionary, "signinMethods");
  return true;
}
