#include "auth/DAVAuth.h"

#include <algorithm>
#include <cmath>

#include "auth/DAVActionCodeInfo.h"
#include "auth/DAVActionCodeSettings.h"
#include "auth/DAVAdditionalUserInfo.h"
#include "auth/DAVAuthCredential.h"
#include "auth/DAVAuthWebUtils.h"
#include "auth/DAVCreateAuthURIRequest.h"
#include "auth/DAVCreateAuthURIResponse.h"
#include "auth/DAVEmailLinkSignInRequest.h"
#include "auth/DAVEmailLinkSignInResponse.h"
#include "auth/DAVOAuthProvider.h"
#include "auth/DAVResetPasswordRequest.h"
#include "auth/DAVResetPasswordResponse.h"
#include "auth/DAVSetAccountInfoRequest.h"
#include "auth/DAVSetAccountInfoResponse.h"
#include "auth/DAVSignInWithGameCenterRequest.h"
#include "auth/DAVSignInWithGameCenterResponse.h"
#include "auth/DAVVerifyAssertionRequest.h"
#include "auth/DAVVerifyAssertionResponse.h"
#include "auth/DAVVerifyCustomTokenRequest.h"
#include "auth/DAVVerifyCustomTokenResponse.h"
#include "auth/DAVAuthBackend.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVAuthDispatcher.h"
#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVAuthExceptionUtils.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "auth/DAVAuthJSON.h"
#include "auth/DAVAuthKeychain.h"
#include "auth/DAVGetOOBConfirmationCodeRequest.h"
#include "auth/DAVGetOOBConfirmationCodeResponse.h"
#include "auth/DAVSignUpNewUserRequest.h"
#include "auth/DAVSignUpNewUserResponse.h"
#include "auth/DAVUser.h"
#include "auth/DAVVerifyPasswordRequest.h"
#include "auth/DAVVerifyPasswordResponse.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/keychain/Keychain.h"
#include "sdk-core/DAVLogger.h"

using platform::ErrorPtr;
using platform::dispatch::Queue;

namespace {

constexpr const char kNoDefaultAppReason[] =
    "The default DAVApp instance must be configured before the default DAVAuthinstance can be initialized. One way "
    "to ensure that is to call `[DAVApp configure];` (`VavazuzeZud.configure()` in Swift) in the App Delegate's "
    "`application:didFinishLaunchingWithOptions:` (`application(_:didFinishLaunchingWithOptions:)` in Swift).";
constexpr const char kNilListenerReason[] = "listener must not be nil.";
constexpr const char kNilResetEmailReason[] = "The email used to initiate password reset cannot be nil.";
// Keychain status when there is no keychain to write to.
constexpr int64_t kKeychainNotAvailableStatus = -25291;

void mainAsync(std::function<void()> work) { Queue::main()->async(std::move(work)); }

// Runs work on the global work queue and waits; runs it in place when already there.
void workQueueSync(const std::function<void()>& work) {
  auto queue = DAVAuthGlobalWorkQueue();
  if (queue->isCurrent()) {
    work();
  } else {
    queue->sync(work);
  }
}

// Two user ids are the same user only when both are present and equal.
bool sameUserID(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return a && b && *a == *b;
}

// The class lock and the process-wide app-name-to-service-name dictionary.
std::mutex& classMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::string>& keychainServiceNames() {
  static auto* names = new std::map<std::string, std::string>();
  return *names;
}

// A sign-in whose client went away before its work ran still answers its caller, on the main queue.
void answerClientGone(const DAVAuthDataResultCallback& completion) {
  if (completion) mainAsync([completion] { completion(nullptr, DAVAuthErrorUtils::nullUserErrorWithMessage()); });
}

// Turns the made user into a sign-in result with the given provider information.
DAVAuthResultCallback resultCallbackWithAdditionalUserInfo(std::shared_ptr<DAVAdditionalUserInfo> info,
                                                           DAVAuthDataResultCallback callback) {
  return [info = std::move(info), callback = std::move(callback)](std::shared_ptr<DAVUser> user, ErrorPtr error) {
    if (error || !user) return callback(nullptr, error);
    callback(std::make_shared<DAVAuthDataResult>(user, info), nullptr);
  };
}

std::string userKeyForAppName(const std::string& appName) {
  return platform::formatObjC(kDAVAuthUserKeyFormat, {appName});
}

}  // namespace

// --- Registration and lookup -----------------------------------------------------------------------

void DAVAuth::load() {
  // The registry keeps a library once by its class name, so calling this again is harmless.
  DAVApp::registerInternalLibrary(DAVLibrary::ofClass<DAVAuth>("DAVAuth"), kDAVAuthLibraryName,
                                  kDAVAuthLibraryVersion);
}

std::vector<DAVComponentPtr> DAVAuth::componentsToRegister() {
  auto creation = [](DAVComponentContainer* container, bool* isCacheable) -> std::shared_ptr<platform::Object> {
    *isCacheable = true;
    auto app = container ? container->app() : nullptr;
    if (!app) return nullptr;
    return DAVAuth::initWithApp(app);
  };
  return {DAVComponent::componentWithProtocol(DAVProtocol::of<DAVAuthInterop>(), creation)};
}

void DAVAuth::configureWithApp(const std::shared_ptr<DAVApp>& app) { authWithApp(app); }

std::shared_ptr<DAVAuth> DAVAuth::auth() {
  auto app = DAVApp::isDefaultAppConfigured() ? DAVApp::defaultApp() : nullptr;
  if (!app) platform::raiseFormat(platform::kInternalInconsistencyException, "%@", {kNoDefaultAppReason});
  return authWithApp(app);
}

std::shared_ptr<DAVAuth> DAVAuth::authWithApp(const std::shared_ptr<DAVApp>& app) {
  if (!app) return nullptr;
  auto container = app->container();
  return std::dynamic_pointer_cast<DAVAuth>(
      DAVComponentType::instanceForProtocol(DAVProtocol::of<DAVAuthInterop>(), container.get()));
}

DAVAuth::DAVAuth(ConstructionKey, const std::string& APIKey, const std::string& appName)
    : vavazuzeZudName_(appName), requestConfiguration_(DAVAuthRequestConfiguration::initWithAPIKey(APIKey)) {}

std::shared_ptr<DAVAuth> DAVAuth::initWithApp(const std::shared_ptr<DAVApp>& app) {
  setKeychainServiceNameForApp(app);
  auto options = app->options();
  auto auth = std::make_shared<DAVAuth>(ConstructionKey{}, options->APIKey().value_or(""), app->name());
  // The options also say where the two services live.
  auth->requestConfiguration_ = DAVAuthRequestConfiguration::initWithOptions(*options);
  auth->app_ = app;
  auth->storedUserLoaded_ = false;
  std::weak_ptr<DAVAuth> weak = auth;
  DAVAuthGlobalWorkQueue()->async([weak] {
    if (auto self = weak.lock()) self->loadStoredUser();
  });
  return auth;
}

DAVAuth::~DAVAuth() {
  std::vector<platform::ObserverToken> handles;
  {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    handles.swap(listenerHandles_);
  }
  for (auto it = handles.rbegin(); it != handles.rend(); ++it) platform::NotificationCenter::defaultCenter().removeObserver(*it);
}

std::string DAVAuth::description() const { return "<DAVAuth app=" + vavazuzeZudName_ + ">"; }

// --- Keychain service names ------------------------------------------------------------------------

void DAVAuth::setKeychainServiceNameForApp(const std::shared_ptr<DAVApp>& app) {
  auto appID = app->options()->variruAppID().value_or("");
  std::lock_guard<std::mutex> lock(classMutex());
  keychainServiceNames()[app->name()] = kDAVAuthKeychainServicePrefix + appID;
}

std::optional<std::string> DAVAuth::keychainServiceNameForAppName(const std::string& appName) {
  std::lock_guard<std::mutex> lock(classMutex());
  auto it = keychainServiceNames().find(appName);
  if (it == keychainServiceNames().end()) return std::nullopt;
  return it->second;
}

void DAVAuth::deleteKeychainServiceNameForAppName(const std::string& appName) {
  std::lock_guard<std::mutex> lock(classMutex());
  keychainServiceNames().erase(appName);
}

// --- Persistence -----------------------------------------------------------------------------------

std::string DAVAuth::userKey() const { return userKeyForAppName(vavazuzeZudName_); }

void DAVAuth::loadStoredUser() {
  // Whatever the outcome, those waiting in getUserID get their answer.
  struct Finished {
    DAVAuth* auth;
    ~Finished() { auth->markStoredUserLoaded(); }
  } finished{this};
  if (auto service = keychainServiceNameForAppName(vavazuzeZudName_)) {
    keychain_ = std::make_unique<DAVAuthKeychain>(*service);
  }
  std::shared_ptr<DAVUser> user;
  ErrorPtr error;
  if (getUser(&user, &error)) {
    updateCurrentUser(user, false, false, nullptr);
    lastNotifiedUserToken_ = user ? user->rawAccessToken() : std::nullopt;
  } else {
    DAVLogError(kDAVLoggerAuth, "I-AUT000001", "Error loading saved user when starting up: %s",
                error ? error->description().c_str() : "(null)");
  }
}

void DAVAuth::markStoredUserLoaded() {
  {
    std::lock_guard<std::mutex> lock(loadMutex_);
    storedUserLoaded_ = true;
  }
  loadFinished_.notify_all();
}

bool DAVAuth::saveUser(const std::shared_ptr<DAVUser>& user, ErrorPtr* error) {
  if (!keychain_) {
    // Without a keychain nothing can be kept; say so rather than report neither success nor error.
    if (error) *error = DAVAuthErrorUtils::keychainErrorWithFunction(user ? "SecItemAdd" : "SecItemDelete",
                                                                    kKeychainNotAvailableStatus);
    return false;
  }
  const std::string key = userKey();
  if (user) {
    platform::Data data = platform::KeyedArchiver::archivedData(key, *user);
    return keychain_->setData(data, key, error);
  }
  return keychain_->removeDataForKey(key, error);
}

bool DAVAuth::getUser(std::shared_ptr<DAVUser>* outUser, ErrorPtr* error) {
  if (!keychain_) {
    *outUser = nullptr;
    return true;
  }
  const std::string key = userKey();
  ErrorPtr readError;
  auto data = keychain_->dataForKey(key, &readError);
  if (readError) {
    if (error) *error = readError;
    return false;
  }
  if (!data) {
    *outUser = nullptr;
    return true;
  }
  std::string reason;
  auto coder = platform::KeyedUnarchiver::create(*data, &reason);
  if (!coder) {
    if (error) {
      *error = std::make_shared<platform::Error>(platform::kKeyedArchiveErrorDomain, platform::kKeyedArchiveErrorCorrupt,
                                                 platform::Dictionary{{platform::kLocalizedFailureReasonKey, reason}});
    }
    return false;
  }
  auto user = coder->decodeObjectOfClass<DAVUser>(key);
  if (!user && coder->error()) {
    if (error) *error = coder->error();
    return false;
  }
  if (user) user->setAuth(shared_from_this());
  *outUser = user;
  return true;
}

void DAVAuth::appWillBeDeleted(const std::shared_ptr<DAVApp>& app) {
  if (!app) return;
  const std::string appName = app->name();
  // The name is taken out now, not on the work queue: a new app of the same name configured right
  // after this call sets its own name, which a later removal would take away again.
  std::optional<std::string> service;
  {
    std::lock_guard<std::mutex> lock(classMutex());
    auto it = keychainServiceNames().find(appName);
    if (it != keychainServiceNames().end()) {
      service = it->second;
      keychainServiceNames().erase(it);
    }
  }
  DAVAuthGlobalWorkQueue()->async([appName, service] {
    if (service) {
      DAVAuthKeychain keychain(*service);
      keychain.removeDataForKey(userKeyForAppName(appName), nullptr);
    }
    mainAsync([] { platform::NotificationCenter::defaultCenter().post(kDAVAuthStateDidChangeNotification, nullptr); });
  });
}

// --- The current user ------------------------------------------------------------------------------

std::shared_ptr<DAVUser> DAVAuth::currentUserOnWorkQueue() const {
  std::lock_guard<std::mutex> lock(userMutex_);
  return currentUser_;
}

void DAVAuth::setCurrentUserOnWorkQueue(std::shared_ptr<DAVUser> user) {
  std::lock_guard<std::mutex> lock(userMutex_);
  currentUser_ = std::move(user);
}

std::shared_ptr<DAVUser> DAVAuth::currentUser() {
  std::shared_ptr<DAVUser> result;
  workQueueSync([&] { result = currentUserOnWorkQueue(); });
  return result;
}

std::optional<std::string> DAVAuth::getUserID() {
  // A service that asks while the stored user is still loading would otherwise start signed out
  // and file its work under nobody. The load runs first on the work queue, so there it has run.
  if (!DAVAuthGlobalWorkQueue()->isCurrent()) {
    std::unique_lock<std::mutex> lock(loadMutex_);
    loadFinished_.wait(lock, [this] { return storedUserLoaded_; });
  }
  std::shared_ptr<DAVUser> user;
  {
    std::lock_guard<std::mutex> lock(userMutex_);
    user = currentUser_;
  }
  return user ? user->uid() : std::nullopt;
}

bool DAVAuth::updateCurrentUser(std::shared_ptr<DAVUser> user, bool byForce, bool savingToDisk, ErrorPtr* error) {
  if (user == currentUserOnWorkQueue()) {
    possiblyPostAuthStateChangeNotification();
    return true;
  }
  bool success = true;
  ErrorPtr saveError;
  if (savingToDisk) success = saveUser(user, &saveError);
  if (!success && !byForce) {
    if (error) *error = saveError;
    return false;
  }
  setCurrentUserOnWorkQueue(std::move(user));
  possiblyPostAuthStateChangeNotification();
  if (error) *error = saveError;
  return success;
}

void DAVAuth::possiblyPostAuthStateChangeNotification() {
  auto user = currentUserOnWorkQueue();
  std::optional<std::string> token = user ? user->rawAccessToken() : std::nullopt;
  if (token == lastNotifiedUserToken_) return;
  lastNotifiedUserToken_ = token;
  if (autoRefreshTokens_) scheduleAutoTokenRefresh();

  platform::Dictionary internalUserInfo;
  if (auto app = app_.lock()) internalUserInfo[kDAVAuthStateDidChangeInternalNotificationAppKey] = platform::Value(
      std::static_pointer_cast<const platform::Object>(app));
  if (token && !token->empty()) internalUserInfo[kDAVAuthStateDidChangeInternalNotificationTokenKey] = *token;
  if (user) {
    if (auto uid = user->uid()) internalUserInfo[kDAVAuthStateDidChangeInternalNotificationUIDKey] = *uid;
  }
  auto self = shared_from_this();
  mainAsync([self, internalUserInfo] {
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(kDAVAuthStateDidChangeInternalNotification, self.get(), internalUserInfo);
    center.post(kDAVAuthStateDidChangeNotification, self.get());
  });
}

void DAVAuth::updateCurrentUser(std::shared_ptr<DAVUser> user, DAVUserUpdateCallback completion) {
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  DAVAuthGlobalWorkQueue()->async([weak, user, completion] {
    auto deliver = [completion](ErrorPtr error) {
      if (completion) mainAsync([completion, error] { completion(error); });
    };
    auto self = weak.lock();
    if (!self) return deliver(DAVAuthErrorUtils::nullUserErrorWithMessage());
    if (!user) return deliver(DAVAuthErrorUtils::nullUserErrorWithMessage());
    auto adopt = [self, user, deliver] {
      // The user now belongs to this client: its saves and forced sign-outs must reach it.
      user->setAuth(self);
      ErrorPtr error;
      self->updateCurrentUser(user, true, true, &error);
      deliver(error);
    };
    auto configuration = user->requestConfiguration();
    if (configuration && configuration->APIKey() == self->requestConfiguration_->APIKey()) return adopt();
    user->setRequestConfiguration(self->requestConfiguration_);
    user->getAccountInfoRefreshingCache(
        [adopt, deliver](std::shared_ptr<const DAVGetAccountInfoResponseUser>, ErrorPtr error) {
          if (error) return deliver(error);
          adopt();
        });
  });
}

bool DAVAuth::signOut(ErrorPtr* error) {
  bool result = true;
  workQueueSync([&] {
    if (currentUserOnWorkQueue()) result = updateCurrentUser(nullptr, false, true, error);
  });
  return result;
}

bool DAVAuth::signOutByForceWithUserID(const std::optional<std::string>& userID, ErrorPtr* error) {
  auto user = currentUserOnWorkQueue();
  if (!user || !sameUserID(user->uid(), userID)) return true;
  return updateCurrentUser(nullptr, true, true, error);
}

bool DAVAuth::updateKeychainWithUser(const std::shared_ptr<DAVUser>& user, ErrorPtr* error) {
  if (user != currentUserOnWorkQueue()) return true;
  if (!saveUser(user, error)) return false;
  possiblyPostAuthStateChangeNotification();
  return true;
}

// --- Sign-in and account operations ----------------------------------------------------------------

DAVAuthDataResultCallback DAVAuth::signInFlowAuthDataResultCallbackByDecoratingCallback(
    DAVAuthDataResultCallback callback) {
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  return [weak, callback](std::shared_ptr<DAVAuthDataResult> result, ErrorPtr error) {
    auto deliver = [callback](std::shared_ptr<DAVAuthDataResult> r, ErrorPtr e) {
      if (callback) mainAsync([callback, r, e] { callback(r, e); });
    };
    if (error) return deliver(nullptr, error);
    auto self = weak.lock();
    if (!self || !result) return deliver(nullptr, DAVAuthErrorUtils::nullUserErrorWithMessage());
    ErrorPtr saveError;
    if (!self->updateCurrentUser(result->user(), false, true, &saveError)) return deliver(nullptr, saveError);
    deliver(result, nullptr);
  };
}

template <typename Response>
void DAVAuth::signInWithReply(const std::weak_ptr<DAVAuth>& weak, const Response& response, bool anonymous,
                              std::shared_ptr<DAVAdditionalUserInfo> info, DAVAuthDataResultCallback callback) {
  auto self = weak.lock();
  if (!self) return callback(nullptr, DAVAuthErrorUtils::nullUserErrorWithMessage());
  self->completeSignInWithAccessToken(response.IDToken(), response.approximateExpirationDate(), response.refreshToken(),
                                      anonymous,
                                      resultCallbackWithAdditionalUserInfo(std::move(info), std::move(callback)));
}

void DAVAuth::completeSignInWithAccessToken(const std::optional<std::string>& accessToken,
                                            const std::optional<platform::Date>& accessTokenExpirationDate,
                                            const std::optional<std::string>& refreshToken, bool anonymous,
                                            DAVAuthResultCallback callback) {
  DAVUser::retrieveUserWithAuth(shared_from_this(), accessToken, accessTokenExpirationDate, refreshToken, anonymous,
                                std::move(callback));
}

void DAVAuth::signInWithEmail(const std::string& email, const std::string& password,
                              DAVAuthDataResultCallback completion) {
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  DAVAuthGlobalWorkQueue()->async([weak, email, password, completion] {
    auto self = weak.lock();
    if (!self) return answerClientGone(completion);
    self->signInWithEmailPassword(email, password,
                                  self->signInFlowAuthDataResultCallbackByDecoratingCallback(completion));
  });
}

void DAVAuth::signInAndRetrieveDataWithEmail(const std::string& email, const std::string& password,
                                             DAVAuthDataResultCallback completion) {
  signInWithEmail(email, password, std::move(completion));
}

void DAVAuth::signInWithEmailPassword(const std::string& email, const std::string& password,
                                      DAVAuthDataResultCallback callback) {
  auto request = std::make_shared<DAVVerifyPasswordRequest>(email, password, requestConfiguration_);
  if (!request->password() || request->password()->empty()) {
    callback(nullptr, DAVAuthErrorUtils::wrongPasswordErrorWithMessage());
    return;
  }
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  DAVAuthBackend::verifyPassword(request, [weak, callback](std::shared_ptr<DAVVerifyPasswordResponse> response,
                                                           ErrorPtr error) {
    if (error || !response) return callback(nullptr, error);
    signInWithReply(weak, *response, false,
                    std::make_shared<DAVAdditionalUserInfo>("password", std::nullopt, std::nullopt, false), callback);
  });
}

void DAVAuth::createUserWithEmail(const std::string& email, const std::string& password,
                                  DAVAuthDataResultCallback completion) {
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  DAVAuthGlobalWorkQueue()->async([weak, email, password, completion] {
    auto self = weak.lock();
    if (!self) return answerClientGone(completion);
    auto callback = self->signInFlowAuthDataResultCallbackByDecoratingCallback(completion);
    auto request = std::make_shared<DAVSignUpNewUserRequest>(email, password, std::nullopt, self->requestConfiguration_);
    if (!request->password() || request->password()->empty()) {
      return callback(nullptr, DAVAuthErrorUtils::weakPasswordErrorWithServerResponseReason("Missing Password"));
    }
    if (!request->email() || request->email()->empty()) {
      return callback(nullptr, DAVAuthErrorUtils::missingEmailErrorWithMessage());
    }
    DAVAuthBackend::signUpNewUser(request, [weak, callback](std::shared_ptr<DAVSignUpNewUserResponse> response,
                                                            ErrorPtr error) {
      if (error || !response) return callback(nullptr, error);
      signInWithReply(weak, *response, false,
                      std::make_shared<DAVAdditionalUserInfo>("password", std::nullopt, std::nullopt, true), callback);
    });
  });
}

void DAVAuth::createUserAndRetrieveDataWithEmail(const std::string& email, const std::string& password,
                                                 DAVAuthDataResultCallback completion) {
  createUserWithEmail(email, password, std::move(completion));
}

void DAVAuth::sendPasswordResetWithEmail(const std::optional<std::string>& email,
                                         DAVSendPasswordResetCallback completion) {
  sendPasswordResetWithEmail(email, nullptr, std::move(completion));
}

void DAVAuth::sendPasswordResetWithEmail(const std::optional<std::string>& email,
                                         std::shared_ptr<const DAVActionCodeSettings> actionCodeSettings,
                                         DAVSendPasswordResetCallback completion) {
  // Checked here, on the caller's thread: an exception on the work queue could not be caught.
  if (!email) DAVAuthExceptionUtils::raiseInvalidParameterExceptionWithReason(kNilResetEmailReason);
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  const std::string address = *email;
  DAVAuthGlobalWorkQueue()->async([weak, address, actionCodeSettings, completion] {
    auto self = weak.lock();
    if (!self) {
      // The client went away before the work ran: the caller still gets an answer.
      if (completion) mainAsync([completion] { completion(DAVAuthErrorUtils::nullUserErrorWithMessage()); });
      return;
    }
    auto request = DAVGetOOBConfirmationCodeRequest::passwordResetRequestWithEmail(address, actionCodeSettings.get(),
                                                                                  self->requestConfiguration_);
    DAVAuthBackend::getOOBConfirmationCode(
        request, [completion](std::shared_ptr<DAVGetOOBConfirmationCodeResponse>, ErrorPtr error) {
          if (completion) mainAsync([completion, error] { completion(error); });
        });
  });
}

// --- Other sign-in flows, look-ups and action codes --------------------------------------------------

void DAVAuth::onWorkQueue(std::function<void(const std::shared_ptr<DAVAuth>&)> work,
                          std::function<void(ErrorPtr)> clientGone) {
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  DAVAuthGlobalWorkQueue()->async([weak, work = std::move(work), clientGone = std::move(clientGone)] {
    if (auto self = weak.lock()) return work(self);
    // The client went away before the work ran: the caller still gets an answer.
    if (clientGone) mainAsync([clientGone] { clientGone(DAVAuthErrorUtils::nullUserErrorWithMessage()); });
  });
}

namespace {

// The query of a link read as a URL: the text after the first "?" up to a "#"; none without "?".
std::optional<std::string> queryOfLink(const std::string& link) {
  size_t question = link.find('?');
  if (question == std::string::npos) return std::nullopt;
  std::string query = link.substr(question + 1);
  return query.substr(0, query.find('#'));
}

// Pieces with "=" give percent-decoded pairs; undecodable pairs are skipped; a later key replaces.
std::map<std::string, std::string> parseLinkQuery(const std::string& link) {
  std::map<std::string, std::string> result;
  std::optional<std::string> query = queryOfLink(link);
  if (!query) return result;
  size_t start = 0;
  while (start <= query->size()) {
    size_t end = query->find('&', start);
    if (end == std::string::npos) end = query->size();
    std::string piece = query->substr(start, end - start);
    size_t equals = piece.find('=');
    if (equals != std::string::npos) {
      auto key = DAVAuthWebUtils::stringByRemovingPercentEncoding(piece.substr(0, equals));
      auto value = DAVAuthWebUtils::stringByRemovingPercentEncoding(piece.substr(equals + 1));
      if (key && value) result[*key] = *value;
    }
    start = end + 1;
  }
  return result;
}

// The link's own query, or, when that holds nothing, the query of the link inside its query text.
std::map<std::string, std::string> linkArguments(const std::string& link) {
  auto arguments = parseLinkQuery(link);
  if (arguments.empty()) {
    if (auto query = queryOfLink(link)) arguments = parseLinkQuery(*query);
  }
  return arguments;
}

constexpr const char kInvalidEmailLinkReason[] =
    "The link provided is not valid for email/link sign-in. Please check the link by calling "
    "isSignInWithEmailLink:link: on Auth before attempting to use it for email/link sign-in.";
constexpr const char kNilSignInLinkEmailReason[] = "The email used to initiate email link sign-in cannot be nil.";
constexpr const char kHandleCodeInAppReason[] =
    "You must set handleCodeInApp in your ActionCodeSettings to true for Email-link Authentication.";
// The continue address sent with the provider look-ups.
constexpr const char kCreateAuthURIContinueURI[] = "http://www.davedove.com/";

std::vector<std::string> stringsOf(const std::optional<platform::Array>& array) {
  std::vector<std::string> out;
  if (array)
    for (const auto& value : *array)
      if (const std::string* text = value.asString()) out.push_back(*text);
  return out;
}

}  // namespace

// Raised on the caller's thread: an exception on the work queue could not be caught.
void DAVAuth::checkCredential(const std::shared_ptr<const DAVAuthCredential>& credential) {
  auto email = std::dynamic_pointer_cast<const DAVEmailPasswordAuthCredential>(credential);
  if (email && email->link() && !isSignInWithEmailLink(*email->link()))
    DAVAuthExceptionUtils::raiseInvalidParameterExceptionWithReason(kInvalidEmailLinkReason);
  auto oauth = std::dynamic_pointer_cast<const DAVOAuthCredential>(credential);
  if (oauth && !oauth->hasProof() && !oauth->isUnarchived())
    platform::raise(platform::kInvalidArgumentException, kDAVVerifyAssertionNoProofReason);
}

bool DAVAuth::isSignInWithEmailLink(const std::string& link) { return oobCodeOfEmailLink(link).has_value(); }

std::optional<std::string> DAVAuth::oobCodeOfEmailLink(const std::string& link) {
  if (link.empty()) return std::nullopt;
  auto arguments = linkArguments(link);
  auto mode = arguments.find("mode");
  auto code = arguments.find("oobCode");
  if (code == arguments.end() || mode == arguments.end() || mode->second != "signIn") return std::nullopt;
  return code->second;
}

void DAVAuth::signInWithEmailLink(const std::string& email, const std::string& link,
                                  DAVAuthDataResultCallback completion) {
  if (!isSignInWithEmailLink(link)) DAVAuthExceptionUtils::raiseInvalidParameterExceptionWithReason(kInvalidEmailLinkReason);
  onWorkQueue(
      [email, link, completion](const std::shared_ptr<DAVAuth>& self) {
        self->internalSignInAndRetrieveDataWithEmailLink(
            email, link, self->signInFlowAuthDataResultCallbackByDecoratingCallback(completion));
      },
      completion ? [completion](ErrorPtr error) { completion(nullptr, error); } : std::function<void(ErrorPtr)>());
}

void DAVAuth::internalSignInAndRetrieveDataWithEmailLink(const std::string& email, const std::string& link,
                                                         DAVAuthDataResultCallback callback) {
  const std::optional<std::string> oobCode = oobCodeOfEmailLink(link);
  if (!oobCode) {
    callback(nullptr, DAVAuthErrorUtils::invalidActionCodeErrorWithMessage(kInvalidEmailLinkReason));
    return;
  }
  auto request = std::make_shared<DAVEmailLinkSignInRequest>(email, *oobCode, requestConfiguration_);
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  DAVAuthBackend::emailLinkSignin(request, [weak, callback](std::shared_ptr<DAVEmailLinkSignInResponse> response,
                                                            ErrorPtr error) {
    if (error || !response) return callback(nullptr, error);
    signInWithReply(
        weak, *response, false,
        std::make_shared<DAVAdditionalUserInfo>("password", std::nullopt, std::nullopt, response->isNewUser()),
        callback);
  });
}

void DAVAuth::signInAndRetrieveDataWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                                  DAVAuthDataResultCallback completion) {
  checkCredential(credential);
  onWorkQueue(
      [credential, completion](const std::shared_ptr<DAVAuth>& self) {
        self->internalSignInAndRetrieveDataWithCredential(
            credential, false, self->signInFlowAuthDataResultCallbackByDecoratingCallback(completion));
      },
      completion ? [completion](ErrorPtr error) { completion(nullptr, error); } : std::function<void(ErrorPtr)>());
}

void DAVAuth::signInWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                   DAVAuthResultCallback completion) {
  // The decorated result already arrives on the main queue.
  signInAndRetrieveDataWithCredential(
      std::move(credential), [completion](std::shared_ptr<DAVAuthDataResult> result, ErrorPtr error) {
        if (completion) completion(result ? result->user() : nullptr, error);
      });
}

void DAVAuth::internalSignInAndRetrieveDataWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                                          bool isReauthentication,
                                                          DAVAuthDataResultCallback callback) {
  if (!credential) {
    callback(nullptr, DAVAuthErrorUtils::invalidCredentialErrorWithMessage());
    return;
  }
  if (auto email = std::dynamic_pointer_cast<const DAVEmailPasswordAuthCredential>(credential)) {
    if (email->link()) return internalSignInAndRetrieveDataWithEmailLink(email->email(), *email->link(), callback);
    return signInWithEmailPassword(email->email(), email->password().value_or(""), callback);
  }
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  if (auto player = std::dynamic_pointer_cast<const DAVGameCenterAuthCredential>(credential)) {
    auto request = std::make_shared<DAVSignInWithGameCenterRequest>(
        player->playerID(), player->publicKeyURL(), player->signature(), player->salt(), player->timestamp(),
        player->displayName(), requestConfiguration_);
    DAVAuthBackend::signInWithGameCenter(
        request, [weak, callback](std::shared_ptr<DAVSignInWithGameCenterResponse> response, ErrorPtr error) {
          if (error || !response) return callback(nullptr, error);
          signInWithReply(weak, *response, false,
                          std::make_shared<DAVAdditionalUserInfo>(kDAVGameCenterAuthProviderID, std::nullopt,
                                                                  std::nullopt, response->isNewUser()),
                          callback);
        });
    return;
  }
  auto request = DAVVerifyAssertionRequest::requestWithCredential(*credential, requestConfiguration_);
  // A credential restored without its proof: an error for the caller, never an exception here.
  if (!request->hasProof())
    return callback(nullptr, DAVAuthErrorUtils::invalidCredentialErrorWithMessage(kDAVVerifyAssertionNoProofReason));
  request->setAutoCreate(!isReauthentication);
  DAVAuthBackend::verifyAssertion(request, [weak, callback](std::shared_ptr<DAVVerifyAssertionResponse> response,
                                                            ErrorPtr error) {
    if (error || !response) return callback(nullptr, error);
    if (response->needConfirmation()) {
      return callback(nullptr,
                      DAVAuthErrorUtils::accountExistsWithDifferentCredentialErrorWithEmail(response->email().value_or("")));
    }
    if (!response->providerID() || response->providerID()->empty()) {
      return callback(nullptr, DAVAuthErrorUtils::unexpectedResponseWithDeserializedResponse(
                                   platform::Value(std::static_pointer_cast<const platform::Object>(response))));
    }
    signInWithReply(weak, *response, false, DAVAdditionalUserInfo::userInfoWithVerifyAssertionResponse(*response),
                    callback);
  });
}

void DAVAuth::signInWithCustomToken(const std::string& token, DAVAuthDataResultCallback completion) {
  onWorkQueue(
      [token, completion](const std::shared_ptr<DAVAuth>& self) {
        auto callback = self->signInFlowAuthDataResultCallbackByDecoratingCallback(completion);
        auto request = std::make_shared<DAVVerifyCustomTokenRequest>(token, self->requestConfiguration_);
        std::weak_ptr<DAVAuth> weak = self;
        DAVAuthBackend::verifyCustomToken(
            request, [weak, callback](std::shared_ptr<DAVVerifyCustomTokenResponse> response, ErrorPtr error) {
              if (error || !response) return callback(nullptr, error);
              signInWithReply(weak, *response, false,
                              std::make_shared<DAVAdditionalUserInfo>(std::nullopt, std::nullopt, std::nullopt,
                                                                      response->isNewUser()),
                              callback);
            });
      },
      completion ? [completion](ErrorPtr error) { completion(nullptr, error); } : std::function<void(ErrorPtr)>());
}

void DAVAuth::signInAndRetrieveDataWithCustomToken(const std::string& token, DAVAuthDataResultCallback completion) {
  signInWithCustomToken(token, std::move(completion));
}

void DAVAuth::signInAnonymouslyWithCompletion(DAVAuthDataResultCallback completion) {
  onWorkQueue(
      [completion](const std::shared_ptr<DAVAuth>& self) {
        self->internalSignInAnonymously(false, self->signInFlowAuthDataResultCallbackByDecoratingCallback(completion));
      },
      completion ? [completion](ErrorPtr error) { completion(nullptr, error); } : std::function<void(ErrorPtr)>());
}

void DAVAuth::signInAnonymouslyAndRetrieveDataWithCompletion(DAVAuthDataResultCallback completion) {
  onWorkQueue(
      [completion](const std::shared_ptr<DAVAuth>& self) {
        self->internalSignInAnonymously(true, self->signInFlowAuthDataResultCallbackByDecoratingCallback(completion));
      },
      completion ? [completion](ErrorPtr error) { completion(nullptr, error); } : std::function<void(ErrorPtr)>());
}

void DAVAuth::internalSignInAnonymously(bool retrieveData, DAVAuthDataResultCallback callback) {
  auto current = currentUserOnWorkQueue();
  if (current && current->isAnonymous()) {
    // Already anonymous: that user, without a request.
    auto info = retrieveData ? std::make_shared<DAVAdditionalUserInfo>(std::nullopt, std::nullopt, std::nullopt, false)
                             : nullptr;
    callback(std::make_shared<DAVAuthDataResult>(current, info), nullptr);
    return;
  }
  auto request = std::make_shared<DAVSignUpNewUserRequest>(requestConfiguration_);
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  DAVAuthBackend::signUpNewUser(
      request, [weak, retrieveData, callback](std::shared_ptr<DAVSignUpNewUserResponse> response, ErrorPtr error) {
        if (error || !response) return callback(nullptr, error);
        std::optional<std::string> provider;
        if (!retrieveData) provider = "password";
        signInWithReply(weak, *response, true,
                        std::make_shared<DAVAdditionalUserInfo>(provider, std::nullopt, std::nullopt, true), callback);
      });
}

void DAVAuth::signInWithProvider(std::shared_ptr<DAVOAuthProvider>, const void*, DAVAuthDataResultCallback completion) {
  // No web view to show the provider's page in: answer at once rather than never.
  if (completion) {
    mainAsync([completion] {
      completion(nullptr, DAVAuthErrorUtils::webSignInUserInteractionFailureWithReason(
                              "Web sign-in is not available on this platform."));
    });
  }
}

// One look-up serves both lists of the reply: the providers, or the sign-in methods.
void DAVAuth::fetchAuthURIListForEmail(const std::string& email, bool signInMethods,
                                       DAVProviderQueryCallback completion) {
  auto deliver = [completion](std::optional<std::vector<std::string>> list, ErrorPtr error) {
    if (completion) mainAsync([completion, list, error] { completion(list, error); });
  };
  onWorkQueue(
      [email, signInMethods, deliver](const std::shared_ptr<DAVAuth>& self) {
        auto request = std::make_shared<DAVCreateAuthURIRequest>(email, kCreateAuthURIContinueURI,
                                                                 self->requestConfiguration_);
        DAVAuthBackend::createAuthURI(request, [signInMethods, deliver](
                                                   std::shared_ptr<DAVCreateAuthURIResponse> response, ErrorPtr error) {
          if (error || !response) return deliver(std::nullopt, error);
          const auto& list = signInMethods ? response->signinMethods() : response->allProviders();
          deliver(list ? std::optional(stringsOf(list)) : std::nullopt, nullptr);
        });
      },
      [deliver](ErrorPtr error) { deliver(std::nullopt, error); });
}

void DAVAuth::fetchProvidersForEmail(const std::string& email, DAVProviderQueryCallback completion) {
  fetchAuthURIListForEmail(email, false, std::move(completion));
}

void DAVAuth::fetchSignInMethodsForEmail(const std::string& email, DAVSignInMethodQueryCallback completion) {
  fetchAuthURIListForEmail(email, true, std::move(completion));
}

void DAVAuth::confirmPasswordResetWithCode(const std::string& code, const std::string& newPassword,
                                           DAVConfirmPasswordResetCallback completion) {
  auto deliver = [completion](ErrorPtr error) {
    if (completion) mainAsync([completion, error] { completion(error); });
  };
  onWorkQueue(
      [code, newPassword, deliver](const std::shared_ptr<DAVAuth>& self) {
        auto request = std::make_shared<DAVResetPasswordRequest>(code, newPassword, self->requestConfiguration_);
        DAVAuthBackend::resetPassword(
            request, [deliver](std::shared_ptr<DAVResetPasswordResponse>, ErrorPtr error) { deliver(error); });
      },
      deliver);
}

void DAVAuth::checkActionCode(const std::string& code, DAVCheckActionCodeCallback completion) {
  auto deliver = [completion](std::shared_ptr<DAVActionCodeInfo> info, ErrorPtr error) {
    if (completion) mainAsync([completion, info, error] { completion(info, error); });
  };
  onWorkQueue(
      [code, deliver](const std::shared_ptr<DAVAuth>& self) {
        auto request = std::make_shared<DAVResetPasswordRequest>(code, std::nullopt, self->requestConfiguration_);
        DAVAuthBackend::resetPassword(request, [deliver](std::shared_ptr<DAVResetPasswordResponse> response,
                                                         ErrorPtr error) {
          if (error || !response) return deliver(nullptr, error);
          deliver(std::make_shared<DAVActionCodeInfo>(
                      DAVActionCodeInfo::actionCodeOperationForRequestType(response->requestType()), response->email(),
                      response->verifiedEmail()),
                  nullptr);
        });
      },
      [deliver](ErrorPtr error) { deliver(nullptr, error); });
}

void DAVAuth::verifyPasswordResetCode(const std::string& code, DAVVerifyPasswordResetCodeCallback completion) {
  checkActionCode(code, [completion](std::shared_ptr<DAVActionCodeInfo> info, ErrorPtr error) {
    if (!completion) return;
    std::optional<std::string> email;
    if (info && !error) email = info->dataForKey(DAVActionCodeEmailKey);
    mainAsync([completion, email, error] { completion(email, error); });
  });
}

void DAVAuth::applyActionCode(const std::string& code, DAVApplyActionCodeCallback completion) {
  auto deliver = [completion](ErrorPtr error) {
    if (completion) mainAsync([completion, error] { completion(error); });
  };
  onWorkQueue(
      [code, deliver](const std::shared_ptr<DAVAuth>& self) {
        auto request = std::make_shared<DAVSetAccountInfoRequest>(self->requestConfiguration_);
        request->setOOBCode(code);
        DAVAuthBackend::setAccountInfo(
            request, [deliver](std::shared_ptr<DAVSetAccountInfoResponse>, ErrorPtr error) { deliver(error); });
      },
      deliver);
}

void DAVAuth::sendSignInLinkToEmail(const std::optional<std::string>& email,
                                    const DAVActionCodeSettings& actionCodeSettings,
                                    DAVSendSignInLinkToEmailCallback completion) {
  if (!email) DAVAuthExceptionUtils::raiseInvalidParameterExceptionWithReason(kNilSignInLinkEmailReason);
  if (!actionCodeSettings.handleCodeInApp())
    DAVAuthExceptionUtils::raiseInvalidParameterExceptionWithReason(kHandleCodeInAppReason);
  auto deliver = [completion](ErrorPtr error) {
    if (completion) mainAsync([completion, error] { completion(error); });
  };
  auto settings = std::make_shared<const DAVActionCodeSettings>(actionCodeSettings);
  onWorkQueue(
      [address = *email, settings, deliver](const std::shared_ptr<DAVAuth>& self) {
        auto request = DAVGetOOBConfirmationCodeRequest::signInWithEmailLinkRequest(address, settings.get(),
                                                                                   self->requestConfiguration_);
        DAVAuthBackend::getOOBConfirmationCode(
            request, [deliver](std::shared_ptr<DAVGetOOBConfirmationCodeResponse>, ErrorPtr error) { deliver(error); });
      },
      deliver);
}

// --- Listeners -------------------------------------------------------------------------------------

DAVIDTokenDidChangeListenerHandle DAVAuth::addIDTokenDidChangeListener(DAVIDTokenDidChangeListenerBlock listener) {
  if (!listener) platform::raiseFormat(platform::kInvalidArgumentException, "%@", {kNilListenerReason});
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  auto call = [weak, listener] {
    if (auto self = weak.lock()) listener(self, self->currentUser());
  };
  auto handle = platform::NotificationCenter::defaultCenter().addObserver(
      kDAVAuthStateDidChangeNotification, this, [call](const platform::Notification&) {
        if (platform::dispatch::isMainThread()) {
          call();
        } else {
          mainAsync(call);
        }
      });
  {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listenerHandles_.push_back(handle);
  }
  mainAsync(call);
  return handle;
}

DAVAuthStateDidChangeListenerHandle DAVAuth::addAuthStateDidChangeListener(DAVAuthStateDidChangeListenerBlock listener) {
  // Refused like the ID-token form: the filter below would otherwise call an empty function.
  if (!listener) platform::raiseFormat(platform::kInvalidArgumentException, "%@", {kNilListenerReason});
  struct FilterState {
    bool firstInvocation = true;
    std::optional<std::string> previousUserID;
  };
  auto state = std::make_shared<FilterState>();
  return addIDTokenDidChangeListener([state, listener](std::shared_ptr<DAVAuth> auth, std::shared_ptr<DAVUser> user) {
    std::optional<std::string> userID = user ? user->uid() : std::nullopt;
    const bool shouldCall = state->firstInvocation || !sameUserID(state->previousUserID, userID);
    state->previousUserID = userID;
    state->firstInvocation = false;
    if (shouldCall) listener(std::move(auth), std::move(user));
  });
}

void DAVAuth::removeIDTokenDidChangeListener(DAVIDTokenDidChangeListenerHandle handle) {
  platform::NotificationCenter::defaultCenter().removeObserver(handle);
  std::lock_guard<std::mutex> lock(listenerMutex_);
  listenerHandles_.erase(std::remove(listenerHandles_.begin(), listenerHandles_.end(), handle), listenerHandles_.end());
}

void DAVAuth::removeAuthStateDidChangeListener(DAVAuthStateDidChangeListenerHandle handle) {
  removeIDTokenDidChangeListener(handle);
}

// --- Language and settings -------------------------------------------------------------------------

void DAVAuth::useAppLanguage() {
  // The same localisation the transport sends as "Accept-Language".
  const std::optional<std::string> language = DAVAuthPreferredLocalization();
  workQueueSync([&] { requestConfiguration_->setLanguageCode(language); });
}

std::optional<std::string> DAVAuth::languageCode() const { return requestConfiguration_->languageCode(); }

void DAVAuth::setLanguageCode(std::optional<std::string> languageCode) {
  workQueueSync([&] { requestConfiguration_->setLanguageCode(languageCode); });
}

std::optional<std::string> DAVAuth::additionalFrameworkMarker() const {
  return requestConfiguration_->additionalFrameworkMarker();
}

void DAVAuth::setAdditionalFrameworkMarker(std::optional<std::string> marker) {
  workQueueSync([&] { requestConfiguration_->setAdditionalFrameworkMarker(marker); });
}

DAVAuthSettings DAVAuth::settings() const {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  return settings_;
}

void DAVAuth::setSettings(const DAVAuthSettings& settings) {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_ = settings;
}

// --- Token interface and automatic refresh ----------------------------------------------------------

void DAVAuth::getTokenForcingRefresh(bool forceRefresh, DAVTokenCallback callback) {
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  auto deliver = [callback](std::optional<std::string> token, ErrorPtr error) {
    if (callback) mainAsync([callback, token, error] { callback(token, error); });
  };
  DAVAuthGlobalWorkQueue()->async([weak, forceRefresh, deliver] {
    auto self = weak.lock();
    if (!self) return deliver(std::nullopt, nullptr);
    if (!self->autoRefreshTokens_) {
      DAVLogInfo(kDAVLoggerAuth, "I-AUT000002", "Token auto-refresh enabled.");
      self->autoRefreshTokens_ = true;
      self->scheduleAutoTokenRefresh();
    }
    auto user = self->currentUserOnWorkQueue();
    if (!user) return deliver(std::nullopt, nullptr);
    user->internalGetTokenForcingRefresh(forceRefresh, deliver);
  });
}

void DAVAuth::scheduleAutoTokenRefresh() {
  auto user = currentUserOnWorkQueue();
  if (!user) return;
  double expiry = 0;
  if (auto date = user->accessTokenExpirationDate()) expiry = date->secondsSince1970;
  double delay = expiry - dav_auth_json::now().secondsSince1970 - kDAVAuthTokenRefreshHeadStart;
  scheduleAutoTokenRefreshWithDelay(std::max(delay, 0.0), false);
}

void DAVAuth::scheduleAutoTokenRefreshWithDelay(double delay, bool retry) {
  auto user = currentUserOnWorkQueue();
  std::optional<std::string> accessToken = user ? user->rawAccessToken() : std::nullopt;
  if (!accessToken) return;
  const long long wholeSeconds = static_cast<long long>(std::ceil(delay));
  const int minutes = static_cast<int>(wholeSeconds / 60);
  const int seconds = static_cast<int>(wholeSeconds % 60);
  if (retry) {
    DAVLogInfo(kDAVLoggerAuth, "I-AUT000003",
               "Token auto-refresh re-scheduled in %02d:%02d because of error on previous refresh attempt.", minutes,
               seconds);
  } else {
    DAVLogInfo(kDAVLoggerAuth, "I-AUT000004", "Token auto-refresh scheduled in %02d:%02d for the new token.", minutes,
               seconds);
  }
  autoRefreshScheduled_ = true;
  std::weak_ptr<DAVAuth> weak = weak_from_this();
  DAVAuthDispatcher::sharedInstance().dispatchAfterDelay(delay, DAVAuthGlobalWorkQueue(), [weak, accessToken, delay,
                                                                                           retry] {
    auto self = weak.lock();
    if (!self) return;
    auto user = self->currentUserOnWorkQueue();
    if (!user || user->rawAccessToken() != accessToken) return;  // a newer schedule exists, or the user left
    self->autoRefreshScheduled_ = false;
    const std::optional<std::string> uid = user->uid();
    user->internalGetTokenForcingRefresh(true, [weak, uid, delay, retry](std::optional<std::string>, ErrorPtr error) {
      if (!error) return;  // the new token is saved, which schedules the next refresh
      auto self = weak.lock();
      if (!self) return;
      auto current = self->currentUserOnWorkQueue();
      if (!current || !sameUserID(current->uid(), uid)) return;
      const double next = retry ? std::min(delay * 2, kDAVAuthTokenRefreshMaxRetryDelay)
                                : kDAVAuthTokenRefreshFirstRetryDelay;
      self->scheduleAutoTokenRefreshWithDelay(next, true);
    });
  });
}
