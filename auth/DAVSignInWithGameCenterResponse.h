// Reply of "signInWithGameCenter".
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVSignInWithGameCenterResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<std::string>& IDToken() const { return IDToken_; }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }
  const std::optional<std::string>& localID() const { return localID_; }
  const std::optional<std::string>& playerID() const { return playerID_; }
  // From "expiresIn" read as a whole number of seconds.
  const std::optional<platform::Date>& approximateExpirationDate() const { return approximateExpirationDate_; }
  bool isNewUser() const { return isNewUser_; }
  void setIsNewUser(bool v) { isNewUser_ = v; }
  const std::optional<std::string>& displayName() const { return displayName_; }

 private:
  std::optional<std::string> IDToken_;
  std::optional<std::string> refreshToken_;
  std::optional<std::string> localID_;
  std::optional<std::string> playerID_;
  std::optional<platform::Date> approximateExpirationDate_;
  bool isNewUser_ = false;
  std::optional<std::string> displayName_;
};
