#include "auth/DAVAdditionalUserInfo.h"

#include "auth/DAVVerifyAssertionResponse.h"

DAVAdditionalUserInfo::DAVAdditionalUserInfo(std::optional<std::string> providerID,
                                             std::optional<platform::Dictionary> profile,
                                             std::optional<std::string> username, bool isNewUser)
    : providerID_(std::move(providerID)),
      profile_(std::move(profile)),
      username_(std::move(username)),
      newUser_(isNewUser) {}

void DAVAdditionalUserInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("providerID", providerID_);
  if (profile_) coder.encodeValue("profile", platform::Value(*profile_));
  coder.encodeString("username", username_);
  coder.encodeBool("newUser", newUser_);
}

std::shared_ptr<DAVAdditionalUserInfo> DAVAdditionalUserInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
  std::optional<platform::Dictionary> profile;
  if (auto value = coder.decodeValue("profile"))
    if (const platform::Dictionary* dictionary = value->asDictionary()) profile = *dictionary;
  return std::make_shared<DAVAdditionalUserInfo>(coder.decodeString("providerID"), std::move(profile),
                                                 coder.decodeString("username"), coder.decodeBool("newUser"));
}

std::shared_ptr<DAVAdditionalUserInfo> DAVAdditionalUserInfo::userInfoWithVerifyAssertionResponse(
    const DAVVerifyAssertionResponse& response) {
  return std::make_shared<DAVAdditionalUserInfo>(response.providerID(), response.profile(), response.username(),
                                                 response.isNewUser());
}
