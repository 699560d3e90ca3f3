// "signupNewUser": creates an account (anonymous when no e-mail and password are given).
#pragma once

#include <optional>
#include <string>

#include "auth/DAVIdentityServiceRequest.h"

class DAVSignUpNewUserRequest : public DAVIdentityServiceRequest {
 public:
  DAVSignUpNewUserRequest(std::optional<std::string> email, std::optional<std::string> password,
                          std::optional<std::string> displayName,
                          DAVAuthRequestConfigurationPtr requestConfiguration);
  explicit DAVSignUpNewUserRequest(DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::optional<std::string>& email() const { return email_; }
  void setEmail(std::optional<std::string> v) { email_ = std::move(v); }
  const std::optional<std::string>& password() const { return password_; }
  void setPassword(std::optional<std::string> v) { password_ = std::move(v); }
  const std::optional<std::string>& displayName() const { return displayName_; }
  void setDisplayName(std::optional<std::string> v) { displayName_ = std::move(v); }
  bool returnSecureToken() const { return returnSecureToken_; }
  void setReturnSecureToken(bool v) { returnSecureToken_ = v; }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  std::optional<std::string> email_;
  std::optional<std::string> password_;
  std::optional<std::string> displayName_;
  bool returnSecureToken_ = true;
};
