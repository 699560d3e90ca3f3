// The per-app authentication client: holds the signed-in user, keeps it in the keychain, tells
// listeners when the user or its token changes, and hands tokens to the other services of the SDK.
//
// A program calls DAVAuth::load() once before DAVApp::configure(); every configured app then gets its
// client (and loads its stored user) at configuration time.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "auth/DAVAuthInterop.h"
#include "auth/DAVAuthRequestConfiguration.h"
#include "auth/DAVAuthSettings.h"
#include "auth/DAVAuthStorage.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVComponent.h"
#include "sdk-core/DAVComponentLifecycleMaintainer.h"

class DAVAdditionalUserInfo;
class DAVActionCodeInfo;
class DAVActionCodeSettings;
class DAVAuthCredential;
class DAVAuthDataResult;
class DAVOAuthProvider;
class DAVUser;

// Public: posted on the main queue with the client as sender, no user info.
inline constexpr const char kDAVAuthStateDidChangeNotification[] = "DAVAuthStateDidChangeNotification";

inline constexpr const char kDAVAuthLibraryName[] = "dav-auth";
inline constexpr const char kDAVAuthLibraryVersion[] = "5.4.2";
inline constexpr const char kDAVAuthKeychainServicePrefix[] = "davedove_auth_";
// Formatted with the app name: the keychain key of the persisted user.
inline constexpr const char kDAVAuthUserKeyFormat[] = "%@_davedove_user";

// Token refresh timing, in seconds.
inline constexpr double kDAVAuthTokenRefreshHeadStart = 300.0;
inline constexpr double kDAVAuthTokenRefreshFirstRetryDelay = 60.0;
inline constexpr double kDAVAuthTokenRefreshMaxRetryDelay = 960.0;

class DAVAuth;
using DAVAuthStateDidChangeListenerBlock = std::function<void(std::shared_ptr<DAVAuth> auth, std::shared_ptr<DAVUser> user)>;
using DAVIDTokenDidChangeListenerBlock = DAVAuthStateDidChangeListenerBlock;
using DAVAuthStateDidChangeListenerHandle = platform::ObserverToken;
using DAVIDTokenDidChangeListenerHandle = platform::ObserverToken;

using DAVAuthDataResultCallback = std::function<void(std::shared_ptr<DAVAuthDataResult> result, platform::ErrorPtr error)>;
using DAVAuthResultCallback = std::function<void(std::shared_ptr<DAVUser> user, platform::ErrorPtr error)>;
using DAVSendPasswordResetCallback = std::function<void(platform::ErrorPtr error)>;
using DAVUserUpdateCallback = std::function<void(platform::ErrorPtr error)>;
using DAVProviderQueryCallback =
    std::function<void(std::optional<std::vector<std::string>> providers, platform::ErrorPtr error)>;
using DAVSignInMethodQueryCallback = DAVProviderQueryCallback;
using DAVActionCodeCallback = std::function<void(platform::ErrorPtr error)>;
using DAVCheckActionCodeCallback =
    std::function<void(std::shared_ptr<DAVActionCodeInfo> info, platform::ErrorPtr error)>;
using DAVVerifyPasswordResetCodeCallback =
    std::function<void(std::optional<std::string> email, platform::ErrorPtr error)>;
using DAVSendSignInLinkToEmailCallback = std::function<void(platform::ErrorPtr error)>;
using DAVConfirmPasswordResetCallback = std::function<void(platform::ErrorPtr error)>;
using DAVApplyActionCodeCallback = std::function<void(platform::ErrorPtr error)>;

class DAVAuth : public platform::Object,
                public DAVAuthInterop,
                public DAVComponentLifecycleMaintainer,
                public std::enable_shared_from_this<DAVAuth> {
 public:
  // Registers the library "dav-auth" (version "5.4.2") with the SDK core; calling it again is harmless.
  static void load();
  static std::vector<DAVComponentPtr> componentsToRegister();
  static void configureWithApp(const std::shared_ptr<DAVApp>& app);

  // The default app's client; raises the internal-inconsistency exception without a default app.
  static std::shared_ptr<DAVAuth> auth();
  static std::shared_ptr<DAVAuth> authWithApp(const std::shared_ptr<DAVApp>& app);

  // A new client for the app; its stored user is loaded asynchronously on the work queue.
  static std::shared_ptr<DAVAuth> initWithApp(const std::shared_ptr<DAVApp>& app);

  // Keychain service names of the apps, by app name.
  static void setKeychainServiceNameForApp(const std::shared_ptr<DAVApp>& app);
  static std::optional<std::string> keychainServiceNameForAppName(const std::string& appName);
  static void deleteKeychainServiceNameForAppName(const std::string& appName);

  ~DAVAuth() override;
  DAVAuth(const DAVAuth&) = delete;
  DAVAuth& operator=(const DAVAuth&) = delete;

  // Waits for the work queue; must not be called from it.
  std::shared_ptr<DAVUser> currentUser();
  void updateCurrentUser(std::shared_ptr<DAVUser> user, DAVUserUpdateCallback completion);
  bool signOut(platform::ErrorPtr* error);

  // Completions run on the main queue.
  void signInWithEmail(const std::string& email, const std::string& password, DAVAuthDataResultCallback completion);
  void signInAndRetrieveDataWithEmail(const std::string& email, const std::string& password,
                                      DAVAuthDataResultCallback completion);  // the same as signInWithEmail
  void createUserWithEmail(const std::string& email, const std::string& password,
                           DAVAuthDataResultCallback completion);
  void createUserAndRetrieveDataWithEmail(const std::string& email, const std::string& password,
                                          DAVAuthDataResultCallback completion);  // the same as createUserWithEmail
  // E-mail link: the link must pass isSignInWithEmailLink, else the invalid-argument exception is
  // raised on the caller's thread.
  void signInWithEmailLink(const std::string& email, const std::string& link, DAVAuthDataResultCallback completion);
  // A credential the caller made unusable raises on the caller's thread (checkCredential).
  void signInWithCredential(std::shared_ptr<const DAVAuthCredential> credential, DAVAuthResultCallback completion);
  void signInAndRetrieveDataWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                           DAVAuthDataResultCallback completion);
  void signInAnonymouslyWithCompletion(DAVAuthDataResultCallback completion);
  void signInAnonymouslyAndRetrieveDataWithCompletion(DAVAuthDataResultCallback completion);
  void signInWithCustomToken(const std::string& token, DAVAuthDataResultCallback completion);
  void signInAndRetrieveDataWithCustomToken(const std::string& token,
                                            DAVAuthDataResultCallback completion);  // the same as signInWithCustomToken
  // This platform has no web sign-in: the completion gets 17063 on the main queue.
  void signInWithProvider(std::shared_ptr<DAVOAuthProvider> provider, const void* UIDelegate,
                          DAVAuthDataResultCallback completion);

  void fetchProvidersForEmail(const std::string& email, DAVProviderQueryCallback completion);
  void fetchSignInMethodsForEmail(const std::string& email, DAVSignInMethodQueryCallback completion);
  void confirmPasswordResetWithCode(const std::string& code, const std::string& newPassword,
                                    DAVConfirmPasswordResetCallback completion);
  void checkActionCode(const std::string& code, DAVCheckActionCodeCallback completion);
  void verifyPasswordResetCode(const std::string& code, DAVVerifyPasswordResetCodeCallback completion);
  void applyActionCode(const std::string& code, DAVApplyActionCodeCallback completion);
  // A missing e-mail, or settings without handleCodeInApp, raise the invalid-argument exception on the
  // caller's thread, before any request.
  void sendSignInLinkToEmail(const std::optional<std::string>& email, const DAVActionCodeSettings& actionCodeSettings,
                             DAVSendSignInLinkToEmailCallback completion);
  // Runs on the caller's thread.
  static bool isSignInWithEmailLink(const std::string& link);
  // The oobCode of a sign-in link, or none when it is not one.
  static std::optional<std::string> oobCodeOfEmailLink(const std::string& link);
  // Raises the invalid-argument exception, on the caller's thread before any work, for a credential
  // the caller made unusable: an e-mail credential whose link is not a sign-in link, or an OAuth
  // credential made without a token or response URL. An OAuth credential restored from an archive
  // without them fails through the completion instead (the archive keeps no response URL).
  static void checkCredential(const std::shared_ptr<const DAVAuthCredential>& credential);

  // Work-queue only; the callback runs there and the user is not adopted. For a reauthentication the
  // backend creates no account.
  void internalSignInAndRetrieveDataWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                                   bool isReauthentication, DAVAuthDataResultCallback callback);

  // A missing e-mail raises the invalid-argument exception on the caller's thread.
  void sendPasswordResetWithEmail(const std::optional<std::string>& email, DAVSendPasswordResetCallback completion);
  void sendPasswordResetWithEmail(const std::optional<std::string>& email,
                                  std::shared_ptr<const DAVActionCodeSettings> actionCodeSettings,
                                  DAVSendPasswordResetCallback completion);

  // A missing listener raises the invalid-argument exception. The listener is called once at once
  // (on the main queue) with the current user.
  DAVAuthStateDidChangeListenerHandle addAuthStateDidChangeListener(DAVAuthStateDidChangeListenerBlock listener);
  void removeAuthStateDidChangeListener(DAVAuthStateDidChangeListenerHandle handle);
  DAVIDTokenDidChangeListenerHandle addIDTokenDidChangeListener(DAVIDTokenDidChangeListenerBlock listener);
  void removeIDTokenDidChangeListener(DAVIDTokenDidChangeListenerHandle handle);

  void useAppLanguage();
  std::optional<std::string> languageCode() const;
  void setLanguageCode(std::optional<std::string> languageCode);
  std::optional<std::string> additionalFrameworkMarker() const;
  void setAdditionalFrameworkMarker(std::optional<std::string> marker);

  // DAVAuthInterop.
  void getTokenForcingRefresh(bool forceRefresh, DAVTokenCallback callback) override;
  std::optional<std::string> getUserID() override;

  // DAVComponentLifecycleMaintainer.
  void appWillBeDeleted(const std::shared_ptr<DAVApp>& app) override;

  // For the user and the other parts of this client.
  DAVAuthRequestConfigurationPtr requestConfiguration() const { return requestConfiguration_; }
  std::shared_ptr<DAVApp> app() const { return app_.lock(); }
  DAVAuthSettings settings() const;
  void setSettings(const DAVAuthSettings& settings);
  const std::string& appName() const { return vavazuzeZudName_; }

  // Work-queue only from here on.
  bool updateKeychainWithUser(const std::shared_ptr<DAVUser>& user, platform::ErrorPtr* error);
  bool signOutByForceWithUserID(const std::optional<std::string>& userID, platform::ErrorPtr* error);
  bool updateCurrentUser(std::shared_ptr<DAVUser> user, bool byForce, bool savingToDisk, platform::ErrorPtr* error);
  bool saveUser(const std::shared_ptr<DAVUser>& user, platform::ErrorPtr* error);
  bool getUser(std::shared_ptr<DAVUser>* outUser, platform::ErrorPtr* error);
  void scheduleAutoTokenRefresh();
  void scheduleAutoTokenRefreshWithDelay(double delay, bool retry);

  std::string description() const override;

 private:
  struct ConstructionKey {};

 public:
  DAVAuth(ConstructionKey, const std::string& APIKey, const std::string& appName);

 private:
  std::shared_ptr<DAVUser> currentUserOnWorkQueue() const;
  void setCurrentUserOnWorkQueue(std::shared_ptr<DAVUser> user);
  void possiblyPostAuthStateChangeNotification();
  void loadStoredUser();
  void markStoredUserLoaded();
  std::string userKey() const;

  void signInWithEmailPassword(const std::string& email, const std::string& password,
                               DAVAuthDataResultCallback callback);
  void completeSignInWithAccessToken(const std::optional<std::string>& accessToken,
                                     const std::optional<platform::Date>& accessTokenExpirationDate,
                                     const std::optional<std::string>& refreshToken, bool anonymous,
                                     DAVAuthResultCallback callback);
  // Signs in with the tokens of a sign-in call's reply, `info` saying how; a client that is gone
  // answers the null-user error.
  template <typename Response>
  static void signInWithReply(const std::weak_ptr<DAVAuth>& weak, const Response& response, bool anonymous,
                              std::shared_ptr<DAVAdditionalUserInfo> info, DAVAuthDataResultCallback callback);
  DAVAuthDataResultCallback signInFlowAuthDataResultCallbackByDecoratingCallback(DAVAuthDataResultCallback callback);
  void internalSignInAndRetrieveDataWithEmailLink(const std::string& email, const std::string& link,
                                                  DAVAuthDataResultCallback callback);
  void internalSignInAnonymously(bool retrieveData, DAVAuthDataResultCallback callback);
  void fetchAuthURIListForEmail(const std::string& email, bool signInMethods, DAVProviderQueryCallback completion);
  // Runs work on the work queue with this client, or answers "client gone" on the main queue.
  void onWorkQueue(std::function<void(const std::shared_ptr<DAVAuth>&)> work,
                   std::function<void(platform::ErrorPtr)> clientGone);

  // Reads and writes of the current user pointer, so getUserID can read it from any thread.
  mutable std::mutex userMutex_;
  std::shared_ptr<DAVUser> currentUser_;
  // Whether the start-up load of the stored user has run; getUserID waits for it. A client made
  // without that load has nothing to wait for.
  std::mutex loadMutex_;
  std::condition_variable loadFinished_;
  bool storedUserLoaded_ = true;

  const std::string vavazuzeZudName_;
  mutable std::mutex listenerMutex_;
  std::vector<platform::ObserverToken> listenerHandles_;
  std::unique_ptr<DAVAuthStorage> keychain_;
  std::optional<std::string> lastNotifiedUserToken_;
  bool autoRefreshTokens_ = false;
  bool autoRefreshScheduled_ = false;
  std::weak_ptr<DAVApp> app_;
  mutable std::mutex settingsMutex_;
  DAVAuthSettings settings_;
  DAVAuthRequestConfigurationPtr requestConfiguration_;
};
