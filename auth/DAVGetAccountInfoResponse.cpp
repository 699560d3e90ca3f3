#include "auth/DAVGetAccountInfoResponse.h"

#include <cstdlib>

#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVAuthJSON.h"

namespace {

// Milliseconds since 1970 given as text; any other type gives no date.
std::optional<platform::Date> millisecondsDate(const nlohmann::json& dictionary, const char* key) {
  std::optional<std::string> text = dav_auth_json::stringForKey(dictionary, key);
  if (!text) return std::nullopt;
  return platform::Date{std::strtod(text->c_str(), nullptr) / 1000.0};
}

}  // namespace

DAVGetAccountInfoResponseProviderUserInfo::DAVGetAccountInfoResponseProviderUserInfo(
    const nlohmann::json& dictionary) {
  using namespace dav_auth_json;
  providerID_ = stringForKey(dictionary, "providerId");
  displayName_ = stringForKey(dictionary, "displayName");
  photoURL_ = stringForKey(dictionary, "photoUrl");
  federatedID_ = stringForKey(dictionary, "federatedId");
  email_ = stringForKey(dictionary, "email");
  phoneNumber_ = stringForKey(dictionary, "phoneNumber");
}

DAVGetAccountInfoResponseUser::DAVGetAccountInfoResponseUser(const nlohmann::json& dictionary) {
  using namespace dav_auth_json;
  localID_ = stringForKey(dictionary, "localId");
  email_ = stringForKey(dictionary, "email");
  emailVerified_ = boolForKey(dictionary, "emailVerified");
  displayName_ = stringForKey(dictionary, "displayName");
  photoURL_ = stringForKey(dictionary, "photoUrl");
  creationDate_ = millisecondsDate(dictionary, "createdAt");
  lastLoginDate_ = millisecondsDate(dictionary, "lastLoginAt");
  if (dictionary.is_object()) {
    auto it = dictionary.find("providerUserInfo");
    if (it != dictionary.end() && it->is_array()) {
      ProviderUserInfos infos;
      for (const auto& element : *it)
        infos.push_back(std::make_shared<const DAVGetAccountInfoResponseProviderUserInfo>(element));
      providerUserInfo_ = std::move(infos);
    }
  }
  passwordHash_ = stringForKey(dictionary, "passwordHash");
  phoneNumber_ = stringForKey(dictionary, "phoneNumber");
}

bool DAVGetAccountInfoResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  if (error) *error = nullptr;
  auto it = dictionary.find("users");
  if (it == dictionary.end() || !it->is_array() || it->size() != 1) {
    if (error) *error = DAVAuthErrorUtils::unexpectedResponseWithDeserializedResponse(dav_auth_json::toValue(dictionary));
    return false;
  }
  users_ = {std::make_shared<const DAVGetAccountInfoResponseUser>((*it)[0])};
  return true;
}
