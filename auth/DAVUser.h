// The signed-in account: its identifiers and profile, its provider records, and the secure-token
// service that supplies its ID token. Archived into the keychain by its auth client; when the backend
// answers that its token is no longer valid, the user signs itself out of that client.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "auth/DAVAuthRequestConfiguration.h"
#include "auth/DAVAuthSerialTaskQueue.h"
#include "auth/DAVAuthTokenResult.h"
#include "auth/DAVSecureTokenService.h"
#include "auth/DAVUserInfo.h"
#include "auth/DAVUserInfoImpl.h"
#include "auth/DAVUserMetadata.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"

class DAVActionCodeSettings;
class DAVAuth;
class DAVAuthCredential;
class DAVAuthDataResult;
class DAVGetAccountInfoResponse;
class DAVGetAccountInfoResponseUser;
class DAVSetAccountInfoRequest;
class DAVUserProfileChangeRequest;

inline constexpr const char kDAVUserProviderID[] = "Davedove";

class DAVUser;
using DAVUserPtr = std::shared_ptr<DAVUser>;
using DAVAuthTokenCallback = std::function<void(std::optional<std::string> token, platform::ErrorPtr error)>;
using DAVAuthTokenResultCallback =
    std::function<void(std::shared_ptr<DAVAuthTokenResult> tokenResult, platform::ErrorPtr error)>;
using DAVUserProfileChangeCallback = std::function<void(platform::ErrorPtr error)>;
using DAVRetrieveUserCallback = std::function<void(DAVUserPtr user, platform::ErrorPtr error)>;
using DAVGetAccountInfoUserCallback =
    std::function<void(std::shared_ptr<const DAVGetAccountInfoResponseUser> user, platform::ErrorPtr error)>;
using DAVUserUpdateChangeBlock =
    std::function<void(std::shared_ptr<const DAVGetAccountInfoResponseUser> user, DAVSetAccountInfoRequest& request)>;
using DAVUserErrorCallback = std::function<void(platform::ErrorPtr error)>;
using DAVUserDataResultCallback =
    std::function<void(std::shared_ptr<DAVAuthDataResult> result, platform::ErrorPtr error)>;
using DAVUserResultCallback = std::function<void(DAVUserPtr user, platform::ErrorPtr error)>;

class DAVUser : public platform::Object,
                public platform::Coding,
                public DAVUserInfo,
                public std::enable_shared_from_this<DAVUser> {
 public:
  static constexpr const char* kArchiveClassName = "DAVUser";

  // Makes a complete user after a sign-in: reads the account info with the new token. The user is not
  // saved here. The callback runs on the work queue.
  static void retrieveUserWithAuth(const std::shared_ptr<DAVAuth>& auth, const std::optional<std::string>& accessToken,
                                   const std::optional<platform::Date>& accessTokenExpirationDate,
                                   const std::optional<std::string>& refreshToken, bool anonymous,
                                   DAVRetrieveUserCallback callback);
  static DAVUserPtr initWithTokenService(DAVSecureTokenServicePtr tokenService);

  // Application operations; completions run on the main queue and only when given.
  void getIDTokenWithCompletion(DAVAuthTokenCallback completion);
  void getIDTokenForcingRefresh(bool forceRefresh, DAVAuthTokenCallback completion);
  void getIDTokenResultWithCompletion(DAVAuthTokenResultCallback completion);
  void getIDTokenResultForcingRefresh(bool forceRefresh, DAVAuthTokenResultCallback completion);
  void reloadWithCompletion(DAVUserProfileChangeCallback completion);

  // Account operations; completions run on the main queue and only when given.
  void updateEmail(const std::string& email, DAVUserErrorCallback completion);
  void updatePassword(const std::string& password, DAVUserErrorCallback completion);
  // Waits for the work queue; must not be called from it.
  std::shared_ptr<DAVUserProfileChangeRequest> profileChangeRequest();
  void reauthenticateWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                    DAVUserErrorCallback completion);
  void reauthenticateAndRetrieveDataWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                                   DAVUserDataResultCallback completion);
  void linkWithCredential(std::shared_ptr<const DAVAuthCredential> credential, DAVUserResultCallback completion);
  void linkAndRetrieveDataWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                         DAVUserDataResultCallback completion);
  // (this user, none) on success, (none, error) on failure.
  void unlinkFromProvider(const std::string& provider, DAVUserResultCallback completion);
  void sendEmailVerificationWithCompletion(DAVUserErrorCallback completion);
  void sendEmailVerificationWithActionCodeSettings(const DAVActionCodeSettings& actionCodeSettings,
                                                   DAVUserErrorCallback completion);
  void deleteWithCompletion(DAVUserErrorCallback completion);

  // The user's own record: its provider is always "Davedove".
  std::optional<std::string> providerID() const override { return std::string(kDAVUserProviderID); }
  std::optional<std::string> uid() const override;
  std::optional<std::string> displayName() const override;
  std::optional<std::string> photoURL() const override;
  std::optional<std::string> email() const override;
  std::optional<std::string> phoneNumber() const override;
  bool isAnonymous() const;
  void setAnonymous(bool anonymous);
  bool isEmailVerified() const;
  bool hasEmailPasswordCredential() const;
  std::shared_ptr<const DAVUserMetadata> metadata() const;
  // One record per linked provider, in no particular order.
  std::vector<std::shared_ptr<const DAVUserInfo>> providerData() const;
  // Waits for the work queue; must not be called from it.
  std::optional<std::string> refreshToken() const;
  std::optional<std::string> rawAccessToken() const;
  std::optional<platform::Date> accessTokenExpirationDate() const;
  std::shared_ptr<DAVAuth> auth() const;
  void setAuth(const std::shared_ptr<DAVAuth>& auth);
  DAVAuthRequestConfigurationPtr requestConfiguration() const;
  void setRequestConfiguration(DAVAuthRequestConfigurationPtr requestConfiguration);
  DAVSecureTokenServicePtr tokenService() const;

  // Work-queue operations of the auth client and of this user's own flows.
  void internalGetTokenWithCallback(DAVAuthTokenCallback callback);
  void internalGetTokenForcingRefresh(bool forceRefresh, DAVAuthTokenCallback callback);
  void getAccountInfoRefreshingCache(DAVGetAccountInfoUserCallback callback);
  void updateWithGetAccountInfoResponse(const DAVGetAccountInfoResponse& response);
  void setTokenService(DAVSecureTokenServicePtr tokenService, DAVUserProfileChangeCallback callback);
  // One task on this user's task queue: fresh account info, then one set-account-info call that
  // changes fills in; new tokens of the reply replace the token service. Callback on the work queue.
  void executeUserUpdateWithChanges(DAVUserUpdateChangeBlock changes, DAVUserErrorCallback callback);
  // A given but empty password fails with 17026 "Missing Password" before any request.
  void updateEmail(std::optional<std::string> email, std::optional<std::string> password,
                   DAVUserErrorCallback callback);
  void sendEmailVerificationWithNullableActionCodeSettings(std::shared_ptr<const DAVActionCodeSettings> settings,
                                                           DAVUserErrorCallback completion);
  void signOutIfTokenIsInvalidWithError(const platform::ErrorPtr& error);
  bool updateKeychain(platform::ErrorPtr* error);
  void setDisplayName(std::optional<std::string> displayName);
  void setPhotoURL(std::optional<std::string> photoURL);
  DAVAuthSerialTaskQueue& taskQueue() { return taskQueue_; }
  DAVAuthRequestConfigurationPtr authRequestConfiguration() const;

  // Splits, decodes and reads the claims of an ID token; none with error 18000 when it is malformed.
  static std::shared_ptr<DAVAuthTokenResult> parseIDToken(const std::string& token, platform::ErrorPtr* error);

  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // None without a token service or without a user id. The loader sets the auth client afterwards.
  static DAVUserPtr initWithCoder(platform::KeyedUnarchiver& coder);

  std::string description() const override;

 private:
  struct ConstructionKey {};

 public:
  DAVUser(ConstructionKey, DAVSecureTokenServicePtr tokenService);

 private:
  void linkWithGameCenterCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                    std::shared_ptr<DAVAuthDataResult> result, DAVUserDataResultCallback deliver);
  void linkWithFederatedCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                   DAVUserDataResultCallback deliver);
  // The link's code goes to the e-mail-link sign-in with this user's token, which links the address.
  void linkWithEmailLink(const std::string& email, const std::string& link, std::shared_ptr<DAVAuthDataResult> result,
                         DAVUserDataResultCallback deliver);
  void adoptLinkSession(const DAVAuthRequestConfigurationPtr& configuration, const std::optional<std::string>& IDToken,
                        const std::optional<platform::Date>& expirationDate,
                        const std::optional<std::string>& refreshToken);
  // Token, account info, not anonymous any more, fields refreshed, saved: the end of every link.
  void finishLink(std::shared_ptr<DAVAuthDataResult> result, DAVUserDataResultCallback deliver);

  mutable std::mutex mutex_;  // fields are changed on the work queue and read from anywhere
  bool hasEmailPasswordCredential_ = false;
  std::map<std::string, std::shared_ptr<const DAVUserInfoImpl>> providerData_;
  DAVAuthSerialTaskQueue taskQueue_;
  DAVSecureTokenServicePtr tokenService_;
  bool anonymous_ = false;
  bool emailVerified_ = false;
  std::optional<std::string> userID_;
  std::optional<std::string> displayName_;
  std::optional<std::string> photoURL_;
  std::optional<std::string> email_;
  std::optional<std::string> phoneNumber_;
  std::shared_ptr<const DAVUserMetadata> metadata_;
  std::weak_ptr<DAVAuth> auth_;
  DAVAuthRequestConfigurationPtr requestConfiguration_;
};
