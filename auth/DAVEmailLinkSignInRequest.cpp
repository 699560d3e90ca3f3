#include "auth/DAVEmailLinkSignInRequest.h"

DAVEmailLinkSignInRequest::DAVEmailLinkSignInRequest(std::string email, std::string oobCode,
                                                     DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("emailLinkSignin", std::move(requestConfiguration)),
      email_(std::move(email)),
      oobCode_(std::move(oobCode)) {}

std::optional<nlohmann::json> DAVEmailLinkSignInRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = {{"email", email_}, {"oobCode", oobCode_}};
  if (IDToken_) body["idToken"] = *IDToken_;
  return body;
}
