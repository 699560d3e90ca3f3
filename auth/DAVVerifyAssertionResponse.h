// Reply of "verifyAssertion": the account, the provider's profile and, for linking conflicts, the
// provider's own tokens.
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVVerifyAssertionResponse : public DAVAuthRPCResponse {
 public:
  using OptString = std::optional<std::string>;

  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const OptString& federatedID() const { return federatedID_; }
  const OptString& providerID() const { return providerID_; }
  const OptString& localID() const { return localID_; }
  bool emailRecycled() const { return emailRecycled_; }
  void setEmailRecycled(bool v) { emailRecycled_ = v; }
  bool emailVerified() const { return emailVerified_; }
  void setEmailVerified(bool v) { emailVerified_ = v; }
  const OptString& email() const { return email_; }
  const OptString& inputEmail() const { return inputEmail_; }
  const OptString& originalEmail() const { return originalEmail_; }
  const OptString& oauthRequestToken() const { return oauthRequestToken_; }
  const OptString& oauthScope() const { return oauthScope_; }
  const OptString& firstName() const { return firstName_; }
  const OptString& lastName() const { return lastName_; }
  const OptString& fullName() const { return fullName_; }
  const OptString& nickName() const { return nickName_; }
  const OptString& displayName() const { return displayName_; }
  const OptString& IDToken() const { return IDToken_; }
  const std::optional<platform::Date>& approximateExpirationDate() const { return approximateExpirationDate_; }
  const OptString& refreshToken() const { return refreshToken_; }
  bool isNewUser() const { return isNewUser_; }
  void setIsNewUser(bool v) { isNewUser_ = v; }
  // "rawUserInfo", given as an object or as JSON text of one.
  const std::optional<platform::Dictionary>& profile() const { return profile_; }
  const OptString& username() const { return username_; }
  const OptString& action() const { return action_; }
  const OptString& language() const { return language_; }
  const OptString& timeZone() const { return timeZone_; }
  const OptString& photoURL() const { return photoURL_; }
  const OptString& dateOfBirth() const { return dateOfBirth_; }
  const OptString& context() const { return context_; }
  bool needConfirmation() const { return needConfirmation_; }
  void setNeedConfirmation(bool v) { needConfirmation_ = v; }
  const std::optional<platform::Array>& verifiedProvider() const { return verifiedProvider_; }
  const OptString& oauthIDToken() const { return oauthIDToken_; }
  const std::optional<platform::Date>& oauthExpirationDate() const { return oauthExpirationDate_; }
  const OptString& oauthAccessToken() const { return oauthAccessToken_; }
  const OptString& pendingToken() const { return pendingToken_; }
  void setPendingToken(OptString v) { pendingToken_ = std::move(v); }

 private:
  OptString federatedID_;
  OptString providerID_;
  OptString localID_;
  bool emailRecycled_ = false;
  bool emailVerified_ = false;
  OptString email_;
  OptString inputEmail_;
  OptString originalEmail_;
  OptString oauthRequestToken_;
  OptString oauthScope_;
  OptString firstName_;
  OptString lastName_;
  OptString fullName_;
  OptString nickName_;
  OptString displayName_;
  OptString IDToken_;
  std::optional<platform::Date> approximateExpirationDate_;
  OptString refreshToken_;
  bool isNewUser_ = false;
  std::optional<platform::Dictionary> profile_;
  OptString username_;
  OptString action_;
  OptString language_;
  OptString timeZone_;
  OptString photoURL_;
  OptString dateOfBirth_;
  OptString context_;
  bool needConfirmation_ = false;
  std::optional<platform::Array> verifiedProvider_;
  OptString oauthIDToken_;
  std::optional<platform::Date> oauthExpirationDate_;
  OptString oauthAccessToken_;
  OptString pendingToken_;
};
