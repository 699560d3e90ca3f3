// Reply of "verifyCustomToken".
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVVerifyCustomTokenResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<std::string>& IDToken() const { return IDToken_; }
  const std::optional<platform::Date>& approximateExpirationDate() const { return approximateExpirationDate_; }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }
  bool isNewUser() const { return isNewUser_; }
  void setIsNewUser(bool v) { isNewUser_ = v; }

 private:
  std::optional<std::string> IDToken_;
  std::optional<platform::Date> approximateExpirationDate_;
  std::optional<std::string> refreshToken_;
  bool isNewUser_ = false;
};
