#include "auth/DAVSetAccountInfoRequest.h"

DAVSetAccountInfoRequest::DAVSetAccountInfoRequest(DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("setAccountInfo", std::move(requestConfiguration)) {}

std::optional<nlohmann::json> DAVSetAccountInfoRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = nlohmann::json::object();
  if (accessToken_) body["idToken"] = *accessToken_;
  if (displayName_) body["displayName"] = *displayName_;
  if (localID_) body["localId"] = *localID_;
  if (email_) body["email"] = *email_;
  if (password_) body["password"] = *password_;
  if (photoURL_) body["photoUrl"] = *photoURL_;
  if (providers_) body["provider"] = *providers_;
  if (OOBCode_) body["oobCode"] = *OOBCode_;
  if (emailVerified_) body["emailVerified"] = true;
  if (upgradeToFederatedLogin_) body["upgradeToFederatedLogin"] = true;
  if (captchaChallenge_) body["captchaChallenge"] = *captchaChallenge_;
  if (captchaResponse_) body["captchaResponse"] = *captchaResponse_;
  if (deleteAttributes_) body["deleteAttribute"] = *deleteAttributes_;
  if (deleteProviders_) body["deleteProvider"] = *deleteProviders_;
  if (returnSecureToken_) body["returnSecureToken"] = true;
  return body;
}
