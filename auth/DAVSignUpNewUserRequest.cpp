#include "auth/DAVSignUpNewUserRequest.h"

DAVSignUpNewUserRequest::DAVSignUpNewUserRequest(std::optional<std::string> email,
                                                 std::optional<std::string> password,
                                                 std::optional<std::string> displayName,
                                                 DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("signupNewUser", std::move(requestConfiguration)),
      email_(std::move(email)),
      password_(std::move(password)),
      displayName_(std::move(displayName)) {}

DAVSignUpNewUserRequest::DAVSignUpNewUserRequest(DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVSignUpNewUserRequest(std::nullopt, std::nullopt, std::nullopt, std::move(requestConfiguration)) {}

std::optional<nlohmann::json> DAVSignUpNewUserRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = nlohmann::json::object();
  if (email_) body["email"] = *email_;
  if (password_) body["password"] = *password_;
  if (displayName_) body["displayName"] = *displayName_;
  if (returnSecureToken_) body["returnSecureToken"] = true;
  return body;
}
