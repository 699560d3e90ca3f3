#include "auth/DAVDeleteAccountRequest.h"

DAVDeleteAccountRequest::DAVDeleteAccountRequest(std::string localID, std::string accessToken,
                                                 DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("deleteAccount", std::move(requestConfiguration)),
      localID_(std::move(localID)),
      accessToken_(std::move(accessToken)) {}

std::optional<nlohmann::json> DAVDeleteAccountRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  return nlohmann::json{{"idToken", accessToken_}, {"localId", localID_}};
}
