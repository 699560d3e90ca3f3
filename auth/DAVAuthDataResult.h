// The result of a sign-in: the signed-in user and what the provider told about it.
#pragma once

#include <memory>

#include "auth/DAVAdditionalUserInfo.h"
#include "auth/DAVUser.h"
#include "platform/foundation/KeyedArchiver.h"

class DAVAuthDataResult : public platform::Object, public platform::Coding {
 public:
  static constexpr const char* kArchiveClassName = "DAVAuthDataResult";

  DAVAuthDataResult(std::shared_ptr<DAVUser> user, std::shared_ptr<const DAVAdditionalUserInfo> additionalUserInfo)
      : user_(std::move(user)), additionalUserInfo_(std::move(additionalUserInfo)) {}

  const std::shared_ptr<DAVUser>& user() const { return user_; }
  const std::shared_ptr<const DAVAdditionalUserInfo>& additionalUserInfo() const { return additionalUserInfo_; }

  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject("user", user_.get());
    coder.encodeObject("additionalUserInfo", additionalUserInfo_.get());
  }
  static std::shared_ptr<DAVAuthDataResult> initWithCoder(platform::KeyedUnarchiver& coder) {
    return std::make_shared<DAVAuthDataResult>(coder.decodeObjectOfClass<DAVUser>("user"),
                                               coder.decodeObjectOfClass<DAVAdditionalUserInfo>("additionalUserInfo"));
  }

 private:
  const std::shared_ptr<DAVUser> user_;
  const std::shared_ptr<const DAVAdditionalUserInfo> additionalUserInfo_;
};
