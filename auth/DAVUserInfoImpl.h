// The record of one sign-in provider linked to an account; archived inside the persisted user.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "auth/DAVUserInfo.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"

class DAVGetAccountInfoResponseProviderUserInfo;

class DAVUserInfoImpl : public platform::Object, public platform::Coding, public DAVUserInfo {
 public:
  static constexpr const char* kArchiveClassName = "DAVUserInfoImpl";

  DAVUserInfoImpl(std::optional<std::string> providerID, std::optional<std::string> userID,
                  std::optional<std::string> displayName, std::optional<std::string> photoURL,
                  std::optional<std::string> email, std::optional<std::string> phoneNumber);

  // The provider's own account id (federatedId) becomes uid.
  static std::shared_ptr<DAVUserInfoImpl> userInfoWithGetAccountInfoResponseProviderUserInfo(
      const DAVGetAccountInfoResponseProviderUserInfo& providerUserInfo);

  std::optional<std::string> providerID() const override { return providerID_; }
  std::optional<std::string> uid() const override { return userID_; }
  std::optional<std::string> displayName() const override { return displayName_; }
  std::optional<std::string> photoURL() const override { return photoURL_; }
  std::optional<std::string> email() const override { return email_; }
  std::optional<std::string> phoneNumber() const override { return phoneNumber_; }

  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<DAVUserInfoImpl> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  const std::optional<std::string> providerID_;
  const std::optional<std::string> userID_;
  const std::optional<std::string> displayName_;
  const std::optional<std::string> photoURL_;
  const std::optional<std::string> email_;
  const std::optional<std::string> phoneNumber_;
};
