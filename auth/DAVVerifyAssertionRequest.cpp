#include "auth/DAVVerifyAssertionRequest.h"

#include "platform/foundation/Exception.h"

DAVVerifyAssertionRequest::DAVVerifyAssertionRequest(std::string providerID,
                                                     DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("verifyAssertion", std::move(requestConfiguration)), providerID_(std::move(providerID)) {}

std::optional<nlohmann::json> DAVVerifyAssertionRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  // The provider's proof travels as a query text inside the JSON, unencoded.
  std::string postBody = "providerId=" + providerID_;
  if (providerIDToken_) postBody += "&id_token=" + *providerIDToken_;
  if (providerAccessToken_) postBody += "&access_token=" + *providerAccessToken_;
  if (providerOAuthTokenSecret_) postBody += "&oauth_token_secret=" + *providerOAuthTokenSecret_;
  if (inputEmail_) postBody += "&identifier=" + *inputEmail_;
  if (!providerIDToken_ && !providerAccessToken_ && !pendingToken_ && !requestURI_) {
    platform::raise(platform::kInvalidArgumentException,
                    "One of IDToken, accessToken, pendingToken, or requestURI must be supplied.");
  }
  nlohmann::json body = nlohmann::json::object();
  body["requestUri"] = requestURI_ ? *requestURI_ : std::string(kDAVVerifyAssertionDefaultRequestURI);
  body["postBody"] = postBody;
  if (pendingToken_) body["pendingToken"] = *pendingToken_;
  if (accessToken_) body["idToken"] = *accessToken_;
  if (returnSecureToken_) body["returnSecureToken"] = true;
  if (returnIDPCredential_) body["returnIdpCredential"] = true;
  if (sessionID_) body["sessionId"] = *sessionID_;
  body["autoCreate"] = autoCreate_;
  return body;
}
