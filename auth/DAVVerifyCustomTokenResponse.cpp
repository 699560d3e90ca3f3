#include "auth/DAVVerifyCustomTokenResponse.h"

#include "auth/DAVAuthJSON.h"

bool DAVVerifyCustomTokenResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  IDToken_ = stringForKey(dictionary, "idToken");
  approximateExpirationDate_ = lifetimeForKey(dictionary, "expiresIn");
  refreshToken_ = stringForKey(dictionary, "refreshToken");
  isNewUser_ = boolForKey(dictionary, "isNewUser");
  return true;
}
