#include "auth/DAVSignInWithGameCenterResponse.h"

#include <cstdlib>

#include "auth/DAVAuthJSON.h"

bool DAVSignInWithGameCenterResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  IDToken_ = stringForKey(dictionary, "idToken");
  refreshToken_ = stringForKey(dictionary, "refreshToken");
  localID_ = stringForKey(dictionary, "localId");
  approximateExpirationDate_.reset();
  if (auto text = stringForKey(dictionary, "expiresIn")) {
    const long long seconds = std::strtoll(text->c_str(), nullptr, 10);  // a fraction is dropped
    approximateExpirationDate_ = platform::Date{now().secondsSince1970 + static_cast<double>(seconds)};
  }
  playerID_ = stringForKey(dictionary, "playerId");
  isNewUser_ = boolForKey(dictionary, "isNewUser");
  displayName_ = stringForKey(dictionary, "displayName");
  return true;
}
