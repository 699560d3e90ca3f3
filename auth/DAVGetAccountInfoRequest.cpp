#include "auth/DAVGetAccountInfoRequest.h"

DAVGetAccountInfoRequest::DAVGetAccountInfoRequest(std::string accessToken,
                                                   DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("getAccountInfo", std::move(requestConfiguration)),
      accessToken_(std::move(accessToken)) {}

std::optional<nlohmann::json> DAVGetAccountInfoRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  return nlohmann::json{{"idToken", accessToken_}};
}
