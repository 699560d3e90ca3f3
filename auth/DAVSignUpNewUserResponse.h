// Reply of "signupNewUser".
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVSignUpNewUserResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<std::string>& IDToken() const { return IDToken_; }
  const std::optional<platform::Date>& approximateExpirationDate() const { return approximateExpirationDate_; }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }

 private:
  std::optional<std::string> IDToken_;
  std::optional<platform::Date> approximateExpirationDate_;
  std::optional<std::string> refreshToken_;
};
