// The one place where errors of the authentication client are made. An empty message counts as no
// message: the code's default description is used.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "auth/DAVAuthErrors.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

class DAVAuthErrorUtils {
 public:
  using ErrorPtr = platform::ErrorPtr;

  // Constructor of every error. A code with kDAVAuthPublicErrorCodeFlag set is public; any other code is
  // internal and comes back wrapped as 17999.
  static ErrorPtr errorWithCode(int64_t code, platform::Dictionary userInfo);
  static ErrorPtr errorWithCode(int64_t code);
  static ErrorPtr errorWithCode(int64_t code, const std::string& message);
  static ErrorPtr errorWithCode(int64_t code, ErrorPtr underlyingError);

  // The symbolic name and default description of a public code (without the flag); "" when unknown.
  static std::string errorNameForCode(int64_t code);
  static std::string defaultDescriptionForCode(int64_t code);

  // Internal kinds.
  static ErrorPtr RPCRequestEncodingErrorWithUnderlyingError(ErrorPtr underlyingError);
  static ErrorPtr JSONSerializationErrorForUnencodableType();
  static ErrorPtr JSONSerializationErrorWithUnderlyingError(ErrorPtr underlyingError);
  static ErrorPtr unexpectedErrorResponseWithData(const std::optional<platform::Data>& data, ErrorPtr underlyingError);
  static ErrorPtr unexpectedErrorResponseWithDeserializedResponse(const platform::Value& deserializedResponse);
  static ErrorPtr unexpectedResponseWithData(const std::optional<platform::Data>& data, ErrorPtr underlyingError);
  static ErrorPtr unexpectedResponseWithDeserializedResponse(const platform::Value& deserializedResponse);
  static ErrorPtr unexpectedResponseWithDeserializedResponse(const platform::Value& deserializedResponse,
                                                             ErrorPtr underlyingError);
  static ErrorPtr RPCResponseDecodingErrorWithDeserializedResponse(const platform::Value& deserializedResponse,
                                                                   ErrorPtr underlyingError);

  // Public kinds.
  static ErrorPtr invalidCustomTokenErrorWithMessage(const std::string& message = {});
  static ErrorPtr customTokenMistmatchErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidCredentialErrorWithMessage(const std::string& message = {});
  static ErrorPtr userDisabledErrorWithMessage(const std::string& message = {});
  static ErrorPtr operationNotAllowedErrorWithMessage(const std::string& message = {});
  static ErrorPtr emailAlreadyInUseErrorWithEmail(const std::string& email = {});
  static ErrorPtr invalidEmailErrorWithMessage(const std::string& message = {});
  static ErrorPtr wrongPasswordErrorWithMessage(const std::string& message = {});
  static ErrorPtr tooManyRequestsErrorWithMessage(const std::string& message = {});
  static ErrorPtr userNotFoundErrorWithMessage(const std::string& message = {});
  static ErrorPtr accountExistsWithDifferentCredentialErrorWithEmail(const std::string& email = {});
  static ErrorPtr requiresRecentLoginErrorWithMessage(const std::string& message = {});
  static ErrorPtr providerAlreadyLinkedError();
  static ErrorPtr noSuchProviderError();
  static ErrorPtr invalidUserTokenErrorWithMessage(const std::string& message = {});
  static ErrorPtr networkErrorWithUnderlyingError(ErrorPtr underlyingError);
  static ErrorPtr userTokenExpiredErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidAPIKeyError();
  static ErrorPtr userMismatchError();
  // credential: any object the caller may use instead (a DAVAuthCredential); may be null.
  static ErrorPtr credentialAlreadyInUseErrorWithMessage(const std::string& message,
                                                         std::shared_ptr<const platform::Object> credential,
                                                         const std::string& email);
  static ErrorPtr weakPasswordErrorWithServerResponseReason(const std::string& reason = {});
  static ErrorPtr appNotAuthorizedError();
  static ErrorPtr expiredActionCodeErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidActionCodeErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidMessagePayloadErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidSenderErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidRecipientEmailErrorWithMessage(const std::string& message = {});
  static ErrorPtr missingEmailErrorWithMessage(const std::string& message = {});
  static ErrorPtr missingIosBundleIDErrorWithMessage(const std::string& message = {});
  static ErrorPtr missingAndroidPackageNameErrorWithMessage(const std::string& message = {});
  static ErrorPtr unauthorizedDomainErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidContinueURIErrorWithMessage(const std::string& message = {});
  static ErrorPtr missingContinueURIErrorWithMessage(const std::string& message = {});
  static ErrorPtr missingPhoneNumberErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidPhoneNumberErrorWithMessage(const std::string& message = {});
  static ErrorPtr missingVerificationCodeErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidVerificationCodeErrorWithMessage(const std::string& message = {});
  static ErrorPtr missingVerificationIDErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidVerificationIDErrorWithMessage(const std::string& message = {});
  static ErrorPtr missingAppCredentialWithMessage(const std::string& message = {});
  static ErrorPtr invalidAppCredentialWithMessage(const std::string& message = {});
  static ErrorPtr sessionExpiredErrorWithMessage(const std::string& message = {});
  static ErrorPtr quotaExceededErrorWithMessage(const std::string& message = {});
  static ErrorPtr missingAppTokenErrorWithUnderlyingError(ErrorPtr underlyingError);
  static ErrorPtr notificationNotForwardedError();
  static ErrorPtr appNotVerifiedErrorWithMessage(const std::string& message = {});
  static ErrorPtr captchaCheckFailedErrorWithMessage(const std::string& message = {});
  static ErrorPtr webContextAlreadyPresentedErrorWithMessage(const std::string& message = {});
  static ErrorPtr webContextCancelledErrorWithMessage(const std::string& message = {});
  static ErrorPtr appVerificationUserInteractionFailureWithReason(const std::string& reason = {});
  static ErrorPtr webSignInUserInteractionFailureWithReason(const std::string& reason = {});
  // "auth/invalid-oauth-client-id", "auth/network-request-failed", "auth/internal-error"; else null.
  static ErrorPtr URLResponseErrorWithCode(const std::string& code, const std::string& message);
  static ErrorPtr localPlayerNotAuthenticatedError();
  static ErrorPtr nullUserErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidProviderIDErrorWithMessage(const std::string& message = {});
  static ErrorPtr invalidDynamicLinkDomainErrorWithMessage(const std::string& message = {});
  static ErrorPtr gameKitNotLinkedError();
  // function: the name of the keychain call, e.g. "SecItemAdd".
  static ErrorPtr keychainErrorWithFunction(const std::string& function, int64_t status);
  static ErrorPtr malformedJWTErrorWithToken(const std::string& token, ErrorPtr underlyingError);
};
