// "resetPassword": checks an out-of-band code and, with a new password, sets it.
#pragma once

#include <optional>
#include <string>

#include "auth/DAVIdentityServiceRequest.h"

class DAVResetPasswordRequest : public DAVIdentityServiceRequest {
 public:
  DAVResetPasswordRequest(std::string oobCode, std::optional<std::string> newPassword,
                          DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::string& oobCode() const { return oobCode_; }
  const std::optional<std::string>& updatedPassword() const { return updatedPassword_; }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  std::string oobCode_;
  std::optional<std::string> updatedPassword_;
};
