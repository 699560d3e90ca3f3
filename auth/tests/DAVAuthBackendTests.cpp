// The transport over a scripted issuer: reply handling and the server keyword table.
#include <gtest/gtest.h>

#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVDeleteAccountRequest.h"
#include "auth/DAVGetAccountInfoRequest.h"
#include "auth/DAVGetAccountInfoResponse.h"
#include "auth/DAVGetProjectConfigRequest.h"
#include "auth/DAVGetProjectConfigResponse.h"
#include "auth/DAVVerifyPasswordRequest.h"
#include "auth/DAVVerifyPasswordResponse.h"
#include "auth/DAVAuthCredential.h"
#include "auth/DAVAuthErrors.h"
#include "auth/DAVVerifyAssertionRequest.h"
#include "auth/DAVVerifyAssertionResponse.h"
#include "auth/tests/AuthTestSupport.h"
#include "platform/foundation/DamagedInput.h"

namespace {

using authtest::FakeBackendTest;
using platform::ErrorPtr;

DAVAuthRequestConfigurationPtr configuration() { return DAVAuthRequestConfiguration::initWithAPIKey("test-key"); }

class DAVAuthBackendTest : public FakeBackendTest {
 protected:
  ErrorPtr verifyPasswordError() {
    auto request = std::make_shared<DAVVerifyPasswordRequest>("a@b.c", "secret", configuration());
    auto [response, error] = authtest::call(&DAVAuthBackend::verifyPassword, request);
    EXPECT_EQ(response == nullptr, error != nullptr);
    return error;
  }
  ErrorPtr errorForServerMessage(const std::string& message) {
    issuer_->replyServerMessage(message);
    return verifyPasswordError();
  }
  static int64_t internalCode(const ErrorPtr& error) {
    if (!error || error->code() != 17999 || !error->underlyingError()) return -1;
    return error->underlyingError()->code();
  }
};

TEST_F(DAVAuthBackendTest, EveryServerKeywordMapsToItsCode) {
  const std::vector<std::pair<std::string, int64_t>> table = {
      {"USER_NOT_FOUND", 17011},        {"EMAIL_NOT_FOUND", 17011},
      {"INVALID_LOCAL_ID", 17011},      {"TOKEN_EXPIRED", 17021},
      {"TOO_MANY_ATTEMPTS_TRY_LATER", 17010}, {"INVALID_CUSTOM_TOKEN", 17000},
      {"CREDENTIAL_MISMATCH", 17002},   {"INVALID_IDP_RESPONSE", 17004},
      {"INVALID_PENDING_TOKEN", 17004}, {"USER_DISABLED", 17005},
      {"OPERATION_NOT_ALLOWED", 17006}, {"PASSWORD_LOGIN_DISABLED", 17006},
      {"EMAIL_EXISTS", 17007},          {"INVALID_EMAIL", 17008},
      {"INVALID_IDENTIFIER", 17008},    {"INVALID_PASSWORD", 17009},
      {"CREDENTIAL_TOO_OLD_LOGIN_AGAIN", 17014}, {"INVALID_ID_TOKEN", 17017},
      {"FEDERATED_USER_ID_ALREADY_LINKED", 17025}, {"WEAK_PASSWORD", 17026},
      {"EXPIRED_OOB_CODE", 17029},      {"INVALID_OOB_CODE", 17030},
      {"MISSING_EMAIL", 17034},         {"INVALID_SENDER", 17032},
      {"INVALID_MESSAGE_PAYLOAD", 17031}, {"INVALID_RECIPIENT_EMAIL", 17033},
      {"MISSING_IOS_BUNDLE_ID", 17036}, {"MISSING_ANDROID_PACKAGE_NAME", 17037},
      {"UNAUTHORIZED_DOMAIN", 17038},   {"INVALID_CONTINUE_URI", 17039},
      {"INVALID_PROVIDER_ID", 17071},   {"INVALID_DYNAMIC_LINK_DOMAIN", 17074},
      {"MISSING_CONTINUE_URI", 17040},  {"INVALID_PHONE_NUMBER", 17042},
      {"INVALID_SESSION_INFO", 17046},  {"INVALID_CODE", 17044},
      {"SESSION_EXPIRED", 17051},       {"MISSING_IOS_APP_TOKEN", 17053},
      {"MISSING_APP_CREDENTIAL", 17047}, {"INVALID_APP_CREDENTIAL", 17048},
      {"QUOTA_EXCEEDED", 17052},        {"APP_NOT_VERIFIED", 17055},
      {"MISSING_CLIENT_IDENTIFIER", 17055}, {"CAPTCHA_CHECK_FAILED", 17056},
  };
  for (const auto& [keyword, code] : table) {
    ErrorPtr error = errorForServerMessage(keyword);
    ASSERT_TRUE(error) << keyword;
    EXPECT_EQ(error->domain(), "DAVAuthErrorDomain") << keyword;
    EXPECT_EQ(error->code(), code) << keyword;
    // Without detail the default text stays, except where the whole server text is the message.
    const bool wholeText = keyword == "QUOTA_EXCEEDED" || keyword == "APP_NOT_VERIFIED" ||
                           keyword == "CAPTCHA_CHECK_FAILED" || keyword == "MISSING_CLIENT_IDENTIFIER";
    if (wholeText && keyword != "MISSING_CLIENT_IDENTIFIER") {
      EXPECT_EQ(error->localizedDescription(), keyword);
    } else if (!wholeText) {
      EXPECT_EQ(error->localizedDescription(), DAVAuthErrorUtils::defaultDescriptionForCode(code)) << keyword;
    }
  }
  // The application's four codes come with their default texts when the server adds no detail.
  EXPECT_EQ(errorForServerMessage("INVALID_PASSWORD")->localizedDescription(),
            "The password is invalid or the user does not have a password.");
  EXPECT_EQ(errorForServerMessage("EMAIL_NOT_FOUND")->localizedDescription(),
            "There is no user record corresponding to this identifier. The user may have been deleted.");
  EXPECT_EQ(errorForServerMessage("MISSING_CLIENT_IDENTIFIER")->localizedDescription().rfind("Missing app verification", 0),
            0u);
}

TEST_F(DAVAuthBackendTest, DetailAfterTheColonBecomesTheMessage) {
  ErrorPtr tooMany = errorForServerMessage("TOO_MANY_ATTEMPTS_TRY_LATER :  Try again in a minute.  ");
  EXPECT_EQ(tooMany->code(), 17010);
  EXPECT_EQ(tooMany->localizedDescription(), "Try again in a minute.");

  ErrorPtr quota = errorForServerMessage("QUOTA_EXCEEDED : Exceeded daily quota");
  EXPECT_EQ(quota->code(), 17052);
  EXPECT_EQ(quota->localizedDescription(), "QUOTA_EXCEEDED : Exceeded daily quota");

  ErrorPtr weak = errorForServerMessage("WEAK_PASSWORD : Password should be at least 6 characters");
  EXPECT_EQ(weak->code(), 17026);
  EXPECT_EQ(weak->localizedDescription(), "The password must be 6 characters long or more.");
  EXPECT_EQ(weak->localizedFailureReason(), "Password should be at least 6 characters");

  ErrorPtr exists = errorForServerMessage("EMAIL_EXISTS: someone");
  EXPECT_EQ(exists->localizedDescription(), "The email address is already in use by another account.");
  EXPECT_EQ(exists->userInfo().count("DAVAuthErrorUserInfoEmailKey"), 0u);
}

TEST_F(DAVAuthBackendTest, UnknownOrMalformedErrorRepliesBecomeInternalErrors) {
  // A keyword in the wrong case matches nothing and carries the "error" dictionary.
  ErrorPtr lower = errorForServerMessage("invalid_password");
  EXPECT_EQ(internalCode(lower), 3);
  const platform::Value* carried =
      &lower->underlyingError()->userInfo().at("DAVAuthErrorUserInfoDeserializedResponseKey");
  ASSERT_TRUE(carried->asDictionary());
  EXPECT_EQ(*carried->find("message")->asString(), "invalid_password");

  // "errors" reasons decide when the keyword is unknown.
  issuer_->replyHTTPError(R"({"error":{"message":"BAD","errors":[7,{"reason":"keyInvalid.x"}]}})");
  EXPECT_EQ(verifyPasswordError()->code(), 17023);
  issuer_->replyHTTPError(R"({"error":{"message":"BAD","errors":[{"reason":"ipRefererBlocked"}]}})");
  EXPECT_EQ(verifyPasswordError()->code(), 17028);
  issuer_->replyHTTPError(R"({"error":{"message":"BAD","errors":[{"reason":"ipRefererBlockedToo"}]}})");
  EXPECT_EQ(internalCode(verifyPasswordError()), 3);

  // A message of another type, or no "error" object at all.
  issuer_->replyHTTPError(R"({"error":{"message":42}})");
  EXPECT_EQ(internalCode(verifyPasswordError()), 3);
  issuer_->replyHTTPError(R"({"error":"INVALID_PASSWORD"})");
  ErrorPtr whole = verifyPasswordError();
  EXPECT_EQ(internalCode(whole), 3);
  EXPECT_TRUE(whole->underlyingError()->userInfo().at("DAVAuthErrorUserInfoDeserializedResponseKey").find("error"));

  // An error status whose body is no JSON carries the raw data; an array reply is unexpected.
  issuer_->replyHTTPError("<html>bad gateway</html>", 502);
  ErrorPtr html = verifyPasswordError();
  EXPECT_EQ(internalCode(html), 3);
  EXPECT_EQ(*html->underlyingError()->userInfo().at("DAVAuthErrorUserInfoDataKey").asData(), "<html>bad gateway</html>");
  issuer_->replyHTTPError("[1,2]", 500);
  EXPECT_EQ(internalCode(verifyPasswordError()), 3);

  // A success status with a reply that is not an object is never a success.
  issuer_->replyOK("[1]");
  EXPECT_EQ(internalCode(verifyPasswordError()), 4);
  issuer_->replyOK("\"text\"");
  EXPECT_EQ(internalCode(verifyPasswordError()), 4);
  issuer_->replyOK("not json");
  ErrorPtr garbage = verifyPasswordError();
  EXPECT_EQ(internalCode(garbage), 4);
  EXPECT_EQ(*garbage->underlyingError()->userInfo().at("DAVAuthErrorUserInfoDataKey").asData(), "not json");
}

// A reply nested far deeper than any real one (about 40 KB of brackets) is malformed, in a success
// body and in an error body alike, and the client survives it.
TEST_F(DAVAuthBackendTest, DeeplyNestedRepliesAreMalformed) {
  const std::string deep = std::string(20000, '[') + std::string(20000, ']');
  issuer_->replyOK("{\"localId\":" + deep + "}");
  ErrorPtr success = verifyPasswordError();
  EXPECT_EQ(internalCode(success), 4);
  issuer_->replyHTTPError("{\"error\":{\"message\":" + deep + "}}");
  EXPECT_EQ(internalCode(verifyPasswordError()), 3);
  // Brackets inside strings do not count; nesting up to the bound still decodes.
  const size_t inner = platform::kMaxJSONNesting - 2;  // inside the two outer objects
  const std::string fine = std::string(inner, '[') + std::string(inner, ']');
  issuer_->replyHTTPError("{\"error\":{\"message\":\"" + deep + "\",\"x\":" + fine + "}}");
  ErrorPtr carried = verifyPasswordError();
  EXPECT_EQ(internalCode(carried), 3);
  ASSERT_TRUE(carried && carried->underlyingError());
  EXPECT_TRUE(carried->underlyingError()->userInfo().count("DAVAuthErrorUserInfoDeserializedResponseKey"));
}

TEST_F(DAVAuthBackendTest, TransferFailureIsANetworkError) {
  issuer_->replyTransferFailure();
  ErrorPtr error = verifyPasswordError();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 17020);
  ASSERT_TRUE(error->underlyingError());
  EXPECT_EQ(error->underlyingError()->code(), -1004);
}

TEST_F(DAVAuthBackendTest, DecodingFailureWrapsTheResponseError) {
  issuer_->replyOK(R"({"users":[{"localId":"a"},{"localId":"b"}]})");
  auto [response, error] = authtest::call(&DAVAuthBackend::getAccountInfo,
                                          std::make_shared<DAVGetAccountInfoRequest>("token", configuration()));
  EXPECT_FALSE(response);
  EXPECT_EQ(internalCode(error), 5);
  ASSERT_TRUE(error->underlyingError()->underlyingError());
  EXPECT_EQ(error->underlyingError()->underlyingError()->code(), 17999);
}

TEST_F(DAVAuthBackendTest, SuccessFillsTheResponseOnTheWorkQueue) {
  issuer_->replyOK(R"({"localId":"u1","idToken":"t","refreshToken":"r","expiresIn":"3600"})");
  std::promise<std::string> label;
  auto future = label.get_future();
  DAVAuthBackend::verifyPassword(std::make_shared<DAVVerifyPasswordRequest>("a@b.c", "pw", configuration()),
                                 [&label](std::shared_ptr<DAVVerifyPasswordResponse> response, ErrorPtr error) {
                                   label.set_value(error ? "error" : *response->localID());
                                 });
  EXPECT_EQ(authtest::waitFor(future), "u1");
  auto sent = issuer_->sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].contentType, "application/json");
  EXPECT_EQ(sent[0].URL,
            "https://identityservice.davedoveapis.com/identityservice/v3/relyingparty/verifyPassword?key=test-key");
}

TEST_F(DAVAuthBackendTest, RequestsWithoutBodyOrWithUnusableBodies) {
  authtest::call(&DAVAuthBackend::getProjectConfig, std::make_shared<DAVGetProjectConfigRequest>(configuration()));
  ASSERT_EQ(issuer_->sent().size(), 1u);
  EXPECT_FALSE(issuer_->sent()[0].body.has_value());

  // A body that is not a JSON object, or that cannot be serialised, never reaches the issuer.
  struct ArrayBody : DAVGetProjectConfigRequest {
    using DAVGetProjectConfigRequest::DAVGetProjectConfigRequest;
    bool containsPostBody() const override { return true; }
    std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(ErrorPtr*) const override {
      return nlohmann::json::array();
    }
  };
  struct BadUTF8Body : ArrayBody {
    using ArrayBody::ArrayBody;
    std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(ErrorPtr*) const override {
      return nlohmann::json{{"email", std::string("\xff\xfe")}};
    }
  };
  struct NoBody : ArrayBody {
    using ArrayBody::ArrayBody;
    std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(ErrorPtr* error) const override {
      *error = platform::makeError("test", 9);
      return std::nullopt;
    }
  };
  auto implementation = std::dynamic_pointer_cast<DAVAuthBackendRPCImplementation>(DAVAuthBackend::implementation());
  ASSERT_TRUE(implementation);
  auto post = [&](std::shared_ptr<DAVAuthRPCRequest> request) {
    std::promise<ErrorPtr> promise;
    auto future = promise.get_future();
    implementation->postWithRequest(request, std::make_shared<DAVGetProjectConfigResponse>(),
                                    [&promise](ErrorPtr error) { promise.set_value(error); });
    return authtest::waitFor(future);
  };
  EXPECT_EQ(internalCode(post(std::make_shared<ArrayBody>(configuration()))), 2);
  ErrorPtr serialisation = post(std::make_shared<BadUTF8Body>(configuration()));
  EXPECT_EQ(internalCode(serialisation), 2);
  EXPECT_TRUE(serialisation->underlyingError()->underlyingError());
  ErrorPtr encoding = post(std::make_shared<NoBody>(configuration()));
  EXPECT_EQ(internalCode(encoding), 1);
  EXPECT_EQ(encoding->underlyingError()->underlyingError()->code(), 9);
  EXPECT_EQ(issuer_->sent().size(), 1u);
}

TEST_F(DAVAuthBackendTest, DeleteAccountReportsOnlyAnError) {
  issuer_->replyServerMessage("USER_NOT_FOUND");
  std::promise<ErrorPtr> promise;
  auto future = promise.get_future();
  DAVAuthBackend::deleteAccount(std::make_shared<DAVDeleteAccountRequest>("uid", "token", configuration()),
                                [&promise](ErrorPtr error) { promise.set_value(error); });
  ErrorPtr error = authtest::waitFor(future);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 17011);
}

TEST(DAVAuthBackendFacade, ReplacingTheImplementation) {
  auto first = DAVAuthBackend::implementation();
  EXPECT_EQ(first, DAVAuthBackend::implementation());
  auto rpc = std::dynamic_pointer_cast<DAVAuthBackendRPCImplementation>(first);
  ASSERT_TRUE(rpc);
  EXPECT_TRUE(std::dynamic_pointer_cast<DAVAuthBackendRPCIssuerImplementation>(rpc->RPCIssuer()));

  DAVAuthBackend::setDefaultBackendImplementationWithRPCIssuer(nullptr);
  auto second = std::dynamic_pointer_cast<DAVAuthBackendRPCImplementation>(DAVAuthBackend::implementation());
  ASSERT_TRUE(second);
  EXPECT_NE(second, rpc);
  EXPECT_TRUE(second->RPCIssuer());
  DAVAuthBackend::setBackendImplementation(nullptr);

  EXPECT_EQ(DAVAuthBackend::authUserAgent().rfind("DavedoveAuth.iOS/5.4.2 ", 0), 0u);
}

TEST_F(DAVAuthBackendTest, AFederatedSignInRefusedInASuccessfulReplyIsAnError) {
  auto assertion = [](bool returnIDPCredential) {
    auto request = std::make_shared<DAVVerifyAssertionRequest>("oidc.example", configuration());
    request->setProviderAccessToken(std::string("provider-access"));
    request->setReturnIDPCredential(returnIDPCredential);
    return authtest::call(&DAVAuthBackend::verifyAssertion, request);
  };
  const std::string linkedElsewhere = R"({"errorMessage":"FEDERATED_USER_ID_ALREADY_LINKED : taken","providerId":"oidc.example",
      "oauthAccessToken":"provider-access","pendingToken":"pt","email":"fay@example.com"})";
  issuer_->replyOK(linkedElsewhere);
  auto [none, error] = assertion(true);
  EXPECT_EQ(none, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), DAVAuthErrorCodeCredentialAlreadyInUse);
  EXPECT_EQ(*error->userInfo().at(kDAVAuthErrorUserInfoEmailKey).asString(), "fay@example.com");
  auto credential = std::dynamic_pointer_cast<const DAVOAuthCredential>(
      error->userInfo().at(kDAVAuthErrorUserInfoUpdatedCredentialKey).asObject());
  ASSERT_NE(credential, nullptr);
  EXPECT_EQ(credential->provider(), "oidc.example");
  EXPECT_EQ(credential->accessToken(), std::optional<std::string>("provider-access"));
  EXPECT_EQ(credential->IDToken(), std::nullopt);
  EXPECT_EQ(credential->pendingToken(), std::optional<std::string>("pt"));

  // Without the provider's tokens there is no credential to hand back; the e-mail still comes.
  issuer_->replyOK(R"({"errorMessage":"FEDERATED_USER_ID_ALREADY_LINKED","email":"fay@example.com"})");
  auto [none2, bare] = assertion(true);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->code(), DAVAuthErrorCodeCredentialAlreadyInUse);
  EXPECT_FALSE(bare->userInfo().count(kDAVAuthErrorUserInfoUpdatedCredentialKey));

  // Not asked for the credential, or a message the table does not know: the reply is a success.
  issuer_->replyOK(linkedElsewhere);
  auto [ignored, ignoredError] = assertion(false);
  EXPECT_EQ(ignoredError, nullptr);
  ASSERT_NE(ignored, nullptr);
  EXPECT_EQ(ignored->email(), std::optional<std::string>("fay@example.com"));
  issuer_->replyOK(R"({"errorMessage":"SOMETHING_NEW","providerId":"oidc.example"})");
  EXPECT_EQ(assertion(true).second, nullptr);

  // Other replies with that keyword carry neither credential nor e-mail.
  issuer_->replyServerMessage("FEDERATED_USER_ID_ALREADY_LINKED : detail text");
  auto other = verifyPasswordError();
  EXPECT_EQ(other->code(), DAVAuthErrorCodeCredentialAlreadyInUse);
  EXPECT_EQ(other->localizedDescription(), "detail text");
}

}  // namespace
