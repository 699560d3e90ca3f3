// The auth client end to end against the identity-service stand-in on loopback.
#include "auth/DAVAuth.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>

#include "auth/DAVAuthDataResult.h"
#include "auth/DAVAuthDispatcher.h"
#include "auth/DAVAuthErrors.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "auth/DAVUser.h"
#include "auth/tests/AuthTestSupport.h"
#include "backend/src/TestBackend.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/PropertyList.h"
#include "platform/keychain/Keychain.h"
#include "platform/net/URLRequest.h"
#include "platform/utilities/Logger.h"
#include "sdk-core/DAVLogger.h"

using platform::ErrorPtr;
using platform::dispatch::RunLoop;
namespace kc = platform::keychain;

namespace {

constexpr const char kAppID[] = "1:123456789012:ios:0123456789abcdef";
constexpr const char kAPIKey[] = "test-api-key";
constexpr const char kPassword[] = "correct-horse-battery";
constexpr const char kRelyingParty[] = "/identityservice/v3/relyingparty/";

bool spin(const std::function<bool()>& pred, int ms = 10000) {
  return RunLoop::runUntil(pred, std::chrono::milliseconds(ms));
}

// Lets queued work of the client finish: the work queue, then the main queue.
void settle() {
  for (int i = 0; i < 3; ++i) {
    DAVAuthGlobalWorkQueue()->sync([] {});
    RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(20));
  }
}

struct Outcome {
  bool done = false;
  bool onMain = false;
  std::shared_ptr<DAVAuthDataResult> result;
  ErrorPtr error;
};

struct Posted {
  std::string name;
  const void* sender;
  platform::Dictionary userInfo;
};

// Records the client's notifications while alive.
class NotificationLog {
 public:
  NotificationLog() {
    for (const char* name : {kDAVAuthStateDidChangeInternalNotification, kDAVAuthStateDidChangeNotification}) {
      tokens_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
          name, nullptr, [this](const platform::Notification& n) {
            std::lock_guard<std::mutex> lock(mutex_);
            posted_.push_back({n.name, n.sender, n.userInfo});
          }));
    }
  }
  ~NotificationLog() {
    for (auto t : tokens_) platform::NotificationCenter::defaultCenter().removeObserver(t);
  }
  std::vector<Posted> posted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return posted_;
  }
  std::vector<Posted> internal() const {
    std::vector<Posted> out;
    for (auto& p : posted())
      if (p.name == kDAVAuthStateDidChangeInternalNotification) out.push_back(p);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Posted> posted_;
  std::vector<platform::ObserverToken> tokens_;
};

std::optional<std::string> stringAt(const platform::Dictionary& d, const char* key) {
  auto it = d.find(key);
  if (it == d.end() || !it->second.asString()) return std::nullopt;
  return *it->second.asString();
}

// A loopback port where nothing listens.
uint16_t closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

class DAVAuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("dav-auth-home-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    if (const char* h = std::getenv("HOME")) oldHome_ = h;
    ::setenv("HOME", home_.c_str(), 1);
    platform::net::setAllowsInsecureLoopbackHTTP(true);  // the stand-in speaks plain HTTP on loopback

    backend::SeedUser alice;
    alice.email = "alice@example.com";
    alice.password = kPassword;
    alice.displayName = "Alice";
    backend::SeedUser carol;
    carol.email = "carol@example.com";
    carol.password = kPassword;
    carol.disabled = true;
    backend_ = std::make_unique<backend::TestBackend>(std::vector<backend::SeedUser>{alice, carol},
                                                      std::vector<std::string>{kAPIKey});
    aliceUID_ = backend_->identity().userByEmail("alice@example.com")->uid;
    DAVApp::resetApps();
    DAVAuth::load();
    configure();
    auth_ = DAVAuth::auth();
    ASSERT_NE(auth_, nullptr);
    settle();
    backend_->clearRequests();
  }

  void TearDown() override {
    DAVAuthDispatcher::sharedInstance().setDispatchAfterImplementation(nullptr);
    auth_.reset();
    DAVApp::resetApps();
    settle();
    backend_.reset();
    platform::net::setAllowsInsecureLoopbackHTTP(false);
    ::setenv("HOME", oldHome_.c_str(), 1);
    std::filesystem::remove_all(home_);
  }

  std::shared_ptr<DAVOptions> options() const {
    return authtest::standInOptions(kAppID, kAPIKey, backend_->baseURL());
  }
  void configure() { DAVApp::configureWithOptions(options()); }

  // A new client over the same keychain, as after a restart of the program; `beforeStart` runs
  // just before the new client is made.
  std::shared_ptr<DAVAuth> restart(const std::function<void()>& beforeStart = nullptr) {
    auth_.reset();
    DAVApp::resetApps();
    settle();
    if (beforeStart) beforeStart();
    configure();
    return DAVAuth::auth();
  }

  // Starts a sign-in flow with a recording completion and waits for it.
  static Outcome await(const std::function<void(DAVAuthDataResultCallback)>& start) {
    auto out = std::make_shared<Outcome>();
    start([out](std::shared_ptr<DAVAuthDataResult> r, ErrorPtr e) {
      out->onMain = platform::dispatch::isMainThread();
      out->result = r;
      out->error = e;
      out->done = true;
    });
    EXPECT_TRUE(spin([out] { return out->done; }));
    return *out;
  }
  Outcome signIn(const std::string& email, const std::string& password, std::shared_ptr<DAVAuth> auth = nullptr) {
    return await([&](DAVAuthDataResultCallback done) {
      (auth ? auth : auth_)->signInWithEmail(email, password, std::move(done));
    });
  }
  Outcome createUser(const std::string& email, const std::string& password) {
    return await([&](DAVAuthDataResultCallback done) { auth_->createUserWithEmail(email, password, std::move(done)); });
  }
  std::shared_ptr<DAVUser> signInAlice() {
    auto outcome = signIn("alice@example.com", kPassword);
    EXPECT_EQ(outcome.error, nullptr) << (outcome.error ? outcome.error->description() : "");
    settle();
    return outcome.result ? outcome.result->user() : nullptr;
  }
  std::pair<std::optional<std::string>, ErrorPtr> token(bool force) {
    struct State {
      bool done = false, onMain = false;
      std::optional<std::string> token;
      ErrorPtr error;
    };
    auto state = std::make_shared<State>();
    auth_->getTokenForcingRefresh(force, [state](std::optional<std::string> t, ErrorPtr e) {
      state->onMain = platform::dispatch::isMainThread();
      state->token = t;
      state->error = e;
      state->done = true;
    });
    EXPECT_TRUE(spin([state] { return state->done; }));
    EXPECT_TRUE(state->onMain);
    return {state->token, state->error};
  }

  // Reloads the user's account and waits for the outcome.
  ErrorPtr reload(const std::shared_ptr<DAVUser>& user) {
    auto state = std::make_shared<std::pair<bool, ErrorPtr>>();
    user->reloadWithCompletion([state](ErrorPtr e) { *state = {true, e}; });
    EXPECT_TRUE(spin([state] { return state->first; }));
    return state->second;
  }

  std::string userAccount(const std::string& appName = kDAVDefaultAppName) const {
    return std::string("davedove_auth_1_") + appName + "_davedove_user";
  }
  std::vector<kc::Item> storedUserItems(const std::string& appName = kDAVDefaultAppName) const {
    kc::Query q;
    q.service = std::string("davedove_auth_") + kAppID;
    q.account = userAccount(appName);
    std::vector<kc::Item> items;
    kc::Keychain::standard().copyMatching(q, 0, &items);
    return items;
  }
  std::vector<std::string> requestedCalls() const {
    std::vector<std::string> calls;
    for (const auto& r : backend_->requests()) calls.push_back(r.path);
    return calls;
  }

  std::filesystem::path home_;
  std::string oldHome_;
  std::unique_ptr<backend::TestBackend> backend_;
  std::string aliceUID_;
  std::shared_ptr<DAVAuth> auth_;
};

std::string rp(const char* call) { return std::string(kRelyingParty) + call; }

TEST_F(DAVAuthTest, SignInReadsAccountInfoSavesTheUserAndTellsEveryone) {
  NotificationLog notifications;
  auto outcome = signIn("alice@example.com", kPassword);
  ASSERT_EQ(outcome.error, nullptr) << outcome.error->description();
  ASSERT_NE(outcome.result, nullptr);
  EXPECT_TRUE(outcome.onMain);
  auto user = outcome.result->user();
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->uid(), aliceUID_);
  EXPECT_EQ(user->email(), std::optional<std::string>("alice@example.com"));
  EXPECT_EQ(user->displayName(), std::optional<std::string>("Alice"));
  EXPECT_FALSE(user->isAnonymous());
  ASSERT_NE(outcome.result->additionalUserInfo(), nullptr);
  EXPECT_EQ(outcome.result->additionalUserInfo()->providerID(), std::optional<std::string>("password"));
  EXPECT_FALSE(outcome.result->additionalUserInfo()->isNewUser());
  EXPECT_EQ(auth_->currentUser(), user);
  EXPECT_EQ(auth_->getUserID(), aliceUID_);
  EXPECT_NE(DAVApp::davedoveUserAgent().find("dav-auth/5.4.2"), std::string::npos);

  // verifyPassword, then getAccountInfo with the new ID token, both with the API key.
  auto requests = backend_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, rp("verifyPassword"));
  EXPECT_EQ(requests[0].query.at("key"), kAPIKey);
  EXPECT_EQ(requests[0].json,
            (nlohmann::json{{"email", "alice@example.com"}, {"password", kPassword}, {"returnSecureToken", true}}));
  EXPECT_EQ(requests[1].path, rp("getAccountInfo"));
  EXPECT_EQ(requests[1].query.at("key"), kAPIKey);
  EXPECT_EQ(requests[1].json, (nlohmann::json{{"idToken", *user->rawAccessToken()}}));

  // Stored in the keychain, in a file only its owner may read.
  auto items = storedUserItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_FALSE(items[0].data.empty());
  struct stat st {};
  ASSERT_EQ(::stat(kc::Keychain::defaultPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The internal notification, then the public one, both from this client.
  settle();
  auto posted = notifications.posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].name, kDAVAuthStateDidChangeInternalNotification);
  EXPECT_EQ(posted[1].name, kDAVAuthStateDidChangeNotification);
  EXPECT_EQ(posted[0].sender, auth_.get());
  EXPECT_EQ(posted[1].sender, auth_.get());
  EXPECT_TRUE(posted[1].userInfo.empty());
  const auto& info = posted[0].userInfo;
  EXPECT_EQ(stringAt(info, kDAVAuthStateDidChangeInternalNotificationTokenKey), user->rawAccessToken());
  EXPECT_EQ(stringAt(info, kDAVAuthStateDidChangeInternalNotificationUIDKey), aliceUID_);
  ASSERT_TRUE(info.count(kDAVAuthStateDidChangeInternalNotificationAppKey));
  EXPECT_EQ(info.at(kDAVAuthStateDidChangeInternalNotificationAppKey).asObject(), DAVApp::defaultApp());

  // The same user again with the same token posts nothing.
  notifications.clear();
  DAVAuthGlobalWorkQueue()->sync([&] { auth_->updateCurrentUser(user, false, false, nullptr); });
  settle();
  EXPECT_TRUE(notifications.posted().empty());
}

TEST_F(DAVAuthTest, ServerRefusalsArriveAsAuthErrorsOnTheMainQueue) {
  struct Case {
    std::string email, password;
    int64_t code;
  };
  const std::vector<Case> cases = {{"alice@example.com", "wrong-password", DAVAuthErrorCodeWrongPassword},
                                   {"nobody@example.com", kPassword, DAVAuthErrorCodeUserNotFound},
                                   {"not-an-email", kPassword, DAVAuthErrorCodeInvalidEmail},
                                   {"carol@example.com", kPassword, DAVAuthErrorCodeUserDisabled}};
  for (const auto& c : cases) {
    auto outcome = signIn(c.email, c.password);
    EXPECT_TRUE(outcome.onMain);
    EXPECT_EQ(outcome.result, nullptr);
    ASSERT_NE(outcome.error, nullptr) << c.email;
    EXPECT_EQ(outcome.error->domain(), kDAVAuthErrorDomain);
    EXPECT_EQ(outcome.error->code(), c.code) << c.email;
  }
  EXPECT_EQ(auth_->currentUser(), nullptr);
  EXPECT_TRUE(storedUserItems().empty());

  // An empty password is refused before anything is sent.
  backend_->clearRequests();
  auto empty = signIn("alice@example.com", "");
  ASSERT_NE(empty.error, nullptr);
  EXPECT_EQ(empty.error->code(), DAVAuthErrorCodeWrongPassword);
  EXPECT_TRUE(backend_->requests().empty());
}

TEST_F(DAVAuthTest, CreatingAUser) {
  auto weak = createUser("dave@example.com", "");
  ASSERT_NE(weak.error, nullptr);
  EXPECT_EQ(weak.error->code(), DAVAuthErrorCodeWeakPassword);
  EXPECT_EQ(stringAt(weak.error->userInfo(), platform::kLocalizedFailureReasonKey),
            std::optional<std::string>("Missing Password"));
  auto noEmail = createUser("", kPassword);
  ASSERT_NE(noEmail.error, nullptr);
  EXPECT_EQ(noEmail.error->code(), DAVAuthErrorCodeMissingEmail);
  EXPECT_TRUE(backend_->requests().empty());

  auto taken = createUser("alice@example.com", kPassword);
  ASSERT_NE(taken.error, nullptr);
  EXPECT_EQ(taken.error->code(), DAVAuthErrorCodeEmailAlreadyInUse);

  auto created = createUser("dave@example.com", kPassword);
  ASSERT_EQ(created.error, nullptr) << created.error->description();
  EXPECT_TRUE(created.onMain);
  ASSERT_NE(created.result, nullptr);
  EXPECT_TRUE(created.result->additionalUserInfo()->isNewUser());
  auto record = backend_->identity().userByEmail("dave@example.com");
  ASSERT_TRUE(record);
  EXPECT_EQ(created.result->user()->uid(), record->uid);
  EXPECT_EQ(auth_->currentUser(), created.result->user());
  EXPECT_EQ(storedUserItems().size(), 1u);
  auto signups = backend_->requestsForPath(rp("signupNewUser"));
  ASSERT_FALSE(signups.empty());
  EXPECT_EQ(signups.back().json, (nlohmann::json{{"email", "dave@example.com"},
                                                 {"password", kPassword},
                                                 {"returnSecureToken", true}}));
}

TEST_F(DAVAuthTest, ARestartRestoresTheUserWithoutARequestAndSignOutForgetsIt) {
  auto user = signInAlice();
  ASSERT_NE(user, nullptr);
  const auto accessToken = user->rawAccessToken();
  backend_->clearRequests();

  NotificationLog notifications;
  auto restarted = restart();
  ASSERT_NE(restarted, auth_);
  auto restored = restarted->currentUser();
  ASSERT_NE(restored, nullptr);
  EXPECT_NE(restored, user);
  EXPECT_EQ(restored->uid(), aliceUID_);
  EXPECT_EQ(restored->email(), std::optional<std::string>("alice@example.com"));
  EXPECT_EQ(restored->rawAccessToken(), accessToken);
  EXPECT_EQ(restored->auth(), restarted);
  EXPECT_EQ(restored->requestConfiguration()->APIKey(), kAPIKey);
  settle();
  EXPECT_TRUE(backend_->requests().empty());
  // A stored user counts as a sign-in for the listeners.
  auto internal = notifications.internal();
  ASSERT_EQ(internal.size(), 1u);
  EXPECT_EQ(internal[0].sender, restarted.get());
  EXPECT_EQ(stringAt(internal[0].userInfo, kDAVAuthStateDidChangeInternalNotificationUIDKey), aliceUID_);

  // The restored user's token still works, without a refresh.
  auth_ = restarted;
  auto [tok, err] = token(false);
  EXPECT_EQ(err, nullptr);
  EXPECT_EQ(tok, accessToken);
  EXPECT_TRUE(backend_->requestsForPath("/v1/token").empty());

  notifications.clear();
  ErrorPtr error;
  EXPECT_TRUE(auth_->signOut(&error));
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(auth_->currentUser(), nullptr);
  EXPECT_EQ(auth_->getUserID(), std::nullopt);
  EXPECT_TRUE(storedUserItems().empty());
  settle();
  internal = notifications.internal();
  ASSERT_EQ(internal.size(), 1u);
  EXPECT_FALSE(internal[0].userInfo.count(kDAVAuthStateDidChangeInternalNotificationTokenKey));
  EXPECT_FALSE(internal[0].userInfo.count(kDAVAuthStateDidChangeInternalNotificationUIDKey));
  EXPECT_TRUE(internal[0].userInfo.count(kDAVAuthStateDidChangeInternalNotificationAppKey));

  // Signing out twice is fine; the next start finds nobody and says nothing.
  EXPECT_TRUE(auth_->signOut(nullptr));
  notifications.clear();
  auto third = restart();
  EXPECT_EQ(third->currentUser(), nullptr);
  settle();
  EXPECT_TRUE(notifications.posted().empty());
}

// The other services ask for the user id as soon as the app is configured, while the stored user
// may still be loading (here the keychain is busy): the answer waits for that load, whatever it
// finds. Not on the work queue, though, where the load comes later and a wait would never end.
TEST_F(DAVAuthTest, TheUserIDWaitsForTheStartUpLoadOfTheStoredUser) {
  ASSERT_NE(signInAlice(), nullptr);
  auto restartWithBusyKeychain = [this](std::unique_ptr<authtest::HeldKeychain>& held) {
    return restart([&held] { held = std::make_unique<authtest::HeldKeychain>(std::chrono::milliseconds(300)); });
  };
  {
    std::unique_ptr<authtest::HeldKeychain> held;
    auth_ = restartWithBusyKeychain(held);
    EXPECT_EQ(auth_->getUserID(), aliceUID_);
    EXPECT_TRUE(held->released()) << "answered before the stored user was read";
  }

  ASSERT_TRUE(auth_->signOut(nullptr));
  {
    std::unique_ptr<authtest::HeldKeychain> held;
    auth_ = restartWithBusyKeychain(held);
    EXPECT_EQ(auth_->getUserID(), std::nullopt);
    EXPECT_TRUE(held->released()) << "answered before the keychain was read";
  }

  ASSERT_NE(signInAlice(), nullptr);
  std::promise<std::shared_ptr<DAVAuth>> made;
  std::shared_future<std::shared_ptr<DAVAuth>> client = made.get_future().share();
  auto onWorkQueue = std::make_shared<std::promise<std::optional<std::string>>>();
  auth_ = restart([&] {
    // Runs before the new client's load, which is queued behind it.
    DAVAuthGlobalWorkQueue()->async([client, onWorkQueue] { onWorkQueue->set_value(client.get()->getUserID()); });
  });
  made.set_value(auth_);
  auto answer = onWorkQueue->get_future();
  if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    std::fprintf(stderr, "getUserID on the work queue waits for the load queued behind it\n");
    std::abort();  // the work queue can never run again
  }
  EXPECT_EQ(answer.get(), std::nullopt) << "the load had not run yet";
  EXPECT_EQ(auth_->getUserID(), aliceUID_);
}

TEST_F(DAVAuthTest, ListenersHearSignInSignOutAndTokenChanges) {
  struct Calls {
    std::vector<std::optional<std::string>> state, idToken;
    bool allOnMain = true;
  };
  auto calls = std::make_shared<Calls>();
  auto stateHandle = auth_->addAuthStateDidChangeListener([calls](std::shared_ptr<DAVAuth>, std::shared_ptr<DAVUser> u) {
    calls->allOnMain &= platform::dispatch::isMainThread();
    calls->state.push_back(u ? u->uid() : std::nullopt);
  });
  auto tokenHandle = auth_->addIDTokenDidChangeListener([calls](std::shared_ptr<DAVAuth>, std::shared_ptr<DAVUser> u) {
    calls->allOnMain &= platform::dispatch::isMainThread();
    calls->idToken.push_back(u ? u->rawAccessToken() : std::nullopt);
  });
  settle();
  // Each is called once at once, with nobody signed in.
  ASSERT_EQ(calls->state.size(), 1u);
  EXPECT_EQ(calls->state[0], std::nullopt);
  ASSERT_EQ(calls->idToken.size(), 1u);

  auto user = signInAlice();
  ASSERT_EQ(calls->state.size(), 2u);
  EXPECT_EQ(calls->state[1], aliceUID_);
  ASSERT_EQ(calls->idToken.size(), 2u);
  EXPECT_EQ(calls->idToken[1], user->rawAccessToken());

  // A refreshed token reaches the ID-token listener only.
  auto [fresh, err] = token(true);
  ASSERT_EQ(err, nullptr);
  settle();
  EXPECT_EQ(calls->state.size(), 2u);
  ASSERT_EQ(calls->idToken.size(), 3u);
  EXPECT_EQ(calls->idToken[2], fresh);
  EXPECT_NE(fresh, calls->idToken[1]);

  ASSERT_TRUE(auth_->signOut(nullptr));
  settle();
  ASSERT_EQ(calls->state.size(), 3u);
  EXPECT_EQ(calls->state[2], std::nullopt);
  EXPECT_TRUE(calls->allOnMain);

  auth_->removeAuthStateDidChangeListener(stateHandle);
  auth_->removeIDTokenDidChangeListener(tokenHandle);
  signInAlice();
  EXPECT_EQ(calls->state.size(), 3u);
  EXPECT_EQ(calls->idToken.size(), 4u);

  // A state listener added while signed in hears of that user at once.
  auto late = std::make_shared<std::vector<std::optional<std::string>>>();
  auth_->addAuthStateDidChangeListener(
      [late](std::shared_ptr<DAVAuth>, std::shared_ptr<DAVUser> u) { late->push_back(u ? u->uid() : std::nullopt); });
  settle();
  ASSERT_EQ(late->size(), 1u);
  EXPECT_EQ((*late)[0], aliceUID_);
}

TEST_F(DAVAuthTest, MisuseRaisesOnTheCallersThreadBeforeAnyWork) {
  using authtest::expectRaise;
  expectRaise([&] { auth_->addAuthStateDidChangeListener(nullptr); }, platform::kInvalidArgumentException,
              "listener must not be nil.");
  expectRaise([&] { auth_->addIDTokenDidChangeListener(nullptr); }, platform::kInvalidArgumentException,
              "listener must not be nil.");
  bool called = false;
  expectRaise([&] { auth_->sendPasswordResetWithEmail(std::nullopt, [&](ErrorPtr) { called = true; }); },
              platform::kInvalidArgumentException, "The email used to initiate password reset cannot be nil.");
  settle();
  EXPECT_FALSE(called);
  EXPECT_TRUE(backend_->requests().empty());

  DAVApp::resetApps();
  expectRaise([] { DAVAuth::auth(); }, platform::kInternalInconsistencyException,
              "The default DAVApp instance must be configured before the default DAVAuthinstance can be initialized. "
              "One way to ensure that is to call `[DAVApp configure];` (`VavazuzeZud.configure()` in Swift) in the App "
              "Delegate's `application:didFinishLaunchingWithOptions:` (`application(_:didFinishLaunchingWithOptions:)` "
              "in Swift).");
}

TEST_F(DAVAuthTest, PasswordResetMailIsRequested) {
  ErrorPtr error = std::make_shared<platform::Error>("unset", 0);
  bool onMain = false;
  auth_->sendPasswordResetWithEmail(std::string("alice@example.com"), [&](ErrorPtr e) {
    onMain = platform::dispatch::isMainThread();
    error = e;
  });
  ASSERT_TRUE(spin([&] { return !error || error->domain() != "unset"; }));
  EXPECT_EQ(error, nullptr);
  EXPECT_TRUE(onMain);
  auto mails = backend_->identity().sentMails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].requestType, "PASSWORD_RESET");
  EXPECT_EQ(mails[0].email, "alice@example.com");
  auto sent = backend_->requestsForPath(rp("getOobConfirmationCode"));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].json.value("requestType", ""), "PASSWORD_RESET");
  EXPECT_EQ(sent[0].json.value("email", ""), "alice@example.com");
}

TEST_F(DAVAuthTest, TokenRequestsWithoutAUserAnswerNothingOnTheMainQueue) {
  auto [tok, err] = token(false);
  EXPECT_EQ(tok, std::nullopt);
  EXPECT_EQ(err, nullptr);
  EXPECT_EQ(auth_->getUserID(), std::nullopt);
}

// --- Automatic refresh -----------------------------------------------------------------------------

class DAVAuthRefreshTest : public DAVAuthTest {
 protected:
  struct Scheduled {
    double delay;
    platform::dispatch::QueuePtr queue;
    std::function<void()> task;
  };
  void SetUp() override {
    DAVAuthTest::SetUp();
    DAVAuthDispatcher::sharedInstance().setDispatchAfterImplementation(
        [this](double delay, platform::dispatch::QueuePtr queue, std::function<void()> task) {
          std::lock_guard<std::mutex> lock(mutex_);
          scheduled_.push_back({delay, std::move(queue), std::move(task)});
        });
  }
  std::vector<Scheduled> scheduled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return scheduled_;
  }
  // Fires the n-th scheduled refresh as its delay would, then lets it finish.
  void fire(size_t n) {
    auto all = scheduled();
    ASSERT_LT(n, all.size());
    all[n].queue->async(all[n].task);
    settle();
    settle();
  }
  std::mutex mutex_;
  std::vector<Scheduled> scheduled_;
  std::vector<std::string> authtestLogs_;
};

TEST_F(DAVAuthRefreshTest, TheTokenIsRefreshedFiveMinutesBeforeItExpires) {
  backend_->identity().setIDTokenLifetime(600);
  auto user = signInAlice();
  ASSERT_NE(user, nullptr);
  EXPECT_TRUE(scheduled().empty());  // off until the first token request

  DAVSetLoggerLevel(DAVLoggerLevelDebug);
  authtestLogs_.clear();
  auto observer = platform::VULAddLogObserver([this](const platform::VULLogRecord& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    authtestLogs_.push_back(r.messageCode);
  });
  auto [tok, err] = token(false);
  platform::VULRemoveLogObserver(observer);
  DAVSetLoggerLevel(DAVLoggerLevelNotice);
  ASSERT_EQ(err, nullptr);
  EXPECT_EQ(tok, user->rawAccessToken());
  ASSERT_EQ(scheduled().size(), 1u);
  EXPECT_GT(scheduled()[0].delay, 290.0);
  EXPECT_LE(scheduled()[0].delay, 300.0);
  EXPECT_EQ(scheduled()[0].queue, DAVAuthGlobalWorkQueue());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_NE(std::find(authtestLogs_.begin(), authtestLogs_.end(), "I-AUT000002"), authtestLogs_.end());
    EXPECT_NE(std::find(authtestLogs_.begin(), authtestLogs_.end(), "I-AUT000004"), authtestLogs_.end());
  }

  // Firing refreshes through the secure-token service, saves, notifies and schedules the next one.
  const auto oldToken = user->rawAccessToken();
  const auto refreshToken = user->refreshToken();
  NotificationLog notifications;
  backend_->identity().setIDTokenLifetime(120);
  fire(0);
  auto exchanges = backend_->requestsForPath("/v1/token");
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(exchanges[0].query.at("key"), kAPIKey);
  EXPECT_EQ(exchanges[0].json, (nlohmann::json{{"grantType", "refresh_token"}, {"refreshToken", *refreshToken}}));
  EXPECT_NE(user->rawAccessToken(), oldToken);
  auto internal = notifications.internal();
  ASSERT_EQ(internal.size(), 1u);
  EXPECT_EQ(stringAt(internal[0].userInfo, kDAVAuthStateDidChangeInternalNotificationTokenKey), user->rawAccessToken());
  // A token with two minutes to live is refreshed at once.
  ASSERT_EQ(scheduled().size(), 2u);
  EXPECT_EQ(scheduled()[1].delay, 0.0);
  // The keychain holds the new token: a restart comes back with it.
  const auto newToken = user->rawAccessToken();
  auto restarted = restart();
  ASSERT_NE(restarted->currentUser(), nullptr);
  EXPECT_EQ(restarted->currentUser()->rawAccessToken(), newToken);
}

TEST_F(DAVAuthRefreshTest, FailedRefreshesBackOffAndStopAfterSignOut) {
  auto user = signInAlice();
  ASSERT_NE(user, nullptr);
  token(false);
  ASSERT_EQ(scheduled().size(), 1u);

  // No secure-token service reachable: network errors, which keep the user signed in.
  auth_->requestConfiguration()->setSecureTokenServiceURL("http://127.0.0.1:" + std::to_string(closedPort()));
  const std::vector<double> expected = {60, 120, 240, 480, 960, 960};
  for (size_t i = 0; i < expected.size(); ++i) {
    fire(i);
    ASSERT_EQ(scheduled().size(), i + 2) << "attempt " << i;
    EXPECT_EQ(scheduled()[i + 1].delay, expected[i]) << "attempt " << i;
  }
  EXPECT_EQ(auth_->currentUser(), user);

  // A signed-out client stops retrying.
  ASSERT_TRUE(auth_->signOut(nullptr));
  fire(scheduled().size() - 1);
  EXPECT_EQ(scheduled().size(), expected.size() + 1);
}

TEST_F(DAVAuthRefreshTest, ARefreshForAnOldTokenDoesNothing) {
  signInAlice();
  token(false);
  ASSERT_EQ(scheduled().size(), 1u);
  ASSERT_TRUE(auth_->signOut(nullptr));
  signInAlice();  // a new token, which schedules its own refresh
  ASSERT_EQ(scheduled().size(), 2u);
  backend_->clearRequests();
  fire(0);
  EXPECT_TRUE(backend_->requestsForPath("/v1/token").empty());
  EXPECT_EQ(scheduled().size(), 2u);
}

// --- Invalid tokens sign the user out ----------------------------------------------------------------

TEST_F(DAVAuthTest, BackendCodesForDeadAccountsSignTheUserOut) {
  struct Case {
    std::string name;
    std::function<void(backend::IdentityService&, const std::string& uid)> breakAccount;
    int64_t code;
  };
  const std::vector<Case> cases = {
      {"revoked", [](backend::IdentityService& s, const std::string& uid) { s.revokeRefreshTokens(uid); },
       DAVAuthErrorCodeUserTokenExpired},
      {"disabled", [](backend::IdentityService& s, const std::string& uid) { s.setUserDisabled(uid, true); },
       DAVAuthErrorCodeUserDisabled},
      // A deleted account's refresh tokens go with it: they answer as unknown ones.
      {"deleted", [](backend::IdentityService& s, const std::string& uid) { s.deleteUser(uid); },
       DAVAuthErrorCodeInvalidUserToken},
  };
  for (const auto& c : cases) {
    backend::SeedUser fresh;
    fresh.email = c.name + "@example.com";
    fresh.password = kPassword;
    const std::string uid = backend_->identity().addUser(fresh);
    auto outcome = signIn(fresh.email, kPassword);
    ASSERT_EQ(outcome.error, nullptr) << c.name;
    settle();
    ASSERT_EQ(storedUserItems().size(), 1u);

    c.breakAccount(backend_->identity(), uid);
    auto [tok, err] = token(true);
    EXPECT_EQ(tok, std::nullopt) << c.name;
    ASSERT_NE(err, nullptr) << c.name;
    EXPECT_EQ(err->code(), c.code) << c.name;
    EXPECT_EQ(auth_->currentUser(), nullptr) << c.name;
    EXPECT_TRUE(storedUserItems().empty()) << c.name;
  }

  // An ID token the service does not accept (17017) on reload.
  auto user = signInAlice();
  ASSERT_NE(user, nullptr);
  auto forged = std::make_shared<DAVSecureTokenService>(auth_->requestConfiguration(), std::string("forged.token.x"),
                                                        platform::Date{4e9}, user->refreshToken());
  bool replaced = false;
  DAVAuthGlobalWorkQueue()->async([&] { user->setTokenService(forged, [&](ErrorPtr) { replaced = true; }); });
  ASSERT_TRUE(spin([&] { return replaced; }));
  ErrorPtr reloadError = reload(user);
  ASSERT_NE(reloadError, nullptr);
  EXPECT_EQ(reloadError->code(), DAVAuthErrorCodeInvalidUserToken);
  EXPECT_EQ(auth_->currentUser(), nullptr);

  // A network failure is no reason to sign out.
  user = signInAlice();
  auth_->requestConfiguration()->setSecureTokenServiceURL("http://127.0.0.1:" + std::to_string(closedPort()));
  auto [tok, err] = token(true);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->code(), DAVAuthErrorCodeNetworkError);
  EXPECT_EQ(auth_->currentUser(), user);
}

TEST_F(DAVAuthTest, AnAccountTheAdministratorDisablesIsSignedOutAtItsNextCallUntilEnabledAgain) {
  auto user = signInAlice();
  ASSERT_NE(user, nullptr);
  ASSERT_TRUE(backend_->disableAccount(aliceUID_));
  // The token is fresh, yet reading the account is refused, and the client signs the user out.
  ErrorPtr reloadError = reload(user);
  ASSERT_NE(reloadError, nullptr);
  EXPECT_EQ(reloadError->code(), DAVAuthErrorCodeUserDisabled);
  EXPECT_EQ(auth_->currentUser(), nullptr);
  EXPECT_TRUE(storedUserItems().empty());

  // Still disabled after a restart of the stand-in; enabled again, the account signs in.
  backend_->restart();
  auto refused = signIn("alice@example.com", kPassword);
  ASSERT_NE(refused.error, nullptr);
  EXPECT_EQ(refused.error->code(), DAVAuthErrorCodeUserDisabled);
  ASSERT_TRUE(backend_->enableAccount(aliceUID_));
  backend_->restart();
  EXPECT_NE(signInAlice(), nullptr);
  EXPECT_FALSE(backend_->disableAccount("no-such-account"));
}

TEST_F(DAVAuthTest, ForcedSignOutNeedsAMatchingUserID) {
  auto user = signInAlice();
  ASSERT_NE(user, nullptr);
  bool result = false;
  DAVAuthGlobalWorkQueue()->sync([&] { result = auth_->signOutByForceWithUserID(std::nullopt, nullptr); });
  EXPECT_TRUE(result);
  EXPECT_EQ(auth_->currentUser(), user);
  DAVAuthGlobalWorkQueue()->sync([&] { result = auth_->signOutByForceWithUserID(std::string("someone-else"), nullptr); });
  EXPECT_EQ(auth_->currentUser(), user);
  DAVAuthGlobalWorkQueue()->sync([&] { result = auth_->signOutByForceWithUserID(aliceUID_, nullptr); });
  EXPECT_TRUE(result);
  EXPECT_EQ(auth_->currentUser(), nullptr);
}

TEST_F(DAVAuthTest, DeletingAnAppRemovesOnlyItsStoredUser) {
  signInAlice();
  DAVApp::configureWithName("second", options());
  auto second = DAVAuth::authWithApp(DAVApp::appNamed("second"));
  ASSERT_NE(second, nullptr);
  ASSERT_NE(second, auth_);
  auto outcome = signIn("alice@example.com", kPassword, second);
  ASSERT_EQ(outcome.error, nullptr);
  ASSERT_EQ(storedUserItems("second").size(), 1u);

  std::atomic<int> anonymousPosts{0};
  auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      kDAVAuthStateDidChangeNotification, nullptr, [&](const platform::Notification& n) {
        if (n.sender == nullptr) ++anonymousPosts;
      });
  bool deleted = false;
  DAVApp::appNamed("second")->deleteApp([&](bool ok) { deleted = ok; });
  EXPECT_TRUE(deleted);
  ASSERT_TRUE(spin([&] { return anonymousPosts.load() == 1; }));
  platform::NotificationCenter::defaultCenter().removeObserver(observer);
  EXPECT_TRUE(storedUserItems("second").empty());
  EXPECT_EQ(storedUserItems().size(), 1u);
  EXPECT_EQ(DAVAuth::keychainServiceNameForAppName("second"), std::nullopt);

  // A new app of the same name starts signed out.
  DAVApp::configureWithName("second", options());
  EXPECT_EQ(DAVAuth::authWithApp(DAVApp::appNamed("second"))->currentUser(), nullptr);
}

TEST_F(DAVAuthTest, NoTokenOrPasswordIsEverLogged) {
  std::vector<std::string> lines;
  std::mutex m;
  DAVSetLoggerLevel(DAVLoggerLevelDebug);
  auto observer = platform::VULAddLogObserver([&](const platform::VULLogRecord& r) {
    std::lock_guard<std::mutex> lock(m);
    lines.push_back(platform::VULFormatLogLine(r));
  });
  signIn("alice@example.com", "wrong-password");
  auto user = signInAlice();
  ASSERT_NE(user, nullptr);
  std::vector<std::string> secrets = {kPassword, "wrong-password", *user->rawAccessToken(), *user->refreshToken()};
  auto [tok, err] = token(true);  // also switches on the refresh, which logs its schedule
  ASSERT_TRUE(tok);
  secrets.push_back(*tok);
  backend_->identity().revokeRefreshTokens(aliceUID_);
  token(true);  // signs out, with its notice
  settle();
  platform::VULRemoveLogObserver(observer);
  DAVSetLoggerLevel(DAVLoggerLevelNotice);

  std::lock_guard<std::mutex> lock(m);
  EXPECT_FALSE(lines.empty());
  bool sawSignOutNotice = false;
  for (const auto& line : lines) {
    sawSignOutNotice |= line.find("I-AUT000016") != std::string::npos;
    for (const auto& secret : secrets) {
      ASSERT_FALSE(secret.empty());
      EXPECT_EQ(line.find(secret), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(sawSignOutNotice);
}

}  // namespace

namespace {

TEST_F(DAVAuthTest, AnUnreadableStoredUserIsLoggedAndTheClientStartsSignedOut) {
  signInAlice();
  kc::Query q;
  q.service = std::string("davedove_auth_") + kAppID;
  q.account = userAccount();
  kc::Changes garbage;
  garbage.data = std::string("not an archive");
  ASSERT_EQ(kc::Keychain::standard().update(q, garbage), kc::kStatusSuccess);

  std::vector<std::string> codes;
  std::mutex m;
  auto observer = platform::VULAddLogObserver([&](const platform::VULLogRecord& r) {
    std::lock_guard<std::mutex> lock(m);
    codes.push_back(r.messageCode);
  });
  auto restarted = restart();
  EXPECT_EQ(restarted->getUserID(), std::nullopt);
  EXPECT_EQ(restarted->currentUser(), nullptr);
  platform::VULRemoveLogObserver(observer);
  std::lock_guard<std::mutex> lock(m);
  EXPECT_NE(std::find(codes.begin(), codes.end(), "I-AUT000001"), codes.end());
}

TEST_F(DAVAuthTest, AUserWhoseClientIsGoneStillGetsAnAnswer) {
  auto user = signInAlice();
  ASSERT_NE(user, nullptr);
  auth_.reset();
  DAVApp::resetApps();
  settle();
  ASSERT_EQ(user->auth(), nullptr);

  // The refreshed token cannot be saved anywhere; that is no failure, and the token arrives.
  struct State {
    bool done = false;
    std::optional<std::string> token;
    ErrorPtr error;
  };
  auto state = std::make_shared<State>();
  user->getIDTokenForcingRefresh(true, [state](std::optional<std::string> t, ErrorPtr e) {
    state->token = t;
    state->error = e;
    state->done = true;
  });
  ASSERT_TRUE(spin([state] { return state->done; }));
  EXPECT_EQ(state->error, nullptr);
  ASSERT_TRUE(state->token);
  EXPECT_EQ(state->token, user->rawAccessToken());
  EXPECT_EQ(backend_->requestsForPath("/v1/token").size(), 1u);
}

TEST_F(DAVAuthTest, UpdatingTheCurrentUserAdoptsAUserOfAnotherClient) {
  DAVApp::configureWithName("second", options());
  auto second = DAVAuth::authWithApp(DAVApp::appNamed("second"));
  auto outcome = signIn("alice@example.com", kPassword, second);
  ASSERT_EQ(outcome.error, nullptr);
  auto user = outcome.result->user();

  auto update = [&](std::shared_ptr<DAVUser> u) {
    auto result = std::make_shared<std::pair<bool, ErrorPtr>>(false, nullptr);
    auth_->updateCurrentUser(u, [result](ErrorPtr e) { *result = {true, e}; });
    EXPECT_TRUE(spin([result] { return result->first; }));
    return result->second;
  };
  ErrorPtr error = update(nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), DAVAuthErrorCodeNullUser);

  EXPECT_EQ(update(user), nullptr);
  EXPECT_EQ(auth_->currentUser(), user);
  EXPECT_EQ(user->auth(), auth_);
  EXPECT_EQ(storedUserItems().size(), 1u);
}

}  // namespace

namespace {

TEST_F(DAVAuthTest, TheRetrieveDataFormsCreateAndSignInLikeTheShortOnes) {
  auto created = await([&](DAVAuthDataResultCallback done) {
    auth_->createUserAndRetrieveDataWithEmail("erin@example.com", kPassword, done);
  });
  ASSERT_EQ(created.error, nullptr) << created.error->description();
  EXPECT_TRUE(created.onMain);
  ASSERT_NE(created.result, nullptr);
  EXPECT_TRUE(created.result->additionalUserInfo()->isNewUser());
  EXPECT_EQ(created.result->user()->uid(), backend_->identity().userByEmail("erin@example.com")->uid);
  EXPECT_EQ(auth_->currentUser(), created.result->user());

  auto signedIn = await([&](DAVAuthDataResultCallback done) {
    auth_->signInAndRetrieveDataWithEmail("alice@example.com", kPassword, done);
  });
  ASSERT_EQ(signedIn.error, nullptr) << signedIn.error->description();
  EXPECT_TRUE(signedIn.onMain);
  ASSERT_NE(signedIn.result, nullptr);
  EXPECT_EQ(signedIn.result->user()->uid(), aliceUID_);
  EXPECT_EQ(signedIn.result->additionalUserInfo()->providerID(), std::optional<std::string>("password"));
  EXPECT_FALSE(signedIn.result->additionalUserInfo()->isNewUser());
  EXPECT_EQ(auth_->currentUser(), signedIn.result->user());
  EXPECT_EQ(storedUserItems().size(), 1u);
}

TEST_F(DAVAuthTest, OperationsWhoseClientWentAwayStillAnswer) {
  // The work queue is held until the client is gone.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  DAVAuthGlobalWorkQueue()->async([released] { released.wait(); });
  Outcome signedIn, created;
  bool resetAnswered = false;
  ErrorPtr resetError;
  auth_->signInWithEmail("alice@example.com", kPassword, [&](std::shared_ptr<DAVAuthDataResult> r, ErrorPtr e) {
    signedIn = {true, platform::dispatch::isMainThread(), r, e};
  });
  auth_->createUserWithEmail("frank@example.com", kPassword, [&](std::shared_ptr<DAVAuthDataResult> r, ErrorPtr e) {
    created = {true, platform::dispatch::isMainThread(), r, e};
  });
  auth_->sendPasswordResetWithEmail(std::string("alice@example.com"), [&](ErrorPtr e) {
    resetAnswered = true;
    resetError = e;
  });
  auth_.reset();
  DAVApp::resetApps();
  release.set_value();

  ASSERT_TRUE(spin([&] { return signedIn.done && created.done && resetAnswered; }));
  for (const Outcome* o : {&signedIn, &created}) {
    EXPECT_TRUE(o->onMain);
    EXPECT_EQ(o->result, nullptr);
    ASSERT_NE(o->error, nullptr);
    EXPECT_EQ(o->error->code(), DAVAuthErrorCodeNullUser);
  }
  ASSERT_NE(resetError, nullptr);
  EXPECT_EQ(resetError->code(), DAVAuthErrorCodeNullUser);
  EXPECT_TRUE(backend_->requests().empty());
  EXPECT_FALSE(backend_->identity().userByEmail("frank@example.com"));
}

TEST_F(DAVAuthTest, UseAppLanguageTakesTheLocalizationSentAsAcceptLanguage) {
  // A bundle whose first localization differs from its development region.
  const auto dir = home_ / "Language.app";
  std::filesystem::create_directories(dir);
  platform::Dictionary info{{"CFBundleIdentifier", std::string("mac.com.trennelwick.vorellin.language")},
                            {"CFBundleDevelopmentRegion", std::string("fr")},
                            {"CFBundleLocalizations", platform::Array{std::string("de"), std::string("fr")}}};
  ASSERT_TRUE(platform::writePropertyListFile((dir / "Info.plist").string(), platform::Value(info)));
  platform::Bundle::setMainBundleForTesting(platform::Bundle::atPath(dir.string()));

  auth_->useAppLanguage();
  const auto language = auth_->languageCode();
  signInAlice();
  platform::Bundle::setMainBundleForTesting(nullptr);

  EXPECT_EQ(language, std::optional<std::string>("de"));
  auto sent = backend_->requestsForPath(rp("verifyPassword"));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].header("Accept-Language"), std::optional<std::string>("de"));
  EXPECT_EQ(sent[0].header("X-Davedove-Locale"), std::optional<std::string>("de"));
}

TEST_F(DAVAuthTest, TheExampleSignsInAndPrintsTheUIDAndTheExpiry) {
  const char* binaryDir = std::getenv("VRL_BINARY_DIR");
  ASSERT_NE(binaryDir, nullptr);
  const std::string program = std::string(binaryDir) + "/auth/dav_auth_sign_in_example";
  ASSERT_TRUE(std::filesystem::exists(program)) << program;
  // The password travels in the environment, never on the command line.
  const std::string command = "HOME='" + home_.string() + "' VRL_AUTH_PASSWORD='" + kPassword + "' '" + program +
                              "' --url " + backend_->baseURL() + " --api-key " + kAPIKey +
                              " --email alice@example.com 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = ::pclose(pipe);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("uid: " + aliceUID_ + "\n"), std::string::npos) << output;
  EXPECT_NE(output.find("token expires: "), std::string::npos) << output;
  // A fresh token lives an hour.
  EXPECT_TRUE(std::regex_search(output, std::regex(R"(\(in 3(5[0-9][0-9]|600) s\))"))) << output;
  EXPECT_EQ(output.find(kPassword), std::string::npos);
}

}  // namespace
