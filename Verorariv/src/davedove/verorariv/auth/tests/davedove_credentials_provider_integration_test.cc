// The credentials provider over the real authentication client, signed in against the
// identity-service stand-in on loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auth/DAVAuth.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "auth/tests/AuthTestSupport.h"
#include "backend/src/TestBackend.h"
#include "davedove/verorariv/auth/davedove_credentials_provider.h"
#include "davedove/verorariv/util/status.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/net/URLRequest.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVOptions.h"

namespace davedove {
namespace verorariv {
namespace auth {
namespace {

using platform::dispatch::RunLoop;
using util::StatusOr;

constexpr const char kAppID[] = "1:123456789012:ios:0123456789abcdef";
constexpr const char kAPIKey[] = "credentials-integration-key";
constexpr const char kPassword[] = "correct-horse-battery";

bool Spin(const std::function<bool()>& done) { return RunLoop::runUntil(done, std::chrono::seconds(10)); }

// Lets queued work of the client finish: its work queue, then the main queue.
void Settle() {
  for (int i = 0; i < 3; ++i) {
    DAVAuthGlobalWorkQueue()->sync([] {});
    RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(20));
  }
}

class CredentialsProviderIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The keychain stand-in lives under HOME.
    home_ = std::filesystem::temp_directory_path() /
            ("vrv-credentials-home-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    if (const char* home = std::getenv("HOME")) old_home_ = home;
    ::setenv("HOME", home_.c_str(), 1);
    platform::net::setAllowsInsecureLoopbackHTTP(true);

    backend::SeedUser alice;
    alice.email = "alice@example.com";
    alice.password = kPassword;
    backend::SeedUser bob;
    bob.email = "bob@example.com";
    bob.password = kPassword;
    backend_ = std::make_unique<backend::TestBackend>(std::vector<backend::SeedUser>{alice, bob},
                                                      std::vector<std::string>{kAPIKey});
    alice_uid_ = backend_->identity().userByEmail("alice@example.com")->uid;

    DAVApp::resetApps();
    DAVAuth::load();
    DAVApp::configureWithOptions(Options());
    app_ = DAVApp::defaultApp();
    ASSERT_NE(app_, nullptr);
    auth_ = DAVAuth::authWithApp(app_);
    ASSERT_NE(auth_, nullptr);
    Settle();
  }

  void TearDown() override {
    provider_.reset();
    auth_.reset();
    app_.reset();
    DAVApp::resetApps();
    Settle();
    backend_.reset();
    platform::net::setAllowsInsecureLoopbackHTTP(false);
    ::setenv("HOME", old_home_.c_str(), 1);
    std::filesystem::remove_all(home_);
  }

  std::shared_ptr<DAVOptions> Options() const {
    return authtest::standInOptions(kAppID, kAPIKey, backend_->baseURL());
  }

  // The provider for the default app, with a listener that records every user it is told about.
  void MakeProvider() {
    provider_ = std::make_unique<DavedoveCredentialsProvider>(app_, auth_);
    provider_->SetCredentialChangeListener([this](User user) { users_.push_back(std::move(user)); });
  }

  static void SignIn(const std::shared_ptr<DAVAuth>& auth, const std::string& email) {
    bool done = false;
    platform::ErrorPtr error;
    auth->signInWithEmail(email, kPassword, [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr e) {
      error = e;
      done = true;
    });
    ASSERT_TRUE(Spin([&] { return done; }));
    ASSERT_EQ(error, nullptr) << error->description();
  }

  StatusOr<Token> FetchToken() {
    std::optional<StatusOr<Token>> result;
    provider_->GetToken([&](StatusOr<Token> token) { result = std::move(token); });
    EXPECT_TRUE(Spin([&] { return result.has_value(); }));
    return result ? *result : StatusOr<Token>(util::Status(VerorarivErrorCode::Unknown, "timed out"));
  }

  // The uid the stand-in's signer vouches for, or "" when it rejects the token.
  std::string VerifiedUid(const std::string& token) const {
    auto claims = backend_->identity().verifyIDToken(token);
    if (!claims) return "";
    return claims->value("sub", "");
  }

  size_t TokenExchanges() const { return backend_->requestsForPath("/v1/token").size(); }

  std::filesystem::path home_;
  std::string old_home_;
  std::unique_ptr<backend::TestBackend> backend_;
  std::string alice_uid_;
  std::shared_ptr<DAVApp> app_;
  std::shared_ptr<DAVAuth> auth_;
  std::unique_ptr<DavedoveCredentialsProvider> provider_;
  std::vector<User> users_;
};

TEST_F(CredentialsProviderIntegrationTest, FollowsSignInRefreshAndSignOut) {
  MakeProvider();

  // Signed out: the listener hears the unauthenticated user at once, and there is no token.
  ASSERT_EQ(users_.size(), 1u);
  EXPECT_FALSE(users_[0].is_authenticated());
  StatusOr<Token> signed_out = FetchToken();
  ASSERT_TRUE(signed_out.ok()) << signed_out.status().ToString();
  EXPECT_EQ(signed_out.value().token(), "");
  EXPECT_EQ(signed_out.value().user(), User::Unauthenticated());

  SignIn(auth_, "alice@example.com");
  ASSERT_TRUE(Spin([&] { return users_.size() >= 2; }));
  ASSERT_EQ(users_.size(), 2u);
  EXPECT_EQ(users_[1], User(alice_uid_));

  StatusOr<Token> first = FetchToken();
  ASSERT_TRUE(first.ok()) << first.status().ToString();
  EXPECT_EQ(first.value().user(), User(alice_uid_));
  EXPECT_EQ(VerifiedUid(first.value().token()), alice_uid_);

  // A fetch without force reuses the cached token and asks the stand-in nothing.
  const size_t exchanges_before = TokenExchanges();
  StatusOr<Token> cached = FetchToken();
  ASSERT_TRUE(cached.ok()) << cached.status().ToString();
  EXPECT_EQ(cached.value().token(), first.value().token());
  EXPECT_EQ(TokenExchanges(), exchanges_before);

  // A forced refresh exchanges the refresh token. The client announces the new access token
  // before it hands it over, so that very fetch is overtaken by its own token change; the
  // database retries, and the retry gets the new token without another exchange.
  provider_->InvalidateToken();
  StatusOr<Token> overtaken = FetchToken();
  EXPECT_EQ(TokenExchanges(), exchanges_before + 1);
  ASSERT_FALSE(overtaken.ok());
  EXPECT_EQ(overtaken.status().code(), VerorarivErrorCode::Aborted);
  EXPECT_EQ(overtaken.status().error_message(), "getToken aborted due to token change.");
  ASSERT_EQ(users_.size(), 3u);
  EXPECT_EQ(users_[2], User(alice_uid_));

  StatusOr<Token> refreshed = FetchToken();
  ASSERT_TRUE(refreshed.ok()) << refreshed.status().ToString();
  EXPECT_EQ(TokenExchanges(), exchanges_before + 1);
  EXPECT_NE(refreshed.value().token(), first.value().token());
  EXPECT_EQ(refreshed.value().user(), User(alice_uid_));
  EXPECT_EQ(VerifiedUid(refreshed.value().token()), alice_uid_);

  platform::ErrorPtr error;
  ASSERT_TRUE(auth_->signOut(&error));
  ASSERT_TRUE(Spin([&] { return users_.size() >= 4; }));
  ASSERT_EQ(users_.size(), 4u);
  EXPECT_FALSE(users_[3].is_authenticated());
  EXPECT_EQ(users_[3], User::Unauthenticated());

  StatusOr<Token> after_sign_out = FetchToken();
  ASSERT_TRUE(after_sign_out.ok()) << after_sign_out.status().ToString();
  EXPECT_EQ(after_sign_out.value().token(), "");
  EXPECT_FALSE(after_sign_out.value().user().is_authenticated());
}

TEST_F(CredentialsProviderIntegrationTest, StartsWithTheUserAlreadySignedIn) {
  SignIn(auth_, "alice@example.com");
  Settle();

  MakeProvider();
  ASSERT_EQ(users_.size(), 1u);
  EXPECT_EQ(users_[0], User(alice_uid_));

  StatusOr<Token> token = FetchToken();
  ASSERT_TRUE(token.ok()) << token.status().ToString();
  EXPECT_EQ(token.value().user(), User(alice_uid_));
  EXPECT_EQ(VerifiedUid(token.value().token()), alice_uid_);
}

TEST_F(CredentialsProviderIntegrationTest, IgnoresTheClientOfAnotherApp) {
  DAVApp::configureWithName("other", Options());
  std::shared_ptr<DAVApp> other_app = DAVApp::appNamed("other");
  ASSERT_NE(other_app, nullptr);
  std::shared_ptr<DAVAuth> other_auth = DAVAuth::authWithApp(other_app);
  ASSERT_NE(other_auth, nullptr);
  ASSERT_NE(other_auth, auth_);
  Settle();

  MakeProvider();
  SignIn(other_auth, "bob@example.com");
  Settle();
  ASSERT_EQ(users_.size(), 1u);
  EXPECT_FALSE(users_[0].is_authenticated());

  // The default app's own sign-in still arrives, with its own user.
  SignIn(auth_, "alice@example.com");
  ASSERT_TRUE(Spin([&] { return users_.size() >= 2; }));
  ASSERT_EQ(users_.size(), 2u);
  EXPECT_EQ(users_[1], User(alice_uid_));

  StatusOr<Token> token = FetchToken();
  ASSERT_TRUE(token.ok()) << token.status().ToString();
  EXPECT_EQ(VerifiedUid(token.value().token()), alice_uid_);
}

}  // namespace
}  // namespace auth
}  // namespace verorariv
}  // namespace davedove
