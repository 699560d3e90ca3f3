#include "auth/DAVVerifyAssertionRequest.h"

#include "auth/DAVAuthCredential.h"
#include "platform/foundation/Exception.h"

DAVVerifyAssertionRequest::DAVVerifyAssertionRequest(std::string providerID,
                                                     DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("verifyAssertion", std::move(requestConfiguration)), providerID_(std::move(providerID)) {}

std::shared_ptr<DAVVerifyAssertionRequest> DAVVerifyAssertionRequest::requestWithCredential(
    const DAVAuthCredential& credential, DAVAuthRequestConfigurationPtr requestConfiguration) {
  auto request = std::make_shared<DAVVerifyAssertionRequest>(credential.provider(), std::move(requestConfiguration));
  credential.prepareVerifyAssertionRequest(*request);
  if (auto oauth = dynamic_cast<const DAVOAuthCredential*>(&credential)) {
    request->setRequestURI(oauth->OAuthResponseURLString());
    request->setSessionID(oauth->sessionID());
    request->setPendingToken(oauth->pendingToken());
  }
  return request;
}

std::optional<nlohmann::json> DAVVerifyAssertionRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  // The provider's proof travels as a query text inside the JSON, unencoded.
  std::string postBody = "providerId=" + providerID_;
  if (providerIDToken_) postBody += "&id_token=" + *providerIDToken_;
  if (providerAccessToken_) postBody += "&access_token=" + *providerAccessToken_;
  if (providerOAuthTokenSecret_) postBody += "&oauth_token_secret=" + *providerOAuthTokenSecret_;
  if (inputEmail_) postBody += "&identifier=" + *inputEmail_;
  if (!hasProof()) platform::raise(platform::kInvalidArgumentException, kDAVVerifyAssertionNoProofReason);
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
