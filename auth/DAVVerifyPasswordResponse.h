// Reply of "verifyPassword".
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVVerifyPasswordResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<std::string>& localID() const { return localID_; }
  const std::optional<std::string>& email() const { return email_; }
  const std::optional<std::string>& displayName() const { return displayName_; }
  const std::optional<std::string>& IDToken() const { return IDToken_; }
  const std::optional<platform::Date>& approximateExpirationDate() const { return approximateExpirationDate_; }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }
  const std::optional<std::string>& photoURL() const { return photoURL_; }

 private:
  std::optional<std::string> localID_;
  std::optional<std::string> email_;
  std::optional<std::string> displayName_;
  std::optional<std::string> IDToken_;
  std::optional<platform::Date> approximateExpirationDate_;
  std::optional<std::string> refreshToken_;
  std::optional<std::string> photoURL_;
};
