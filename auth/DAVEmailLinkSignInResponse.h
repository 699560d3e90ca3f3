// Reply of "emailLinkSignin".
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVEmailLinkSignInResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<std::string>& email() const { return email_; }
  const std::optional<std::string>& IDToken() const { return IDToken_; }
  bool isNewUser() const { return isNewUser_; }
  void setIsNewUser(bool v) { isNewUser_ = v; }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }
  const std::optional<platform::Date>& approximateExpirationDate() const { return approximateExpirationDate_; }

 private:
  std::optional<std::string> email_;
  std::optional<std::string> IDToken_;
  bool isNewUser_ = false;
  std::optional<std::string> refreshToken_;
  std::optional<platform::Date> approximateExpirationDate_;
};
