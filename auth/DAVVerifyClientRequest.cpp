#include "auth/DAVVerifyClientRequest.h"

#include "auth/DAVAuthJSON.h"

DAVVerifyClientRequest::DAVVerifyClientRequest(std::optional<std::string> appToken, bool isSandbox,
                                               DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("verifyClient", std::move(requestConfiguration)),
      appToken_(std::move(appToken)),
      isSandbox_(isSandbox) {}

std::optional<nlohmann::json> DAVVerifyClientRequest::unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = nlohmann::json::object();
  if (appToken_) body["appToken"] = *appToken_;
  if (isSandbox_) body["isSandbox"] = true;
  return body;
}

bool DAVVerifyClientResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  if (error) *error = nullptr;
  receipt_ = dav_auth_json::stringForKey(dictionary, "receipt");
  suggestedTimeOutDate_ = dav_auth_json::lifetimeForKey(dictionary, "suggestedTimeout");
  return true;
}
