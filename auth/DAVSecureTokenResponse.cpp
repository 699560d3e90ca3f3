#include "auth/DAVSecureTokenResponse.h"

#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVAuthJSON.h"

bool DAVSecureTokenResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  refreshToken_ = stringForKey(dictionary, "refresh_token");
  accessToken_ = stringForKey(dictionary, "access_token");
  IDToken_ = stringForKey(dictionary, "id_token");
  if (!accessToken_ || accessToken_->empty()) {
    if (error) *error = DAVAuthErrorUtils::unexpectedResponseWithDeserializedResponse(toValue(dictionary));
    return false;
  }
  approximateExpirationDate_ = lifetimeForKey(dictionary, "expires_in");
  if (!approximateExpirationDate_) {
    if (error) *error = DAVAuthErrorUtils::unexpectedResponseWithDeserializedResponse(toValue(dictionary));
    return false;
  }
  return true;
}
