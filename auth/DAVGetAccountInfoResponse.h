// Reply of "getAccountInfo": exactly one user record, with its provider records.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auth/DAVAuthRPCResponse.h"

class DAVGetAccountInfoResponseProviderUserInfo {
 public:
  explicit DAVGetAccountInfoResponseProviderUserInfo(const nlohmann::json& dictionary);

  const std::optional<std::string>& providerID() const { return providerID_; }
  const std::optional<std::string>& displayName() const { return displayName_; }
  const std::optional<std::string>& photoURL() const { return photoURL_; }
  const std::optional<std::string>& federatedID() const { return federatedID_; }
  const std::optional<std::string>& email() const { return email_; }
  const std::optional<std::string>& phoneNumber() const { return phoneNumber_; }

 private:
  std::optional<std::string> providerID_;
  std::optional<std::string> displayName_;
  std::optional<std::string> photoURL_;
  std::optional<std::string> federatedID_;
  std::optional<std::string> email_;
  std::optional<std::string> phoneNumber_;
};

class DAVGetAccountInfoResponseUser {
 public:
  using ProviderUserInfos = std::vector<std::shared_ptr<const DAVGetAccountInfoResponseProviderUserInfo>>;

  explicit DAVGetAccountInfoResponseUser(const nlohmann::json& dictionary);

  const std::optional<std::string>& localID() const { return localID_; }
  const std::optional<std::string>& email() const { return email_; }
  bool emailVerified() const { return emailVerified_; }
  const std::optional<std::string>& displayName() const { return displayName_; }
  const std::optional<std::string>& photoURL() const { return photoURL_; }
  const std::optional<platform::Date>& creationDate() const { return creationDate_; }
  const std::optional<platform::Date>& lastLoginDate() const { return lastLoginDate_; }
  // nullopt when the record had no "providerUserInfo".
  const std::optional<ProviderUserInfos>& providerUserInfo() const { return providerUserInfo_; }
  const std::optional<std::string>& passwordHash() const { return passwordHash_; }
  const std::optional<std::string>& phoneNumber() const { return phoneNumber_; }

 private:
  std::optional<std::string> localID_;
  std::optional<std::string> email_;
  bool emailVerified_ = false;
  std::optional<std::string> displayName_;
  std::optional<std::string> photoURL_;
  std::optional<platform::Date> creationDate_;
  std::optional<platform::Date> lastLoginDate_;
  std::optional<ProviderUserInfos> providerUserInfo_;
  std::optional<std::string> passwordHash_;
  std::optional<std::string> phoneNumber_;
};

class DAVGetAccountInfoResponse : public DAVAuthRPCResponse {
 public:
  // Fails with the unexpected-reply error unless "users" is an array of exactly one element.
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::vector<std::shared_ptr<const DAVGetAccountInfoResponseUser>>& users() const { return users_; }

 private:
  std::vector<std::shared_ptr<const DAVGetAccountInfoResponseUser>> users_;
};
