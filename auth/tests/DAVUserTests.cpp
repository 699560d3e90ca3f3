#include "auth/DAVUser.h"

#include <gtest/gtest.h>

#include "auth/DAVAuthErrors.h"
#include "auth/DAVGetAccountInfoResponse.h"
#include "platform/foundation/Base64.h"

namespace {

std::string tokenWithPayload(const std::string& payloadJSON) {
  return "eyJhbGciOiJSUzI1NiJ9." + platform::base64URLEncode(payloadJSON) + ".c2lnbmF0dXJl";
}

TEST(DAVUserParseIDToken, ReadsDatesProviderAndClaimsFromAURLSafePayload) {
  // Chosen so that the URL-safe encoding holds "-" and "_" and needs padding back.
  const std::string payload =
      R"({"exp":"1700003600","auth_time":1700000000,"iat":1700000001.5,"sign_in_provider":"password","k":"~~~?x?x"})";
  const std::string token = tokenWithPayload(payload);
  const std::string middle = token.substr(token.find('.') + 1, token.rfind('.') - token.find('.') - 1);
  ASSERT_NE(middle.find_first_of("-_"), std::string::npos);
  ASSERT_NE(middle.size() % 4, 0u);

  platform::ErrorPtr error;
  auto result = DAVUser::parseIDToken(token, &error);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(result->token(), token);
  EXPECT_DOUBLE_EQ(result->expirationDate().secondsSince1970, 1700003600);
  EXPECT_DOUBLE_EQ(result->authDate().secondsSince1970, 1700000000);
  EXPECT_DOUBLE_EQ(result->issuedAtDate().secondsSince1970, 1700000001.5);
  EXPECT_EQ(result->signInProvider(), std::optional<std::string>("password"));
  EXPECT_EQ(*result->claims().at("k").asString(), "~~~?x?x");
}

TEST(DAVUserParseIDToken, MissingClaimsReadAsTheEpochAndNestedProviderIsNotFound) {
  auto result = DAVUser::parseIDToken(tokenWithPayload(R"({"davedove":{"sign_in_provider":"password"}})"), nullptr);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->expirationDate().secondsSince1970, 0);
  EXPECT_EQ(result->signInProvider(), std::nullopt);
}

TEST(DAVUserParseIDToken, MalformedTokensGive18000) {
  for (const std::string& token : {std::string("a.b"), std::string("a.b.c.d"), std::string("")}) {
    platform::ErrorPtr error;
    EXPECT_EQ(DAVUser::parseIDToken(token, &error), nullptr) << token;
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), DAVAuthErrorCodeMalformedJWT);
    EXPECT_EQ(error->underlyingError(), nullptr);
  }
  platform::ErrorPtr error;
  EXPECT_EQ(DAVUser::parseIDToken(tokenWithPayload("{not json"), &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), DAVAuthErrorCodeMalformedJWT);
  EXPECT_NE(error->underlyingError(), nullptr);
  // A bare JSON value is not a claim set.
  EXPECT_EQ(DAVUser::parseIDToken(tokenWithPayload("42"), &error), nullptr);
  EXPECT_EQ(error->code(), DAVAuthErrorCodeMalformedJWT);
}

DAVUserPtr userFromAccountInfo(const nlohmann::json& record) {
  auto service = std::make_shared<DAVSecureTokenService>(DAVAuthRequestConfiguration::initWithAPIKey("key"),
                                                         std::string("access.token.x"), platform::Date{2e9},
                                                         std::string("refresh-token"));
  auto user = DAVUser::initWithTokenService(service);
  DAVGetAccountInfoResponse response;
  platform::ErrorPtr error;
  EXPECT_TRUE(response.setWithDictionary({{"users", nlohmann::json::array({record})}}, &error));
  user->updateWithGetAccountInfoResponse(response);
  return user;
}

DAVUserPtr roundTrip(const DAVUser& user) {
  auto data = platform::KeyedArchiver::archivedData("k", user);
  auto coder = platform::KeyedUnarchiver::create(data);
  return coder ? coder->decodeObjectOfClass<DAVUser>("k") : nullptr;
}

TEST(DAVUserParseIDToken, DeeplyNestedClaimsAreMalformed) {
  platform::ErrorPtr error;
  const std::string deep = std::string(20000, '[') + std::string(20000, ']');
  EXPECT_EQ(DAVUser::parseIDToken(tokenWithPayload("{\"exp\":1,\"c\":" + deep + "}"), &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), DAVAuthErrorCodeMalformedJWT);
}

TEST(DAVUserArchive, RoundTripKeepsEveryCodedField) {
  auto user = userFromAccountInfo({{"localId", "uid-1"},
                                   {"email", "alice@example.com"},
                                   {"emailVerified", true},
                                   {"displayName", "Alice"},
                                   {"passwordHash", "h"},
                                   {"createdAt", "1600000000000"},
                                   {"lastLoginAt", "1700000000000"},
                                   {"providerUserInfo", {{{"providerId", "password"}, {"federatedId", "alice@example.com"}}}}});
  user->setAnonymous(false);
  auto back = roundTrip(*user);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->uid(), std::optional<std::string>("uid-1"));
  EXPECT_EQ(back->email(), std::optional<std::string>("alice@example.com"));
  EXPECT_EQ(back->displayName(), std::optional<std::string>("Alice"));
  EXPECT_TRUE(back->isEmailVerified());
  EXPECT_TRUE(back->hasEmailPasswordCredential());
  EXPECT_FALSE(back->isAnonymous());
  EXPECT_EQ(back->rawAccessToken(), std::optional<std::string>("access.token.x"));
  EXPECT_EQ(back->tokenService()->refreshToken(), std::optional<std::string>("refresh-token"));
  ASSERT_TRUE(back->accessTokenExpirationDate());
  EXPECT_DOUBLE_EQ(back->accessTokenExpirationDate()->secondsSince1970, 2e9);
  ASSERT_EQ(back->providerData().size(), 1u);
  EXPECT_EQ(back->providerData()[0]->providerID(), std::optional<std::string>("password"));
  EXPECT_EQ(back->providerData()[0]->uid(), std::optional<std::string>("alice@example.com"));
  ASSERT_NE(back->metadata(), nullptr);
  ASSERT_TRUE(back->metadata()->creationDate());
  EXPECT_DOUBLE_EQ(back->metadata()->creationDate()->secondsSince1970, 1600000000);
  ASSERT_TRUE(back->metadata()->lastSignInDate());
  EXPECT_DOUBLE_EQ(back->metadata()->lastSignInDate()->secondsSince1970, 1700000000);
  // No auth client: the archived API key is absent, the decoded configuration has none.
  EXPECT_EQ(back->requestConfiguration()->APIKey(), "");
}

// An archive written by an older client, with only the keys given.
class PartialUserArchive : public platform::Coding {
 public:
  PartialUserArchive(std::optional<std::string> uid, bool hasEmailPassword, bool withTokenService, bool withProvider)
      : uid_(std::move(uid)),
        hasEmailPassword_(hasEmailPassword),
        withTokenService_(withTokenService),
        withProvider_(withProvider) {}
  std::string archiveClassName() const override { return "DAVUser"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeString("userID", uid_);
    coder.encodeBool("hasEmailPassword", hasEmailPassword_);
    if (withProvider_) {
      std::map<std::string, std::shared_ptr<DAVUserInfoImpl>> providers{
          {"phone", std::make_shared<DAVUserInfoImpl>("phone", "p", std::nullopt, std::nullopt, std::nullopt, "+1")}};
      coder.encodeObjectDictionary("providerData", providers);
    }
    if (withTokenService_) {
      DAVSecureTokenService service(nullptr, std::string("a.b.c"), platform::Date{2e9}, std::string("refresh"));
      coder.encodeObject("tokenService", &service);
    }
  }

 private:
  std::optional<std::string> uid_;
  bool hasEmailPassword_, withTokenService_, withProvider_;
};

DAVUserPtr decode(const PartialUserArchive& archive) {
  auto coder = platform::KeyedUnarchiver::create(platform::KeyedArchiver::archivedData("k", archive));
  return coder ? coder->decodeObjectOfClass<DAVUser>("k") : nullptr;
}

TEST(DAVUserArchive, AnonymousFlagIsWorkedOutWhenTheArchiveHasNone) {
  auto withPassword = decode(PartialUserArchive("u", true, true, false));
  ASSERT_NE(withPassword, nullptr);
  EXPECT_FALSE(withPassword->isAnonymous());
  auto bare = decode(PartialUserArchive("u", false, true, false));
  ASSERT_NE(bare, nullptr);
  EXPECT_TRUE(bare->isAnonymous());
  auto withProvider = decode(PartialUserArchive("u", false, true, true));
  ASSERT_NE(withProvider, nullptr);
  EXPECT_FALSE(withProvider->isAnonymous());
  // Metadata that was never stored decodes as empty metadata.
  ASSERT_NE(bare->metadata(), nullptr);
  EXPECT_FALSE(bare->metadata()->creationDate());
}

TEST(DAVUserArchive, NoUserWithoutTokenServiceOrUserID) {
  EXPECT_EQ(decode(PartialUserArchive("u", true, false, false)), nullptr);
  EXPECT_EQ(decode(PartialUserArchive(std::nullopt, true, true, false)), nullptr);
}

TEST(DAVUserDescription, NeverShowsTokens) {
  auto user = userFromAccountInfo({{"localId", "uid-9"}});
  const std::string text = user->description();
  EXPECT_NE(text.find("uid-9"), std::string::npos);
  EXPECT_EQ(text.find("access.token.x"), std::string::npos);
  EXPECT_EQ(text.find("refresh-token"), std::string::npos);
}

}  // namespace
