// Error domains, codes and user-information keys of the authentication client.
#pragma once

#include <cstdint>

inline constexpr const char kDAVAuthErrorDomain[] = "DAVAuthErrorDomain";
inline constexpr const char kDAVAuthInternalErrorDomain[] = "DAVAuthInternalErrorDomain";

inline constexpr const char kDAVAuthErrorUserInfoNameKey[] = "DAVAuthErrorUserInfoNameKey";
inline constexpr const char kDAVAuthErrorNameKey[] = "error_name";
inline constexpr const char kDAVAuthErrorUserInfoEmailKey[] = "DAVAuthErrorUserInfoEmailKey";
inline constexpr const char kDAVAuthErrorUserInfoUpdatedCredentialKey[] = "DAVAuthErrorUserInfoUpdatedCredentialKey";
inline constexpr const char kDAVAuthUpdatedCredentialKey[] = "DAVAuthUpdatedCredentialKey";
inline constexpr const char kDAVAuthErrorUserInfoDataKey[] = "DAVAuthErrorUserInfoDataKey";
inline constexpr const char kDAVAuthErrorUserInfoDeserializedResponseKey[] =
    "DAVAuthErrorUserInfoDeserializedResponseKey";

// Factories mark a public code with this bit; the error itself carries the code without it.
inline constexpr int64_t kDAVAuthPublicErrorCodeFlag = 1 << 20;

// Public codes of "DAVAuthErrorDomain".
enum DAVAuthErrorCode : int64_t {
  DAVAuthErrorCodeInvalidCustomToken = 17000,
  DAVAuthErrorCodeCustomTokenMismatch = 17002,
  DAVAuthErrorCodeInvalidCredential = 17004,
  DAVAuthErrorCodeUserDisabled = 17005,
  DAVAuthErrorCodeOperationNotAllowed = 17006,
  DAVAuthErrorCodeEmailAlreadyInUse = 17007,
  DAVAuthErrorCodeInvalidEmail = 17008,
  DAVAuthErrorCodeWrongPassword = 17009,
  DAVAuthErrorCodeTooManyRequests = 17010,
  DAVAuthErrorCodeUserNotFound = 17011,
  DAVAuthErrorCodeAccountExistsWithDifferentCredential = 17012,
  DAVAuthErrorCodeRequiresRecentLogin = 17014,
  DAVAuthErrorCodeProviderAlreadyLinked = 17015,
  DAVAuthErrorCodeNoSuchProvider = 17016,
  DAVAuthErrorCodeInvalidUserToken = 17017,
  DAVAuthErrorCodeNetworkError = 17020,
  DAVAuthErrorCodeUserTokenExpired = 17021,
  DAVAuthErrorCodeInvalidAPIKey = 17023,
  DAVAuthErrorCodeUserMismatch = 17024,
  DAVAuthErrorCodeCredentialAlreadyInUse = 17025,
  DAVAuthErrorCodeWeakPassword = 17026,
  DAVAuthErrorCodeAppNotAuthorized = 17028,
  DAVAuthErrorCodeExpiredActionCode = 17029,
  DAVAuthErrorCodeInvalidActionCode = 17030,
  DAVAuthErrorCodeInvalidMessagePayload = 17031,
  DAVAuthErrorCodeInvalidSender = 17032,
  DAVAuthErrorCodeInvalidRecipientEmail = 17033,
  DAVAuthErrorCodeMissingEmail = 17034,
  DAVAuthErrorCodeMissingIosBundleID = 17036,
  DAVAuthErrorCodeMissingAndroidPackageName = 17037,
  DAVAuthErrorCodeUnauthorizedDomain = 17038,
  DAVAuthErrorCodeInvalidContinueURI = 17039,
  DAVAuthErrorCodeMissingContinueURI = 17040,
  DAVAuthErrorCodeMissingPhoneNumber = 17041,
  DAVAuthErrorCodeInvalidPhoneNumber = 17042,
  DAVAuthErrorCodeMissingVerificationCode = 17043,
  DAVAuthErrorCodeInvalidVerificationCode = 17044,
  DAVAuthErrorCodeMissingVerificationID = 17045,
  DAVAuthErrorCodeInvalidVerificationID = 17046,
  DAVAuthErrorCodeMissingAppCredential = 17047,
  DAVAuthErrorCodeInvalidAppCredential = 17048,
  DAVAuthErrorCodeSessionExpired = 17051,
  DAVAuthErrorCodeQuotaExceeded = 17052,
  DAVAuthErrorCodeMissingAppToken = 17053,
  DAVAuthErrorCodeNotificationNotForwarded = 17054,
  DAVAuthErrorCodeAppNotVerified = 17055,
  DAVAuthErrorCodeCaptchaCheckFailed = 17056,
  DAVAuthErrorCodeWebContextAlreadyPresented = 17057,
  DAVAuthErrorCodeWebContextCancelled = 17058,
  DAVAuthErrorCodeAppVerificationUserInteractionFailure = 17059,
  DAVAuthErrorCodeInvalidClientID = 17060,
  DAVAuthErrorCodeWebNetworkRequestFailed = 17061,
  DAVAuthErrorCodeWebInternalError = 17062,
  DAVAuthErrorCodeWebSignInUserInteractionFailure = 17063,
  DAVAuthErrorCodeLocalPlayerNotAuthenticated = 17066,
  DAVAuthErrorCodeNullUser = 17067,
  DAVAuthErrorCodeInvalidProviderID = 17071,
  DAVAuthErrorCodeInvalidDynamicLinkDomain = 17074,
  DAVAuthErrorCodeGameKitNotLinked = 17076,
  DAVAuthErrorCodeKeychainError = 17995,
  DAVAuthErrorCodeInternalError = 17999,
  DAVAuthErrorCodeMalformedJWT = 18000,
};

// Codes of "DAVAuthInternalErrorDomain", only ever seen underneath code 17999.
enum DAVAuthInternalErrorCode : int64_t {
  DAVAuthInternalErrorCodeRPCRequestEncodingError = 1,
  DAVAuthInternalErrorCodeJSONSerializationError = 2,
  DAVAuthInternalErrorCodeUnexpectedErrorResponse = 3,
  DAVAuthInternalErrorCodeUnexpectedResponse = 4,
  DAVAuthInternalErrorCodeRPCResponseDecodingError = 5,
};
