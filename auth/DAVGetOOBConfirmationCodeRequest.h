// "getOobConfirmationCode": asks the service to mail a password-reset, verification or sign-in code.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "auth/DAVActionCodeSettings.h"
#include "auth/DAVIdentityServiceRequest.h"

enum DAVGetOOBConfirmationCodeRequestType : int64_t {
  DAVGetOOBConfirmationCodeRequestTypePasswordReset = 0,
  DAVGetOOBConfirmationCodeRequestTypeVerifyEmail = 1,
  DAVGetOOBConfirmationCodeRequestTypeEmailLink = 2,
};

class DAVGetOOBConfirmationCodeRequest : public DAVIdentityServiceRequest {
 public:
  DAVGetOOBConfirmationCodeRequest(int64_t requestType, std::optional<std::string> email,
                                   std::optional<std::string> accessToken,
                                   const DAVActionCodeSettings* actionCodeSettings,
                                   DAVAuthRequestConfigurationPtr requestConfiguration);

  static std::shared_ptr<DAVGetOOBConfirmationCodeRequest> passwordResetRequestWithEmail(
      const std::string& email, const DAVActionCodeSettings* actionCodeSettings,
      DAVAuthRequestConfigurationPtr requestConfiguration);
  static std::shared_ptr<DAVGetOOBConfirmationCodeRequest> verifyEmailRequestWithAccessToken(
      const std::string& accessToken, const DAVActionCodeSettings* actionCodeSettings,
      DAVAuthRequestConfigurationPtr requestConfiguration);
  static std::shared_ptr<DAVGetOOBConfirmationCodeRequest> signInWithEmailLinkRequest(
      const std::string& email, const DAVActionCodeSettings* actionCodeSettings,
      DAVAuthRequestConfigurationPtr requestConfiguration);

  // 1 "VERIFY_EMAIL", 2 "EMAIL_SIGNIN", anything else "PASSWORD_RESET".
  static std::string requestTypeStringValueForRequestType(int64_t requestType);

  int64_t requestType() const { return requestType_; }
  const std::optional<std::string>& email() const { return email_; }
  const std::optional<std::string>& accessToken() const { return accessToken_; }
  const std::optional<std::string>& continueURL() const { return continueURL_; }
  const std::optional<std::string>& iOSBundleID() const { return iOSBundleID_; }
  const std::optional<std::string>& androidPackageName() const { return androidPackageName_; }
  const std::optional<std::string>& androidMinimumVersion() const { return androidMinimumVersion_; }
  bool androidInstallApp() const { return androidInstallApp_; }
  bool handleCodeInApp() const { return handleCodeInApp_; }
  void setHandleCodeInApp(bool v) { handleCodeInApp_ = v; }
  const std::optional<std::string>& dynamicLinkDomain() const { return dynamicLinkDomain_; }
  void setDynamicLinkDomain(std::optional<std::string> v) { dynamicLinkDomain_ = std::move(v); }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  int64_t requestType_;
  std::optional<std::string> email_;
  std::optional<std::string> accessToken_;
  std::optional<std::string> continueURL_;
  std::optional<std::string> iOSBundleID_;
  std::optional<std::string> androidPackageName_;
  std::optional<std::string> androidMinimumVersion_;
  bool androidInstallApp_ = false;
  bool handleCodeInApp_ = false;
  std::optional<std::string> dynamicLinkDomain_;
};
