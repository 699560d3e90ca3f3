#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auth/DAVAuthInterop.h"
#include "davedove/verorariv/auth/davedove_credentials_provider.h"
#include "davedove/verorariv/util/status.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVOptions.h"

namespace davedove {
namespace verorariv {
namespace auth {
namespace {

using platform::dispatch::Queue;
using platform::dispatch::RunLoop;
using util::Status;
using util::StatusOr;

// Stands in for the authentication client: keeps each token request until the test answers it,
// and answers on the main queue as the real client does.
class FakeAuth : public DAVAuthInterop {
 public:
  void getTokenForcingRefresh(bool forceRefresh, DAVTokenCallback callback) override {
    forced.push_back(forceRefresh);
    pending.push_back(std::move(callback));
  }
  std::optional<std::string> getUserID() override { return uid; }

  // Answers the oldest request on the main queue.
  void Answer(std::optional<std::string> token, platform::ErrorPtr error) {
    ASSERT_FALSE(pending.empty());
    DAVTokenCallback callback = std::move(pending.front());
    pending.pop_front();
    Queue::main()->async([callback, token, error] { callback(token, error); });
  }

  std::optional<std::string> uid;
  std::vector<bool> forced;
  std::deque<DAVTokenCallback> pending;
};

std::shared_ptr<DAVApp> MakeApp(const std::string& name) {
  return DAVApp::initInstanceWithName(name, std::make_shared<DAVOptions>());
}

// Collects what a token listener receives.
struct TokenResults {
  TokenListener Listener() {
    return [this](StatusOr<Token> result) { results.push_back(std::move(result)); };
  }
  std::vector<StatusOr<Token>> results;
};

class CredentialsProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = MakeApp("credentials-test");
    auth_ = std::make_shared<FakeAuth>();
  }

  // What the authentication client posts when its token changes, on the main thread.
  void PostStateChange(const std::shared_ptr<DAVApp>& app, std::optional<std::string> uid) {
    platform::Dictionary info;
    if (app) info[kDAVAuthStateDidChangeInternalNotificationAppKey] = std::shared_ptr<const platform::Object>(app);
    if (uid) {
      info[kDAVAuthStateDidChangeInternalNotificationUIDKey] = *uid;
      info[kDAVAuthStateDidChangeInternalNotificationTokenKey] = "raw-" + *uid;
    }
    platform::NotificationCenter::defaultCenter().post(kDAVAuthStateDidChangeInternalNotification, auth_.get(),
                                                       std::move(info));
  }

  // Runs the main queue until `count` results arrived.
  static void WaitFor(const TokenResults& got, size_t count) {
    ASSERT_TRUE(RunLoop::runUntil([&] { return got.results.size() >= count; }, std::chrono::seconds(5)));
  }

  // GetToken as the database calls it: from its own serial queue.
  void GetTokenFromDatabaseQueue(DavedoveCredentialsProvider& provider, TokenListener listener) {
    database_queue_->sync([&] { provider.GetToken(std::move(listener)); });
  }

  std::shared_ptr<DAVApp> app_;
  std::shared_ptr<FakeAuth> auth_;
  platform::dispatch::QueuePtr database_queue_ = Queue::serial("credentials-test.database");
};

TEST_F(CredentialsProviderTest, WithoutAuthenticationTheTokenIsUnauthenticatedAtOnce) {
  DavedoveCredentialsProvider provider(app_, nullptr);
  TokenResults got;
  provider.GetToken(got.Listener());
  ASSERT_EQ(got.results.size(), 1u);  // no run loop needed
  ASSERT_TRUE(got.results[0].ok());
  EXPECT_EQ(got.results[0].value().token(), "");
  EXPECT_EQ(got.results[0].value().user(), User::Unauthenticated());
  EXPECT_FALSE(got.results[0].value().user().is_authenticated());
}

TEST_F(CredentialsProviderTest, TokensBelongToTheCurrentUser) {
  auth_->uid = "alice";
  DavedoveCredentialsProvider provider(app_, auth_);

  TokenResults got;
  GetTokenFromDatabaseQueue(provider, got.Listener());
  auth_->Answer(std::string("id-token-1"), nullptr);
  WaitFor(got, 1);
  ASSERT_TRUE(got.results[0].ok()) << got.results[0].status().ToString();
  EXPECT_EQ(got.results[0].value().token(), "id-token-1");
  EXPECT_EQ(got.results[0].value().user(), User("alice"));

  // Signed out: the client answers with neither token nor error.
  PostStateChange(app_, std::nullopt);
  GetTokenFromDatabaseQueue(provider, got.Listener());
  auth_->Answer(std::nullopt, nullptr);
  WaitFor(got, 2);
  ASSERT_TRUE(got.results[1].ok());
  EXPECT_EQ(got.results[1].value().token(), "");
  EXPECT_FALSE(got.results[1].value().user().is_authenticated());
}

TEST_F(CredentialsProviderTest, TokenChangeDuringFetchAbortsIt) {
  DavedoveCredentialsProvider provider(app_, auth_);
  TokenResults got;

  // A sign-in lands between the request and its answer.
  GetTokenFromDatabaseQueue(provider, got.Listener());
  PostStateChange(app_, std::string("bob"));
  auth_->Answer(std::string("token-of-nobody"), nullptr);
  WaitFor(got, 1);
  ASSERT_FALSE(got.results[0].ok());
  EXPECT_EQ(got.results[0].status().code(), VerorarivErrorCode::Aborted);
  EXPECT_EQ(got.results[0].status().error_message(), "getToken aborted due to token change.");

  // A refresh of the same user's token counts as a change too; so does an error answer.
  GetTokenFromDatabaseQueue(provider, got.Listener());
  PostStateChange(app_, std::string("bob"));
  auth_->Answer(std::nullopt, platform::makeError("DAVAuthErrorDomain", 17020, "network"));
  WaitFor(got, 2);
  EXPECT_EQ(got.results[1].status().code(), VerorarivErrorCode::Aborted);

  // A fetch started after the change goes through, for the new user.
  GetTokenFromDatabaseQueue(provider, got.Listener());
  auth_->Answer(std::string("bobs-token"), nullptr);
  WaitFor(got, 3);
  ASSERT_TRUE(got.results[2].ok());
  EXPECT_EQ(got.results[2].value().user(), User("bob"));
  EXPECT_EQ(got.results[2].value().token(), "bobs-token");
}

TEST_F(CredentialsProviderTest, NotificationsOfOtherAppsChangeNothing) {
  auth_->uid = "alice";
  DavedoveCredentialsProvider provider(app_, auth_);
  std::vector<User> users;
  provider.SetCredentialChangeListener([&](User user) { users.push_back(user); });
  ASSERT_EQ(users.size(), 1u);

  TokenResults got;
  GetTokenFromDatabaseQueue(provider, got.Listener());
  PostStateChange(MakeApp("another-app"), std::string("mallory"));
  PostStateChange(nullptr, std::string("mallory"));  // a client without an app
  auth_->Answer(std::string("t"), nullptr);
  WaitFor(got, 1);
  ASSERT_TRUE(got.results[0].ok());
  EXPECT_EQ(got.results[0].value().user(), User("alice"));
  EXPECT_EQ(users.size(), 1u);

  provider.SetCredentialChangeListener(nullptr);
}

TEST_F(CredentialsProviderTest, ChangeListenerFollowsTheUser) {
  DavedoveCredentialsProvider provider(app_, auth_);
  std::vector<User> users;
  provider.SetCredentialChangeListener([&](User user) { users.push_back(user); });
  PostStateChange(app_, std::string("carol"));
  PostStateChange(app_, std::string("carol"));  // token refresh
  PostStateChange(app_, std::nullopt);          // sign-out
  ASSERT_EQ(users.size(), 4u);
  EXPECT_EQ(users[0], User::Unauthenticated());  // at once, on setting
  EXPECT_EQ(users[1], User("carol"));
  EXPECT_EQ(users[2], User("carol"));
  EXPECT_EQ(users[3], User::Unauthenticated());

  // Once removed, the provider stops following: a later listener sees the user as it was.
  provider.SetCredentialChangeListener(nullptr);
  PostStateChange(app_, std::string("dave"));
  EXPECT_EQ(users.size(), 4u);
  std::vector<User> later;
  provider.SetCredentialChangeListener([&](User user) { later.push_back(user); });
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0], User::Unauthenticated());
}

TEST_F(CredentialsProviderTest, InvalidateTokenForcesOnlyTheNextFetch) {
  DavedoveCredentialsProvider provider(app_, auth_);
  TokenResults got;
  GetTokenFromDatabaseQueue(provider, got.Listener());
  provider.InvalidateToken();
  GetTokenFromDatabaseQueue(provider, got.Listener());
  GetTokenFromDatabaseQueue(provider, got.Listener());
  EXPECT_EQ(auth_->forced, (std::vector<bool>{false, true, false}));
}

TEST_F(CredentialsProviderTest, ErrorsKeepOnlyTheDatabasesOwnCodes) {
  DavedoveCredentialsProvider provider(app_, auth_);
  struct Case {
    platform::ErrorPtr error;
    VerorarivErrorCode expected;
  };
  const std::vector<Case> cases = {
      {platform::makeError("DAVAuthErrorDomain", 17020, "Network error."), VerorarivErrorCode::Unknown},
      {platform::makeError(util::kDAVVerorarivErrorDomain, 7, "Missing permissions."),
       VerorarivErrorCode::PermissionDenied},
      // Code 0 of the database's domain means success there; a failed fetch must not become OK.
      {platform::makeError(util::kDAVVerorarivErrorDomain, 0, "Zero."), VerorarivErrorCode::Unknown},
      {platform::makeError(util::kDAVVerorarivErrorDomain, 99, "Beyond."), VerorarivErrorCode::Unknown},
      {platform::makeError(util::kDAVVerorarivErrorDomain, -1, "Negative."), VerorarivErrorCode::Unknown},
  };
  TokenResults got;
  for (const Case& c : cases) {
    GetTokenFromDatabaseQueue(provider, got.Listener());
    auth_->Answer(std::nullopt, c.error);
  }
  WaitFor(got, cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].error->description());
    ASSERT_FALSE(got.results[i].ok());
    EXPECT_EQ(got.results[i].status().code(), cases[i].expected);
    EXPECT_EQ(got.results[i].status().error_message(), cases[i].error->localizedDescription());
  }
}

TEST_F(CredentialsProviderTest, NothingArrivesAfterTheProviderIsGone) {
  auto provider = std::make_unique<DavedoveCredentialsProvider>(app_, auth_);
  TokenResults got;
  GetTokenFromDatabaseQueue(*provider, got.Listener());
  provider.reset();
  auth_->Answer(std::string("late"), nullptr);
  PostStateChange(app_, std::string("erin"));
  RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_TRUE(got.results.empty());
}

TEST_F(CredentialsProviderTest, EmptyUidCountsAsSignedOut) {
  auth_->uid = "";
  DavedoveCredentialsProvider provider(app_, auth_);
  std::vector<User> users;
  provider.SetCredentialChangeListener([&](User user) { users.push_back(user); });
  PostStateChange(app_, std::string(""));
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0], User::Unauthenticated());
  EXPECT_EQ(users[1], User::Unauthenticated());
}

TEST(UserTest, Equality) {
  EXPECT_EQ(User(), User::Unauthenticated());
  EXPECT_EQ(User().uid(), "");
  EXPECT_FALSE(User().is_authenticated());
  EXPECT_EQ(&User::Unauthenticated(), &User::Unauthenticated());
  EXPECT_EQ(User("a"), User("a"));
  EXPECT_NE(User("a"), User("b"));
  EXPECT_NE(User("a"), User());
  EXPECT_NE(User(std::string("a\0b", 3)), User("a"));  // uids compare as bytes
  EXPECT_TRUE(User("a").is_authenticated());

  EXPECT_EQ(&Token::Unauthenticated(), &Token::Unauthenticated());
  EXPECT_EQ(Token::Unauthenticated().token(), "");
  EXPECT_EQ(Token::Unauthenticated().user(), User::Unauthenticated());
}

class CredentialsProviderDeathTest : public CredentialsProviderTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CredentialsProviderTest::SetUp();
  }
};

TEST_F(CredentialsProviderDeathTest, MisuseStopsTheProcess) {
  EXPECT_DEATH(User(""), "VERORARIV INTERNAL ASSERTION FAILED: !uid_.empty\\(\\)");

  EXPECT_DEATH(
      {
        DavedoveCredentialsProvider provider(app_, auth_);
        provider.SetCredentialChangeListener([](User) {});
        provider.SetCredentialChangeListener([](User) {});
      },
      "set change_listener twice! \\(expected !change_listener_\\)");
  EXPECT_DEATH(
      {
        DavedoveCredentialsProvider provider(app_, auth_);
        provider.SetCredentialChangeListener(nullptr);
      },
      "change_listener removed without being set! \\(expected change_listener_\\)");
  EXPECT_DEATH(
      {
        DavedoveCredentialsProvider provider(app_, auth_);
        provider.SetCredentialChangeListener([](User) {});
        provider.SetCredentialChangeListener(nullptr);
        provider.SetCredentialChangeListener(nullptr);
      },
      "removed change_listener twice! \\(expected auth_listener_handle_\\)");
  EXPECT_DEATH(
      {
        DavedoveCredentialsProvider provider(app_, auth_);
        provider.SetCredentialChangeListener([](User) {});
        provider.SetCredentialChangeListener(nullptr);
        provider.GetToken([](StatusOr<Token>) {});
      },
      "GetToken cannot be called after listener removed. \\(expected auth_listener_handle_\\)");
}

}  // namespace
}  // namespace auth
}  // namespace verorariv
}  // namespace davedove
