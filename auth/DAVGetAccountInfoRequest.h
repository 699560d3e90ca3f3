// "getAccountInfo": the account record of the holder of an ID token.
#pragma once

#include <string>

#include "auth/DAVIdentityServiceRequest.h"

class DAVGetAccountInfoRequest : public DAVIdentityServiceRequest {
 public:
  DAVGetAccountInfoRequest(std::string accessToken, DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::string& accessToken() const { return accessToken_; }
  void setAccessToken(std::string v) { accessToken_ = std::move(v); }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  std::string accessToken_;
};
