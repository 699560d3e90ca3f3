// "setAccountInfo": changes e-mail, password, profile or providers of an account.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "auth/DAVIdentityServiceRequest.h"

// Attribute names for deleteAttributes.
inline constexpr const char kDAVSetAccountInfoUserAttributeEmail[] = "EMAIL";
inline constexpr const char kDAVSetAccountInfoUserAttributeDisplayName[] = "DISPLAY_NAME";
inline constexpr const char kDAVSetAccountInfoUserAttributeProvider[] = "PROVIDER";
inline constexpr const char kDAVSetAccountInfoUserAttributePhotoURL[] = "PHOTO_URL";
inline constexpr const char kDAVSetAccountInfoUserAttributePassword[] = "PASSWORD";

class DAVSetAccountInfoRequest : public DAVIdentityServiceRequest {
 public:
  explicit DAVSetAccountInfoRequest(DAVAuthRequestConfigurationPtr requestConfiguration);

  using OptString = std::optional<std::string>;
  using OptStrings = std::optional<std::vector<std::string>>;

  const OptString& accessToken() const { return accessToken_; }
  void setAccessToken(OptString v) { accessToken_ = std::move(v); }
  const OptString& displayName() const { return displayName_; }
  void setDisplayName(OptString v) { displayName_ = std::move(v); }
  const OptString& localID() const { return localID_; }
  void setLocalID(OptString v) { localID_ = std::move(v); }
  const OptString& email() const { return email_; }
  void setEmail(OptString v) { email_ = std::move(v); }
  const OptString& password() const { return password_; }
  void setPassword(OptString v) { password_ = std::move(v); }
  const OptString& photoURL() const { return photoURL_; }
  void setPhotoURL(OptString v) { photoURL_ = std::move(v); }
  const OptStrings& providers() const { return providers_; }
  void setProviders(OptStrings v) { providers_ = std::move(v); }
  const OptString& OOBCode() const { return OOBCode_; }
  void setOOBCode(OptString v) { OOBCode_ = std::move(v); }
  bool emailVerified() const { return emailVerified_; }
  void setEmailVerified(bool v) { emailVerified_ = v; }
  bool upgradeToFederatedLogin() const { return upgradeToFederatedLogin_; }
  void setUpgradeToFederatedLogin(bool v) { upgradeToFederatedLogin_ = v; }
  const OptString& captchaChallenge() const { return captchaChallenge_; }
  void setCaptchaChallenge(OptString v) { captchaChallenge_ = std::move(v); }
  const OptString& captchaResponse() const { return captchaResponse_; }
  void setCaptchaResponse(OptString v) { captchaResponse_ = std::move(v); }
  const OptStrings& deleteAttributes() const { return deleteAttributes_; }
  void setDeleteAttributes(OptStrings v) { deleteAttributes_ = std::move(v); }
  const OptStrings& deleteProviders() const { return deleteProviders_; }
  void setDeleteProviders(OptStrings v) { deleteProviders_ = std::move(v); }
  bool returnSecureToken() const { return returnSecureToken_; }
  void setReturnSecureToken(bool v) { returnSecureToken_ = v; }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  OptString accessToken_;
  OptString displayName_;
  OptString localID_;
  OptString email_;
  OptString password_;
  OptString photoURL_;
  OptStrings providers_;
  OptString OOBCode_;
  bool emailVerified_ = false;
  bool upgradeToFederatedLogin_ = false;
  OptString captchaChallenge_;
  OptString captchaResponse_;
  OptStrings deleteAttributes_;
  OptStrings deleteProviders_;
  bool returnSecureToken_ = true;
};
