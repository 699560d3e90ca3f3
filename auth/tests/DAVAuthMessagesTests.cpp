// Request bodies and reply decoding of the identity-service calls, and the small records.
#include <gtest/gtest.h>

#include <chrono>

#include "auth/DAVActionCodeSettings.h"
#include "auth/DAVAdditionalUserInfo.h"
#include "auth/DAVAuthJSON.h"
#include "auth/DAVAuthSettings.h"
#include "auth/DAVAuthTokenResult.h"
#include "auth/DAVAuthWebUtils.h"
#include "auth/DAVCreateAuthURIResponse.h"
#include "auth/DAVEmailLinkSignInResponse.h"
#include "auth/DAVGetAccountInfoResponse.h"
#include "auth/DAVGetOOBConfirmationCodeRequest.h"
#include "auth/DAVGetProjectConfigResponse.h"
#include "auth/DAVSecureTokenRequest.h"
#include "auth/DAVSecureTokenResponse.h"
#include "auth/DAVSetAccountInfoRequest.h"
#include "auth/DAVSetAccountInfoResponse.h"
#include "auth/DAVSignUpNewUserRequest.h"
#include "auth/DAVSignUpNewUserResponse.h"
#include "auth/DAVVerifyPasswordResponse.h"
#include "auth/DAVAuthCredential.h"
#include "auth/DAVAuthExceptionUtils.h"
#include "auth/DAVIdentityServiceRequest.h"
#include "auth/DAVOAuthProvider.h"
#include "auth/DAVSignInWithGameCenterRequest.h"
#include "auth/DAVSignInWithGameCenterResponse.h"
#include "auth/DAVVerifyAssertionRequest.h"
#include "auth/DAVVerifyAssertionResponse.h"
#include "auth/DAVVerifyCustomTokenResponse.h"
#include "auth/DAVSendVerificationCodeRequest.h"
#include "auth/DAVVerifyClientRequest.h"
#include "auth/DAVVerifyPhoneNumberRequest.h"
#include "platform/foundation/Exception.h"
#include "auth/tests/AuthTestSupport.h"

namespace {

using nlohmann::json;
using platform::ErrorPtr;

DAVAuthRequestConfigurationPtr configuration() { return DAVAuthRequestConfiguration::initWithAPIKey("k"); }

json body(const DAVAuthRPCRequest& request) {
  ErrorPtr error;
  auto result = request.unencodedHTTPRequestBodyWithError(&error);
  EXPECT_FALSE(error);
  return result.value_or(json());
}

double secondsFromNow(const platform::Date& date) {
  return date.secondsSince1970 - dav_auth_json::now().secondsSince1970;
}

TEST(DAVAuthMessages, ServiceURLsComeFromTheConfigurationOrTheProcessHosts) {
  auto config = DAVAuthRequestConfiguration::initWithAPIKey("a key&more");
  DAVSignUpNewUserRequest signUp(config);
  EXPECT_EQ(signUp.requestURL(),
            "https://identityservice.davedoveapis.com/identityservice/v3/relyingparty/signupNewUser?key=a%20key%26more");
  auto refresh = DAVSecureTokenRequest::refreshRequestWithRefreshToken("r", config);
  EXPECT_EQ(refresh->requestURL(), "https://securetoken.davedoveapis.com/v1/token?key=a%20key%26more");

  DAVIdentityServiceRequest::setHost("idp.example.test");
  DAVSecureTokenRequest::setHost("sts.example.test");
  EXPECT_EQ(signUp.requestURL().rfind("https://idp.example.test/identityservice/", 0), 0u);
  EXPECT_EQ(refresh->requestURL().rfind("https://sts.example.test/v1/token", 0), 0u);
  DAVIdentityServiceRequest::setHost("identityservice.davedoveapis.com");
  DAVSecureTokenRequest::setHost("securetoken.davedoveapis.com");

  config->setIdentityServiceURL("http://127.0.0.1:9000/");
  config->setSecureTokenServiceURL("http://127.0.0.1:9001");
  EXPECT_EQ(signUp.requestURL(), "http://127.0.0.1:9000/identityservice/v3/relyingparty/signupNewUser?key=a%20key%26more");
  EXPECT_EQ(refresh->requestURL(), "http://127.0.0.1:9001/v1/token?key=a%20key%26more");

  // A host set on the classes wins over the configured service URLs; back at the default, they win.
  DAVIdentityServiceRequest::setHost("idp.example.test");
  DAVSecureTokenRequest::setHost("sts.example.test");
  EXPECT_EQ(signUp.requestURL(), "https://idp.example.test/identityservice/v3/relyingparty/signupNewUser?key=a%20key%26more");
  EXPECT_EQ(refresh->requestURL(), "https://sts.example.test/v1/token?key=a%20key%26more");
  DAVIdentityServiceRequest::setHost("identityservice.davedoveapis.com");
  DAVSecureTokenRequest::setHost("securetoken.davedoveapis.com");
  EXPECT_EQ(signUp.requestURL().rfind("http://127.0.0.1:9000/", 0), 0u);
}

TEST(DAVAuthMessages, SignUpAndSetAccountInfoLeaveUnsetKeysOut) {
  DAVSignUpNewUserRequest anonymous(configuration());
  EXPECT_EQ(body(anonymous), json({{"returnSecureToken", true}}));
  DAVSignUpNewUserRequest full("a@b.c", "pw", "Ann", configuration());
  full.setReturnSecureToken(false);
  EXPECT_EQ(body(full), json({{"email", "a@b.c"}, {"password", "pw"}, {"displayName", "Ann"}}));

  DAVSetAccountInfoRequest update(configuration());
  update.setAccessToken("tok");
  update.setEmailVerified(false);
  update.setDeleteAttributes(std::vector<std::string>{kDAVSetAccountInfoUserAttributePassword});
  update.setPhotoURL("https://x.test/p.png");
  EXPECT_EQ(body(update), json({{"idToken", "tok"},
                                {"deleteAttribute", {"PASSWORD"}},
                                {"photoUrl", "https://x.test/p.png"},
                                {"returnSecureToken", true}}));
  update.setEmailVerified(true);
  update.setUpgradeToFederatedLogin(true);
  EXPECT_EQ(body(update)["emailVerified"], true);
  EXPECT_EQ(body(update)["upgradeToFederatedLogin"], true);
}

TEST(DAVAuthMessages, OutOfBandRequestsFollowTheirType) {
  DAVActionCodeSettings settings;
  auto verify = DAVGetOOBConfirmationCodeRequest::verifyEmailRequestWithAccessToken("tok", &settings, configuration());
  json verifyBody = body(*verify);
  EXPECT_EQ(verifyBody["requestType"], "VERIFY_EMAIL");
  EXPECT_EQ(verifyBody["idToken"], "tok");
  EXPECT_FALSE(verifyBody.contains("email"));
  // A verify-e-mail request never names an address, whatever it was given.
  DAVGetOOBConfirmationCodeRequest odd(DAVGetOOBConfirmationCodeRequestTypeVerifyEmail, "a@b.c", "tok", nullptr,
                                       configuration());
  EXPECT_FALSE(body(odd).contains("email"));

  settings.setURL("https://app.test/continue");
  settings.setIOSBundleID("bundle.id");
  settings.setAndroidPackageName("pkg", false, "12");
  auto reset = DAVGetOOBConfirmationCodeRequest::passwordResetRequestWithEmail("a@b.c", &settings, configuration());
  EXPECT_EQ(body(*reset), json({{"requestType", "PASSWORD_RESET"},
                                {"email", "a@b.c"},
                                {"continueUrl", "https://app.test/continue"},
                                {"iOSBundleId", "bundle.id"},
                                {"androidPackageName", "pkg"},
                                {"androidMinimumVersion", "12"}}));
  settings.setHandleCodeInApp(true);
  settings.setAndroidPackageName("pkg", true, std::nullopt);
  auto link = DAVGetOOBConfirmationCodeRequest::signInWithEmailLinkRequest("a@b.c", &settings, configuration());
  json linkBody = body(*link);
  EXPECT_EQ(linkBody["requestType"], "EMAIL_SIGNIN");
  EXPECT_EQ(linkBody["androidInstallApp"], true);
  EXPECT_EQ(linkBody["canHandleCodeInApp"], true);
  EXPECT_FALSE(linkBody.contains("androidMinimumVersion"));

  EXPECT_EQ(DAVGetOOBConfirmationCodeRequest::requestTypeStringValueForRequestType(7), "PASSWORD_RESET");
  EXPECT_EQ(DAVGetOOBConfirmationCodeRequest::requestTypeStringValueForRequestType(-1), "PASSWORD_RESET");
}

TEST(DAVAuthMessages, SecureTokenRequestBodies) {
  EXPECT_EQ(body(*DAVSecureTokenRequest::refreshRequestWithRefreshToken("r1", configuration())),
            json({{"grantType", "refresh_token"}, {"refreshToken", "r1"}}));
  EXPECT_EQ(body(*DAVSecureTokenRequest::authCodeRequestWithCode("c1", configuration())),
            json({{"grantType", "authorization_code"}, {"code", "c1"}}));
  EXPECT_EQ(DAVSecureTokenRequest::grantTypeStringWithGrantType(5), "authorization_code");
}

TEST(DAVAuthMessages, SignInRepliesWithMissingOrMistypedFields) {
  DAVVerifyPasswordResponse empty;
  ErrorPtr error;
  EXPECT_TRUE(empty.setWithDictionary(json::object(), &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(empty.IDToken());
  EXPECT_FALSE(empty.approximateExpirationDate());
  EXPECT_FALSE(empty.localID());

  DAVVerifyPasswordResponse full;
  EXPECT_TRUE(full.setWithDictionary(json({{"localId", "u"}, {"email", 7}, {"idToken", "t"}, {"expiresIn", "3600"},
                                           {"refreshToken", "r"}, {"photoUrl", "https://p.test/x"}}),
                                     &error));
  EXPECT_EQ(full.localID(), "u");
  EXPECT_FALSE(full.email());  // a number is no e-mail
  ASSERT_TRUE(full.approximateExpirationDate());
  EXPECT_NEAR(secondsFromNow(*full.approximateExpirationDate()), 3600, 5);
  EXPECT_EQ(full.photoURL(), "https://p.test/x");

  DAVSignUpNewUserResponse numeric;
  EXPECT_TRUE(numeric.setWithDictionary(json({{"idToken", "t"}, {"expiresIn", 3600}}), &error));
  EXPECT_FALSE(numeric.approximateExpirationDate());
  DAVSignUpNewUserResponse fractional;
  EXPECT_TRUE(fractional.setWithDictionary(json({{"expiresIn", "3599.9"}}), &error));
  EXPECT_NEAR(secondsFromNow(*fractional.approximateExpirationDate()), 3599.9, 2);

  DAVEmailLinkSignInResponse link;
  EXPECT_TRUE(link.setWithDictionary(json({{"expiresIn", 10}, {"isNewUser", true}}), &error));
  EXPECT_FALSE(link.approximateExpirationDate());
  EXPECT_TRUE(link.isNewUser());

  DAVSetAccountInfoResponse noProviders;
  EXPECT_TRUE(noProviders.setWithDictionary(json::object(), &error));
  EXPECT_FALSE(noProviders.providerUserInfo());
  DAVSetAccountInfoResponse providers;
  EXPECT_TRUE(providers.setWithDictionary(
      json({{"providerUserInfo", {{{"providerId", "password"}, {"photoUrl", "https://x"}}, "junk"}}}), &error));
  ASSERT_TRUE(providers.providerUserInfo());
  ASSERT_EQ(providers.providerUserInfo()->size(), 2u);
  EXPECT_EQ((*providers.providerUserInfo())[0]->providerID(), "password");
  EXPECT_FALSE((*providers.providerUserInfo())[1]->providerID());
}

TEST(DAVAuthMessages, AccountInfoNeedsExactlyOneUser) {
  ErrorPtr error;
  for (const json& bad : {json::object(), json({{"users", json::array()}}), json({{"users", {{"a", 1}, {"b", 2}}}}),
                          json({{"users", {{"localId", "x"}}}})}) {
    DAVGetAccountInfoResponse response;
    bool ok = response.setWithDictionary(bad, &error);
    // {"users": {"localId": "x"}} is a dictionary, not an array of one.
    EXPECT_FALSE(ok) << bad.dump();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 17999);
    EXPECT_EQ(error->underlyingError()->code(), 4);
  }
  DAVGetAccountInfoResponse response;
  ASSERT_TRUE(response.setWithDictionary(
      json({{"users",
             {{{"localId", "u1"},
               {"email", "a@b.c"},
               {"emailVerified", true},
               {"createdAt", "1700000000123"},
               {"lastLoginAt", 1700000000000},
               {"passwordHash", "h"},
               {"providerUserInfo", {{{"providerId", "password"}, {"federatedId", "a@b.c"}, {"email", "a@b.c"}}}}}}}}),
      &error));
  ASSERT_EQ(response.users().size(), 1u);
  const auto& user = *response.users()[0];
  EXPECT_EQ(user.localID(), "u1");
  EXPECT_TRUE(user.emailVerified());
  ASSERT_TRUE(user.creationDate());
  EXPECT_DOUBLE_EQ(user.creationDate()->secondsSince1970, 1700000000.123);
  EXPECT_FALSE(user.lastLoginDate());  // a number, not a string
  EXPECT_FALSE(user.displayName());
  ASSERT_TRUE(user.providerUserInfo());
  EXPECT_EQ((*user.providerUserInfo())[0]->federatedID(), "a@b.c");
}

TEST(DAVAuthMessages, SecureTokenReplyNeedsAnAccessTokenAndATextLifetime) {
  ErrorPtr error;
  DAVSecureTokenResponse good;
  EXPECT_TRUE(good.setWithDictionary(
      json({{"access_token", "a"}, {"refresh_token", "r"}, {"id_token", "i"}, {"expires_in", "3600"}}), &error));
  EXPECT_EQ(good.accessToken(), "a");
  EXPECT_EQ(good.IDToken(), "i");
  EXPECT_NEAR(secondsFromNow(*good.approximateExpirationDate()), 3600, 5);

  for (const json& bad : {json({{"refresh_token", "r"}, {"expires_in", "3600"}}),
                          json({{"access_token", ""}, {"expires_in", "3600"}}),
                          json({{"access_token", "a"}, {"expires_in", 3600}}), json({{"access_token", "a"}})}) {
    DAVSecureTokenResponse response;
    EXPECT_FALSE(response.setWithDictionary(bad, &error)) << bad.dump();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->underlyingError()->code(), 4);
    EXPECT_TRUE(error->underlyingError()->userInfo().count("DAVAuthErrorUserInfoDeserializedResponseKey"));
  }
}

TEST(DAVAuthMessages, ProjectConfigAndAuthURIReplies) {
  ErrorPtr error;
  DAVGetProjectConfigResponse asText, asArray, asNumber;
  EXPECT_TRUE(asText.setWithDictionary(json({{"projectId", "p"}, {"authorizedDomains", "[\"a.test\",\"b.test\"]"}}), &error));
  EXPECT_TRUE(asArray.setWithDictionary(json({{"authorizedDomains", {"a.test", "b.test"}}}), &error));
  EXPECT_TRUE(asNumber.setWithDictionary(json({{"authorizedDomains", 3}}), &error));
  ASSERT_TRUE(asText.authorizedDomains());
  EXPECT_EQ(asText.authorizedDomains(), asArray.authorizedDomains());
  EXPECT_EQ(asText.projectID(), "p");
  EXPECT_FALSE(asNumber.authorizedDomains());

  DAVCreateAuthURIResponse uri;
  EXPECT_TRUE(uri.setWithDictionary(json({{"registered", true}, {"signinMethods", {"password"}}}), &error));
  EXPECT_TRUE(uri.registered());
  EXPECT_FALSE(uri.forExistingProvider());
  ASSERT_TRUE(uri.signinMethods());
  EXPECT_EQ(*(*uri.signinMethods())[0].asString(), "password");
  EXPECT_FALSE(uri.allProviders());
}

template <class T>
std::shared_ptr<T> roundTrip(const T& object) {
  platform::Data data = platform::KeyedArchiver::archivedData("root", object);
  auto unarchiver = platform::KeyedUnarchiver::create(data);
  EXPECT_TRUE(unarchiver);
  return unarchiver ? unarchiver->decodeObjectOfClass<T>("root") : nullptr;
}

TEST(DAVAuthRecords, TokenResultAndAdditionalUserInfoSurviveArchiving) {
  DAVAuthTokenResult result("h.p.s", {1700003600}, {1700000000}, {1700000100}, std::string("password"),
                            platform::Dictionary{{"sub", "u1"}, {"exp", 1700003600}});
  auto back = roundTrip(result);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->token(), "h.p.s");
  EXPECT_EQ(back->expirationDate(), result.expirationDate());
  EXPECT_EQ(back->authDate(), result.authDate());
  EXPECT_EQ(back->issuedAtDate(), result.issuedAtDate());
  EXPECT_NE(back->issuedAtDate(), back->authDate());
  EXPECT_EQ(back->signInProvider(), "password");
  EXPECT_EQ(back->claims(), result.claims());

  // The expiry goes under its historic key.
  platform::KeyedArchiver archiver;
  result.encodeWithCoder(archiver);
  auto flat = platform::KeyedUnarchiver::create(archiver.encodedData());
  ASSERT_TRUE(flat);
  EXPECT_TRUE(flat->containsValueForKey("expiratinDate"));
  EXPECT_FALSE(flat->containsValueForKey("expirationDate"));

  DAVAdditionalUserInfo info("password", platform::Dictionary{{"name", "Ann"}}, std::string("ann"), true);
  auto infoBack = roundTrip(info);
  ASSERT_TRUE(infoBack);
  EXPECT_TRUE(infoBack->isNewUser());
  EXPECT_EQ(infoBack->providerID(), "password");
  EXPECT_EQ(infoBack->username(), "ann");
  EXPECT_EQ(infoBack->profile(), info.profile());
}

TEST(DAVAuthRecords, ActionCodeSettingsAndAuthSettingsStartEmpty) {
  authtest::ScopedTestBundle bundle("mac.com.trennelwick.vorellin.records");
  DAVActionCodeSettings settings;
  EXPECT_EQ(settings.iOSBundleID(), "mac.com.trennelwick.vorellin.records");
  EXPECT_FALSE(settings.handleCodeInApp());
  EXPECT_FALSE(settings.androidInstallIfNotAvailable());
  EXPECT_FALSE(DAVAuthSettings().isAppVerificationDisabledForTesting());
}

TEST(DAVAuthWebUtils, QueryArgumentsAndUnescaping) {
  auto arguments = DAVAuthWebUtils::dictionaryWithHttpArgumentsString("a=1&b=x%20y&a=2&c&&d=%zz");
  EXPECT_EQ(arguments.at("a"), "1");
  EXPECT_EQ(arguments.at("b"), "x y");
  EXPECT_EQ(arguments.at("c"), "");
  EXPECT_EQ(arguments.at("d"), "");
  EXPECT_EQ(arguments.size(), 4u);
  EXPECT_EQ(DAVAuthWebUtils::stringByUnescapingFromURLArgument("a+b%2B"), "a b+");
  EXPECT_FALSE(DAVAuthWebUtils::stringByUnescapingFromURLArgument("50%"));

  std::string random = DAVAuthWebUtils::randomStringWithLength(64);
  EXPECT_EQ(random.size(), 64u);
  EXPECT_EQ(random.find_first_not_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
  EXPECT_EQ(DAVAuthWebUtils::randomStringWithLength(0), "");
  // Every letter turns up in a long draw, and two draws differ.
  std::string many = DAVAuthWebUtils::randomStringWithLength(26 * 400);
  for (char c = 'a'; c <= 'z'; ++c) EXPECT_NE(many.find(c), std::string::npos) << c;
  EXPECT_NE(DAVAuthWebUtils::randomStringWithLength(32), DAVAuthWebUtils::randomStringWithLength(32));
}

TEST(DAVAuthWebUtils, CallbackURLsAndSchemes) {
  const std::string inner = "https%3A%2F%2Fx.test%2F%3FauthType%3DsignInViaRedirect%26eventId%3DE1";
  const std::string url = "app-1://davedoveauth/link?deep_link_id=" + inner;
  EXPECT_TRUE(DAVAuthWebUtils::isExpectedCallbackURL(url, "E1", "signInViaRedirect", "app-1"));
  EXPECT_FALSE(DAVAuthWebUtils::isExpectedCallbackURL(url, "E2", "signInViaRedirect", "app-1"));
  EXPECT_FALSE(DAVAuthWebUtils::isExpectedCallbackURL(url, "E1", "signInViaRedirect", "app-2"));
  EXPECT_FALSE(DAVAuthWebUtils::isExpectedCallbackURL(std::nullopt, "E1", "signInViaRedirect", "app-1"));
  EXPECT_EQ(DAVAuthWebUtils::queryItemValue("b", {{"a", "1"}, {"b", "2"}, {"b", "3"}}), "2");
  EXPECT_FALSE(DAVAuthWebUtils::queryItemValue("c", {{"a", "1"}}));

  authtest::ScopedTestBundle bundle;
  EXPECT_FALSE(DAVAuthWebUtils::isCallbackSchemeRegisteredForCustomURLScheme("app-1"));
}

class DAVAuthWebUtilsDomain : public authtest::FakeBackendTest {};

TEST_F(DAVAuthWebUtilsDomain, AuthDomainIsTheFirstLongEnoughHostedDomain) {
  auto fetch = [] {
    std::promise<std::pair<std::optional<std::string>, ErrorPtr>> promise;
    auto future = promise.get_future();
    DAVAuthWebUtils::fetchAuthDomainWithRequestConfiguration(
        configuration(), [&promise](std::optional<std::string> domain, ErrorPtr error) {
          promise.set_value({domain, error});
        });
    return authtest::waitFor(future);
  };
  issuer_->replyOK(R"({"authorizedDomains":["davedoveapp.com","xdavedoveapp.com","other.test","ab.davedoveapp.com","cd.davedoveapp.com"]})");
  EXPECT_EQ(fetch().first, "ab.davedoveapp.com");
  issuer_->replyOK(R"({"authorizedDomains":["localhost"]})");
  auto none = fetch();
  EXPECT_FALSE(none.first);
  ASSERT_TRUE(none.second);
  EXPECT_EQ(none.second->underlyingError()->code(), 3);
  issuer_->replyServerMessage("INVALID_API_KEY_X");
  EXPECT_EQ(fetch().second->code(), 17999);
}

TEST(DAVAuthMessages, VerifyAssertionBodiesAndTheirOneRule) {
  DAVVerifyAssertionRequest pending("oidc.example", configuration());
  pending.setPendingToken(std::string("p-1"));
  EXPECT_EQ(body(pending), (json{{"requestUri", "http://localhost"},
                                 {"postBody", "providerId=oidc.example"},
                                 {"pendingToken", "p-1"},
                                 {"returnSecureToken", true},
                                 {"returnIdpCredential", true},
                                 {"autoCreate", true}}));
  pending.setAutoCreate(false);
  pending.setReturnIDPCredential(false);
  pending.setAccessToken(std::string("user-id-token"));
  EXPECT_EQ(body(pending)["autoCreate"], false);
  EXPECT_FALSE(body(pending).contains("returnIdpCredential"));
  EXPECT_EQ(body(pending)["idToken"], "user-id-token");

  DAVVerifyAssertionRequest twitter(kDAVTwitterAuthProviderID, configuration());
  DAVTwitterAuthProvider::credentialWithToken("t&k", "s=cr")->prepareVerifyAssertionRequest(twitter);
  twitter.setInputEmail(std::string("x@y.z"));
  EXPECT_EQ(body(twitter)["postBody"], "providerId=twitter.com&access_token=t&k&oauth_token_secret=s=cr&identifier=x@y.z");

  DAVVerifyAssertionRequest oauth("oidc.example", configuration());
  oauth.setProviderIDToken(std::string("stale"));
  auto accessOnly = DAVOAuthProvider::credentialWithProviderID("oidc.example", "a-1");
  EXPECT_EQ(accessOnly->IDToken(), std::nullopt);
  EXPECT_EQ(accessOnly->pendingToken(), std::nullopt);
  accessOnly->prepareVerifyAssertionRequest(oauth);
  EXPECT_EQ(oauth.providerIDToken(), std::nullopt);
  EXPECT_EQ(oauth.providerAccessToken(), std::optional<std::string>("a-1"));

  DAVVerifyAssertionRequest empty("oidc.example", configuration());
  try {
    empty.unencodedHTTPRequestBodyWithError(nullptr);
    ADD_FAILURE() << "a request without any proof must raise";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), platform::kInvalidArgumentException);
    EXPECT_EQ(e.reason(), "One of IDToken, accessToken, pendingToken, or requestURI must be supplied.");
  }
}

TEST(DAVAuthMessages, CredentialGuardsRaiseTheirTexts) {
  using authtest::expectRaise;
  DAVVerifyAssertionRequest request("x", configuration());
  expectRaise([&] { DAVEmailAuthProvider::credentialWithEmail("a@b.c", "p")->prepareVerifyAssertionRequest(request); },
              kDAVMethodNotImplementedException,
              "Attempt to call prepareVerifyAssertionRequest: on a DAVEmailPasswordAuthCredential.");
  expectRaise([&] { DAVGameCenterAuthCredential("p", std::nullopt, std::nullopt, std::nullopt, 0, std::nullopt)
                        .prepareVerifyAssertionRequest(request); },
              kDAVMethodNotImplementedException,
              "Attempt to call prepareVerifyAssertionRequest: on a DAVGameCenterAuthCredential.");
  expectRaise([] { DAVAuthCredential::init(); }, "Attempt to call unavailable initializer.",
              "This class is an abstract base class. It's init method should not be called directly.");
  expectRaise([] { DAVEmailAuthProvider::init(); }, "Attempt to call unavailable initializer.",
              "This class is not meant to be initialized.");
  for (auto init : {&DAVFacebookAuthProvider::init, &DAVVariruAuthProvider::init, &DAVGitHubAuthProvider::init,
                    &DAVTwitterAuthProvider::init, &DAVGameCenterAuthProvider::init})
    expectRaise(init, kDAVMethodNotImplementedException, "This class is not meant to be initialized.");
  EXPECT_EQ(DAVEmailAuthProvider::credentialWithEmail("a@b.c", "p")->provider(), "password");
}

TEST(DAVAuthMessages, FederatedRepliesReadTheirProfileAndProviders) {
  DAVVerifyAssertionResponse asText, asObject, asArray;
  asText.setWithDictionary(json{{"rawUserInfo", R"({"id":"9","name":{"first":"Vic"}})"},
                                {"verifiedProvider", R"(["variru.com"])"},
                                {"providerId", "variru.com"},
                                {"needConfirmation", true},
                                {"expiresIn", "60"},
                                {"oauthExpireIn", 3600}},
                           nullptr);
  asObject.setWithDictionary(json{{"rawUserInfo", {{"id", "9"}, {"name", {{"first", "Vic"}}}}},
                                  {"verifiedProvider", json::array({"variru.com"})}},
                             nullptr);
  asArray.setWithDictionary(json{{"rawUserInfo", json::array({1, 2})}, {"verifiedProvider", "not json"}}, nullptr);
  ASSERT_TRUE(asText.profile());
  EXPECT_EQ(asText.profile(), asObject.profile());
  EXPECT_EQ(asText.verifiedProvider(), asObject.verifiedProvider());
  EXPECT_FALSE(asArray.profile());
  EXPECT_FALSE(asArray.verifiedProvider());
  EXPECT_TRUE(asText.needConfirmation());
  EXPECT_NEAR(secondsFromNow(*asText.approximateExpirationDate()), 60, 2);
  EXPECT_FALSE(asText.oauthExpirationDate());  // a number, not a text of seconds

  auto info = DAVAdditionalUserInfo::userInfoWithVerifyAssertionResponse(asText);
  EXPECT_EQ(info->providerID(), std::optional<std::string>("variru.com"));
  EXPECT_EQ(info->profile(), asText.profile());

  DAVVerifyCustomTokenResponse custom;
  custom.setWithDictionary(json{{"idToken", "i"}, {"isNewUser", true}, {"expiresIn", 10}}, nullptr);
  EXPECT_TRUE(custom.isNewUser());
  EXPECT_FALSE(custom.approximateExpirationDate());
}

TEST(DAVAuthMessages, GameCenterBytesAreURLSafeAndItsLifetimeIsWholeSeconds) {
  // 0xfb 0xff encodes as "+/8=" in the standard alphabet.
  EXPECT_EQ(fir_base64URLEncodedStringWithOptions(std::string("\xfb\xff", 2)), "-_8");
  EXPECT_EQ(fir_base64URLEncodedStringWithOptions("ab"), "YWI");
  DAVSignInWithGameCenterRequest request("p", "https://k.example/key", std::string("\xfb\xff", 2), std::string("s"), 0,
                                         std::nullopt, configuration());
  EXPECT_FALSE(body(request).contains("timestamp"));
  request.setTimestamp(1700000000123ULL);
  EXPECT_EQ(body(request)["timestamp"], 1700000000123ULL);
  EXPECT_EQ(body(request)["signature"], "-_8");

  DAVSignInWithGameCenterResponse game;
  game.setWithDictionary(json{{"expiresIn", "3599.9"}}, nullptr);
  DAVSignUpNewUserResponse signUp;
  signUp.setWithDictionary(json{{"expiresIn", "3599.9"}}, nullptr);
  const double gameSeconds = secondsFromNow(*game.approximateExpirationDate());
  const double signUpSeconds = secondsFromNow(*signUp.approximateExpirationDate());
  EXPECT_NEAR(signUpSeconds - gameSeconds, 0.9, 0.05);
  EXPECT_LT(gameSeconds, 3599.01);
}

TEST(DAVAuthMessages, PhoneVerificationMessages) {
  DAVVerifyPhoneNumberRequest withCode({"session-1", "123456"}, 4, configuration());
  EXPECT_EQ(body(withCode), (json{{"sessionInfo", "session-1"}, {"code", "123456"}, {"operation", "LINK"}}));
  withCode.setAccessToken(std::string("id-token"));
  EXPECT_EQ(body(withCode)["idToken"], "id-token");
  for (int64_t unspecified : {0, 5, -1})
    EXPECT_EQ(body(DAVVerifyPhoneNumberRequest("proof", "+15550100", unspecified, configuration()))["operation"],
              "VERIFY_OP_UNSPECIFIED");
  EXPECT_EQ(body(DAVVerifyPhoneNumberRequest("proof", "+15550100", 2, configuration())),
            (json{{"temporaryProof", "proof"}, {"phoneNumber", "+15550100"}, {"operation", "REAUTH"}}));
  DAVVerifyPhoneNumberResponse phone;
  phone.setWithDictionary(json{{"isNewUser", true}, {"phoneNumber", "+15550100"}, {"expiresIn", "30"}}, nullptr);
  EXPECT_TRUE(phone.isNewUser());
  EXPECT_NEAR(secondsFromNow(*phone.approximateExpirationDate()), 30, 2);

  auto app = std::make_shared<DAVAuthAppCredential>("receipt-1", std::nullopt);
  EXPECT_EQ(body(DAVSendVerificationCodeRequest("+15550100", app, std::nullopt, configuration())),
            (json{{"phoneNumber", "+15550100"}, {"iosReceipt", "receipt-1"}}));
  DAVSendVerificationCodeResponse sent;
  sent.setWithDictionary(json{{"sessionInfo", "s-9"}}, nullptr);
  EXPECT_EQ(sent.verificationID(), std::optional<std::string>("s-9"));

  EXPECT_EQ(body(DAVVerifyClientRequest("apns", false, configuration())), (json{{"appToken", "apns"}}));
  EXPECT_EQ(body(DAVVerifyClientRequest("apns", true, configuration()))["isSandbox"], true);
  DAVVerifyClientResponse client;
  client.setWithDictionary(json{{"receipt", "r"}, {"suggestedTimeout", "5"}}, nullptr);
  EXPECT_NEAR(secondsFromNow(*client.suggestedTimeOutDate()), 5, 2);
}

}  // namespace
