// "verifyPassword": sign-in with e-mail and password.
#pragma once

#include <optional>
#include <string>

#include "auth/DAVIdentityServiceRequest.h"

class DAVVerifyPasswordRequest : public DAVIdentityServiceRequest {
 public:
  DAVVerifyPasswordRequest(std::optional<std::string> email, std::optional<std::string> password,
                           DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::optional<std::string>& email() const { return email_; }
  void setEmail(std::optional<std::string> v) { email_ = std::move(v); }
  const std::optional<std::string>& password() const { return password_; }
  void setPassword(std::optional<std::string> v) { password_ = std::move(v); }
  const std::optional<std::string>& pendingIDToken() const { return pendingIDToken_; }
  void setPendingIDToken(std::optional<std::string> v) { pendingIDToken_ = std::move(v); }
  const std::optional<std::string>& captchaChallenge() const { return captchaChallenge_; }
  void setCaptchaChallenge(std::optional<std::string> v) { captchaChallenge_ = std::move(v); }
  const std::optional<std::string>& captchaResponse() const { return captchaResponse_; }
  void setCaptchaResponse(std::optional<std::string> v) { captchaResponse_ = std::move(v); }
  bool returnSecureToken() const { return returnSecureToken_; }
  void setReturnSecureToken(bool v) { returnSecureToken_ = v; }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  std::optional<std::string> email_;
  std::optional<std::string> password_;
  std::optional<std::string> pendingIDToken_;
  std::optional<std::string> captchaChallenge_;
  std::optional<std::string> captchaResponse_;
  bool returnSecureToken_ = true;
};
