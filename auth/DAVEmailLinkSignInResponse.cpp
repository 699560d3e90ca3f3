#include "auth/DAVEmailLinkSignInResponse.h"

#include "auth/DAVAuthJSON.h"

bool DAVEmailLinkSignInResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  email_ = stringForKey(dictionary, "email");
  IDToken_ = stringForKey(dictionary, "idToken");
  isNewUser_ = boolForKey(dictionary, "isNewUser");
  refreshToken_ = stringForKey(dictionary, "refreshToken");
  approximateExpirationDate_ = lifetimeForKey(dictionary, "expiresIn");
  return true;
}
