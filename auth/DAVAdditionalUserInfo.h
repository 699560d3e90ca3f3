// What a sign-in learned about the user from the identity provider.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"

class DAVVerifyAssertionResponse;

class DAVAdditionalUserInfo : public platform::Coding {
 public:
  static constexpr const char* kArchiveClassName = "DAVAdditionalUserInfo";

  DAVAdditionalUserInfo(std::optional<std::string> providerID, std::optional<platform::Dictionary> profile,
                        std::optional<std::string> username, bool isNewUser);
  // From a federated sign-in reply's provider, profile, user name and new-user flag.
  static std::shared_ptr<DAVAdditionalUserInfo> userInfoWithVerifyAssertionResponse(
      const DAVVerifyAssertionResponse& response);

  const std::optional<std::string>& providerID() const { return providerID_; }
  const std::optional<platform::Dictionary>& profile() const { return profile_; }
  const std::optional<std::string>& username() const { return username_; }
  bool isNewUser() const { return newUser_; }

  // Keys "providerID", "profile", "username", "newUser".
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<DAVAdditionalUserInfo> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  std::optional<std::string> providerID_;
  std::optional<platform::Dictionary> profile_;
  std::optional<std::string> username_;
  bool newUser_ = false;
};
