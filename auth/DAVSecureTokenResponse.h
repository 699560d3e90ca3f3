// Reply of the token exchange.
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVSecureTokenResponse : public DAVAuthRPCResponse {
 public:
  // Fails with the unexpected-reply error when "access_token" is missing or empty, or when
  // "expires_in" is not a string of seconds.
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<platform::Date>& approximateExpirationDate() const { return approximateExpirationDate_; }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }
  const std::optional<std::string>& accessToken() const { return accessToken_; }
  const std::optional<std::string>& IDToken() const { return IDToken_; }

 private:
  std::optional<platform::Date> approximateExpirationDate_;
  std::optional<std::string> refreshToken_;
  std::optional<std::string> accessToken_;
  std::optional<std::string> IDToken_;
};
