// "deleteAccount".
#pragma once

#include <string>

#include "auth/DAVIdentityServiceRequest.h"

class DAVDeleteAccountRequest : public DAVIdentityServiceRequest {
 public:
  DAVDeleteAccountRequest(std::string localID, std::string accessToken,
                          DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::string& localID() const { return localID_; }
  const std::string& accessToken() const { return accessToken_; }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  std::string localID_;
  std::string accessToken_;
};
