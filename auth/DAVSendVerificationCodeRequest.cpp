#include "auth/DAVSendVerificationCodeRequest.h"

#include "auth/DAVAuthJSON.h"

DAVSendVerificationCodeRequest::DAVSendVerificationCodeRequest(
    std::optional<std::string> phoneNumber, std::shared_ptr<const DAVAuthAppCredential> appCredential,
    std::optional<std::string> reCAPTCHAToken, DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("sendVerificationCode", std::move(requestConfiguration)),
      phoneNumber_(std::move(phoneNumber)),
      appCredential_(std::move(appCredential)),
      reCAPTCHAToken_(std::move(reCAPTCHAToken)) {}

std::optional<nlohmann::json> DAVSendVerificationCodeRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = nlohmann::json::object();
  if (phoneNumber_) body["phoneNumber"] = *phoneNumber_;
  if (appCredential_) {
    body["iosReceipt"] = appCredential_->receipt();
    if (appCredential_->secret()) body["iosSecret"] = *appCredential_->secret();
  }
  if (reCAPTCHAToken_) body["recaptchaToken"] = *reCAPTCHAToken_;
  return body;
}

bool DAVSendVerificationCodeResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  if (error) *error = nullptr;
  verificationID_ = dav_auth_json::stringForKey(dictionary, "sessionInfo");
  return true;
}
