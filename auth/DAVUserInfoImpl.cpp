#include "auth/DAVUserInfoImpl.h"

#include "auth/DAVGetAccountInfoResponse.h"

DAVUserInfoImpl::DAVUserInfoImpl(std::optional<std::string> providerID, std::optional<std::string> userID,
                                 std::optional<std::string> displayName, std::optional<std::string> photoURL,
                                 std::optional<std::string> email, std::optional<std::string> phoneNumber)
    : providerID_(std::move(providerID)),
      userID_(std::move(userID)),
      displayName_(std::move(displayName)),
      photoURL_(std::move(photoURL)),
      email_(std::move(email)),
      phoneNumber_(std::move(phoneNumber)) {}

std::shared_ptr<DAVUserInfoImpl> DAVUserInfoImpl::userInfoWithGetAccountInfoResponseProviderUserInfo(
    const DAVGetAccountInfoResponseProviderUserInfo& p) {
  return std::make_shared<DAVUserInfoImpl>(p.providerID(), p.federatedID(), p.displayName(), p.photoURL(), p.email(),
                                           p.phoneNumber());
}

void DAVUserInfoImpl::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString("providerID", providerID_);
  coder.encodeString("userID", userID_);
  coder.encodeString("displayName", displayName_);
  coder.encodeString("photoURL", photoURL_);
  coder.encodeString("email", email_);
  coder.encodeString("phoneNumber", phoneNumber_);
}

std::shared_ptr<DAVUserInfoImpl> DAVUserInfoImpl::initWithCoder(platform::KeyedUnarchiver& coder) {
  return std::make_shared<DAVUserInfoImpl>(coder.decodeString("providerID"), coder.decodeString("userID"),
                                           coder.decodeString("displayName"), coder.decodeString("photoURL"),
                                           coder.decodeString("email"), coder.decodeString("phoneNumber"));
}
