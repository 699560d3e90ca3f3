// Every sign-in flow but e-mail and password, the account operations of the user, and the profile
// change request, end to end: the real client against the identity-service stand-in on loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "auth/DAVActionCodeInfo.h"
#include "auth/DAVActionCodeSettings.h"
#include "auth/DAVAuth.h"
#include "auth/DAVAuthCredential.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVAuthErrors.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "auth/DAVAuthJSON.h"
#include "auth/DAVAuthKeychain.h"
#include "auth/DAVAuthWebUtils.h"
#include "auth/DAVOAuthProvider.h"
#include "auth/DAVUser.h"
#include "auth/DAVUserInfo.h"
#include "auth/DAVUserProfileChangeRequest.h"
#include "auth/tests/AuthTestSupport.h"
#include "backend/src/TestBackend.h"
#include "backend/src/TokenSigner.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/Exception.h"
#include "platform/keychain/Keychain.h"
#include "platform/net/URLRequest.h"

using nlohmann::json;
using platform::ErrorPtr;
using platform::dispatch::RunLoop;
namespace kc = platform::keychain;

namespace {

constexpr const char kAppID[] = "1:123456789012:ios:0123456789abcdef";
constexpr const char kAPIKey[] = "flows-api-key";
constexpr const char kPassword[] = "correct-horse-battery";
constexpr const char kCustomTokenKey[] = "a custom-token signing key of the developer's server";
constexpr const char kNotASignInLink[] =
    "The link provided is not valid for email/link sign-in. Please check the link by calling "
    "isSignInWithEmailLink:link: on Auth before attempting to use it for email/link sign-in.";

std::string rp(const std::string& call) { return "/identityservice/v3/relyingparty/" + call; }

bool spin(const std::function<bool()>& pred) { return RunLoop::runUntil(pred, std::chrono::milliseconds(10000)); }

void settle() {
  for (int i = 0; i < 3; ++i) {
    DAVAuthGlobalWorkQueue()->sync([] {});
    RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(20));
  }
}

// Waits on the main run loop for a completion with the given arguments.
template <class... Args>
class Await {
 public:
  std::function<void(Args...)> callback() {
    auto state = state_;
    return [state](Args... args) {
      state->onMain = platform::dispatch::isMainThread();
      state->values = std::make_tuple(args...);
      state->done = true;
    };
  }
  std::tuple<Args...> wait() {
    auto state = state_;
    EXPECT_TRUE(spin([state] { return state->done; })) << "no completion";
    EXPECT_TRUE(state->onMain) << "completion off the main queue";
    return state->values;
  }

 private:
  struct State {
    bool done = false, onMain = false;
    std::tuple<Args...> values;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

int64_t codeOf(const ErrorPtr& error) { return error ? error->code() : 0; }

// Every reader of the user-info interface: provider, uid, name, photo, e-mail, phone.
std::string infoLine(const DAVUserInfo& info) {
  std::string line;
  for (const auto& field : {info.providerID(), info.uid(), info.displayName(), info.photoURL(), info.email(),
                            info.phoneNumber()})
    line += (line.empty() ? "" : " ") + field.value_or("-");
  return line;
}

std::vector<std::string> providerIDs(const std::shared_ptr<DAVUser>& user) {
  std::vector<std::string> out;
  for (const auto& info : user->providerData()) out.push_back(info->providerID().value_or(""));
  std::sort(out.begin(), out.end());
  return out;
}

class DAVAuthFlowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("dav-auth-flows-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    if (const char* h = std::getenv("HOME")) oldHome_ = h;
    ::setenv("HOME", home_.c_str(), 1);
    platform::net::setAllowsInsecureLoopbackHTTP(true);
    DAVAuthBackend::setBackendImplementation(nullptr);

    backend::SeedUser alice{"", "alice@example.com", kPassword, "Alice", "", false, false};
    backend::SeedUser bob{"", "bob@example.com", kPassword, "Bob", "", false, false};
    backend_ = std::make_unique<backend::TestBackend>(std::vector<backend::SeedUser>{alice, bob},
                                                      std::vector<std::string>{kAPIKey});
    std::string error;
    json seed = json::parse(R"({"federatedIdentities": [
        {"providerId": "variru.com", "token": "variru-id-token", "federatedId": "v-1001",
         "email": "vic@example.com", "displayName": "Vic"},
        {"providerId": "facebook.com", "token": "facebook-token", "federatedId": "fb-2002",
         "email": "fay@example.com", "displayName": "Fay"},
        {"providerId": "github.com", "token": "github-token-of-alice", "federatedId": "gh-3003",
         "email": "alice@example.com"}]})");
    seed["customTokenKey"] = platform::base64Encode(kCustomTokenKey);
    ASSERT_TRUE(backend_->identity().applySeed(seed, &error))
        << error;
    aliceUID_ = backend_->identity().userByEmail("alice@example.com")->uid;
    DAVApp::resetApps();
    DAVAuth::load();
    DAVApp::configureWithOptions(authtest::standInOptions(kAppID, kAPIKey, backend_->baseURL()));
    auth_ = DAVAuth::auth();
    settle();
    backend_->clearRequests();
  }

  void TearDown() override {
    auth_.reset();
    DAVApp::resetApps();
    settle();
    backend_.reset();
    DAVAuthBackend::setBackendImplementation(nullptr);
    platform::net::setAllowsInsecureLoopbackHTTP(false);
    ::setenv("HOME", oldHome_.c_str(), 1);
    std::filesystem::remove_all(home_);
  }

  using DataOutcome = std::tuple<std::shared_ptr<DAVAuthDataResult>, ErrorPtr>;
  DataOutcome dataFlow(const std::function<void(DAVAuthDataResultCallback)>& start) {
    Await<std::shared_ptr<DAVAuthDataResult>, ErrorPtr> done;
    start(done.callback());
    return done.wait();
  }
  ErrorPtr errorFlow(const std::function<void(std::function<void(ErrorPtr)>)>& start) {
    Await<ErrorPtr> done;
    start(done.callback());
    return std::get<0>(done.wait());
  }
  std::shared_ptr<DAVUser> signIn(const std::string& email) {
    auto [result, error] = dataFlow([&](auto done) { auth_->signInWithEmail(email, kPassword, done); });
    EXPECT_EQ(error, nullptr) << (error ? error->description() : "");
    settle();
    return result ? result->user() : nullptr;
  }
  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    for (const auto& r : backend_->requests()) out.push_back(r.path.substr(r.path.rfind('/') + 1));
    return out;
  }
  json lastBody(const std::string& call) const {
    auto recorded = backend_->requestsForPath(rp(call));
    EXPECT_FALSE(recorded.empty()) << call;
    return recorded.empty() ? json() : recorded.back().json;
  }
  // The action link of the newest mail of the type to the address, as the stand-in wrote it to its
  // mail folder for a person to read.
  std::string mailedLink(const std::string& email, const std::string& type) const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(backend_->identity().mailDirectory()))
      files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
      std::ifstream in(*it);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (text.find("\r\nTo: " + email + "\r\n") == std::string::npos ||
          text.find("\r\nX-Vorellin-Request-Type: " + type + "\r\n") == std::string::npos)
        continue;
      std::smatch link;
      if (std::regex_search(text, link, std::regex("https://[^\\s]+"))) return link.str();
    }
    ADD_FAILURE() << "no " << type << " mail to " << email;
    return {};
  }
  std::string lastMailCode(const std::string& type) const {
    for (auto mails = backend_->identity().sentMails(); !mails.empty(); mails.pop_back())
      if (mails.back().requestType == type) return mails.back().oobCode;
    ADD_FAILURE() << "no " << type << " mail";
    return {};
  }

  // Runs the scenario in a child process of its own (gtest re-runs the test there up to this point),
  // so that a fault that ends the process fails this test instead of ending the whole program.
  void expectProcessSurvives(const std::function<void()>& scenario) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
          scenario();
          const int status = ::testing::Test::HasFailure() ? 1 : 0;
          TearDown();  // the child ends here: its stand-in's data and its home go with it
          std::fflush(nullptr);
          std::_Exit(status);
        },
        ::testing::ExitedWithCode(0), "");
  }

  std::filesystem::path home_;
  std::string oldHome_;
  std::unique_ptr<backend::TestBackend> backend_;
  std::string aliceUID_;
  std::shared_ptr<DAVAuth> auth_;
};

TEST_F(DAVAuthFlowsTest, AnonymousUserUpgradesByLinkingAnEmailCredentialAndUnlinksItAgain) {
  auto [first, error] = dataFlow([&](auto done) { auth_->signInAnonymouslyAndRetrieveDataWithCompletion(done); });
  ASSERT_EQ(error, nullptr) << error->description();
  auto user = first->user();
  EXPECT_TRUE(user->isAnonymous());
  EXPECT_EQ(auth_->currentUser(), user);
  ASSERT_NE(first->additionalUserInfo(), nullptr);
  EXPECT_TRUE(first->additionalUserInfo()->isNewUser());
  EXPECT_EQ(first->additionalUserInfo()->providerID(), std::nullopt);
  EXPECT_EQ(lastBody("signupNewUser"), (json{{"returnSecureToken", true}}));

  // Already anonymous: the same user again, without a request, no longer new.
  backend_->clearRequests();
  auto [again, againError] = dataFlow([&](auto done) { auth_->signInAnonymouslyAndRetrieveDataWithCompletion(done); });
  ASSERT_EQ(againError, nullptr);
  EXPECT_EQ(again->user(), user);
  EXPECT_FALSE(again->additionalUserInfo()->isNewUser());
  auto [plain, plainError] = dataFlow([&](auto done) { auth_->signInAnonymouslyWithCompletion(done); });
  EXPECT_EQ(plain->user(), user);
  EXPECT_EQ(plain->additionalUserInfo(), nullptr);
  EXPECT_TRUE(calls().empty());

  // Linking an e-mail and password makes the account a password account.
  Await<std::shared_ptr<DAVAuthDataResult>, ErrorPtr> link;
  user->linkAndRetrieveDataWithCredential(DAVEmailAuthProvider::credentialWithEmail("ann@example.com", kPassword),
                                          link.callback());
  auto [linked, linkError] = link.wait();
  ASSERT_EQ(linkError, nullptr) << linkError->description();
  EXPECT_EQ(linked->user(), user);
  EXPECT_FALSE(user->isAnonymous());
  EXPECT_TRUE(user->hasEmailPasswordCredential());
  EXPECT_EQ(user->email(), std::optional<std::string>("ann@example.com"));
  EXPECT_EQ(providerIDs(user), std::vector<std::string>{"password"});
  auto setBody = lastBody("setAccountInfo");
  EXPECT_EQ(setBody["email"], "ann@example.com");
  EXPECT_EQ(setBody["password"], kPassword);
  EXPECT_EQ(calls(), (std::vector<std::string>{"getAccountInfo", "setAccountInfo", "getAccountInfo"}));
  EXPECT_TRUE(backend_->identity().userByEmail("ann@example.com")->hasPassword);

  // Linked twice: refused locally.
  backend_->clearRequests();
  Await<std::shared_ptr<DAVUser>, ErrorPtr> twice;
  user->linkWithCredential(DAVEmailAuthProvider::credentialWithEmail("ann@example.com", kPassword), twice.callback());
  EXPECT_EQ(codeOf(std::get<1>(twice.wait())), DAVAuthErrorCodeProviderAlreadyLinked);
  EXPECT_TRUE(calls().empty());

  // Unlinking the e-mail provider deletes the password attribute.
  Await<std::shared_ptr<DAVUser>, ErrorPtr> unlink;
  user->unlinkFromProvider("password", unlink.callback());
  auto [unlinked, unlinkError] = unlink.wait();
  ASSERT_EQ(unlinkError, nullptr) << unlinkError->description();
  EXPECT_EQ(unlinked, user);
  EXPECT_EQ(lastBody("setAccountInfo")["deleteAttribute"], json::array({"PASSWORD"}));
  EXPECT_FALSE(lastBody("setAccountInfo").contains("deleteProvider"));
  EXPECT_FALSE(user->hasEmailPasswordCredential());
  EXPECT_FALSE(backend_->identity().userByEmail("ann@example.com")->hasPassword);
  Await<std::shared_ptr<DAVUser>, ErrorPtr> unlinkAgain;
  user->unlinkFromProvider("password", unlinkAgain.callback());
  auto [none, noSuchProvider] = unlinkAgain.wait();
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(codeOf(noSuchProvider), DAVAuthErrorCodeNoSuchProvider);
}

TEST_F(DAVAuthFlowsTest, CustomTokensSignInOnlyWithTheSeededKeyAndTheRightProject) {
  backend::TokenSigner signer(kCustomTokenKey, "");
  const int64_t exp = std::time(nullptr) + 600;
  auto [result, error] = dataFlow([&](auto done) {
    auth_->signInWithCustomToken(signer.sign({{"uid", "custom-7"}, {"exp", exp}}), done);
  });
  ASSERT_EQ(error, nullptr) << error->description();
  EXPECT_EQ(result->user()->uid(), std::optional<std::string>("custom-7"));
  EXPECT_TRUE(result->additionalUserInfo()->isNewUser());
  EXPECT_EQ(result->additionalUserInfo()->providerID(), std::nullopt);
  EXPECT_EQ(lastBody("verifyCustomToken"),
            (json{{"token", signer.sign({{"uid", "custom-7"}, {"exp", exp}})}, {"returnSecureToken", true}}));
  auto [again, againError] = dataFlow([&](auto done) {
    auth_->signInAndRetrieveDataWithCustomToken(signer.sign({{"uid", "custom-7"}, {"exp", exp}}), done);
  });
  ASSERT_EQ(againError, nullptr);
  EXPECT_FALSE(again->additionalUserInfo()->isNewUser());

  backend::TokenSigner stranger("someone else's key", "");
  auto [forged, forgedError] =
      dataFlow([&](auto done) { auth_->signInWithCustomToken(stranger.sign({{"uid", "custom-7"}, {"exp", exp}}), done); });
  EXPECT_EQ(forged, nullptr);
  EXPECT_EQ(codeOf(forgedError), DAVAuthErrorCodeInvalidCustomToken);
  auto [foreign, foreignError] = dataFlow([&](auto done) {
    auth_->signInWithCustomToken(signer.sign({{"uid", "custom-7"}, {"exp", exp}, {"aud", "another-project"}}), done);
  });
  EXPECT_EQ(codeOf(foreignError), DAVAuthErrorCodeCustomTokenMismatch);
  EXPECT_EQ(auth_->currentUser(), again->user());

  // A uid with a "/" is the administrator's to disable and enable like any other (percent-encoded).
  const std::string teamToken = signer.sign({{"uid", "team/7"}, {"exp", exp}});
  auto signInTeam = [&] { return std::get<1>(dataFlow([&](auto done) { auth_->signInWithCustomToken(teamToken, done); })); };
  ASSERT_EQ(signInTeam(), nullptr);
  ASSERT_TRUE(backend_->disableAccount("team/7"));
  EXPECT_EQ(codeOf(signInTeam()), DAVAuthErrorCodeUserDisabled);
  ASSERT_TRUE(backend_->enableAccount("team/7"));
  EXPECT_EQ(signInTeam(), nullptr);
}

TEST_F(DAVAuthFlowsTest, FederatedSignInCreatesTheAccountAndReportsTheProvidersProfile) {
  auto credential = DAVVariruAuthProvider::credentialWithIDToken("variru-id-token", "");
  Await<std::shared_ptr<DAVUser>, ErrorPtr> done;
  auth_->signInWithCredential(credential, done.callback());
  auto [user, error] = done.wait();
  ASSERT_EQ(error, nullptr) << error->description();
  EXPECT_EQ(auth_->currentUser(), user);
  EXPECT_EQ(user->email(), std::optional<std::string>("vic@example.com"));
  EXPECT_FALSE(user->isAnonymous());
  ASSERT_EQ(user->providerData().size(), 1u);
  EXPECT_EQ(user->providerData()[0]->providerID(), std::optional<std::string>("variru.com"));
  EXPECT_EQ(user->providerData()[0]->uid(), std::optional<std::string>("v-1001"));
  EXPECT_EQ(lastBody("verifyAssertion"), (json{{"requestUri", "http://localhost"},
                                               {"postBody", "providerId=variru.com&id_token=variru-id-token&access_token="},
                                               {"returnSecureToken", true},
                                               {"returnIdpCredential", true},
                                               {"autoCreate", true}}));

  // The data form reports the provider's profile; the account now exists.
  auto [result, againError] = dataFlow(
      [&](auto cb) { auth_->signInAndRetrieveDataWithCredential(DAVOAuthProvider::credentialWithProviderID("variru.com", "variru-id-token", std::nullopt), cb); });
  ASSERT_EQ(againError, nullptr) << againError->description();
  auto info = result->additionalUserInfo();
  EXPECT_EQ(info->providerID(), std::optional<std::string>("variru.com"));
  EXPECT_FALSE(info->isNewUser());
  ASSERT_TRUE(info->profile());
  EXPECT_EQ(*info->profile()->at("id").asString(), "v-1001");
  EXPECT_EQ(result->user()->uid(), user->uid());

  // A token the provider never issued, and an address that belongs to a password account.
  auto [bad, badError] = dataFlow([&](auto cb) {
    auth_->signInAndRetrieveDataWithCredential(DAVFacebookAuthProvider::credentialWithAccessToken("forged"), cb);
  });
  EXPECT_EQ(codeOf(badError), DAVAuthErrorCodeInvalidCredential);
  auto [taken, takenError] = dataFlow([&](auto cb) {
    auth_->signInAndRetrieveDataWithCredential(DAVGitHubAuthProvider::credentialWithToken("github-token-of-alice"), cb);
  });
  EXPECT_EQ(taken, nullptr);
  ASSERT_EQ(codeOf(takenError), DAVAuthErrorCodeAccountExistsWithDifferentCredential);
  EXPECT_EQ(*takenError->userInfo().at(kDAVAuthErrorUserInfoEmailKey).asString(), "alice@example.com");
  EXPECT_EQ(auth_->currentUser()->uid(), user->uid());
}

TEST_F(DAVAuthFlowsTest, LinkingAProviderAlreadyLinkedElsewhereHandsBackItsCredential) {
  auto alice = signIn("alice@example.com");
  backend_->clearRequests();
  Await<std::shared_ptr<DAVAuthDataResult>, ErrorPtr> link;
  const std::string tokenBefore = *alice->rawAccessToken();
  alice->linkAndRetrieveDataWithCredential(DAVFacebookAuthProvider::credentialWithAccessToken("facebook-token"),
                                           link.callback());
  auto [result, error] = link.wait();
  ASSERT_EQ(error, nullptr) << error->description();
  EXPECT_EQ(result->user(), alice);
  EXPECT_EQ(result->additionalUserInfo()->providerID(), std::optional<std::string>("facebook.com"));
  EXPECT_EQ(providerIDs(alice), (std::vector<std::string>{"facebook.com", "password"}));
  EXPECT_EQ(lastBody("verifyAssertion")["idToken"], tokenBefore);  // linked to the signed-in account
  EXPECT_NE(*alice->rawAccessToken(), tokenBefore);                // the reply's session was taken
  EXPECT_EQ(backend_->identity().linkedProviders(aliceUID_), std::vector<std::string>{"facebook.com"});
  // The user and each provider record answer one interface.
  EXPECT_EQ(infoLine(*alice), "Davedove " + aliceUID_ + " Alice - alice@example.com -");
  std::vector<std::string> records;
  for (const std::shared_ptr<const DAVUserInfo>& info : alice->providerData()) records.push_back(infoLine(*info));
  std::sort(records.begin(), records.end());
  EXPECT_EQ(records, (std::vector<std::string>{"facebook.com fb-2002 Fay - fay@example.com -",
                                               "password alice@example.com Alice - alice@example.com -"}));

  // The same provider again: refused without a request.
  backend_->clearRequests();
  Await<std::shared_ptr<DAVUser>, ErrorPtr> again;
  alice->linkWithCredential(DAVFacebookAuthProvider::credentialWithAccessToken("facebook-token"), again.callback());
  EXPECT_EQ(codeOf(std::get<1>(again.wait())), DAVAuthErrorCodeProviderAlreadyLinked);
  EXPECT_TRUE(calls().empty());

  // Bob may not take Alice's provider account: 17025 with the provider's credential and e-mail.
  auto bob = signIn("bob@example.com");
  Await<std::shared_ptr<DAVAuthDataResult>, ErrorPtr> conflict;
  bob->linkAndRetrieveDataWithCredential(DAVFacebookAuthProvider::credentialWithAccessToken("facebook-token"),
                                         conflict.callback());
  auto [none, inUse] = conflict.wait();
  EXPECT_EQ(none, nullptr);
  ASSERT_EQ(codeOf(inUse), DAVAuthErrorCodeCredentialAlreadyInUse);
  EXPECT_EQ(*inUse->userInfo().at(kDAVAuthErrorUserInfoEmailKey).asString(), "fay@example.com");
  auto updated = std::dynamic_pointer_cast<const DAVOAuthCredential>(
      inUse->userInfo().at(kDAVAuthErrorUserInfoUpdatedCredentialKey).asObject());
  ASSERT_NE(updated, nullptr);
  EXPECT_EQ(updated->provider(), "facebook.com");
  EXPECT_EQ(updated->accessToken(), std::optional<std::string>("facebook-token"));
  EXPECT_TRUE(providerIDs(bob) == std::vector<std::string>{"password"});

  // Alice unlinks it: "deleteProvider", not "deleteAttribute".
  backend_->clearRequests();
  Await<std::shared_ptr<DAVUser>, ErrorPtr> unlink;
  alice->unlinkFromProvider("facebook.com", unlink.callback());
  auto [unlinked, unlinkError] = unlink.wait();
  ASSERT_EQ(unlinkError, nullptr) << unlinkError->description();
  EXPECT_EQ(lastBody("setAccountInfo")["deleteProvider"], json::array({"facebook.com"}));
  EXPECT_FALSE(lastBody("setAccountInfo").contains("deleteAttribute"));
  EXPECT_EQ(providerIDs(alice), std::vector<std::string>{"password"});
  EXPECT_TRUE(backend_->identity().linkedProviders(aliceUID_).empty());
  Await<std::shared_ptr<DAVUser>, ErrorPtr> unknown;
  alice->unlinkFromProvider("twitter.com", unknown.callback());
  EXPECT_EQ(codeOf(std::get<1>(unknown.wait())), DAVAuthErrorCodeNoSuchProvider);
}

TEST_F(DAVAuthFlowsTest, ReauthenticationRefreshesTheSessionOfTheSameUserOnly) {
  auto alice = signIn("alice@example.com");
  const std::string tokenBefore = *alice->rawAccessToken();  // every token the stand-in mints is new

  Await<std::shared_ptr<DAVAuthDataResult>, ErrorPtr> same;
  alice->reauthenticateAndRetrieveDataWithCredential(DAVEmailAuthProvider::credentialWithEmail("alice@example.com", kPassword),
                                                     same.callback());
  auto [result, error] = same.wait();
  ASSERT_EQ(error, nullptr) << error->description();
  EXPECT_NE(result->user(), alice);  // a user made for the check, never adopted
  EXPECT_EQ(auth_->currentUser(), alice);
  EXPECT_NE(*alice->rawAccessToken(), tokenBefore);
  EXPECT_EQ(alice->rawAccessToken(), result->user()->rawAccessToken());

  // Another account, and a provider account that does not exist (no account is made for it).
  EXPECT_EQ(codeOf(errorFlow([&](auto done) {
              alice->reauthenticateWithCredential(DAVEmailAuthProvider::credentialWithEmail("bob@example.com", kPassword), done);
            })),
            DAVAuthErrorCodeUserMismatch);
  const std::string beforeFederated = *alice->rawAccessToken();
  EXPECT_EQ(codeOf(errorFlow([&](auto done) {
              alice->reauthenticateWithCredential(DAVVariruAuthProvider::credentialWithIDToken("variru-id-token", ""), done);
            })),
            DAVAuthErrorCodeUserMismatch);
  EXPECT_EQ(lastBody("verifyAssertion")["autoCreate"], false);
  EXPECT_FALSE(backend_->identity().userByEmail("vic@example.com"));
  EXPECT_EQ(codeOf(errorFlow([&](auto done) {
              alice->reauthenticateWithCredential(DAVEmailAuthProvider::credentialWithEmail("alice@example.com", "wrong"), done);
            })),
            DAVAuthErrorCodeWrongPassword);
  EXPECT_EQ(auth_->currentUser(), alice);
  EXPECT_EQ(*alice->rawAccessToken(), beforeFederated);
}

TEST_F(DAVAuthFlowsTest, SignInLinksAreMailedRecognisedAndRedeemedOnce) {
  DAVActionCodeSettings settings;
  settings.setURL(std::string("https://vorellin.example/finish"));
  authtest::expectRaise([&] { auth_->sendSignInLinkToEmail("lee@example.com", settings, nullptr); },
                        platform::kInvalidArgumentException,
                        "You must set handleCodeInApp in your ActionCodeSettings to true for Email-link Authentication.");
  authtest::expectRaise([&] { auth_->sendSignInLinkToEmail(std::nullopt, settings, nullptr); },
                        platform::kInvalidArgumentException,
                        "The email used to initiate email link sign-in cannot be nil.");
  settings.setHandleCodeInApp(true);
  EXPECT_TRUE(calls().empty());
  // The continue URL goes into the mail: up to 4 KiB.
  DAVActionCodeSettings tooLong = settings;
  const std::string base = "https://vorellin.example/?q=";
  tooLong.setURL(base + std::string(4096 - base.size(), 'q'));
  ASSERT_EQ(errorFlow([&](auto done) { auth_->sendSignInLinkToEmail("lee@example.com", tooLong, done); }), nullptr);
  tooLong.setURL(*tooLong.URL() + "q");
  EXPECT_EQ(codeOf(errorFlow([&](auto done) { auth_->sendSignInLinkToEmail("lee@example.com", tooLong, done); })),
            DAVAuthErrorCodeInvalidContinueURI);
  ASSERT_EQ(errorFlow([&](auto done) { auth_->sendSignInLinkToEmail("lee@example.com", settings, done); }), nullptr);
  auto body = lastBody("getOobConfirmationCode");
  EXPECT_EQ(body["requestType"], "EMAIL_SIGNIN");
  EXPECT_EQ(body["email"], "lee@example.com");
  EXPECT_EQ(body["canHandleCodeInApp"], true);

  const std::string code = lastMailCode("EMAIL_SIGNIN");
  const std::string link = "https://vorellin.example/finish?apiKey=k&mode=signIn&oobCode=" + code + "&lang=en";
  EXPECT_TRUE(DAVAuth::isSignInWithEmailLink(link));
  // Escaped keys and values are read decoded; a later key wins.
  EXPECT_TRUE(DAVAuth::isSignInWithEmailLink("https://a.example/?mode=verifyEmail&m%6Fde=sign%49n&oobCode=" + code));
  EXPECT_FALSE(DAVAuth::isSignInWithEmailLink("https://vorellin.example/finish?mode=resetPassword&oobCode=" + code));
  EXPECT_FALSE(DAVAuth::isSignInWithEmailLink(""));
  authtest::expectRaise(
      [&] { auth_->signInWithEmailLink("lee@example.com", "https://vorellin.example/?mode=verifyEmail&oobCode=x", nullptr); },
      platform::kInvalidArgumentException, kNotASignInLink);
  // The mail the stand-in wrote carries a sign-in link with that code.
  EXPECT_EQ(DAVAuth::oobCodeOfEmailLink(mailedLink("lee@example.com", "EMAIL_SIGNIN")), std::optional<std::string>(code));

  auto [result, error] = dataFlow([&](auto done) { auth_->signInWithEmailLink("lee@example.com", link, done); });
  ASSERT_EQ(error, nullptr) << error->description();
  EXPECT_EQ(result->user()->email(), std::optional<std::string>("lee@example.com"));
  EXPECT_TRUE(result->additionalUserInfo()->isNewUser());
  EXPECT_EQ(result->additionalUserInfo()->providerID(), std::optional<std::string>("password"));
  EXPECT_TRUE(result->user()->isEmailVerified());
  EXPECT_EQ(lastBody("emailLinkSignin"), (json{{"email", "lee@example.com"}, {"oobCode", code}}));

  Await<std::optional<std::vector<std::string>>, ErrorPtr> methods;
  auth_->fetchSignInMethodsForEmail("lee@example.com", methods.callback());
  EXPECT_EQ(std::get<0>(methods.wait()), std::optional<std::vector<std::string>>({"emailLink"}));

  // Used once only; a credential with the link takes the same road.
  auto [reused, reusedError] = dataFlow([&](auto done) {
    auth_->signInAndRetrieveDataWithCredential(DAVEmailAuthProvider::credentialWithEmailLink("lee@example.com", link), done);
  });
  EXPECT_EQ(codeOf(reusedError), DAVAuthErrorCodeInvalidActionCode);
  EXPECT_EQ(auth_->currentUser(), result->user());
}

TEST_F(DAVAuthFlowsTest, PasswordResetAndVerificationCodesAreCheckedAndApplied) {
  Await<std::optional<std::vector<std::string>>, ErrorPtr> providers;
  auth_->fetchProvidersForEmail("alice@example.com", providers.callback());
  EXPECT_EQ(std::get<0>(providers.wait()), std::optional<std::vector<std::string>>({"password"}));
  EXPECT_EQ(lastBody("createAuthUri"), (json{{"identifier", "alice@example.com"}, {"continueUri", "http://www.davedove.com/"}}));

  ASSERT_EQ(errorFlow([&](auto done) { auth_->sendPasswordResetWithEmail("alice@example.com", done); }), nullptr);
  const std::string code = lastMailCode("PASSWORD_RESET");
  Await<std::shared_ptr<DAVActionCodeInfo>, ErrorPtr> check;
  auth_->checkActionCode(code, check.callback());
  auto [info, checkError] = check.wait();
  ASSERT_EQ(checkError, nullptr);
  EXPECT_EQ(info->operation(), DAVActionCodeOperationPasswordReset);
  EXPECT_EQ(info->dataForKey(DAVActionCodeEmailKey), std::optional<std::string>("alice@example.com"));
  EXPECT_EQ(info->dataForKey(DAVActionCodeFromEmailKey), std::nullopt);
  EXPECT_EQ(info->dataForKey(7), std::nullopt);
  Await<std::optional<std::string>, ErrorPtr> verify;
  auth_->verifyPasswordResetCode(code, verify.callback());
  EXPECT_EQ(std::get<0>(verify.wait()), std::optional<std::string>("alice@example.com"));

  ASSERT_EQ(errorFlow([&](auto done) { auth_->confirmPasswordResetWithCode(code, "a brand new secret", done); }), nullptr);
  EXPECT_EQ(lastBody("resetPassword"), (json{{"oobCode", code}, {"newPassword", "a brand new secret"}}));
  EXPECT_EQ(codeOf(errorFlow([&](auto done) { auth_->confirmPasswordResetWithCode(code, "another one", done); })),
            DAVAuthErrorCodeInvalidActionCode);
  auto [old, oldError] = dataFlow([&](auto done) { auth_->signInWithEmail("alice@example.com", kPassword, done); });
  EXPECT_EQ(codeOf(oldError), DAVAuthErrorCodeWrongPassword);
  auto [fresh, freshError] =
      dataFlow([&](auto done) { auth_->signInWithEmail("alice@example.com", "a brand new secret", done); });
  ASSERT_EQ(freshError, nullptr);
  auto alice = fresh->user();

  // The verification mail's code, applied, verifies the address; reloading shows it.
  EXPECT_FALSE(alice->isEmailVerified());
  ASSERT_EQ(errorFlow([&](auto done) { alice->sendEmailVerificationWithCompletion(done); }), nullptr);
  EXPECT_EQ(lastBody("getOobConfirmationCode")["requestType"], "VERIFY_EMAIL");
  EXPECT_EQ(lastBody("getOobConfirmationCode")["idToken"], *alice->rawAccessToken());
  const std::string verifyCode = lastMailCode("VERIFY_EMAIL");
  ASSERT_EQ(errorFlow([&](auto done) { auth_->applyActionCode(verifyCode, done); }), nullptr);
  EXPECT_EQ(lastBody("setAccountInfo")["oobCode"], verifyCode);
  EXPECT_TRUE(backend_->identity().userByEmail("alice@example.com")->emailVerified);
  ASSERT_EQ(errorFlow([&](auto done) { alice->reloadWithCompletion(done); }), nullptr);
  EXPECT_TRUE(alice->isEmailVerified());
  EXPECT_EQ(codeOf(errorFlow([&](auto done) { auth_->applyActionCode(verifyCode, done); })),
            DAVAuthErrorCodeInvalidActionCode);
}

TEST_F(DAVAuthFlowsTest, TheCodeOfANoticeOfChangeActsOnlyOnItsAccountWhileThatHasTheNewAddress) {
  // Alice moves to b@ and on to c@; Bob moves to d@ and deletes his account. Each keeps the code that
  // the notice to his old address carried.
  auto alice = signIn("alice@example.com");
  ASSERT_TRUE(alice);
  ASSERT_EQ(errorFlow([&](auto done) { alice->updateEmail("b@example.com", done); }), nullptr);
  const std::string aliceCode = lastMailCode("RECOVER_EMAIL");
  ASSERT_EQ(errorFlow([&](auto done) { alice->updateEmail("c@example.com", done); }), nullptr);
  auto bob = signIn("bob@example.com");
  ASSERT_TRUE(bob);
  ASSERT_EQ(errorFlow([&](auto done) { bob->updateEmail("d@example.com", done); }), nullptr);
  const std::string bobCode = lastMailCode("RECOVER_EMAIL");
  ASSERT_EQ(errorFlow([&](auto done) { bob->deleteWithCompletion(done); }), nullptr);

  // Later accounts sign up with those addresses; the old codes act on neither.
  for (const auto& [address, code] : std::vector<std::pair<std::string, std::string>>{{"b@example.com", aliceCode},
                                                                                     {"d@example.com", bobCode}}) {
    auto [created, error] = dataFlow([&](auto done) { auth_->createUserWithEmail(address, "later password", done); });
    ASSERT_EQ(error, nullptr) << address;
    const std::string uid = *created->user()->uid();
    EXPECT_EQ(codeOf(errorFlow([&](auto done) { auth_->applyActionCode(code, done); })), DAVAuthErrorCodeInvalidActionCode)
        << address;
    Await<std::shared_ptr<DAVActionCodeInfo>, ErrorPtr> check;
    auth_->checkActionCode(code, check.callback());
    EXPECT_EQ(codeOf(std::get<1>(check.wait())), DAVAuthErrorCodeInvalidActionCode) << address;
    EXPECT_EQ(backend_->identity().userByID(uid)->email, address);
    auto [again, againError] = dataFlow([&](auto done) { auth_->signInWithEmail(address, "later password", done); });
    ASSERT_EQ(againError, nullptr) << address;
    EXPECT_EQ(again->user()->uid(), std::optional<std::string>(uid));
  }
  EXPECT_EQ(backend_->identity().userByID(aliceUID_)->email, "c@example.com");
}

TEST_F(DAVAuthFlowsTest, MailedCodesExpireAndLeaveTheStore) {
  std::atomic<int64_t> now{std::time(nullptr)};
  backend_->identity().setClockForTests([&now] { return now.load(); });
  ASSERT_EQ(errorFlow([&](auto done) { auth_->sendPasswordResetWithEmail("alice@example.com", done); }), nullptr);
  const std::string reset = lastMailCode("PASSWORD_RESET");
  auto alice = signIn("alice@example.com");
  ASSERT_TRUE(alice);
  ASSERT_EQ(errorFlow([&](auto done) { alice->sendEmailVerificationWithCompletion(done); }), nullptr);
  const std::string verify = lastMailCode("VERIFY_EMAIL");
  now += 1800;
  DAVActionCodeSettings settings;
  settings.setURL(std::string("https://vorellin.example/finish"));
  settings.setHandleCodeInApp(true);
  ASSERT_EQ(errorFlow([&](auto done) { auth_->sendSignInLinkToEmail("lee@example.com", settings, done); }), nullptr);
  const std::string link = mailedLink("lee@example.com", "EMAIL_SIGNIN");

  // After an hour a reset, and then a sign-in link, has expired; once tried it is gone.
  now += 1800;
  auto confirmReset = [&] {
    return codeOf(errorFlow([&](auto done) { auth_->confirmPasswordResetWithCode(reset, "a brand new secret", done); }));
  };
  EXPECT_EQ(confirmReset(), DAVAuthErrorCodeExpiredActionCode);
  EXPECT_EQ(confirmReset(), DAVAuthErrorCodeInvalidActionCode);
  auto [old, oldError] = dataFlow([&](auto done) { auth_->signInWithEmail("alice@example.com", kPassword, done); });
  ASSERT_EQ(oldError, nullptr);
  now += 1800;
  auto [linked, linkError] = dataFlow([&](auto done) { auth_->signInWithEmailLink("lee@example.com", link, done); });
  EXPECT_EQ(codeOf(linkError), DAVAuthErrorCodeExpiredActionCode);
  EXPECT_FALSE(backend_->identity().userByEmail("lee@example.com"));
  // A verification lasts three days.
  alice = old->user();
  ASSERT_EQ(errorFlow([&](auto done) { alice->sendEmailVerificationWithCompletion(done); }), nullptr);
  const std::string unused = lastMailCode("VERIFY_EMAIL");
  EXPECT_EQ(errorFlow([&](auto done) { auth_->applyActionCode(verify, done); }), nullptr);
  EXPECT_TRUE(backend_->identity().userByEmail("alice@example.com")->emailVerified);
  now += 3 * 24 * 3600;
  EXPECT_EQ(codeOf(errorFlow([&](auto done) { auth_->applyActionCode(unused, done); })), DAVAuthErrorCodeExpiredActionCode);

  // Expired codes that nobody tries leave the store too: of these two only the newer is kept.
  ASSERT_EQ(errorFlow([&](auto done) { alice->sendEmailVerificationWithCompletion(done); }), nullptr);
  now += 3 * 24 * 3600;
  ASSERT_EQ(errorFlow([&](auto done) { auth_->sendPasswordResetWithEmail("alice@example.com", done); }), nullptr);
  std::ifstream file(backend_->dataDir() + "/oob-codes.json");
  const json stored = json::parse(file, nullptr, false);
  ASSERT_TRUE(stored.is_object());
  EXPECT_EQ(stored["codes"].size(), 1u) << stored.dump();
}

TEST_F(DAVAuthFlowsTest, ProfileChangesFollowTheStagingRulesAndReachTheServer) {
  auto alice = signIn("alice@example.com");
  backend_->clearRequests();

  auto empty = alice->profileChangeRequest();
  EXPECT_FALSE(empty->hasUpdates());
  EXPECT_EQ(errorFlow([&](auto done) { empty->commitChangesWithCompletion(done); }), nullptr);
  EXPECT_TRUE(calls().empty());
  try {
    empty->commitChangesWithCompletion(nullptr);
    ADD_FAILURE() << "a second commit must raise";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), platform::kInternalInconsistencyException);
    EXPECT_EQ(e.reason(), "commitChangesWithCallback: should only be called once.");
  }

  // A name of none is a deletion on the server too; the photo is set first.
  auto change = alice->profileChangeRequest();
  change->setDisplayName(std::string("Temporary"));
  change->setDisplayName(std::nullopt);
  change->setPhotoURL(std::string("https://example.com/alice.png"));
  EXPECT_TRUE(change->hasUpdates());
  EXPECT_EQ(change->displayName(), std::nullopt);
  ASSERT_EQ(errorFlow([&](auto done) { change->commitChangesWithCompletion(done); }), nullptr);
  auto body = lastBody("setAccountInfo");
  EXPECT_FALSE(body.contains("displayName"));
  EXPECT_EQ(body["deleteAttribute"], json::array({"DISPLAY_NAME"}));
  EXPECT_EQ(body["photoUrl"], "https://example.com/alice.png");
  EXPECT_EQ(alice->displayName(), std::nullopt);
  EXPECT_EQ(alice->photoURL(), std::optional<std::string>("https://example.com/alice.png"));
  auto stored = backend_->identity().userByID(aliceUID_);
  EXPECT_EQ(stored->displayName, "");
  EXPECT_EQ(stored->photoUrl, "https://example.com/alice.png");
  try {
    change->setPhotoURL(std::nullopt);
    ADD_FAILURE() << "staging after the commit must raise";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.reason(), "Invalid call to setPhotoURL: after commitChangesWithCallback:.");
  }
  try {
    change->setDisplayName(std::string("x"));
    ADD_FAILURE() << "staging after the commit must raise";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.reason(), "Invalid call to setDisplayName: after commitChangesWithCallback:.");
  }

  // After a restart the stored user has the new profile.
  auth_.reset();
  DAVApp::resetApps();
  settle();
  DAVApp::configureWithOptions(authtest::standInOptions(kAppID, kAPIKey, backend_->baseURL()));
  auth_ = DAVAuth::auth();
  auto restored = auth_->currentUser();
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(restored->displayName(), std::nullopt);
  EXPECT_EQ(restored->photoURL(), std::optional<std::string>("https://example.com/alice.png"));

  // A photo of none is a deletion on the server too.
  auto noPhoto = restored->profileChangeRequest();
  noPhoto->setPhotoURL(std::nullopt);
  ASSERT_EQ(errorFlow([&](auto done) { noPhoto->commitChangesWithCompletion(done); }), nullptr);
  body = lastBody("setAccountInfo");
  EXPECT_FALSE(body.contains("photoUrl"));
  EXPECT_FALSE(body.contains("displayName"));
  EXPECT_EQ(body["deleteAttribute"], json::array({"PHOTO_URL"}));
  EXPECT_EQ(restored->photoURL(), std::nullopt);
  EXPECT_EQ(backend_->identity().userByID(aliceUID_)->photoUrl, "");
}

TEST_F(DAVAuthFlowsTest, EmailAndPasswordUpdatesRunOneAfterTheOtherOnTheUsersQueue) {
  auto alice = signIn("alice@example.com");
  backend_->clearRequests();
  EXPECT_EQ(codeOf(errorFlow([&](auto done) { alice->updatePassword("", done); })), DAVAuthErrorCodeWeakPassword);
  EXPECT_TRUE(calls().empty());

  Await<ErrorPtr> first, second, third;
  alice->updateEmail("alice.first@example.com", first.callback());
  alice->updateEmail("alice.second@example.com", second.callback());
  alice->updatePassword("a third new password", third.callback());
  EXPECT_EQ(std::get<0>(first.wait()), nullptr);
  EXPECT_EQ(std::get<0>(second.wait()), nullptr);
  EXPECT_EQ(std::get<0>(third.wait()), nullptr);
  // Each update reads the account and then changes it before the next one starts.
  EXPECT_EQ(calls(), (std::vector<std::string>{"getAccountInfo", "setAccountInfo", "getAccountInfo", "setAccountInfo",
                                              "getAccountInfo", "setAccountInfo"}));
  auto sets = backend_->requestsForPath(rp("setAccountInfo"));
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[0].json["email"], "alice.first@example.com");
  EXPECT_EQ(sets[1].json["email"], "alice.second@example.com");
  EXPECT_EQ(sets[2].json["password"], "a third new password");
  EXPECT_FALSE(sets[2].json.contains("email"));
  EXPECT_EQ(alice->email(), std::optional<std::string>("alice.second@example.com"));

  auth_->signOut(nullptr);
  auto [result, error] = dataFlow(
      [&](auto done) { auth_->signInWithEmail("alice.second@example.com", "a third new password", done); });
  EXPECT_EQ(error, nullptr);
}

TEST_F(DAVAuthFlowsTest, DeletingTheAccountSignsOutAndForgetsTheStoredUser) {
  auto alice = signIn("alice@example.com");
  ASSERT_EQ(errorFlow([&](auto done) { alice->deleteWithCompletion(done); }), nullptr);
  EXPECT_EQ(lastBody("deleteAccount"), (json{{"localId", aliceUID_}, {"idToken", *alice->rawAccessToken()}}));
  EXPECT_EQ(auth_->currentUser(), nullptr);
  EXPECT_FALSE(backend_->identity().userByID(aliceUID_));
  // Gone from the keychain too: a restart finds nobody.
  auth_.reset();
  DAVApp::resetApps();
  settle();
  DAVApp::configureWithOptions(authtest::standInOptions(kAppID, kAPIKey, backend_->baseURL()));
  auth_ = DAVAuth::auth();
  EXPECT_EQ(auth_->currentUser(), nullptr);
  // The account is gone on the server: the old user object can no longer read it.
  EXPECT_EQ(codeOf(errorFlow([&](auto done) { alice->reloadWithCompletion(done); })), DAVAuthErrorCodeUserNotFound);
}

TEST_F(DAVAuthFlowsTest, GameCenterAndWebSignInAnswerInsteadOfHanging) {
  Await<std::shared_ptr<DAVGameCenterAuthCredential>, ErrorPtr> player;
  DAVGameCenterAuthProvider::getCredentialWithCompletion(player.callback());
  auto [credential, playerError] = player.wait();
  EXPECT_EQ(credential, nullptr);
  EXPECT_EQ(codeOf(playerError), DAVAuthErrorCodeGameKitNotLinked);

  // A game-centre credential from elsewhere goes to its own call; the stand-in knows no player.
  auto gc = std::make_shared<DAVGameCenterAuthCredential>("G:42", "https://keys.example/gc.cer", std::string("\xfb\xff", 2),
                                                          std::string("salt"), 0, "Player");
  auto [result, error] = dataFlow([&](auto done) { auth_->signInAndRetrieveDataWithCredential(gc, done); });
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(codeOf(error), DAVAuthErrorCodeInvalidCredential);
  EXPECT_EQ(lastBody("signInWithGameCenter"), (json{{"playerId", "G:42"},
                                                    {"publicKeyUrl", "https://keys.example/gc.cer"},
                                                    {"signature", "-_8"},
                                                    {"salt", "c2FsdA"},
                                                    {"displayName", "Player"}}));

  auto provider = DAVOAuthProvider::providerWithProviderID("variru.com", auth_);
  auto [web, webError] = dataFlow([&](auto done) { auth_->signInWithProvider(provider, nullptr, done); });
  EXPECT_EQ(web, nullptr);
  EXPECT_EQ(codeOf(webError), DAVAuthErrorCodeWebSignInUserInteractionFailure);
}

TEST_F(DAVAuthFlowsTest, ANewAppOfADeletedAppsNameKeepsItsKeychain) {
  DAVApp::configureWithName("second", authtest::standInOptions(kAppID, kAPIKey, backend_->baseURL()));
  auto second = DAVAuth::authWithApp(DAVApp::appNamed("second"));
  auto [first, error] = dataFlow([&](auto done) { second->signInWithEmail("alice@example.com", kPassword, done); });
  ASSERT_EQ(error, nullptr);
  // Deleted and made again while the work queue is still busy, so its work runs after both.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  DAVAuthGlobalWorkQueue()->async([released] { released.wait(); });
  DAVApp::appNamed("second")->deleteApp([](bool) {});
  DAVApp::configureWithName("second", authtest::standInOptions(kAppID, kAPIKey, backend_->baseURL()));
  release.set_value();
  auto fresh = DAVAuth::authWithApp(DAVApp::appNamed("second"));
  ASSERT_NE(fresh, second);
  EXPECT_EQ(DAVAuth::keychainServiceNameForAppName("second"), std::optional<std::string>(std::string("davedove_auth_") + kAppID));
  EXPECT_EQ(fresh->currentUser(), nullptr);  // the old user went with the old app
  auto [result, freshError] = dataFlow([&](auto done) { fresh->signInWithEmail("bob@example.com", kPassword, done); });
  ASSERT_EQ(freshError, nullptr) << freshError->description();
  EXPECT_EQ(fresh->currentUser(), result->user());
}

// Archives one record into the keychain under its own key and reads it back.
template <class T>
std::shared_ptr<T> throughTheKeychain(DAVAuthKeychain& keychain, const std::string& key, const platform::Coding& record) {
  ErrorPtr error;
  EXPECT_TRUE(keychain.setData(platform::KeyedArchiver::archivedData(key, record), key, &error));
  auto data = keychain.dataForKey(key, &error);
  EXPECT_TRUE(data) << key;
  if (!data) return nullptr;
  auto coder = platform::KeyedUnarchiver::create(*data);
  return coder ? coder->decodeObjectOfClass<T>(key) : nullptr;
}

TEST_F(DAVAuthFlowsTest, EveryArchivableRecordRoundTripsThroughTheKeychain) {
  DAVAuthKeychain keychain("davedove_auth_records");
  auto email = throughTheKeychain<DAVEmailPasswordAuthCredential>(
      keychain, "email", *DAVEmailAuthProvider::credentialWithEmail("a@b.c", "pw"));
  ASSERT_TRUE(email);
  EXPECT_EQ(email->password(), std::optional<std::string>("pw"));
  EXPECT_EQ(email->provider(), "password");
  auto link = throughTheKeychain<DAVEmailPasswordAuthCredential>(
      keychain, "link", *DAVEmailAuthProvider::credentialWithEmailLink("a@b.c", "https://l.example/?mode=signIn"));
  ASSERT_TRUE(link);
  EXPECT_EQ(link->password(), std::nullopt);
  EXPECT_EQ(link->link(), std::optional<std::string>("https://l.example/?mode=signIn"));
  EXPECT_FALSE((throughTheKeychain<DAVEmailPasswordAuthCredential>(
      keychain, "neither", DAVEmailPasswordAuthCredential("a@b.c", DAVEmailPasswordAuthCredential::Password{""}))));

  auto facebook = throughTheKeychain<DAVFacebookAuthCredential>(keychain, "fb", DAVFacebookAuthCredential("fb-t"));
  EXPECT_EQ(facebook->accessToken(), std::optional<std::string>("fb-t"));
  EXPECT_EQ(facebook->provider(), kDAVFacebookAuthProviderID);
  auto variru = throughTheKeychain<DAVVariruAuthCredential>(keychain, "v", DAVVariruAuthCredential("id", "at"));
  EXPECT_EQ(variru->IDToken(), std::optional<std::string>("id"));
  EXPECT_EQ(variru->accessToken(), std::optional<std::string>("at"));
  EXPECT_EQ(throughTheKeychain<DAVGitHubAuthCredential>(keychain, "gh", DAVGitHubAuthCredential("g"))->token(),
            std::optional<std::string>("g"));
  auto twitter = throughTheKeychain<DAVTwitterAuthCredential>(keychain, "tw", DAVTwitterAuthCredential("t", "s"));
  EXPECT_EQ(twitter->secret(), std::optional<std::string>("s"));
  auto player = throughTheKeychain<DAVGameCenterAuthCredential>(
      keychain, "gc",
      DAVGameCenterAuthCredential("G:1", "https://k.example/k.cer", std::string("\0sig", 4), std::string("salt"),
                                  1700000000123ULL, "Player One"));
  EXPECT_EQ(player->signature(), std::optional<std::string>(std::string("\0sig", 4)));
  EXPECT_EQ(player->timestamp(), 1700000000123ULL);
  EXPECT_EQ(player->publicKeyURL(), std::optional<std::string>("https://k.example/k.cer"));
  EXPECT_EQ(player->displayName(), std::optional<std::string>("Player One"));
  // The OAuth credential keeps its provider id.
  auto oauth = throughTheKeychain<DAVOAuthCredential>(
      keychain, "oauth", *DAVOAuthProvider::credentialWithProviderID("oidc.example", "i", "a", "p"));
  EXPECT_EQ(oauth->provider(), "oidc.example");
  EXPECT_EQ(oauth->pendingToken(), std::optional<std::string>("p"));
  EXPECT_EQ(throughTheKeychain<DAVAuthAppCredential>(keychain, "app", DAVAuthAppCredential("r", "s"))->secret(),
            std::optional<std::string>("s"));

  // A federated user with its provider records, its metadata and its sign-in result.
  auto [result, error] = dataFlow([&](auto done) {
    auth_->signInAndRetrieveDataWithCredential(DAVVariruAuthProvider::credentialWithIDToken("variru-id-token", ""), done);
  });
  ASSERT_EQ(error, nullptr);
  auto back = throughTheKeychain<DAVAuthDataResult>(keychain, "result", *result);
  ASSERT_TRUE(back && back->user() && back->additionalUserInfo());
  EXPECT_EQ(back->user()->uid(), result->user()->uid());
  EXPECT_EQ(back->user()->refreshToken(), result->user()->refreshToken());
  ASSERT_EQ(back->user()->providerData().size(), 1u);
  EXPECT_EQ(back->user()->providerData()[0]->uid(), std::optional<std::string>("v-1001"));
  EXPECT_EQ(back->user()->metadata()->creationDate().has_value(), result->user()->metadata()->creationDate().has_value());
  EXPECT_FALSE(back->user()->isAnonymous());
  EXPECT_EQ(back->additionalUserInfo()->profile(), result->additionalUserInfo()->profile());
  EXPECT_TRUE(back->additionalUserInfo()->isNewUser());

  Await<std::shared_ptr<DAVAuthTokenResult>, ErrorPtr> token;
  result->user()->getIDTokenResultWithCompletion(token.callback());
  auto parsed = std::get<0>(token.wait());
  ASSERT_TRUE(parsed);
  auto tokenBack = throughTheKeychain<DAVAuthTokenResult>(keychain, "token", *parsed);
  ASSERT_TRUE(tokenBack);
  EXPECT_EQ(tokenBack->token(), parsed->token());
  EXPECT_EQ(tokenBack->signInProvider(), std::optional<std::string>("variru.com"));
  EXPECT_EQ(tokenBack->expirationDate().secondsSince1970, parsed->expirationDate().secondsSince1970);
  EXPECT_EQ(tokenBack->claims(), parsed->claims());
}

TEST_F(DAVAuthFlowsTest, TheWebSignInAddressEscapesEveryArgumentOnItsOwn) {
  auto options = authtest::standInOptions(kAppID, kAPIKey, backend_->baseURL());
  auto dictionary = options->optionsDictionary();
  dictionary["CLIENT_ID"] = std::string("123.apps.example");
  options->setOptionsDictionary(dictionary);
  DAVApp::configureWithName("web", options);
  auto auth = DAVAuth::authWithApp(DAVApp::appNamed("web"));
  auth->setLanguageCode(std::string("de"));
  auto provider = DAVOAuthProvider::providerWithProviderID("oidc.example", auth);
  EXPECT_EQ(provider->callbackScheme(), "example.apps.123");
  provider->setScopes({"email", "profile"});
  provider->setCustomParameters({{"prompt", "a&b=c#d"}});

  std::promise<std::pair<std::optional<std::string>, ErrorPtr>> promise;
  provider->getHeadFulLiteURLWithEventID("E1", "session-1", [&promise](std::optional<std::string> url, ErrorPtr e) {
    promise.set_value({url, e});
  });
  auto future = promise.get_future();
  auto [url, error] = authtest::waitFor(future);
  ASSERT_EQ(error, nullptr) << error->description();
  const std::string prefix = "https://vorellin-local.davedoveapp.com/__/auth/handler?";
  ASSERT_EQ(url->rfind(prefix, 0), 0u) << *url;
  EXPECT_EQ(url->find_first_of("# "), std::string::npos);
  auto items = DAVAuthWebUtils::queryItemsOfURL(*url);
  std::map<std::string, std::string> query;
  for (const auto& item : items) query[item.name] = item.value.value_or("");
  EXPECT_EQ(items.size(), 11u);  // nothing inside a value split the query
  EXPECT_EQ(query["customParameters"], R"({"prompt":"a&b=c#d"})");
  EXPECT_EQ(query["scopes"], "email,profile");
  EXPECT_EQ(query["hl"], "de");
  EXPECT_EQ(query["authType"], "signInWithRedirect");
  EXPECT_EQ(query["apiKey"], kAPIKey);
  EXPECT_EQ(query["eventId"], "E1");
  EXPECT_EQ(query["clientId"], "123.apps.example");
  EXPECT_EQ(query["v"], DAVAuthBackend::authUserAgent());
  EXPECT_EQ(query["sessionId"], "84097828fc31a8c8d29210df48901a85de7fd013f686b17be77d1be29cb7a98b");  // SHA-256 of "session-1"

  // The page's answer: the link, or the error it names.
  const std::string linkAnswer = "app://davedoveauth/link?deep_link_id=" +
                                 std::string("https%3A%2F%2Fx.example%2F%3Flink%3Dhttps%253A%252F%252Fdone.example");
  EXPECT_EQ(DAVOAuthProvider::OAuthResponseForURL(linkAnswer, nullptr), std::optional<std::string>("https://done.example"));
  ErrorPtr answerError;
  const std::string errorAnswer =
      "app://davedoveauth/link?deep_link_id=" +
      std::string("https%3A%2F%2Fx.example%2F%3FdavedoveError%3D%257B%2522code%2522%253A%2522auth%252Fweb-storage-unsupported%2522%252C%2522message%2522%253A%2522no%2522%257D");
  EXPECT_EQ(DAVOAuthProvider::OAuthResponseForURL(errorAnswer, &answerError), std::nullopt);
  ASSERT_NE(answerError, nullptr);
  EXPECT_EQ(answerError->code(), DAVAuthErrorCodeWebSignInUserInteractionFailure);
  EXPECT_EQ(answerError->localizedFailureReason(), "[auth/web-storage-unsupported] - no");
}

TEST_F(DAVAuthFlowsTest, AWebSignInParameterThatIsNotUTF8FailsAsASerialisationError) {
  expectProcessSurvives([&] {
    auto provider = DAVOAuthProvider::providerWithProviderID("oidc.example", auth_);
    provider->setCustomParameters({{"login_hint", "caf\xe9"}});  // Latin-1
    std::promise<std::pair<std::optional<std::string>, ErrorPtr>> promise;
    provider->getHeadFulLiteURLWithEventID("E1", "session-1", [&promise](std::optional<std::string> url, ErrorPtr e) {
      promise.set_value({url, e});
    });
    auto future = promise.get_future();
    auto [url, error] = authtest::waitFor(future);
    EXPECT_EQ(url, std::nullopt);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), DAVAuthErrorCodeInternalError);
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_EQ(error->underlyingError()->domain(), kDAVAuthInternalErrorDomain);
    EXPECT_EQ(error->underlyingError()->code(), DAVAuthInternalErrorCodeJSONSerializationError);
  });
}

TEST_F(DAVAuthFlowsTest, ACredentialWithoutProofRaisesForItsMakerAndFailsWhenRestoredButNeverEndsTheProcess) {
  expectProcessSurvives([&] {
    auto alice = signIn("alice@example.com");
    ASSERT_NE(alice, nullptr);
    backend_->clearRequests();

    // Made so by the caller: raised on the caller's thread, before any work.
    auto bare = DAVOAuthProvider::credentialWithProviderID("oidc.example", std::nullopt, std::nullopt);
    const std::string reason = "One of IDToken, accessToken, pendingToken, or requestURI must be supplied.";
    authtest::expectRaise([&] { auth_->signInWithCredential(bare, nullptr); }, platform::kInvalidArgumentException,
                          reason);
    authtest::expectRaise([&] { alice->linkWithCredential(bare, nullptr); }, platform::kInvalidArgumentException,
                          reason);
    authtest::expectRaise([&] { alice->reauthenticateWithCredential(bare, nullptr); },
                          platform::kInvalidArgumentException, reason);

    // Restored from the keychain: a web sign-in's response URL is not archived, and a token may be
    // missing from what was stored. Each use completes with an error.
    DAVAuthKeychain keychain("davedove_auth_records");
    auto restoredWeb = throughTheKeychain<DAVOAuthCredential>(
        keychain, "web", DAVOAuthCredential("oidc.example", std::string("session-1"),
                                            std::string("https://vorellin-local.davedoveapp.com/?code=1"), 0));
    auto restoredFacebook =
        throughTheKeychain<DAVFacebookAuthCredential>(keychain, "fb", DAVFacebookAuthCredential(std::nullopt));
    ASSERT_TRUE(restoredWeb && restoredFacebook);
    EXPECT_FALSE(restoredWeb->hasProof());
    for (std::shared_ptr<const DAVAuthCredential> restored :
         {std::shared_ptr<const DAVAuthCredential>(restoredWeb), std::shared_ptr<const DAVAuthCredential>(restoredFacebook)}) {
      auto [signedIn, signInError] =
          dataFlow([&](auto done) { auth_->signInAndRetrieveDataWithCredential(restored, done); });
      EXPECT_EQ(signedIn, nullptr);
      EXPECT_EQ(codeOf(signInError), DAVAuthErrorCodeInvalidCredential) << restored->provider();
      auto [linked, linkError] =
          dataFlow([&](auto done) { alice->linkAndRetrieveDataWithCredential(restored, done); });
      EXPECT_EQ(linked, nullptr);
      EXPECT_EQ(codeOf(linkError), DAVAuthErrorCodeInvalidCredential) << restored->provider();
      EXPECT_EQ(codeOf(errorFlow([&](auto done) { alice->reauthenticateWithCredential(restored, done); })),
                DAVAuthErrorCodeInvalidCredential)
          << restored->provider();
    }
    settle();
    EXPECT_EQ(auth_->currentUser(), alice);
    EXPECT_TRUE(backend_->requestsForPath(rp("verifyAssertion")).empty());

    // A pending token alone is proof enough, for a link as for a sign-in.
    auto [pending, pendingError] = dataFlow([&](auto done) {
      alice->linkAndRetrieveDataWithCredential(
          DAVOAuthProvider::credentialWithProviderID("facebook.com", std::nullopt, std::nullopt, "facebook-token"), done);
    });
    ASSERT_EQ(pendingError, nullptr) << pendingError->description();
    EXPECT_EQ(lastBody("verifyAssertion")["pendingToken"], "facebook-token");
    EXPECT_EQ(providerIDs(alice), (std::vector<std::string>{"facebook.com", "password"}));
  });
}

TEST_F(DAVAuthFlowsTest, AnAnonymousUserWhoLinksAMailedLinkOwnsTheVerifiedAddressAndUsesTheLinkUp) {
  auto [first, anonymousError] = dataFlow([&](auto done) { auth_->signInAnonymouslyWithCompletion(done); });
  ASSERT_EQ(anonymousError, nullptr) << anonymousError->description();
  auto user = first->user();
  ASSERT_TRUE(user->isAnonymous());
  DAVActionCodeSettings settings;
  settings.setURL(std::string("https://vorellin.example/finish"));
  settings.setHandleCodeInApp(true);
  ASSERT_EQ(errorFlow([&](auto done) { auth_->sendSignInLinkToEmail("lee@example.com", settings, done); }), nullptr);
  const std::string link = mailedLink("lee@example.com", "EMAIL_SIGNIN");

  // Not a sign-in link: raised before any work.
  backend_->clearRequests();
  authtest::expectRaise(
      [&] {
        user->linkWithCredential(
            DAVEmailAuthProvider::credentialWithEmailLink("lee@example.com", "https://vorellin.example/?mode=verifyEmail&oobCode=x"),
            nullptr);
      },
      platform::kInvalidArgumentException, kNotASignInLink);
  settle();
  EXPECT_TRUE(calls().empty());

  const std::string tokenBefore = *user->rawAccessToken();
  const std::string uid = *user->uid();
  auto [linked, linkError] = dataFlow([&](auto done) {
    user->linkAndRetrieveDataWithCredential(DAVEmailAuthProvider::credentialWithEmailLink("lee@example.com", link), done);
  });
  ASSERT_EQ(linkError, nullptr) << linkError->description();
  EXPECT_EQ(linked->user(), user);
  EXPECT_EQ(auth_->currentUser(), user);
  EXPECT_FALSE(user->isAnonymous());
  EXPECT_TRUE(user->isEmailVerified());
  EXPECT_FALSE(user->hasEmailPasswordCredential());
  EXPECT_EQ(user->email(), std::optional<std::string>("lee@example.com"));
  EXPECT_EQ(providerIDs(user), std::vector<std::string>{"password"});
  auto sent = lastBody("emailLinkSignin");
  EXPECT_EQ(sent["idToken"], tokenBefore);  // linked to the signed-in account, not a new one
  EXPECT_EQ(sent["oobCode"], *DAVAuth::oobCodeOfEmailLink(link));
  // The same account, not a new one for the address.
  EXPECT_EQ(user->uid(), std::optional<std::string>(uid));
  auto stored = backend_->identity().userByEmail("lee@example.com");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->uid, uid);
  EXPECT_TRUE(stored->emailVerified);
  Await<std::optional<std::vector<std::string>>, ErrorPtr> methods;
  auth_->fetchSignInMethodsForEmail("lee@example.com", methods.callback());
  EXPECT_EQ(std::get<0>(methods.wait()), std::optional<std::vector<std::string>>({"emailLink"}));

  // The link was used up; the address is linked once only.
  auto [again, againError] = dataFlow([&](auto done) { auth_->signInWithEmailLink("lee@example.com", link, done); });
  EXPECT_EQ(codeOf(againError), DAVAuthErrorCodeInvalidActionCode);
  auto [twice, twiceError] = dataFlow([&](auto done) {
    user->linkAndRetrieveDataWithCredential(DAVEmailAuthProvider::credentialWithEmailLink("lee@example.com", link), done);
  });
  EXPECT_EQ(codeOf(twiceError), DAVAuthErrorCodeProviderAlreadyLinked);
}

// The link flow's steps over a scripted transport, where each answer can be chosen.
class DAVUserLinkScriptTest : public authtest::FakeBackendTest {
 protected:
  std::shared_ptr<DAVUser> userWithFreshToken() {
    auto configuration = DAVAuthRequestConfiguration::initWithAPIKey("k");
    auto service = std::make_shared<DAVSecureTokenService>(
        configuration, std::string("session-token"), platform::Date{dav_auth_json::now().secondsSince1970 + 3600},
        std::string("session-refresh"));
    auto user = DAVUser::initWithTokenService(service);
    user->setRequestConfiguration(configuration);
    return user;
  }
  std::tuple<std::shared_ptr<DAVAuthDataResult>, ErrorPtr> link(const std::shared_ptr<DAVUser>& user) {
    Await<std::shared_ptr<DAVAuthDataResult>, ErrorPtr> done;
    user->linkAndRetrieveDataWithCredential(DAVFacebookAuthProvider::credentialWithAccessToken("fb"), done.callback());
    return done.wait();
  }
};

TEST_F(DAVUserLinkScriptTest, ALinkWhoseTokenFetchFailsDeliversThatErrorNeverSuccess) {
  auto user = userWithFreshToken();
  // The reply's session expires within minutes, so the next token is fetched, and that fails.
  issuer_->replyOK(R"({"providerId":"facebook.com","idToken":"short-lived","expiresIn":"10","refreshToken":"r2"})");
  issuer_->replyServerMessage("TOKEN_EXPIRED");
  auto [result, error] = link(user);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(codeOf(error), DAVAuthErrorCodeUserTokenExpired);
  ASSERT_EQ(issuer_->sent().size(), 2u);
  EXPECT_NE(issuer_->sent()[1].URL.find("/v1/token"), std::string::npos);
  EXPECT_TRUE(user->providerData().empty());  // the account was not refreshed as linked
}

TEST_F(DAVUserLinkScriptTest, ALinkReplyWithoutTokensKeepsTheSession) {
  auto user = userWithFreshToken();
  issuer_->replyOK(R"({"providerId":"facebook.com","federatedId":"fb-1"})");
  issuer_->replyOK(R"({"users":[{"localId":"u-1","providerUserInfo":[{"providerId":"facebook.com","federatedId":"fb-1"}]}]})");
  auto [result, error] = link(user);
  ASSERT_EQ(error, nullptr) << error->description();
  EXPECT_EQ(result->user(), user);
  EXPECT_EQ(user->rawAccessToken(), std::optional<std::string>("session-token"));
  EXPECT_EQ(user->refreshToken(), std::optional<std::string>("session-refresh"));
  EXPECT_EQ(providerIDs(user), std::vector<std::string>{"facebook.com"});
  // The account-info read went with the kept session's token.
  ASSERT_EQ(issuer_->sent().size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(*issuer_->sent()[1].body)["idToken"], "session-token");
}

}  // namespace
