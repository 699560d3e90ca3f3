// "sendVerificationCode": asks the service to text a code to a phone number. Defined for the phone
// flows of other platforms; nothing in this system sends it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "auth/DAVAuthCredential.h"
#include "auth/DAVAuthRPCResponse.h"
#include "auth/DAVIdentityServiceRequest.h"

class DAVSendVerificationCodeRequest : public DAVIdentityServiceRequest {
 public:
  DAVSendVerificationCodeRequest(std::optional<std::string> phoneNumber,
                                 std::shared_ptr<const DAVAuthAppCredential> appCredential,
                                 std::optional<std::string> reCAPTCHAToken,
                                 DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::optional<std::string>& phoneNumber() const { return phoneNumber_; }
  const std::shared_ptr<const DAVAuthAppCredential>& appCredential() const { return appCredential_; }
  const std::optional<std::string>& reCAPTCHAToken() const { return reCAPTCHAToken_; }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  const std::optional<std::string> phoneNumber_;
  const std::shared_ptr<const DAVAuthAppCredential> appCredential_;
  const std::optional<std::string> reCAPTCHAToken_;
};

class DAVSendVerificationCodeResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;
  // From "sessionInfo".
  const std::optional<std::string>& verificationID() const { return verificationID_; }

 private:
  std::optional<std::string> verificationID_;
};
