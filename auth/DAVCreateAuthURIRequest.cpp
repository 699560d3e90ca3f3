#include "auth/DAVCreateAuthURIRequest.h"

DAVCreateAuthURIRequest::DAVCreateAuthURIRequest(std::string identifier, std::string continueURI,
                                                 DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("createAuthUri", std::move(requestConfiguration)),
      identifier_(std::move(identifier)),
      continueURI_(std::move(continueURI)) {}

std::optional<nlohmann::json> DAVCreateAuthURIRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = {{"identifier", identifier_}, {"continueUri", continueURI_}};
  if (providerID_) body["providerId"] = *providerID_;
  if (openIDRealm_) body["openidRealm"] = *openIDRealm_;
  if (clientID_) body["clientId"] = *clientID_;
  if (context_) body["context"] = *context_;
  if (appID_) body["appId"] = *appID_;
  return body;
}
