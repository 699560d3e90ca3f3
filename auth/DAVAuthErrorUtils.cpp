#include "auth/DAVAuthErrorUtils.h"

#include <map>

namespace {

using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

struct CodeInfo {
  int64_t code;
  const char* name;
  const char* description;
};

constexpr const char kAppVerificationFailed[] =
    "The app verification process has failed, print and inspect the error details for more information";

const CodeInfo kCodeTable[] = {
    {17000, "ERROR_INVALID_CUSTOM_TOKEN",
     "The custom token format is incorrect. Please check the documentation."},
    {17002, "ERROR_CUSTOM_TOKEN_MISMATCH",
     "The custom token corresponds to a different audience."},
    {17004, "ERROR_INVALID_CREDENTIAL",
     "The supplied auth credential is malformed or has expired."},
    {17005, "ERROR_USER_DISABLED",
     "The user account has been disabled by an administrator."},
    {17006, "ERROR_OPERATION_NOT_ALLOWED",
     "The given sign-in provider is disabled for this Davedove project. Enable it in the Davedove console, under the sign-in method tab of the Auth section."},
    {17007, "ERROR_EMAIL_ALREADY_IN_USE",
     "The email address is already in use by another account."},
    {17008, "ERROR_INVALID_EMAIL",
     "The email address is badly formatted."},
    {17009, "ERROR_WRONG_PASSWORD",
     "The password is invalid or the user does not have a password."},
    {17010, "ERROR_TOO_MANY_REQUESTS",
     "We have blocked all requests from this device due to unusual activity. Try again later."},
    {17011, "ERROR_USER_NOT_FOUND",
     "There is no user record corresponding to this identifier. The user may have been deleted."},
    {17012, "ERROR_ACCOUNT_EXISTS_WITH_DIFFERENT_CREDENTIAL",
     "An account already exists with the same email address but different sign-in credentials. Sign in using a provider associated with this email address."},
    {17014, "ERROR_REQUIRES_RECENT_LOGIN",
     "This operation is sensitive and requires recent authentication. Log in again before retrying this request."},
    {17015, "ERROR_PROVIDER_ALREADY_LINKED",
     "[ERROR_PROVIDER_ALREADY_LINKED] - User can only be linked to one identity for the given provider."},
    {17016, "ERROR_NO_SUCH_PROVIDER",
     "User was not linked to an account with the given provider."},
    {17017, "ERROR_INVALID_USER_TOKEN",
     "This user's credential isn't valid for this project. This can happen if the user's token has been tampered with, or if the user doesn’t belong to the project associated with the API key used in your request."},
    {17020, "ERROR_NETWORK_REQUEST_FAILED",
     "Network error (such as timeout, interrupted connection or unreachable host) has occurred."},
    {17021, "ERROR_USER_TOKEN_EXPIRED",
     "The user's credential is no longer valid. The user must sign in again."},
    {17023, "ERROR_INVALID_API_KEY",
     "An invalid API Key was supplied in the request."},
    {17024, "ERROR_USER_MISMATCH",
     "The supplied credentials do not correspond to the previously signed in user."},
    {17025, "ERROR_CREDENTIAL_ALREADY_IN_USE",
     "This credential is already associated with a different user account."},
    {17026, "ERROR_WEAK_PASSWORD",
     "The password must be 6 characters long or more."},
    {17028, "ERROR_APP_NOT_AUTHORIZED",
     "This app is not authorized to use Davedove Authentication with the provided API key. Review your key configuration in the Variru API console and ensure that it accepts requests from your app's bundle ID."},
    {17029, "ERROR_EXPIRED_ACTION_CODE",
     "The action code has expired."},
    {17030, "ERROR_INVALID_ACTION_CODE",
     "The action code is invalid. This can happen if the code is malformed, expired, or has already been used."},
    {17031, "ERROR_INVALID_MESSAGE_PAYLOAD",
     "The action code is invalid. This can happen if the code is malformed, expired, or has already been used."},
    {17032, "ERROR_INVALID_SENDER",
     "The email template corresponding to this action contains invalid characters in its message. Please fix by going to the Auth email templates section in the Davedove Console."},
    {17033, "ERROR_INVALID_RECIPIENT_EMAIL",
     "The action code is invalid. This can happen if the code is malformed, expired, or has already been used."},
    {17034, "ERROR_MISSING_EMAIL",
     "An email address must be provided."},
    {17036, "ERROR_MISSING_IOS_BUNDLE_ID",
     "An iOS Bundle ID must be provided if an App Store ID is provided."},
    {17037, "ERROR_MISSING_ANDROID_PKG_NAME",
     "An Android Package Name must be provided if the Android App is required to be installed."},
    {17038, "ERROR_UNAUTHORIZED_DOMAIN",
     "The domain of the continue URL is not whitelisted. Please whitelist the domain in the Davedove console."},
    {17039, "ERROR_INVALID_CONTINUE_URI",
     "The continue URL provided in the request is invalid."},
    {17040, "ERROR_MISSING_CONTINUE_URI",
     "A continue URL must be provided in the request."},
    {17066, "ERROR_LOCAL_PLAYER_NOT_AUTHENTICATED",
     "The local player is not authenticated. Please log the local player in to Game Center."},
    {17067, "ERROR_NULL_USER",
     "A null user object was provided as the argument for an operation which requires a non-null user object."},
    {17071, "ERROR_INVALID_PROVIDER_ID",
     "The provider ID provided for the attempted web operation is invalid."},
    {17074, "ERROR_INVALID_DYNAMIC_LINK_DOMAIN",
     "The Davedove Dynamic Link domain used is either not configured or is unauthorized for the current project."},
    {17076, "ERROR_GAME_KIT_NOT_LINKED",
     "The GameKit framework is not linked. Please turn on the Game Center capability."},
    {17995, "ERROR_KEYCHAIN_ERROR",
     "An error occurred when accessing the keychain. The @c NSLocalizedFailureReasonErrorKey field in the @c NSError.userInfo dictionary will contain more information about the error encountered"},
    {17999, "ERROR_INTERNAL_ERROR",
     "An internal error has occurred, print and inspect the error details for more information."},
    {18000, "ERROR_MALFORMED_JWT",
     "Failed to parse JWT. Check the userInfo dictionary for the full token."},
    {17041, "ERROR_MISSING_PHONE_NUMBER",
     "To send verification codes, provide a phone number for the recipient."},
    {17042, "ERROR_INVALID_PHONE_NUMBER",
     "The format of the phone number provided is incorrect. Please enter the phone number in a format that can "
     "be parsed into E.164 format. E.164 phone numbers are written in the format [+][country code][subscriber "
     "number including area code]."},
    {17043, "ERROR_MISSING_VERIFICATION_CODE",
     "The phone auth credential was created with an empty verification code."},
    {17044, "ERROR_INVALID_VERIFICATION_CODE",
     "The SMS verification code used to create the phone auth credential is invalid. Please resend the "
     "verification code SMS and be sure to use the verification code provided by the user."},
    {17045, "ERROR_MISSING_VERIFICATION_ID",
     "The phone auth credential was created with an empty verification ID."},
    {17046, "ERROR_INVALID_VERIFICATION_ID",
     "The verification ID used to create the phone auth credential is invalid."},
    {17047, "MISSING_APP_CREDENTIAL",
     "The phone verification request is missing an app verifier assertion."},
    {17048, "INVALID_APP_CREDENTIAL",
     "The app verifier assertion of the phone verification request is invalid."},
    {17051, "ERROR_SESSION_EXPIRED",
     "The SMS code has expired. Please re-send the verification code to try again."},
    {17052, "ERROR_QUOTA_EXCEEDED", "The phone verification quota for this project has been exceeded."},
    {17053, "ERROR_MISSING_APP_TOKEN",
     "There seems to be a problem with the device token used for app verification: it could not be obtained."},
    {17054, "ERROR_NOTIFICATION_NOT_FORWARDED",
     "Remote notifications must be forwarded to the auth client for phone-number sign-in to work. See "
     "https://docs.davedoveapis.com/auth/phone-sign-in for details."},
    {17055, "ERROR_APP_NOT_VERIFIED",
     "The app could not be verified by the identity service for phone-number sign-in."},
    {17056, "ERROR_CAPTCHA_CHECK_FAILED",
     "The reCAPTCHA response token provided is either invalid, expired or already used."},
    {17057, "ERROR_WEB_CONTEXT_ALREADY_PRESENTED",
     "User interaction is still ongoing, another view cannot be presented."},
    {17058, "ERROR_WEB_CONTEXT_CANCELLED", "The interaction was cancelled by the user."},
    {17059, "ERROR_APP_VERIFICATION_FAILED", kAppVerificationFailed},
    {17060, "ERROR_INVALID_CLIENT_ID", "The OAuth client ID provided is either invalid or does not match the API key."},
    {17061, "ERROR_WEB_NETWORK_REQUEST_FAILED",
     "Failed to load the web page because of a network error (such as timeout, interrupted connection or "
     "unreachable host)."},
    {17062, "ERROR_WEB_INTERNAL_ERROR", "An internal error occurred while loading the web page."},
    {17063, "ERROR_WEB_USER_INTERACTION_FAILURE", kAppVerificationFailed},
};

const CodeInfo* infoForCode(int64_t code) {
  static const std::map<int64_t, const CodeInfo*> table = [] {
    std::map<int64_t, const CodeInfo*> t;
    for (const CodeInfo& info : kCodeTable) t[info.code] = &info;
    return t;
  }();
  auto it = table.find(code);
  return it == table.end() ? nullptr : it->second;
}

int64_t pub(int64_t code) { return code | kDAVAuthPublicErrorCodeFlag; }

Value errorValue(ErrorPtr error) {
  return Value(std::shared_ptr<const platform::Object>(std::make_shared<platform::ErrorObject>(std::move(error))));
}

ErrorPtr publicWithMessage(int64_t code, const std::string& message) {
  return DAVAuthErrorUtils::errorWithCode(pub(code), message);
}

ErrorPtr publicWithReason(int64_t code, const std::string& reason) {
  Dictionary userInfo;
  if (!reason.empty()) userInfo[platform::kLocalizedFailureReasonKey] = reason;
  return DAVAuthErrorUtils::errorWithCode(pub(code), std::move(userInfo));
}

ErrorPtr publicWithEmail(int64_t code, const std::string& email) {
  Dictionary userInfo;
  if (!email.empty()) userInfo[kDAVAuthErrorUserInfoEmailKey] = email;
  return DAVAuthErrorUtils::errorWithCode(pub(code), std::move(userInfo));
}

ErrorPtr internalWithData(int64_t code, const std::optional<platform::Data>& data, ErrorPtr underlying) {
  Dictionary userInfo;
  if (data) userInfo[kDAVAuthErrorUserInfoDataKey] = Value::data(*data);
  if (underlying) userInfo[platform::kUnderlyingErrorKey] = errorValue(std::move(underlying));
  return DAVAuthErrorUtils::errorWithCode(code, std::move(userInfo));
}

ErrorPtr internalWithResponse(int64_t code, const Value& response, ErrorPtr underlying) {
  Dictionary userInfo;
  if (!response.isNull()) userInfo[kDAVAuthErrorUserInfoDeserializedResponseKey] = response;
  if (underlying) userInfo[platform::kUnderlyingErrorKey] = errorValue(std::move(underlying));
  return DAVAuthErrorUtils::errorWithCode(code, std::move(userInfo));
}

}  // namespace

std::string DAVAuthErrorUtils::errorNameForCode(int64_t code) {
  const CodeInfo* info = infoForCode(code);
  return info ? info->name : "";
}

std::string DAVAuthErrorUtils::defaultDescriptionForCode(int64_t code) {
  const CodeInfo* info = infoForCode(code);
  return info ? info->description : "";
}

ErrorPtr DAVAuthErrorUtils::errorWithCode(int64_t code, Dictionary userInfo) {
  if (code & kDAVAuthPublicErrorCodeFlag) {
    const int64_t publicCode = code & ~kDAVAuthPublicErrorCodeFlag;
    if (userInfo.find(platform::kLocalizedDescriptionKey) == userInfo.end()) {
      std::string description = defaultDescriptionForCode(publicCode);
      if (!description.empty()) userInfo[platform::kLocalizedDescriptionKey] = description;
    }
    const std::string name = errorNameForCode(publicCode);
    userInfo[kDAVAuthErrorNameKey] = name;
    userInfo[kDAVAuthErrorUserInfoNameKey] = name;
    return std::make_shared<const platform::Error>(kDAVAuthErrorDomain, publicCode, std::move(userInfo));
  }
  auto internal = std::make_shared<const platform::Error>(kDAVAuthInternalErrorDomain, code, std::move(userInfo));
  return errorWithCode(pub(DAVAuthErrorCodeInternalError), ErrorPtr(internal));
}

ErrorPtr DAVAuthErrorUtils::errorWithCode(int64_t code) { return errorWithCode(code, std::string()); }

ErrorPtr DAVAuthErrorUtils::errorWithCode(int64_t code, const std::string& message) {
  Dictionary userInfo;
  if (!message.empty()) userInfo[platform::kLocalizedDescriptionKey] = message;
  return errorWithCode(code, std::move(userInfo));
}

ErrorPtr DAVAuthErrorUtils::errorWithCode(int64_t code, ErrorPtr underlyingError) {
  Dictionary userInfo;
  if (underlyingError) userInfo[platform::kUnderlyingErrorKey] = errorValue(std::move(underlyingError));
  return errorWithCode(code, std::move(userInfo));
}

ErrorPtr DAVAuthErrorUtils::RPCRequestEncodingErrorWithUnderlyingError(ErrorPtr underlyingError) {
  return errorWithCode(DAVAuthInternalErrorCodeRPCRequestEncodingError, std::move(underlyingError));
}

ErrorPtr DAVAuthErrorUtils::JSONSerializationErrorForUnencodableType() {
  return errorWithCode(DAVAuthInternalErrorCodeJSONSerializationError);
}

ErrorPtr DAVAuthErrorUtils::JSONSerializationErrorWithUnderlyingError(ErrorPtr underlyingError) {
  return errorWithCode(DAVAuthInternalErrorCodeJSONSerializationError, std::move(underlyingError));
}

ErrorPtr DAVAuthErrorUtils::unexpectedErrorResponseWithData(const std::optional<platform::Data>& data,
                                                            ErrorPtr underlyingError) {
  return internalWithData(DAVAuthInternalErrorCodeUnexpectedErrorResponse, data, std::move(underlyingError));
}

ErrorPtr DAVAuthErrorUtils::unexpectedErrorResponseWithDeserializedResponse(const Value& deserializedResponse) {
  return internalWithResponse(DAVAuthInternalErrorCodeUnexpectedErrorResponse, deserializedResponse, nullptr);
}

ErrorPtr DAVAuthErrorUtils::unexpectedResponseWithData(const std::optional<platform::Data>& data,
                                                       ErrorPtr underlyingError) {
  return internalWithData(DAVAuthInternalErrorCodeUnexpectedResponse, data, std::move(underlyingError));
}

ErrorPtr DAVAuthErrorUtils::unexpectedResponseWithDeserializedResponse(const Value& deserializedResponse) {
  return internalWithResponse(DAVAuthInternalErrorCodeUnexpectedResponse, deserializedResponse, nullptr);
}

ErrorPtr DAVAuthErrorUtils::unexpectedResponseWithDeserializedResponse(const Value& deserializedResponse,
                                                                       ErrorPtr underlyingError) {
  return internalWithResponse(DAVAuthInternalErrorCodeUnexpectedResponse, deserializedResponse,
                              std::move(underlyingError));
}

ErrorPtr DAVAuthErrorUtils::RPCResponseDecodingErrorWithDeserializedResponse(const Value& deserializedResponse,
                                                                             ErrorPtr underlyingError) {
  return internalWithResponse(DAVAuthInternalErrorCodeRPCResponseDecodingError, deserializedResponse,
                              std::move(underlyingError));
}

#define DAV_MESSAGE_FACTORY(method, code) \
  ErrorPtr DAVAuthErrorUtils::method(const std::string& message) { return publicWithMessage(code, message); }
#define DAV_PLAIN_FACTORY(method, code) \
  ErrorPtr DAVAuthErrorUtils::method() { return errorWithCode(pub(code)); }

DAV_MESSAGE_FACTORY(invalidCustomTokenErrorWithMessage, DAVAuthErrorCodeInvalidCustomToken)
DAV_MESSAGE_FACTORY(customTokenMistmatchErrorWithMessage, DAVAuthErrorCodeCustomTokenMismatch)
DAV_MESSAGE_FACTORY(invalidCredentialErrorWithMessage, DAVAuthErrorCodeInvalidCredential)
DAV_MESSAGE_FACTORY(userDisabledErrorWithMessage, DAVAuthErrorCodeUserDisabled)
DAV_MESSAGE_FACTORY(operationNotAllowedErrorWithMessage, DAVAuthErrorCodeOperationNotAllowed)
DAV_MESSAGE_FACTORY(invalidEmailErrorWithMessage, DAVAuthErrorCodeInvalidEmail)
DAV_MESSAGE_FACTORY(wrongPasswordErrorWithMessage, DAVAuthErrorCodeWrongPassword)
DAV_MESSAGE_FACTORY(tooManyRequestsErrorWithMessage, DAVAuthErrorCodeTooManyRequests)
DAV_MESSAGE_FACTORY(userNotFoundErrorWithMessage, DAVAuthErrorCodeUserNotFound)
DAV_MESSAGE_FACTORY(requiresRecentLoginErrorWithMessage, DAVAuthErrorCodeRequiresRecentLogin)
DAV_PLAIN_FACTORY(providerAlreadyLinkedError, DAVAuthErrorCodeProviderAlreadyLinked)
DAV_PLAIN_FACTORY(noSuchProviderError, DAVAuthErrorCodeNoSuchProvider)
DAV_MESSAGE_FACTORY(invalidUserTokenErrorWithMessage, DAVAuthErrorCodeInvalidUserToken)
DAV_MESSAGE_FACTORY(userTokenExpiredErrorWithMessage, DAVAuthErrorCodeUserTokenExpired)
DAV_PLAIN_FACTORY(invalidAPIKeyError, DAVAuthErrorCodeInvalidAPIKey)
DAV_PLAIN_FACTORY(userMismatchError, DAVAuthErrorCodeUserMismatch)
DAV_PLAIN_FACTORY(appNotAuthorizedError, DAVAuthErrorCodeAppNotAuthorized)
DAV_MESSAGE_FACTORY(expiredActionCodeErrorWithMessage, DAVAuthErrorCodeExpiredActionCode)
DAV_MESSAGE_FACTORY(invalidActionCodeErrorWithMessage, DAVAuthErrorCodeInvalidActionCode)
DAV_MESSAGE_FACTORY(invalidMessagePayloadErrorWithMessage, DAVAuthErrorCodeInvalidMessagePayload)
DAV_MESSAGE_FACTORY(invalidSenderErrorWithMessage, DAVAuthErrorCodeInvalidSender)
DAV_MESSAGE_FACTORY(invalidRecipientEmailErrorWithMessage, DAVAuthErrorCodeInvalidRecipientEmail)
DAV_MESSAGE_FACTORY(missingEmailErrorWithMessage, DAVAuthErrorCodeMissingEmail)
DAV_MESSAGE_FACTORY(missingIosBundleIDErrorWithMessage, DAVAuthErrorCodeMissingIosBundleID)
DAV_MESSAGE_FACTORY(missingAndroidPackageNameErrorWithMessage, DAVAuthErrorCodeMissingAndroidPackageName)
DAV_MESSAGE_FACTORY(unauthorizedDomainErrorWithMessage, DAVAuthErrorCodeUnauthorizedDomain)
DAV_MESSAGE_FACTORY(invalidContinueURIErrorWithMessage, DAVAuthErrorCodeInvalidContinueURI)
DAV_MESSAGE_FACTORY(missingContinueURIErrorWithMessage, DAVAuthErrorCodeMissingContinueURI)
DAV_MESSAGE_FACTORY(missingPhoneNumberErrorWithMessage, DAVAuthErrorCodeMissingPhoneNumber)
DAV_MESSAGE_FACTORY(invalidPhoneNumberErrorWithMessage, DAVAuthErrorCodeInvalidPhoneNumber)
DAV_MESSAGE_FACTORY(missingVerificationCodeErrorWithMessage, DAVAuthErrorCodeMissingVerificationCode)
DAV_MESSAGE_FACTORY(invalidVerificationCodeErrorWithMessage, DAVAuthErrorCodeInvalidVerificationCode)
DAV_MESSAGE_FACTORY(missingVerificationIDErrorWithMessage, DAVAuthErrorCodeMissingVerificationID)
DAV_MESSAGE_FACTORY(invalidVerificationIDErrorWithMessage, DAVAuthErrorCodeInvalidVerificationID)
DAV_MESSAGE_FACTORY(missingAppCredentialWithMessage, DAVAuthErrorCodeMissingAppCredential)
DAV_MESSAGE_FACTORY(invalidAppCredentialWithMessage, DAVAuthErrorCodeInvalidAppCredential)
DAV_MESSAGE_FACTORY(sessionExpiredErrorWithMessage, DAVAuthErrorCodeSessionExpired)
DAV_MESSAGE_FACTORY(quotaExceededErrorWithMessage, DAVAuthErrorCodeQuotaExceeded)
DAV_PLAIN_FACTORY(notificationNotForwardedError, DAVAuthErrorCodeNotificationNotForwarded)
DAV_MESSAGE_FACTORY(appNotVerifiedErrorWithMessage, DAVAuthErrorCodeAppNotVerified)
DAV_MESSAGE_FACTORY(captchaCheckFailedErrorWithMessage, DAVAuthErrorCodeCaptchaCheckFailed)
DAV_MESSAGE_FACTORY(webContextAlreadyPresentedErrorWithMessage, DAVAuthErrorCodeWebContextAlreadyPresented)
DAV_MESSAGE_FACTORY(webContextCancelledErrorWithMessage, DAVAuthErrorCodeWebContextCancelled)
DAV_PLAIN_FACTORY(localPlayerNotAuthenticatedError, DAVAuthErrorCodeLocalPlayerNotAuthenticated)
DAV_MESSAGE_FACTORY(nullUserErrorWithMessage, DAVAuthErrorCodeNullUser)
DAV_MESSAGE_FACTORY(invalidProviderIDErrorWithMessage, DAVAuthErrorCodeInvalidProviderID)
DAV_MESSAGE_FACTORY(invalidDynamicLinkDomainErrorWithMessage, DAVAuthErrorCodeInvalidDynamicLinkDomain)
DAV_PLAIN_FACTORY(gameKitNotLinkedError, DAVAuthErrorCodeGameKitNotLinked)

#undef DAV_MESSAGE_FACTORY
#undef DAV_PLAIN_FACTORY

ErrorPtr DAVAuthErrorUtils::emailAlreadyInUseErrorWithEmail(const std::string& email) {
  return publicWithEmail(DAVAuthErrorCodeEmailAlreadyInUse, email);
}

ErrorPtr DAVAuthErrorUtils::accountExistsWithDifferentCredentialErrorWithEmail(const std::string& email) {
  return publicWithEmail(DAVAuthErrorCodeAccountExistsWithDifferentCredential, email);
}

ErrorPtr DAVAuthErrorUtils::networkErrorWithUnderlyingError(ErrorPtr underlyingError) {
  return errorWithCode(pub(DAVAuthErrorCodeNetworkError), std::move(underlyingError));
}

ErrorPtr DAVAuthErrorUtils::missingAppTokenErrorWithUnderlyingError(ErrorPtr underlyingError) {
  return errorWithCode(pub(DAVAuthErrorCodeMissingAppToken), std::move(underlyingError));
}

ErrorPtr DAVAuthErrorUtils::credentialAlreadyInUseErrorWithMessage(const std::string& message,
                                                                   std::shared_ptr<const platform::Object> credential,
                                                                   const std::string& email) {
  Dictionary userInfo;
  if (credential) {
    userInfo[kDAVAuthErrorUserInfoUpdatedCredentialKey] = Value(credential);
    userInfo[kDAVAuthUpdatedCredentialKey] = Value(credential);
  }
  if (!email.empty()) userInfo[kDAVAuthErrorUserInfoEmailKey] = email;
  if (!userInfo.empty()) return errorWithCode(pub(DAVAuthErrorCodeCredentialAlreadyInUse), std::move(userInfo));
  return publicWithMessage(DAVAuthErrorCodeCredentialAlreadyInUse, message);
}

ErrorPtr DAVAuthErrorUtils::weakPasswordErrorWithServerResponseReason(const std::string& reason) {
  return publicWithReason(DAVAuthErrorCodeWeakPassword, reason);
}

ErrorPtr DAVAuthErrorUtils::appVerificationUserInteractionFailureWithReason(const std::string& reason) {
  return publicWithReason(DAVAuthErrorCodeAppVerificationUserInteractionFailure, reason);
}

ErrorPtr DAVAuthErrorUtils::webSignInUserInteractionFailureWithReason(const std::string& reason) {
  return publicWithReason(DAVAuthErrorCodeWebSignInUserInteractionFailure, reason);
}

ErrorPtr DAVAuthErrorUtils::URLResponseErrorWithCode(const std::string& code, const std::string& message) {
  if (code == "auth/invalid-oauth-client-id") return publicWithMessage(DAVAuthErrorCodeInvalidClientID, message);
  if (code == "auth/network-request-failed") return publicWithMessage(DAVAuthErrorCodeWebNetworkRequestFailed, message);
  if (code == "auth/internal-error") return publicWithMessage(DAVAuthErrorCodeWebInternalError, message);
  return nullptr;
}

ErrorPtr DAVAuthErrorUtils::keychainErrorWithFunction(const std::string& function, int64_t status) {
  return publicWithReason(DAVAuthErrorCodeKeychainError, function + " (" + std::to_string(status) + ")");
}

ErrorPtr DAVAuthErrorUtils::malformedJWTErrorWithToken(const std::string& token, ErrorPtr underlyingError) {
  Dictionary userInfo;
  userInfo[platform::kLocalizedDescriptionKey] = defaultDescriptionForCode(DAVAuthErrorCodeMalformedJWT);
  userInfo[kDAVAuthErrorUserInfoDataKey] = token;
  if (underlyingError) userInfo[platform::kUnderlyingErrorKey] = errorValue(std::move(underlyingError));
  return errorWithCode(pub(DAVAuthErrorCodeMalformedJWT), std::move(userInfo));
}
