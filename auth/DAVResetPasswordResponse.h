// Reply of "resetPassword".
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVResetPasswordResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<std::string>& email() const { return email_; }
  const std::optional<std::string>& verifiedEmail() const { return verifiedEmail_; }
  const std::optional<std::string>& requestType() const { return requestType_; }

 private:
  std::optional<std::string> email_;
  std::optional<std::string> verifiedEmail_;
  std::optional<std::string> requestType_;
};
