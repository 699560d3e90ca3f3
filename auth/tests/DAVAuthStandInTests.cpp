// The client against the identity-service stand-in on loopback: exact requests, error keywords,
// the token exchange, and no secrets in the log.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "auth/DAVAuthJSON.h"
#include "auth/DAVGetAccountInfoRequest.h"
#include "auth/DAVGetAccountInfoResponse.h"
#include "auth/DAVGetOOBConfirmationCodeRequest.h"
#include "auth/DAVGetOOBConfirmationCodeResponse.h"
#include "auth/DAVSecureTokenService.h"
#include "auth/DAVSetAccountInfoRequest.h"
#include "auth/DAVSetAccountInfoResponse.h"
#include "auth/DAVSignUpNewUserRequest.h"
#include "auth/DAVSignUpNewUserResponse.h"
#include "auth/DAVVerifyPasswordRequest.h"
#include "auth/DAVVerifyPasswordResponse.h"
#include "auth/tests/AuthTestSupport.h"
#include "backend/src/TestBackend.h"
#include "platform/net/URLRequest.h"
#include "sdk-core/DAVLogger.h"
#include "sdk-core/DAVOptions.h"

namespace {

using nlohmann::json;
using platform::ErrorPtr;

constexpr const char kAPIKey[] = "test-api-key";
constexpr const char kBundleID[] = "mac.com.trennelwick.vorellin.authtests";
constexpr const char kAnnEmail[] = "ann@example.test";
constexpr const char kAnnPassword[] = "correct horse battery";

int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class DAVAuthStandInTest : public ::testing::Test {
 protected:
  DAVAuthStandInTest()
      : bundle_(kBundleID, "en"),
        backend_({{"uid-ann", kAnnEmail, kAnnPassword, "Ann", "", false, true},
                  {"uid-bob", "bob@example.test", "bob password", "Bob", "", true, false}},
                 {kAPIKey}) {}

  void SetUp() override {
    waitUntilServing();
    platform::net::setAllowsInsecureLoopbackHTTP(true);
    DAVAuthBackend::setBackendImplementation(nullptr);  // a fresh default implementation
    DAVOptions options;
    options.setOptionsDictionary({{"API_KEY", kAPIKey},
                                  {"IDENTITY_SERVICE_URL", backend_.baseURL()},
                                  {"SECURE_TOKEN_SERVICE_URL", backend_.baseURL()}});
    config_ = DAVAuthRequestConfiguration::initWithOptions(options);
  }
  void TearDown() override {
    DAVAuthBackend::setBackendImplementation(nullptr);
    platform::net::setAllowsInsecureLoopbackHTTP(false);
  }

  // The stand-in must be accepting before a test may end (stopping it earlier can hang).
  void waitUntilServing() {
    for (int attempt = 0; attempt < 200; ++attempt) {
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(backend_.port());
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      ::close(fd);
      if (connected) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the stand-in does not accept connections";
  }

  std::pair<std::shared_ptr<DAVVerifyPasswordResponse>, ErrorPtr> signIn(const std::string& email,
                                                                         const std::string& password) {
    return authtest::call(&DAVAuthBackend::verifyPassword,
                          std::make_shared<DAVVerifyPasswordRequest>(email, password, config_));
  }
  int64_t signInError(const std::string& email, const std::string& password) {
    auto [response, error] = signIn(email, password);
    EXPECT_FALSE(response);
    return error ? error->code() : 0;
  }
  int64_t accountInfoError(const std::string& token) {
    auto [response, error] = authtest::call(&DAVAuthBackend::getAccountInfo,
                                            std::make_shared<DAVGetAccountInfoRequest>(token, config_));
    EXPECT_FALSE(response);
    return error ? error->code() : 0;
  }
  backend::RecordedRequest lastRequest(const std::string& call) {
    auto recorded = backend_.requestsForPath(call == "token" ? "/v1/token" : "/identityservice/v3/relyingparty/" + call);
    EXPECT_FALSE(recorded.empty()) << call;
    return recorded.empty() ? backend::RecordedRequest{} : recorded.back();
  }

  authtest::ScopedTestBundle bundle_;
  backend::TestBackend backend_;
  DAVAuthRequestConfigurationPtr config_;
};

TEST_F(DAVAuthStandInTest, SignInThenAccountInfoSendExactlyTheExpectedRequests) {
  config_->setLanguageCode("de");
  auto [signedIn, error] = signIn(kAnnEmail, kAnnPassword);
  ASSERT_FALSE(error) << error->description();
  ASSERT_TRUE(signedIn->IDToken());
  EXPECT_EQ(signedIn->localID(), "uid-ann");
  EXPECT_EQ(signedIn->email(), kAnnEmail);
  ASSERT_TRUE(signedIn->approximateExpirationDate());
  EXPECT_NEAR(signedIn->approximateExpirationDate()->secondsSince1970 - nowSeconds(), 3600, 5);

  backend::RecordedRequest sent = lastRequest("verifyPassword");
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.query, (std::map<std::string, std::string>{{"key", kAPIKey}}));
  EXPECT_EQ(sent.header("Content-Type"), "application/json");
  EXPECT_EQ(sent.header("X-Client-Version"), "iOS/DavedoveSDK/5.4.2/DavedoveCore-iOS");
  EXPECT_EQ(sent.header("X-Ios-Bundle-Identifier"), kBundleID);
  EXPECT_EQ(sent.header("Accept-Language"), "en");
  EXPECT_EQ(sent.header("X-Davedove-Locale"), "de");
  EXPECT_EQ(sent.header("User-Agent").value_or("").rfind("DavedoveAuth.iOS/5.4.2 ", 0), 0u);
  EXPECT_EQ(sent.json, json({{"email", kAnnEmail}, {"password", kAnnPassword}, {"returnSecureToken", true}}));
  EXPECT_EQ(sent.body, sent.json.dump());  // compact

  auto [account, accountError] = authtest::call(
      &DAVAuthBackend::getAccountInfo, std::make_shared<DAVGetAccountInfoRequest>(*signedIn->IDToken(), config_));
  ASSERT_FALSE(accountError) << accountError->description();
  ASSERT_EQ(account->users().size(), 1u);
  const auto& user = *account->users()[0];
  EXPECT_EQ(user.localID(), "uid-ann");
  EXPECT_EQ(user.email(), kAnnEmail);
  EXPECT_EQ(user.displayName(), "Ann");
  EXPECT_TRUE(user.emailVerified());
  EXPECT_TRUE(user.passwordHash().has_value() && !user.passwordHash()->empty());
  EXPECT_TRUE(user.creationDate());
  EXPECT_EQ(lastRequest("getAccountInfo").json, json({{"idToken", *signedIn->IDToken()}}));

  // With a framework marker and no language code.
  config_->setLanguageCode(std::nullopt);
  config_->setAdditionalFrameworkMarker("VorellinUI");
  auto setRequest = std::make_shared<DAVSetAccountInfoRequest>(config_);
  setRequest->setAccessToken(*signedIn->IDToken());
  setRequest->setDisplayName("Ann B.");
  auto [updated, updateError] = authtest::call(&DAVAuthBackend::setAccountInfo, setRequest);
  ASSERT_FALSE(updateError) << updateError->description();
  EXPECT_EQ(updated->displayName(), "Ann B.");
  backend::RecordedRequest update = lastRequest("setAccountInfo");
  EXPECT_EQ(update.json,
            json({{"idToken", *signedIn->IDToken()}, {"displayName", "Ann B."}, {"returnSecureToken", true}}));
  EXPECT_EQ(update.header("X-Client-Version"), "iOS/DavedoveSDK/5.4.2/VorellinUI");
  EXPECT_FALSE(update.header("X-Davedove-Locale"));
  EXPECT_EQ(backend_.identity().userByID("uid-ann")->displayName, "Ann B.");
}

TEST_F(DAVAuthStandInTest, SignUpAndPasswordResetRequests) {
  auto [created, error] = authtest::call(
      &DAVAuthBackend::signUpNewUser,
      std::make_shared<DAVSignUpNewUserRequest>("new@example.test", "a fine password", std::nullopt, config_));
  ASSERT_FALSE(error) << error->description();
  EXPECT_TRUE(created->IDToken());
  EXPECT_TRUE(created->refreshToken());
  EXPECT_EQ(lastRequest("signupNewUser").json,
            json({{"email", "new@example.test"}, {"password", "a fine password"}, {"returnSecureToken", true}}));
  EXPECT_TRUE(backend_.identity().userByEmail("new@example.test"));

  auto again = authtest::call(&DAVAuthBackend::signUpNewUser,
                              std::make_shared<DAVSignUpNewUserRequest>("new@example.test", "another password",
                                                                        std::nullopt, config_));
  ASSERT_TRUE(again.second);
  EXPECT_EQ(again.second->code(), 17007);
  auto weak = authtest::call(&DAVAuthBackend::signUpNewUser,
                             std::make_shared<DAVSignUpNewUserRequest>("w@example.test", "123", std::nullopt, config_));
  ASSERT_TRUE(weak.second);
  EXPECT_EQ(weak.second->code(), 17026);
  EXPECT_FALSE(weak.second->localizedFailureReason().empty());

  auto reset = DAVGetOOBConfirmationCodeRequest::passwordResetRequestWithEmail(kAnnEmail, nullptr, config_);
  auto [mailed, resetError] = authtest::call(&DAVAuthBackend::getOOBConfirmationCode, reset);
  ASSERT_FALSE(resetError) << resetError->description();
  EXPECT_EQ(lastRequest("getOobConfirmationCode").json, json({{"requestType", "PASSWORD_RESET"}, {"email", kAnnEmail}}));
  auto mails = backend_.identity().sentMails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].email, kAnnEmail);
  EXPECT_EQ(mails[0].requestType, "PASSWORD_RESET");

  auto unknown = authtest::call(&DAVAuthBackend::getOOBConfirmationCode,
                                DAVGetOOBConfirmationCodeRequest::passwordResetRequestWithEmail("nobody@example.test",
                                                                                               nullptr, config_));
  EXPECT_EQ(unknown.second->code(), 17011);
}

TEST_F(DAVAuthStandInTest, ServerKeywordsArriveAsTheirCodes) {
  EXPECT_EQ(signInError(kAnnEmail, "wrong password"), 17009);
  EXPECT_EQ(signInError("nobody@example.test", "whatever"), 17011);
  EXPECT_EQ(signInError("not an e-mail", "whatever"), 17008);
  EXPECT_EQ(signInError("", "whatever"), 17034);
  EXPECT_EQ(signInError("bob@example.test", "bob password"), 17005);

  EXPECT_EQ(accountInfoError("not.a.token"), 17017);
  std::string expired = backend_.identity().mintIDToken("uid-ann", nowSeconds() - 7200, 3600);
  ASSERT_FALSE(expired.empty());
  EXPECT_EQ(accountInfoError(expired), 17021);

  auto [signedIn, error] = signIn(kAnnEmail, kAnnPassword);
  ASSERT_FALSE(error);
  backend_.identity().deleteUser("uid-ann");
  EXPECT_EQ(accountInfoError(*signedIn->IDToken()), 17011);
}

TEST_F(DAVAuthStandInTest, TokenExchangeRefreshesAndFailsAfterRevocation) {
  auto [signedIn, error] = signIn(kAnnEmail, kAnnPassword);
  ASSERT_FALSE(error);
  auto service = std::make_shared<DAVSecureTokenService>(config_, signedIn->IDToken(),
                                                         signedIn->approximateExpirationDate(),
                                                         signedIn->refreshToken());
  auto fetch = [&](bool force) {
    std::promise<std::tuple<std::optional<std::string>, ErrorPtr, bool>> promise;
    auto future = promise.get_future();
    service->fetchAccessTokenForcingRefresh(force, [&promise](std::optional<std::string> token, ErrorPtr e, bool u) {
      promise.set_value({token, e, u});
    });
    return authtest::waitFor(future);
  };

  auto [cached, cachedError, cachedUpdated] = fetch(false);
  EXPECT_EQ(cached, signedIn->IDToken());
  EXPECT_FALSE(cachedUpdated);
  EXPECT_TRUE(backend_.requestsForPath("/v1/token").empty());

  auto [fresh, freshError, freshUpdated] = fetch(true);
  ASSERT_FALSE(freshError) << freshError->description();
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh, signedIn->IDToken());
  EXPECT_TRUE(freshUpdated);
  EXPECT_EQ(service->rawAccessToken(), fresh);
  backend::RecordedRequest exchange = lastRequest("token");
  EXPECT_EQ(exchange.method, "POST");
  EXPECT_EQ(exchange.query.at("key"), kAPIKey);
  EXPECT_EQ(exchange.json, json({{"grantType", "refresh_token"}, {"refreshToken", *signedIn->refreshToken()}}));
  EXPECT_EQ(exchange.header("Content-Type"), "application/json");
  EXPECT_TRUE(backend_.identity().verifyIDToken(*fresh));

  backend_.identity().revokeRefreshTokens("uid-ann");
  auto [none, revokedError, revokedUpdated] = fetch(true);
  EXPECT_FALSE(none);
  ASSERT_TRUE(revokedError);
  EXPECT_EQ(revokedError->code(), 17021);
  EXPECT_EQ(service->rawAccessToken(), fresh);

  // A refresh token the service never issued maps to an invalid-token code too (one that signs out).
  service = std::make_shared<DAVSecureTokenService>(config_, std::nullopt, std::nullopt, std::string("never-issued"));
  auto [unknown, unknownError, unknownUpdated] = fetch(true);
  EXPECT_FALSE(unknown);
  ASSERT_TRUE(unknownError);
  EXPECT_EQ(unknownError->code(), 17017);
}

TEST_F(DAVAuthStandInTest, NoBundleIdentifierHeaderWithoutABundleIdentifier) {
  signIn(kAnnEmail, kAnnPassword);
  EXPECT_EQ(lastRequest("verifyPassword").header("X-Ios-Bundle-Identifier"), std::optional<std::string>(kBundleID));
  authtest::ScopedTestBundle anonymous("", "en");
  signIn(kAnnEmail, kAnnPassword);
  EXPECT_EQ(lastRequest("verifyPassword").header("X-Ios-Bundle-Identifier"), std::nullopt);
}

TEST_F(DAVAuthStandInTest, PlainHTTPNeedsTheLoopbackSwitch) {
  platform::net::setAllowsInsecureLoopbackHTTP(false);
  EXPECT_EQ(signInError(kAnnEmail, kAnnPassword), 17020);
  EXPECT_TRUE(backend_.requestsForPath("/identityservice/v3/relyingparty/verifyPassword").empty());
  platform::net::setAllowsInsecureLoopbackHTTP(true);
  EXPECT_FALSE(signIn(kAnnEmail, kAnnPassword).second);
}

TEST_F(DAVAuthStandInTest, NoTokenOrPasswordIsEverLogged) {
  authtest::LogCapture capture;
  DAVSetLoggerLevel(DAVLoggerLevelDebug);
  auto [signedIn, error] = signIn(kAnnEmail, kAnnPassword);
  ASSERT_FALSE(error);
  signInError(kAnnEmail, "wrong password");
  auto service = std::make_shared<DAVSecureTokenService>(config_, signedIn->IDToken(),
                                                         signedIn->approximateExpirationDate(),
                                                         signedIn->refreshToken());
  std::promise<std::optional<std::string>> refreshed;
  service->fetchAccessTokenForcingRefresh(true, [&](std::optional<std::string> t, ErrorPtr, bool) {
    refreshed.set_value(t);
  });
  auto future = refreshed.get_future();
  std::optional<std::string> newToken = authtest::waitFor(future);
  ASSERT_TRUE(newToken);
  DAVSetLoggerLevel(DAVLoggerLevelNotice);

  for (const std::string& line : capture.lines()) {
    for (const std::string& secret : {std::string(kAnnPassword), std::string("wrong password"), *signedIn->IDToken(),
                                      *signedIn->refreshToken(), *newToken})
      EXPECT_EQ(line.find(secret), std::string::npos) << line;
  }
}

}  // namespace
