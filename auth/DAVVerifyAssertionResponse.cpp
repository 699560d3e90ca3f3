#include "auth/DAVVerifyAssertionResponse.h"

#include "auth/DAVAuthJSON.h"

namespace {

// The value under key; a string is first read as JSON text (a parse failure reads as nothing).
nlohmann::json jsonOrJSONText(const nlohmann::json& dictionary, const char* key) {
  auto it = dictionary.find(key);
  if (it == dictionary.end()) return nullptr;
  if (!it->is_string()) return *it;
  return dav_auth_json::parseOrDiscarded(it->get_ref<const std::string&>());
}

}  // namespace

bool DAVVerifyAssertionResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  federatedID_ = stringForKey(dictionary, "federatedId");
  providerID_ = stringForKey(dictionary, "providerId");
  localID_ = stringForKey(dictionary, "localId");
  emailRecycled_ = boolForKey(dictionary, "emailRecycled");
  emailVerified_ = boolForKey(dictionary, "emailVerified");
  email_ = stringForKey(dictionary, "email");
  inputEmail_ = stringForKey(dictionary, "inputEmail");
  originalEmail_ = stringForKey(dictionary, "originalEmail");
  oauthRequestToken_ = stringForKey(dictionary, "oauthRequestToken");
  oauthScope_ = stringForKey(dictionary, "oauthScope");
  firstName_ = stringForKey(dictionary, "firstName");
  lastName_ = stringForKey(dictionary, "lastName");
  fullName_ = stringForKey(dictionary, "fullName");
  nickName_ = stringForKey(dictionary, "nickName");
  displayName_ = stringForKey(dictionary, "displayName");
  IDToken_ = stringForKey(dictionary, "idToken");
  approximateExpirationDate_ = lifetimeForKey(dictionary, "expiresIn");
  refreshToken_ = stringForKey(dictionary, "refreshToken");
  isNewUser_ = boolForKey(dictionary, "isNewUser");
  profile_.reset();
  const nlohmann::json rawUserInfo = jsonOrJSONText(dictionary, "rawUserInfo");
  if (rawUserInfo.is_object()) profile_ = *toValue(rawUserInfo).asDictionary();
  username_ = stringForKey(dictionary, "username");
  action_ = stringForKey(dictionary, "action");
  language_ = stringForKey(dictionary, "language");
  timeZone_ = stringForKey(dictionary, "timeZone");
  photoURL_ = stringForKey(dictionary, "photoUrl");
  dateOfBirth_ = stringForKey(dictionary, "dateOfBirth");
  context_ = stringForKey(dictionary, "context");
  needConfirmation_ = boolForKey(dictionary, "needConfirmation");
  verifiedProvider_.reset();
  const nlohmann::json verified = jsonOrJSONText(dictionary, "verifiedProvider");
  if (verified.is_array()) verifiedProvider_ = *toValue(verified).asArray();
  oauthIDToken_ = stringForKey(dictionary, "oauthIdToken");
  oauthExpirationDate_ = lifetimeForKey(dictionary, "oauthExpireIn");
  oauthAccessToken_ = stringForKey(dictionary, "oauthAccessToken");
  pendingToken_ = stringForKey(dictionary, "pendingToken");
  return true;
}
