#include "auth/DAVSetAccountInfoResponse.h"

#include "auth/DAVAuthJSON.h"

DAVSetAccountInfoResponseProviderUserInfo::DAVSetAccountInfoResponseProviderUserInfo(
    const nlohmann::json& dictionary) {
  using namespace dav_auth_json;
  providerID_ = stringForKey(dictionary, "providerId");
  displayName_ = stringForKey(dictionary, "displayName");
  photoURL_ = stringForKey(dictionary, "photoUrl");
}

bool DAVSetAccountInfoResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  email_ = stringForKey(dictionary, "email");
  displayName_ = stringForKey(dictionary, "displayName");
  IDToken_ = stringForKey(dictionary, "idToken");
  approximateExpirationDate_ = lifetimeForKey(dictionary, "expiresIn");
  refreshToken_ = stringForKey(dictionary, "refreshToken");
  providerUserInfo_.reset();
  auto it = dictionary.find("providerUserInfo");
  if (it != dictionary.end() && it->is_array()) {
    ProviderUserInfos infos;
    for (const auto& element : *it)
      infos.push_back(std::make_shared<const DAVSetAccountInfoResponseProviderUserInfo>(element));
    providerUserInfo_ = std::move(infos);
  }
  return true;
}
