#include "auth/DAVResetPasswordRequest.h"

DAVResetPasswordRequest::DAVResetPasswordRequest(std::string oobCode, std::optional<std::string> newPassword,
                                                 DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("resetPassword", std::move(requestConfiguration)),
      oobCode_(std::move(oobCode)),
      updatedPassword_(std::move(newPassword)) {}

std::optional<nlohmann::json> DAVResetPasswordRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = {{"oobCode", oobCode_}};
  if (updatedPassword_) body["newPassword"] = *updatedPassword_;
  return body;
}
