// Reply of "setAccountInfo", with its provider records.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auth/DAVAuthRPCResponse.h"

class DAVSetAccountInfoResponseProviderUserInfo {
 public:
  explicit DAVSetAccountInfoResponseProviderUserInfo(const nlohmann::json& dictionary);

  const std::optional<std::string>& providerID() const { return providerID_; }
  const std::optional<std::string>& displayName() const { return displayName_; }
  const std::optional<std::string>& photoURL() const { return photoURL_; }

 private:
  std::optional<std::string> providerID_;
  std::optional<std::string> displayName_;
  std::optional<std::string> photoURL_;
};

class DAVSetAccountInfoResponse : public DAVAuthRPCResponse {
 public:
  using ProviderUserInfos = std::vector<std::shared_ptr<const DAVSetAccountInfoResponseProviderUserInfo>>;

  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<std::string>& email() const { return email_; }
  const std::optional<std::string>& displayName() const { return displayName_; }
  // nullopt when the reply had no "providerUserInfo".
  const std::optional<ProviderUserInfos>& providerUserInfo() const { return providerUserInfo_; }
  const std::optional<std::string>& IDToken() const { return IDToken_; }
  const std::optional<platform::Date>& approximateExpirationDate() const { return approximateExpirationDate_; }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }

 private:
  std::optional<std::string> email_;
  std::optional<std::string> displayName_;
  std::optional<ProviderUserInfos> providerUserInfo_;
  std::optional<std::string> IDToken_;
  std::optional<platform::Date> approximateExpirationDate_;
  std::optional<std::string> refreshToken_;
};
