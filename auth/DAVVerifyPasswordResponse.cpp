#include "auth/DAVVerifyPasswordResponse.h"

#include "auth/DAVAuthJSON.h"

bool DAVVerifyPasswordResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  localID_ = stringForKey(dictionary, "localId");
  email_ = stringForKey(dictionary, "email");
  displayName_ = stringForKey(dictionary, "displayName");
  IDToken_ = stringForKey(dictionary, "idToken");
  approximateExpirationDate_ = lifetimeForKey(dictionary, "expiresIn");
  refreshToken_ = stringForKey(dictionary, "refreshToken");
  photoURL_ = stringForKey(dictionary, "photoUrl");
  return true;
}
