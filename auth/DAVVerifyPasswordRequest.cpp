#include "auth/DAVVerifyPasswordRequest.h"

DAVVerifyPasswordRequest::DAVVerifyPasswordRequest(std::optional<std::string> email,
                                                   std::optional<std::string> password,
                                                   DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("verifyPassword", std::move(requestConfiguration)),
      email_(std::move(email)),
      password_(std::move(password)) {}

std::optional<nlohmann::json> DAVVerifyPasswordRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = nlohmann::json::object();
  if (email_) body["email"] = *email_;
  if (password_) body["password"] = *password_;
  if (pendingIDToken_) body["pendingIdToken"] = *pendingIDToken_;
  if (captchaChallenge_) body["captchaChallenge"] = *captchaChallenge_;
  if (captchaResponse_) body["captchaResponse"] = *captchaResponse_;
  if (returnSecureToken_) body["returnSecureToken"] = true;
  return body;
}
