#include "auth/DAVSignUpNewUserResponse.h"

#include "auth/DAVAuthJSON.h"

bool DAVSignUpNewUserResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  IDToken_ = stringForKey(dictionary, "idToken");
  approximateExpirationDate_ = lifetimeForKey(dictionary, "expiresIn");
  refreshToken_ = stringForKey(dictionary, "refreshToken");
  return true;
}
