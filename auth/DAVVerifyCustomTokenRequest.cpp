#include "auth/DAVVerifyCustomTokenRequest.h"

DAVVerifyCustomTokenRequest::DAVVerifyCustomTokenRequest(std::string token,
                                                         DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("verifyCustomToken", std::move(requestConfiguration)), token_(std::move(token)) {}

std::optional<nlohmann::json> DAVVerifyCustomTokenRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = {{"token", token_}};
  if (returnSecureToken_) body["returnSecureToken"] = true;
  return body;
}
