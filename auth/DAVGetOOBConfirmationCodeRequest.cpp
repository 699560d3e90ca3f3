#include "auth/DAVGetOOBConfirmationCodeRequest.h"

DAVGetOOBConfirmationCodeRequest::DAVGetOOBConfirmationCodeRequest(int64_t requestType,
                                                                   std::optional<std::string> email,
                                                                   std::optional<std::string> accessToken,
                                                                   const DAVActionCodeSettings* actionCodeSettings,
                                                                   DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("getOobConfirmationCode", std::move(requestConfiguration)),
      requestType_(requestType),
      email_(std::move(email)),
      accessToken_(std::move(accessToken)) {
  if (actionCodeSettings) {
    continueURL_ = actionCodeSettings->URL();
    iOSBundleID_ = actionCodeSettings->iOSBundleID();
    androidPackageName_ = actionCodeSettings->androidPackageName();
    androidMinimumVersion_ = actionCodeSettings->androidMinimumVersion();
    androidInstallApp_ = actionCodeSettings->androidInstallIfNotAvailable();
    handleCodeInApp_ = actionCodeSettings->handleCodeInApp();
    dynamicLinkDomain_ = actionCodeSettings->dynamicLinkDomain();
  }
}

std::shared_ptr<DAVGetOOBConfirmationCodeRequest> DAVGetOOBConfirmationCodeRequest::passwordResetRequestWithEmail(
    const std::string& email, const DAVActionCodeSettings* actionCodeSettings,
    DAVAuthRequestConfigurationPtr requestConfiguration) {
  return std::make_shared<DAVGetOOBConfirmationCodeRequest>(DAVGetOOBConfirmationCodeRequestTypePasswordReset, email,
                                                            std::nullopt, actionCodeSettings,
                                                            std::move(requestConfiguration));
}

std::shared_ptr<DAVGetOOBConfirmationCodeRequest>
DAVGetOOBConfirmationCodeRequest::verifyEmailRequestWithAccessToken(const std::string& accessToken,
                                                                    const DAVActionCodeSettings* actionCodeSettings,
                                                                    DAVAuthRequestConfigurationPtr requestConfiguration) {
  return std::make_shared<DAVGetOOBConfirmationCodeRequest>(DAVGetOOBConfirmationCodeRequestTypeVerifyEmail,
                                                            std::nullopt, accessToken, actionCodeSettings,
                                                            std::move(requestConfiguration));
}

std::shared_ptr<DAVGetOOBConfirmationCodeRequest> DAVGetOOBConfirmationCodeRequest::signInWithEmailLinkRequest(
    const std::string& email, const DAVActionCodeSettings* actionCodeSettings,
    DAVAuthRequestConfigurationPtr requestConfiguration) {
  return std::make_shared<DAVGetOOBConfirmationCodeRequest>(DAVGetOOBConfirmationCodeRequestTypeEmailLink, email,
                                                            std::nullopt, actionCodeSettings,
                                                            std::move(requestConfiguration));
}

std::string DAVGetOOBConfirmationCodeRequest::requestTypeStringValueForRequestType(int64_t requestType) {
  switch (requestType) {
    case DAVGetOOBConfirmationCodeRequestTypeVerifyEmail:
      return "VERIFY_EMAIL";
    case DAVGetOOBConfirmationCodeRequestTypeEmailLink:
      return "EMAIL_SIGNIN";
    default:
      return "PASSWORD_RESET";
  }
}

std::optional<nlohmann::json> DAVGetOOBConfirmationCodeRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = nlohmann::json::object();
  body["requestType"] = requestTypeStringValueForRequestType(requestType_);
  if (requestType_ == DAVGetOOBConfirmationCodeRequestTypeVerifyEmail) {
    if (accessToken_) body["idToken"] = *accessToken_;
  } else {
    // Password reset (and every unknown type, which is sent as one) and e-mail sign-in name the address.
    if (email_) body["email"] = *email_;
  }
  if (continueURL_) body["continueUrl"] = *continueURL_;
  if (iOSBundleID_) body["iOSBundleId"] = *iOSBundleID_;
  if (androidPackageName_) body["androidPackageName"] = *androidPackageName_;
  if (androidMinimumVersion_) body["androidMinimumVersion"] = *androidMinimumVersion_;
  if (androidInstallApp_) body["androidInstallApp"] = true;
  if (handleCodeInApp_) body["canHandleCodeInApp"] = true;
  if (dynamicLinkDomain_) body["dynamicLinkDomain"] = *dynamicLinkDomain_;
  return body;
}
