// The token service over a scripted issuer: cache, expiry, refresh and archiving.
#include <gtest/gtest.h>

#include "auth/DAVAuthJSON.h"
#include "auth/DAVSecureTokenService.h"
#include "auth/tests/AuthTestSupport.h"

namespace {

using platform::ErrorPtr;

struct FetchResult {
  std::optional<std::string> token;
  ErrorPtr error;
  bool updated = false;
};

platform::Date inSeconds(double seconds) { return {dav_auth_json::now().secondsSince1970 + seconds}; }

class DAVSecureTokenServiceTest : public authtest::FakeBackendTest {
 protected:
  DAVSecureTokenServicePtr makeService(std::optional<platform::Date> expiry, std::string access = "access-1",
                                       std::string refresh = "refresh-1") {
    return std::make_shared<DAVSecureTokenService>(DAVAuthRequestConfiguration::initWithAPIKey("key-1"), access, expiry,
                                                   refresh);
  }
  static FetchResult fetch(const DAVSecureTokenServicePtr& service, bool force) {
    std::promise<FetchResult> promise;
    auto future = promise.get_future();
    service->fetchAccessTokenForcingRefresh(force, [&promise](std::optional<std::string> token, ErrorPtr error,
                                                              bool updated) {
      promise.set_value({token, error, updated});
    });
    return authtest::waitFor(future);
  }
  void replyTokens(const std::string& access, const std::string& refresh, const std::string& expiresIn = "3600") {
    issuer_->replyOK(nlohmann::json{{"access_token", access}, {"refresh_token", refresh}, {"expires_in", expiresIn},
                                    {"id_token", access}, {"token_type", "Bearer"}}
                         .dump());
  }
};

TEST_F(DAVSecureTokenServiceTest, CachedTokenIsUsedOnlyWithMoreThanFiveMinutesLeft) {
  auto fresh = makeService(inSeconds(301));
  FetchResult cached = fetch(fresh, false);
  EXPECT_EQ(cached.token, "access-1");
  EXPECT_FALSE(cached.error);
  EXPECT_FALSE(cached.updated);
  EXPECT_TRUE(issuer_->sent().empty());

  replyTokens("access-2", "refresh-1");
  auto stale = makeService(inSeconds(300));
  FetchResult refreshed = fetch(stale, false);
  EXPECT_EQ(refreshed.token, "access-2");
  EXPECT_TRUE(refreshed.updated);
  ASSERT_EQ(issuer_->sent().size(), 1u);
  EXPECT_EQ(issuer_->sent()[0].URL, "https://securetoken.davedoveapis.com/v1/token?key=key-1");
  EXPECT_EQ(nlohmann::json::parse(*issuer_->sent()[0].body),
            nlohmann::json({{"grantType", "refresh_token"}, {"refreshToken", "refresh-1"}}));
  EXPECT_EQ(stale->rawAccessToken(), "access-2");
  EXPECT_NEAR(stale->accessTokenExpirationDate()->secondsSince1970, inSeconds(3600).secondsSince1970, 5);

  // Without an expiry date the token counts as expired.
  replyTokens("access-3", "refresh-1");
  EXPECT_EQ(fetch(makeService(std::nullopt), false).token, "access-3");
}

TEST_F(DAVSecureTokenServiceTest, ForcedFetchAlwaysExchanges) {
  replyTokens("access-2", "refresh-1");
  auto service = makeService(inSeconds(3000));
  EXPECT_EQ(fetch(service, true).token, "access-2");
  EXPECT_EQ(issuer_->sent().size(), 1u);
}

TEST_F(DAVSecureTokenServiceTest, SameAccessTokenKeepsItsNewExpiryButIsNoUpdate) {
  auto service = makeService(inSeconds(10));
  replyTokens("access-1", "refresh-1", "7200");
  FetchResult same = fetch(service, true);
  EXPECT_EQ(same.token, "access-1");
  EXPECT_FALSE(same.updated);
  EXPECT_NEAR(service->accessTokenExpirationDate()->secondsSince1970, inSeconds(7200).secondsSince1970, 5);
  // With the longer life the next plain request is answered from the cache.
  EXPECT_EQ(fetch(service, false).token, "access-1");
  EXPECT_EQ(issuer_->sent().size(), 1u);

  // A new refresh token alone is an update.
  replyTokens("access-1", "refresh-2");
  FetchResult rotated = fetch(service, true);
  EXPECT_TRUE(rotated.updated);
  EXPECT_EQ(service->refreshToken(), "refresh-2");
}

TEST_F(DAVSecureTokenServiceTest, FailedExchangeChangesNothing) {
  auto service = makeService(inSeconds(10));
  issuer_->replyServerMessage("TOKEN_EXPIRED");
  FetchResult expired = fetch(service, false);
  EXPECT_FALSE(expired.token);
  ASSERT_TRUE(expired.error);
  EXPECT_EQ(expired.error->code(), 17021);
  EXPECT_FALSE(expired.updated);

  issuer_->replyOK(R"({"access_token":"access-9","refresh_token":"refresh-9","expires_in":3600})");
  FetchResult unusable = fetch(service, false);
  EXPECT_FALSE(unusable.token);
  EXPECT_EQ(unusable.error->code(), 17999);

  issuer_->replyTransferFailure();
  EXPECT_EQ(fetch(service, false).error->code(), 17020);
  EXPECT_EQ(service->rawAccessToken(), "access-1");
  EXPECT_EQ(service->refreshToken(), "refresh-1");
}

TEST_F(DAVSecureTokenServiceTest, ConcurrentForcedRequestsRunOneAfterTheOther) {
  auto service = makeService(inSeconds(10));
  replyTokens("access-2", "refresh-2");
  replyTokens("access-3", "refresh-3");
  std::promise<FetchResult> first, second;
  service->fetchAccessTokenForcingRefresh(true, [&](std::optional<std::string> t, ErrorPtr e, bool u) {
    first.set_value({t, e, u});
  });
  service->fetchAccessTokenForcingRefresh(true, [&](std::optional<std::string> t, ErrorPtr e, bool u) {
    second.set_value({t, e, u});
  });
  auto f1 = first.get_future(), f2 = second.get_future();
  EXPECT_EQ(authtest::waitFor(f1).token, "access-2");
  EXPECT_EQ(authtest::waitFor(f2).token, "access-3");
  auto sent = issuer_->sent();
  ASSERT_EQ(sent.size(), 2u);
  // The second exchange already used what the first one stored.
  EXPECT_EQ(nlohmann::json::parse(*sent[1].body)["refreshToken"], "refresh-2");
}

TEST_F(DAVSecureTokenServiceTest, ServiceWithoutRefreshTokenUsesTheAuthorizationCode) {
  auto service = std::make_shared<DAVSecureTokenService>(DAVAuthRequestConfiguration::initWithAPIKey("k"), "code-1");
  replyTokens("access-1", "refresh-1");
  EXPECT_EQ(fetch(service, false).token, "access-1");
  EXPECT_EQ(nlohmann::json::parse(*issuer_->sent()[0].body),
            nlohmann::json({{"grantType", "authorization_code"}, {"code", "code-1"}}));
}

TEST(DAVSecureTokenServiceArchive, RoundTripAndRefusalWithoutRefreshToken) {
  auto service = std::make_shared<DAVSecureTokenService>(DAVAuthRequestConfiguration::initWithAPIKey("key-1"),
                                                         "access-1", platform::Date{1700000000.5}, "refresh-1");
  platform::KeyedArchiver archiver;
  service->encodeWithCoder(archiver);
  auto flat = platform::KeyedUnarchiver::create(archiver.encodedData());
  ASSERT_TRUE(flat);
  EXPECT_EQ(flat->decodeString("APIKey"), "key-1");

  auto data = platform::KeyedArchiver::archivedData("tokenService", *service);
  auto unarchiver = platform::KeyedUnarchiver::create(data);
  auto back = unarchiver->decodeObjectOfClass<DAVSecureTokenService>("tokenService");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->rawAccessToken(), "access-1");
  EXPECT_EQ(back->refreshToken(), "refresh-1");
  EXPECT_EQ(back->accessTokenExpirationDate(), platform::Date{1700000000.5});
  EXPECT_FALSE(back->requestConfiguration());

  auto noRefresh = std::make_shared<DAVSecureTokenService>(nullptr, "access-1", platform::Date{1}, std::nullopt);
  auto noRefreshData = platform::KeyedArchiver::archivedData("tokenService", *noRefresh);
  EXPECT_FALSE(platform::KeyedUnarchiver::create(noRefreshData)->decodeObjectOfClass<DAVSecureTokenService>("tokenService"));
}

}  // namespace
