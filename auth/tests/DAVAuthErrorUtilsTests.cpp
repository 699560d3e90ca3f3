#include <gtest/gtest.h>

#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVAuthExceptionUtils.h"
#include "platform/foundation/Exception.h"

namespace {

using platform::ErrorPtr;

std::string stringInfo(const ErrorPtr& error, const std::string& key) {
  auto it = error->userInfo().find(key);
  if (it == error->userInfo().end()) return "<absent>";
  const std::string* text = it->second.asString();
  return text ? *text : "<not a string>";
}

bool hasInfo(const ErrorPtr& error, const std::string& key) { return error->userInfo().count(key) > 0; }

void expectPublic(const ErrorPtr& error, int64_t code, const std::string& name, const std::string& description) {
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "DAVAuthErrorDomain");
  EXPECT_EQ(error->code(), code);
  EXPECT_EQ(stringInfo(error, "error_name"), name);
  EXPECT_EQ(stringInfo(error, "DAVAuthErrorUserInfoNameKey"), name);
  EXPECT_EQ(error->localizedDescription(), description);
}

TEST(DAVAuthErrorUtils, CodesTheApplicationTestsCarryTheirNamesAndDefaultTexts) {
  expectPublic(DAVAuthErrorUtils::wrongPasswordErrorWithMessage(), 17009, "ERROR_WRONG_PASSWORD",
               "The password is invalid or the user does not have a password.");
  expectPublic(DAVAuthErrorUtils::wrongPasswordErrorWithMessage(""), 17009, "ERROR_WRONG_PASSWORD",
               "The password is invalid or the user does not have a password.");
  expectPublic(DAVAuthErrorUtils::invalidEmailErrorWithMessage(), 17008, "ERROR_INVALID_EMAIL",
               "The email address is badly formatted.");
  expectPublic(DAVAuthErrorUtils::userNotFoundErrorWithMessage(), 17011, "ERROR_USER_NOT_FOUND",
               "There is no user record corresponding to this identifier. The user may have been deleted.");
  expectPublic(DAVAuthErrorUtils::missingEmailErrorWithMessage(), 17034, "ERROR_MISSING_EMAIL",
               "An email address must be provided.");
  expectPublic(DAVAuthErrorUtils::userDisabledErrorWithMessage(), 17005, "ERROR_USER_DISABLED",
               "The user account has been disabled by an administrator.");
  expectPublic(DAVAuthErrorUtils::invalidUserTokenErrorWithMessage(), 17017, "ERROR_INVALID_USER_TOKEN",
               "This user's credential isn't valid for this project. This can happen if the user's token has been "
               "tampered with, or if the user doesn\u2019t belong to the project associated with the API key used "
               "in your request.");
  expectPublic(DAVAuthErrorUtils::userTokenExpiredErrorWithMessage(), 17021, "ERROR_USER_TOKEN_EXPIRED",
               "The user's credential is no longer valid. The user must sign in again.");
  expectPublic(DAVAuthErrorUtils::networkErrorWithUnderlyingError(nullptr), 17020, "ERROR_NETWORK_REQUEST_FAILED",
               "Network error (such as timeout, interrupted connection or unreachable host) has occurred.");
  expectPublic(DAVAuthErrorUtils::nullUserErrorWithMessage(), 17067, "ERROR_NULL_USER",
               "A null user object was provided as the argument for an operation which requires a non-null user "
               "object.");
  // Three codes share the invalid-action-code text.
  const std::string actionCode =
      "The action code is invalid. This can happen if the code is malformed, expired, or has already been used.";
  expectPublic(DAVAuthErrorUtils::invalidActionCodeErrorWithMessage(), 17030, "ERROR_INVALID_ACTION_CODE", actionCode);
  expectPublic(DAVAuthErrorUtils::invalidMessagePayloadErrorWithMessage(), 17031, "ERROR_INVALID_MESSAGE_PAYLOAD",
               actionCode);
  expectPublic(DAVAuthErrorUtils::invalidRecipientEmailErrorWithMessage(), 17033, "ERROR_INVALID_RECIPIENT_EMAIL",
               actionCode);
  // Two app-credential names carry no "ERROR_" prefix.
  EXPECT_EQ(stringInfo(DAVAuthErrorUtils::missingAppCredentialWithMessage(), "error_name"), "MISSING_APP_CREDENTIAL");
  EXPECT_EQ(stringInfo(DAVAuthErrorUtils::invalidAppCredentialWithMessage(), "error_name"), "INVALID_APP_CREDENTIAL");
  // Every default description of the public factories is filled.
  for (ErrorPtr e : {DAVAuthErrorUtils::missingPhoneNumberErrorWithMessage(), DAVAuthErrorUtils::quotaExceededErrorWithMessage(),
                     DAVAuthErrorUtils::notificationNotForwardedError(), DAVAuthErrorUtils::webContextCancelledErrorWithMessage(),
                     DAVAuthErrorUtils::gameKitNotLinkedError(), DAVAuthErrorUtils::providerAlreadyLinkedError()})
    EXPECT_EQ(e->localizedDescription().find("The operation couldn't be completed"), std::string::npos) << e->code();
}

TEST(DAVAuthErrorUtils, CallerTextsWinOverDefaultsButNamesAreAlwaysTheCodes) {
  ErrorPtr withMessage = DAVAuthErrorUtils::tooManyRequestsErrorWithMessage("slow down");
  EXPECT_EQ(withMessage->code(), 17010);
  EXPECT_EQ(withMessage->localizedDescription(), "slow down");

  ErrorPtr custom = DAVAuthErrorUtils::errorWithCode(
      DAVAuthErrorCodeUserMismatch | kDAVAuthPublicErrorCodeFlag,
      platform::Dictionary{{"NSLocalizedDescription", "mine"}, {"error_name", "FAKE"}, {"extra", 1}});
  expectPublic(custom, 17024, "ERROR_USER_MISMATCH", "mine");
  EXPECT_TRUE(hasInfo(custom, "extra"));
}

TEST(DAVAuthErrorUtils, InternalCodesComeBackWrappedAsInternalError) {
  platform::Value reply(platform::Dictionary{{"users", platform::Array{}}});
  ErrorPtr error = DAVAuthErrorUtils::unexpectedResponseWithDeserializedResponse(reply);
  expectPublic(error, 17999, "ERROR_INTERNAL_ERROR",
               "An internal error has occurred, print and inspect the error details for more information.");
  ErrorPtr internal = error->underlyingError();
  ASSERT_TRUE(internal);
  EXPECT_EQ(internal->domain(), "DAVAuthInternalErrorDomain");
  EXPECT_EQ(internal->code(), 4);
  EXPECT_EQ(internal->userInfo().at("DAVAuthErrorUserInfoDeserializedResponseKey"), reply);

  ErrorPtr dataError = DAVAuthErrorUtils::unexpectedErrorResponseWithData(std::string("<html>"),
                                                                          platform::makeError("x", 500));
  ASSERT_TRUE(dataError->underlyingError());
  EXPECT_EQ(dataError->underlyingError()->code(), 3);
  EXPECT_EQ(*dataError->underlyingError()->userInfo().at("DAVAuthErrorUserInfoDataKey").asData(), "<html>");
  ASSERT_TRUE(dataError->underlyingError()->underlyingError());
  EXPECT_EQ(dataError->underlyingError()->underlyingError()->code(), 500);

  EXPECT_EQ(DAVAuthErrorUtils::RPCRequestEncodingErrorWithUnderlyingError(nullptr)->underlyingError()->code(), 1);
  EXPECT_EQ(DAVAuthErrorUtils::JSONSerializationErrorForUnencodableType()->underlyingError()->code(), 2);
  EXPECT_EQ(DAVAuthErrorUtils::RPCResponseDecodingErrorWithDeserializedResponse(reply, nullptr)
                ->underlyingError()
                ->code(),
            5);
}

TEST(DAVAuthErrorUtils, CredentialAlreadyInUseKeepsEitherTheDetailsOrTheMessage) {
  ErrorPtr messageOnly = DAVAuthErrorUtils::credentialAlreadyInUseErrorWithMessage("linked elsewhere", nullptr, "");
  EXPECT_EQ(messageOnly->code(), 17025);
  EXPECT_EQ(messageOnly->localizedDescription(), "linked elsewhere");

  ErrorPtr emailOnly = DAVAuthErrorUtils::credentialAlreadyInUseErrorWithMessage("linked elsewhere", nullptr, "a@b.c");
  EXPECT_EQ(emailOnly->localizedDescription(), "This credential is already associated with a different user account.");
  EXPECT_EQ(stringInfo(emailOnly, "DAVAuthErrorUserInfoEmailKey"), "a@b.c");

  auto credential = std::make_shared<platform::Object>();
  ErrorPtr withCredential = DAVAuthErrorUtils::credentialAlreadyInUseErrorWithMessage("m", credential, "");
  EXPECT_EQ(withCredential->userInfo().at("DAVAuthErrorUserInfoUpdatedCredentialKey").asObject(), credential);
  EXPECT_EQ(withCredential->userInfo().at("DAVAuthUpdatedCredentialKey").asObject(), credential);
  EXPECT_FALSE(hasInfo(withCredential, "DAVAuthErrorUserInfoEmailKey"));
}

TEST(DAVAuthErrorUtils, ReasonEmailAndTokenFactoriesFillTheirKeys) {
  ErrorPtr weak = DAVAuthErrorUtils::weakPasswordErrorWithServerResponseReason("Password should be at least 6 characters");
  EXPECT_EQ(weak->code(), 17026);
  EXPECT_EQ(weak->localizedDescription(), "The password must be 6 characters long or more.");
  EXPECT_EQ(weak->localizedFailureReason(), "Password should be at least 6 characters");
  EXPECT_FALSE(hasInfo(DAVAuthErrorUtils::weakPasswordErrorWithServerResponseReason(), "NSLocalizedFailureReason"));

  EXPECT_EQ(stringInfo(DAVAuthErrorUtils::emailAlreadyInUseErrorWithEmail("x@y.z"), "DAVAuthErrorUserInfoEmailKey"),
            "x@y.z");
  EXPECT_FALSE(hasInfo(DAVAuthErrorUtils::emailAlreadyInUseErrorWithEmail(""), "DAVAuthErrorUserInfoEmailKey"));
  EXPECT_EQ(DAVAuthErrorUtils::accountExistsWithDifferentCredentialErrorWithEmail("x@y.z")->code(), 17012);

  ErrorPtr keychain = DAVAuthErrorUtils::keychainErrorWithFunction("SecItemAdd", -25299);
  EXPECT_EQ(keychain->code(), 17995);
  EXPECT_EQ(keychain->localizedFailureReason(), "SecItemAdd (-25299)");

  ErrorPtr jwt = DAVAuthErrorUtils::malformedJWTErrorWithToken("a.b", nullptr);
  expectPublic(jwt, 18000, "ERROR_MALFORMED_JWT",
               "Failed to parse JWT. Check the userInfo dictionary for the full token.");
  EXPECT_EQ(stringInfo(jwt, "DAVAuthErrorUserInfoDataKey"), "a.b");
  EXPECT_FALSE(jwt->underlyingError());
}

TEST(DAVAuthErrorUtils, WebFlowCodeTextsMapOrGiveNothing) {
  EXPECT_EQ(DAVAuthErrorUtils::URLResponseErrorWithCode("auth/invalid-oauth-client-id", "m")->code(), 17060);
  EXPECT_EQ(DAVAuthErrorUtils::URLResponseErrorWithCode("auth/network-request-failed", "m")->code(), 17061);
  ErrorPtr internal = DAVAuthErrorUtils::URLResponseErrorWithCode("auth/internal-error", "broken");
  EXPECT_EQ(internal->code(), 17062);
  EXPECT_EQ(internal->localizedDescription(), "broken");
  EXPECT_EQ(DAVAuthErrorUtils::URLResponseErrorWithCode("auth/other", "m"), nullptr);
}

TEST(DAVAuthExceptionUtils, RaisesTheNamedExceptionsWithTheReasonAsText) {
  try {
    DAVAuthExceptionUtils::raiseInvalidParameterExceptionWithReason("100% wrong %@");
    FAIL();
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "NSInvalidArgumentException");
    EXPECT_EQ(e.reason(), "100% wrong %@");
  }
  try {
    DAVAuthExceptionUtils::raiseMethodNotImplementedExceptionWithReason("use the factory");
    FAIL();
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "DAVMethodNotImplementedException");
    EXPECT_EQ(e.reason(), "use the factory");
    EXPECT_TRUE(e.userInfo().empty());
  }
}

}  // namespace
