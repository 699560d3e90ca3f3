// "verifyCustomToken": sign-in with a token that the developer's own server signed.
#pragma once

#include <string>

#include "auth/DAVIdentityServiceRequest.h"

class DAVVerifyCustomTokenRequest : public DAVIdentityServiceRequest {
 public:
  DAVVerifyCustomTokenRequest(std::string token, DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::string& token() const { return token_; }
  bool returnSecureToken() const { return returnSecureToken_; }
  void setReturnSecureToken(bool v) { returnSecureToken_ = v; }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  const std::string token_;
  bool returnSecureToken_ = true;
};
