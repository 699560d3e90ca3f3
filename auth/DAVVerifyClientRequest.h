// "verifyClient": exchanges a push token for a receipt, in the phone flows of other platforms;
// nothing in this system sends it.
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"
#include "auth/DAVIdentityServiceRequest.h"

class DAVVerifyClientRequest : public DAVIdentityServiceRequest {
 public:
  DAVVerifyClientRequest(std::optional<std::string> appToken, bool isSandbox,
                         DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::optional<std::string>& appToken() const { return appToken_; }
  bool isSandbox() const { return isSandbox_; }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  const std::optional<std::string> appToken_;
  const bool isSandbox_;
};

class DAVVerifyClientResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;
  const std::optional<std::string>& receipt() const { return receipt_; }
  // From "suggestedTimeout", a text of seconds.
  const std::optional<platform::Date>& suggestedTimeOutDate() const { return suggestedTimeOutDate_; }

 private:
  std::optional<std::string> receipt_;
  std::optional<platform::Date> suggestedTimeOutDate_;
};
