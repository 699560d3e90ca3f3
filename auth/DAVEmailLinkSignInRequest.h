// "emailLinkSignin": sign-in with an e-mailed link's code.
#pragma once

#include <optional>
#include <string>

#include "auth/DAVIdentityServiceRequest.h"

class DAVEmailLinkSignInRequest : public DAVIdentityServiceRequest {
 public:
  DAVEmailLinkSignInRequest(std::string email, std::string oobCode,
                            DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::string& email() const { return email_; }
  const std::string& oobCode() const { return oobCode_; }
  const std::optional<std::string>& IDToken() const { return IDToken_; }
  void setIDToken(std::optional<std::string> v) { IDToken_ = std::move(v); }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  std::string email_;
  std::string oobCode_;
  std::optional<std::string> IDToken_;
};
