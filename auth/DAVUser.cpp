#include "auth/DAVUser.h"

#include <nlohmann/json.hpp>

#include "auth/DAVAuth.h"
#include "auth/DAVAuthBackend.h"
#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "auth/DAVAuthJSON.h"
#include "auth/DAVGetAccountInfoRequest.h"
#include "auth/DAVGetAccountInfoResponse.h"
#include "auth/DAVActionCodeSettings.h"
#include "auth/DAVAdditionalUserInfo.h"
#include "auth/DAVAuthCredential.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVDeleteAccountRequest.h"
#include "auth/DAVEmailLinkSignInRequest.h"
#include "auth/DAVEmailLinkSignInResponse.h"
#include "auth/DAVGetOOBConfirmationCodeRequest.h"
#include "auth/DAVGetOOBConfirmationCodeResponse.h"
#include "auth/DAVSetAccountInfoRequest.h"
#include "auth/DAVSetAccountInfoResponse.h"
#include "auth/DAVSignInWithGameCenterRequest.h"
#include "auth/DAVSignInWithGameCenterResponse.h"
#include "auth/DAVUserProfileChangeRequest.h"
#include "auth/DAVVerifyAssertionRequest.h"
#include "auth/DAVVerifyAssertionResponse.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Base64.h"
#include "sdk-core/DAVLogger.h"

using platform::ErrorPtr;
using platform::dispatch::Queue;

namespace {

void mainAsync(std::function<void()> work) { Queue::main()->async(std::move(work)); }

// Seconds since 1970 from a claim that is a number or a string holding one; 0 otherwise.
double secondsForClaim(const nlohmann::json& payload, const char* key) {
  if (!payload.is_object()) return 0;
  auto it = payload.find(key);
  if (it == payload.end()) return 0;
  if (it->is_number()) return it->get<double>();
  if (it->is_string()) {
    try {
      size_t used = 0;
      const std::string& text = it->get_ref<const std::string&>();
      double v = std::stod(text, &used);
      return used > 0 ? v : 0;
    } catch (...) {
      return 0;
    }
  }
  return 0;
}

}  // namespace

DAVUser::DAVUser(ConstructionKey, DAVSecureTokenServicePtr tokenService) : tokenService_(std::move(tokenService)) {}

DAVUserPtr DAVUser::initWithTokenService(DAVSecureTokenServicePtr tokenService) {
  return std::make_shared<DAVUser>(ConstructionKey{}, std::move(tokenService));
}

void DAVUser::retrieveUserWithAuth(const std::shared_ptr<DAVAuth>& auth, const std::optional<std::string>& accessToken,
                                   const std::optional<platform::Date>& accessTokenExpirationDate,
                                   const std::optional<std::string>& refreshToken, bool anonymous,
                                   DAVRetrieveUserCallback callback) {
  auto configuration = auth->requestConfiguration();
  auto tokenService =
      std::make_shared<DAVSecureTokenService>(configuration, accessToken, accessTokenExpirationDate, refreshToken);
  DAVUserPtr user = initWithTokenService(tokenService);
  user->setAuth(auth);
  user->setRequestConfiguration(configuration);
  user->internalGetTokenWithCallback([user, configuration, anonymous, callback](std::optional<std::string> token,
                                                                                ErrorPtr error) {
    if (error || !token) {
      callback(nullptr, error ? error : DAVAuthErrorUtils::invalidUserTokenErrorWithMessage());
      return;
    }
    auto request = std::make_shared<DAVGetAccountInfoRequest>(*token, configuration);
    DAVAuthBackend::getAccountInfo(request, [user, anonymous, callback](std::shared_ptr<DAVGetAccountInfoResponse> response,
                                                                         ErrorPtr error) {
      if (error || !response) {
        callback(nullptr, error);
        return;
      }
      user->setAnonymous(anonymous);
      user->updateWithGetAccountInfoResponse(*response);
      callback(user, nullptr);
    });
  });
}

// --- Readable properties ---------------------------------------------------------------------------

std::optional<std::string> DAVUser::uid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return userID_;
}
std::optional<std::string> DAVUser::displayName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return displayName_;
}
std::optional<std::string> DAVUser::photoURL() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return photoURL_;
}
std::optional<std::string> DAVUser::email() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return email_;
}
std::optional<std::string> DAVUser::phoneNumber() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return phoneNumber_;
}
bool DAVUser::isAnonymous() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return anonymous_;
}
void DAVUser::setAnonymous(bool anonymous) {
  std::lock_guard<std::mutex> lock(mutex_);
  anonymous_ = anonymous;
}
bool DAVUser::isEmailVerified() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return emailVerified_;
}
bool DAVUser::hasEmailPasswordCredential() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hasEmailPasswordCredential_;
}
std::shared_ptr<const DAVUserMetadata> DAVUser::metadata() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return metadata_;
}
std::vector<std::shared_ptr<const DAVUserInfo>> DAVUser::providerData() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<const DAVUserInfo>> out;
  for (const auto& entry : providerData_) out.push_back(entry.second);
  return out;
}
DAVSecureTokenServicePtr DAVUser::tokenService() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tokenService_;
}
std::optional<std::string> DAVUser::refreshToken() const {
  std::optional<std::string> result;
  auto read = [&] {
    if (auto service = tokenService()) result = service->refreshToken();
  };
  auto queue = DAVAuthGlobalWorkQueue();
  if (queue->isCurrent()) {
    read();  // waiting on the queue we run on would never end
  } else {
    queue->sync(read);
  }
  return result;
}
std::optional<std::string> DAVUser::rawAccessToken() const {
  auto service = tokenService();
  return service ? service->rawAccessToken() : std::nullopt;
}
std::optional<platform::Date> DAVUser::accessTokenExpirationDate() const {
  auto service = tokenService();
  return service ? service->accessTokenExpirationDate() : std::nullopt;
}
std::shared_ptr<DAVAuth> DAVUser::auth() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return auth_.lock();
}
void DAVUser::setAuth(const std::shared_ptr<DAVAuth>& auth) {
  DAVSecureTokenServicePtr service;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auth_ = auth;
    service = tokenService_;
  }
  if (service) service->setRequestConfiguration(auth ? auth->requestConfiguration() : nullptr);
}
DAVAuthRequestConfigurationPtr DAVUser::requestConfiguration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestConfiguration_;
}
void DAVUser::setRequestConfiguration(DAVAuthRequestConfigurationPtr requestConfiguration) {
  std::lock_guard<std::mutex> lock(mutex_);
  requestConfiguration_ = std::move(requestConfiguration);
}
void DAVUser::setDisplayName(std::optional<std::string> displayName) {
  std::lock_guard<std::mutex> lock(mutex_);
  displayName_ = std::move(displayName);
}
void DAVUser::setPhotoURL(std::optional<std::string> photoURL) {
  std::lock_guard<std::mutex> lock(mutex_);
  photoURL_ = std::move(photoURL);
}

// --- Tokens ---------------------------------------------------------------------------------------

void DAVUser::internalGetTokenWithCallback(DAVAuthTokenCallback callback) {
  internalGetTokenForcingRefresh(false, std::move(callback));
}

void DAVUser::internalGetTokenForcingRefresh(bool forceRefresh, DAVAuthTokenCallback callback) {
  auto service = tokenService();
  auto self = shared_from_this();
  service->fetchAccessTokenForcingRefresh(
      forceRefresh, [self, callback](std::optional<std::string> token, ErrorPtr error, bool tokenUpdated) {
        if (error) {
          self->signOutIfTokenIsInvalidWithError(error);
          callback(std::nullopt, error);
          return;
        }
        if (tokenUpdated) {
          ErrorPtr saveError;
          if (!self->updateKeychain(&saveError)) {
            callback(std::nullopt, saveError);
            return;
          }
        }
        callback(token, nullptr);
      });
}

void DAVUser::getIDTokenWithCompletion(DAVAuthTokenCallback completion) {
  getIDTokenForcingRefresh(false, std::move(completion));
}

void DAVUser::getIDTokenForcingRefresh(bool forceRefresh, DAVAuthTokenCallback completion) {
  getIDTokenResultForcingRefresh(forceRefresh, [completion](std::shared_ptr<DAVAuthTokenResult> result, ErrorPtr error) {
    if (!completion) return;
    std::optional<std::string> token;
    if (result) token = result->token();
    mainAsync([completion, token, error] { completion(token, error); });
  });
}

void DAVUser::getIDTokenResultWithCompletion(DAVAuthTokenResultCallback completion) {
  getIDTokenResultForcingRefresh(false, std::move(completion));
}

void DAVUser::getIDTokenResultForcingRefresh(bool forceRefresh, DAVAuthTokenResultCallback completion) {
  auto self = shared_from_this();
  DAVAuthGlobalWorkQueue()->async([self, forceRefresh, completion] {
    self->internalGetTokenForcingRefresh(forceRefresh, [completion](std::optional<std::string> token, ErrorPtr error) {
      std::shared_ptr<DAVAuthTokenResult> result;
      if (token) result = parseIDToken(*token, &error);
      if (!result && !error) error = DAVAuthErrorUtils::malformedJWTErrorWithToken(token.value_or(""), nullptr);
      if (completion) mainAsync([completion, result, error] { completion(result, error); });
    });
  });
}

std::shared_ptr<DAVAuthTokenResult> DAVUser::parseIDToken(const std::string& token, ErrorPtr* error) {
  if (error) *error = nullptr;
  auto fail = [&](ErrorPtr underlying) -> std::shared_ptr<DAVAuthTokenResult> {
    if (error) *error = DAVAuthErrorUtils::malformedJWTErrorWithToken(token, std::move(underlying));
    return nullptr;
  };
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t dot = token.find('.', start);
    parts.push_back(token.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 3) return fail(nullptr);
  std::string payload = parts[1];
  for (char& c : payload) {
    if (c == '_') c = '/';
  }
  for (char& c : payload) {
    if (c == '-') c = '+';
  }
  while (payload.size() % 4 != 0) payload += '=';
  auto bytes = platform::base64Decode(payload, true);
  if (!bytes) return fail(nullptr);
  nlohmann::json claims;
  try {
    claims = dav_auth_json::parse(*bytes);
  } catch (const nlohmann::json::exception& e) {
    return fail(std::make_shared<platform::Error>(
        "NSCocoaErrorDomain", 3840, platform::Dictionary{{platform::kLocalizedDescriptionKey, std::string(e.what())}}));
  }
  // The service always issues an object; anything else counts as an undecodable payload.
  if (!claims.is_object()) return fail(nullptr);
  platform::Date exp{secondsForClaim(claims, "exp")};
  platform::Date authTime{secondsForClaim(claims, "auth_time")};
  platform::Date iat{secondsForClaim(claims, "iat")};
  std::optional<std::string> provider = dav_auth_json::stringForKey(claims, "sign_in_provider");
  platform::Value claimsValue = dav_auth_json::toValue(claims);
  platform::Dictionary claimsDictionary;
  if (const auto* d = claimsValue.asDictionary()) claimsDictionary = *d;
  return std::make_shared<DAVAuthTokenResult>(token, exp, authTime, iat, provider, std::move(claimsDictionary));
}

// --- Account info -----------------------------------------------------------------------------------

void DAVUser::reloadWithCompletion(DAVUserProfileChangeCallback completion) {
  auto self = shared_from_this();
  DAVAuthGlobalWorkQueue()->async([self, completion] {
    self->getAccountInfoRefreshingCache([completion](std::shared_ptr<const DAVGetAccountInfoResponseUser>, ErrorPtr error) {
      if (completion) mainAsync([completion, error] { completion(error); });
    });
  });
}

void DAVUser::getAccountInfoRefreshingCache(DAVGetAccountInfoUserCallback callback) {
  auto self = shared_from_this();
  internalGetTokenWithCallback([self, callback](std::optional<std::string> token, ErrorPtr error) {
    if (error || !token) {
      callback(nullptr, error ? error : DAVAuthErrorUtils::invalidUserTokenErrorWithMessage());
      return;
    }
    auto auth = self->auth();
    auto configuration = auth ? auth->requestConfiguration() : self->requestConfiguration();
    auto request = std::make_shared<DAVGetAccountInfoRequest>(*token, configuration);
    DAVAuthBackend::getAccountInfo(request, [self, callback](std::shared_ptr<DAVGetAccountInfoResponse> response,
                                                             ErrorPtr error) {
      if (error || !response) {
        self->signOutIfTokenIsInvalidWithError(error);
        callback(nullptr, error);
        return;
      }
      self->updateWithGetAccountInfoResponse(*response);
      ErrorPtr saveError;
      if (!self->updateKeychain(&saveError)) {
        callback(nullptr, saveError);
        return;
      }
      callback(response->users().empty() ? nullptr : response->users().front(), nullptr);
    });
  });
}

void DAVUser::updateWithGetAccountInfoResponse(const DAVGetAccountInfoResponse& response) {
  if (response.users().empty()) return;
  const auto& user = *response.users().front();
  std::map<std::string, std::shared_ptr<const DAVUserInfoImpl>> providers;
  if (user.providerUserInfo()) {
    for (const auto& record : *user.providerUserInfo()) {
      if (!record) continue;
      auto info = DAVUserInfoImpl::userInfoWithGetAccountInfoResponseProviderUserInfo(*record);
      if (info && info->providerID()) providers[*info->providerID()] = info;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  userID_ = user.localID();
  email_ = user.email();
  emailVerified_ = user.emailVerified();
  displayName_ = user.displayName();
  photoURL_ = user.photoURL();
  phoneNumber_ = user.phoneNumber();
  hasEmailPasswordCredential_ = user.passwordHash() && !user.passwordHash()->empty();
  metadata_ = std::make_shared<DAVUserMetadata>(user.creationDate(), user.lastLoginDate());
  providerData_ = std::move(providers);
}

void DAVUser::setTokenService(DAVSecureTokenServicePtr tokenService, DAVUserProfileChangeCallback callback) {
  auto self = shared_from_this();
  tokenService->fetchAccessTokenForcingRefresh(
      false, [self, tokenService, callback](std::optional<std::string>, ErrorPtr error, bool) {
        if (error) {
          callback(error);
          return;
        }
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          self->tokenService_ = tokenService;
        }
        ErrorPtr saveError;
        self->updateKeychain(&saveError);
        callback(saveError);
      });
}

void DAVUser::signOutIfTokenIsInvalidWithError(const ErrorPtr& error) {
  if (!error) return;
  const int64_t code = error->code();
  if (code == DAVAuthErrorCodeUserDisabled || code == DAVAuthErrorCodeUserNotFound ||
      code == DAVAuthErrorCodeInvalidUserToken || code == DAVAuthErrorCodeUserTokenExpired) {
    DAVLogNotice(kDAVLoggerAuth, "I-AUT000016", "Invalid user token detected, user is automatically signed out.");
    if (auto auth = this->auth()) auth->signOutByForceWithUserID(uid(), nullptr);
  }
}

bool DAVUser::updateKeychain(ErrorPtr* error) {
  auto auth = this->auth();
  // Without an auth client there is nothing to save; reporting success keeps every flow ending in
  // either a result or an error.
  if (!auth) return true;
  return auth->updateKeychainWithUser(shared_from_this(), error);
}

// --- Archiving --------------------------------------------------------------------------------------

void DAVUser::encodeWithCoder(platform::KeyedArchiver& coder) const {
  std::shared_ptr<DAVAuth> auth;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    coder.encodeString("userID", userID_);
    coder.encodeBool("anonymous", anonymous_);
    coder.encodeBool("hasEmailPassword", hasEmailPasswordCredential_);
    coder.encodeObjectDictionary("providerData", providerData_);
    coder.encodeString("email", email_);
    coder.encodeString("phoneNumber", phoneNumber_);
    coder.encodeBool("emailVerified", emailVerified_);
    coder.encodeString("photoURL", photoURL_);
    coder.encodeString("displayName", displayName_);
    coder.encodeObject("metadata", metadata_.get());
    auth = auth_.lock();
  }
  std::optional<std::string> APIKey;
  if (auth && auth->requestConfiguration()) APIKey = auth->requestConfiguration()->APIKey();
  coder.encodeString("APIKey", APIKey);
  coder.encodeObject("tokenService", tokenService().get());
}

DAVUserPtr DAVUser::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto userID = coder.decodeString("userID");
  const bool hasAnonymousKey = coder.containsValueForKey("anonymous");
  const bool anonymous = coder.decodeBool("anonymous");
  const bool hasEmailPassword = coder.decodeBool("hasEmailPassword");
  auto displayName = coder.decodeString("displayName");
  auto photoURL = coder.decodeString("photoURL");
  auto email = coder.decodeString("email");
  auto phoneNumber = coder.decodeString("phoneNumber");
  const bool emailVerified = coder.decodeBool("emailVerified");
  auto providerData = coder.decodeObjectDictionaryOfClass<DAVUserInfoImpl>("providerData");
  auto tokenService = coder.decodeObjectOfClass<DAVSecureTokenService>("tokenService");
  auto metadata = coder.decodeObjectOfClass<DAVUserMetadata>("metadata");
  auto APIKey = coder.decodeString("APIKey");
  if (!tokenService || !userID) return nullptr;

  DAVUserPtr user = initWithTokenService(tokenService);
  std::lock_guard<std::mutex> lock(user->mutex_);
  user->userID_ = userID;
  user->displayName_ = displayName;
  user->photoURL_ = photoURL;
  user->email_ = email;
  user->phoneNumber_ = phoneNumber;
  user->emailVerified_ = emailVerified;
  user->hasEmailPasswordCredential_ = hasEmailPassword;
  if (providerData) {
    for (auto& [key, info] : *providerData) user->providerData_[key] = info;
  }
  if (hasAnonymousKey) {
    user->anonymous_ = anonymous;
  } else {
    user->anonymous_ = hasEmailPassword ? false : user->providerData_.empty();
  }
  user->metadata_ = metadata ? std::shared_ptr<const DAVUserMetadata>(metadata)
                             : std::make_shared<DAVUserMetadata>(std::nullopt, std::nullopt);
  user->requestConfiguration_ = DAVAuthRequestConfiguration::initWithAPIKey(APIKey.value_or(""));
  return user;
}

std::string DAVUser::description() const {
  // Never the tokens: descriptions end up in logs.
  std::lock_guard<std::mutex> lock(mutex_);
  return "<DAVUser uid=" + userID_.value_or("(none)") + ">";
}

// --- Account operations ------------------------------------------------------------------------------

DAVAuthRequestConfigurationPtr DAVUser::authRequestConfiguration() const {
  auto auth = this->auth();
  return auth ? auth->requestConfiguration() : requestConfiguration();
}

void DAVUser::executeUserUpdateWithChanges(DAVUserUpdateChangeBlock changes, DAVUserErrorCallback callback) {
  auto self = shared_from_this();
  taskQueue_.enqueueTask([self, changes, callback](DAVAuthSerialTaskCompletionBlock complete) {
    // Every exit ends the task first, so that the next update of this user starts only after it.
    auto finish = [complete, callback](ErrorPtr error) {
      complete();
      callback(error);
    };
    self->getAccountInfoRefreshingCache([self, changes, finish](
                                            std::shared_ptr<const DAVGetAccountInfoResponseUser> record, ErrorPtr error) {
      if (error) return finish(error);
      self->internalGetTokenWithCallback([self, changes, finish, record](std::optional<std::string> token, ErrorPtr error) {
        if (error) return finish(error);
        auto configuration = self->authRequestConfiguration();
        auto request = std::make_shared<DAVSetAccountInfoRequest>(configuration);
        request->setAccessToken(token);
        changes(record, *request);
        DAVAuthBackend::setAccountInfo(request, [self, configuration, finish](
                                                    std::shared_ptr<DAVSetAccountInfoResponse> response, ErrorPtr error) {
          if (error || !response) {
            self->signOutIfTokenIsInvalidWithError(error);
            return finish(error);
          }
          if (response->IDToken() && response->refreshToken()) {
            auto service = std::make_shared<DAVSecureTokenService>(configuration, response->IDToken(),
                                                                   response->approximateExpirationDate(),
                                                                   response->refreshToken());
            return self->setTokenService(service, finish);
          }
          finish(nullptr);
        });
      });
    });
  });
}

void DAVUser::updateEmail(std::optional<std::string> email, std::optional<std::string> password,
                          DAVUserErrorCallback callback) {
  if (password && password->empty()) {
    callback(DAVAuthErrorUtils::weakPasswordErrorWithServerResponseReason("Missing Password"));
    return;
  }
  const bool hadEmailPasswordCredential = hasEmailPasswordCredential();
  auto self = shared_from_this();
  executeUserUpdateWithChanges(
      [email, password](std::shared_ptr<const DAVGetAccountInfoResponseUser>, DAVSetAccountInfoRequest& request) {
        if (email) request.setEmail(email);
        if (password) request.setPassword(password);
      },
      [self, email, hadEmailPasswordCredential, callback](ErrorPtr error) {
        if (error) return callback(error);
        if (email) {
          std::lock_guard<std::mutex> lock(self->mutex_);
          self->email_ = email;
        }
        auto save = [self, callback] {
          ErrorPtr saveError;
          self->updateKeychain(&saveError);
          callback(saveError);
        };
        if (!self->email() || hadEmailPasswordCredential) return save();
        // A first e-mail credential: the account's provider records decide whether it stays anonymous.
        self->internalGetTokenWithCallback([self, callback, save](std::optional<std::string> token, ErrorPtr error) {
          if (error) return callback(error);
          auto request = std::make_shared<DAVGetAccountInfoRequest>(*token, self->authRequestConfiguration());
          DAVAuthBackend::getAccountInfo(request, [self, callback, save](
                                                      std::shared_ptr<DAVGetAccountInfoResponse> response, ErrorPtr error) {
            if (error || !response) {
              self->signOutIfTokenIsInvalidWithError(error);
              return callback(error);
            }
            for (const auto& user : response->users())
              if (user && user->providerUserInfo() && !user->providerUserInfo()->empty()) self->setAnonymous(false);
            self->updateWithGetAccountInfoResponse(*response);
            save();
          });
        });
      });
}

void DAVUser::updateEmail(const std::string& email, DAVUserErrorCallback completion) {
  auto self = shared_from_this();
  DAVAuthGlobalWorkQueue()->async([self, email, completion] {
    self->updateEmail(email, std::nullopt, [completion](ErrorPtr error) {
      if (completion) mainAsync([completion, error] { completion(error); });
    });
  });
}

void DAVUser::updatePassword(const std::string& password, DAVUserErrorCallback completion) {
  auto self = shared_from_this();
  DAVAuthGlobalWorkQueue()->async([self, password, completion] {
    self->updateEmail(std::nullopt, password, [completion](ErrorPtr error) {
      if (completion) mainAsync([completion, error] { completion(error); });
    });
  });
}

std::shared_ptr<DAVUserProfileChangeRequest> DAVUser::profileChangeRequest() {
  std::shared_ptr<DAVUserProfileChangeRequest> request;
  auto make = [&] { request = std::make_shared<DAVUserProfileChangeRequest>(shared_from_this()); };
  auto queue = DAVAuthGlobalWorkQueue();
  if (queue->isCurrent()) {
    make();
  } else {
    queue->sync(make);
  }
  return request;
}

void DAVUser::reauthenticateWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                           DAVUserErrorCallback completion) {
  reauthenticateAndRetrieveDataWithCredential(
      std::move(credential), [completion](std::shared_ptr<DAVAuthDataResult>, ErrorPtr error) {
        if (completion) completion(error);  // already on the main queue
      });
}

void DAVUser::reauthenticateAndRetrieveDataWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                                          DAVUserDataResultCallback completion) {
  DAVAuth::checkCredential(credential);
  auto self = shared_from_this();
  auto deliver = [completion](std::shared_ptr<DAVAuthDataResult> result, ErrorPtr error) {
    if (completion) mainAsync([completion, result, error] { completion(result, error); });
  };
  DAVAuthGlobalWorkQueue()->async([self, credential, deliver] {
    auto auth = self->auth();
    if (!auth) return deliver(nullptr, DAVAuthErrorUtils::nullUserErrorWithMessage());
    auth->internalSignInAndRetrieveDataWithCredential(
        credential, true, [self, auth, deliver](std::shared_ptr<DAVAuthDataResult> result, ErrorPtr error) {
          if (error) {
            // No account for this credential is another user than this one.
            if (error->code() == DAVAuthErrorCodeUserNotFound) error = DAVAuthErrorUtils::userMismatchError();
            return deliver(result, error);
          }
          auto other = result ? result->user() : nullptr;
          if (!other || !other->uid() || other->uid() != auth->getUserID())
            return deliver(result, DAVAuthErrorUtils::userMismatchError());
          self->setTokenService(other->tokenService(), [result, deliver](ErrorPtr error) { deliver(result, error); });
        });
  });
}

void DAVUser::linkWithCredential(std::shared_ptr<const DAVAuthCredential> credential, DAVUserResultCallback completion) {
  linkAndRetrieveDataWithCredential(std::move(credential),
                                    [completion](std::shared_ptr<DAVAuthDataResult> result, ErrorPtr error) {
                                      if (completion) completion(result ? result->user() : nullptr, error);
                                    });
}

void DAVUser::linkAndRetrieveDataWithCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                                DAVUserDataResultCallback completion) {
  DAVAuth::checkCredential(credential);
  auto self = shared_from_this();
  auto deliver = [completion](std::shared_ptr<DAVAuthDataResult> result, ErrorPtr error) {
    if (completion) mainAsync([completion, result, error] { completion(result, error); });
  };
  DAVAuthGlobalWorkQueue()->async([self, credential, deliver] {
    if (!credential) return deliver(nullptr, DAVAuthErrorUtils::invalidCredentialErrorWithMessage());
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->providerData_.count(credential->provider()))
        return deliver(nullptr, DAVAuthErrorUtils::providerAlreadyLinkedError());
    }
    auto result = std::make_shared<DAVAuthDataResult>(self, nullptr);
    if (auto email = std::dynamic_pointer_cast<const DAVEmailPasswordAuthCredential>(credential)) {
      if (self->hasEmailPasswordCredential()) return deliver(nullptr, DAVAuthErrorUtils::providerAlreadyLinkedError());
      if (email->link()) return self->linkWithEmailLink(email->email(), *email->link(), result, deliver);
      self->updateEmail(email->email(), email->password(), [self, result, deliver](ErrorPtr error) {
        if (error) return deliver(nullptr, error);
        // Any successful link gives the account an identity of its own (the update saved the rest).
        if (self->isAnonymous()) {
          self->setAnonymous(false);
          ErrorPtr saveError;
          if (!self->updateKeychain(&saveError)) return deliver(nullptr, saveError);
        }
        deliver(result, nullptr);
      });
      return;
    }
    if (std::dynamic_pointer_cast<const DAVGameCenterAuthCredential>(credential))
      return self->linkWithGameCenterCredential(credential, result, deliver);
    self->linkWithFederatedCredential(credential, deliver);
  });
}

void DAVUser::linkWithGameCenterCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                           std::shared_ptr<DAVAuthDataResult> result, DAVUserDataResultCallback deliver) {
  auto player = std::static_pointer_cast<const DAVGameCenterAuthCredential>(credential);
  auto self = shared_from_this();
  // The token's error is not examined: the request goes without one and the backend decides.
  internalGetTokenWithCallback([self, player, result, deliver](std::optional<std::string> token, ErrorPtr) {
    auto request = std::make_shared<DAVSignInWithGameCenterRequest>(
        player->playerID(), player->publicKeyURL(), player->signature(), player->salt(), player->timestamp(),
        player->displayName(), self->authRequestConfiguration());
    request->setAccessToken(token);
    DAVAuthBackend::signInWithGameCenter(
        request, [self, result, deliver](std::shared_ptr<DAVSignInWithGameCenterResponse>, ErrorPtr error) {
          if (error) return deliver(nullptr, error);
          self->finishLink(result, deliver);
        });
  });
}

void DAVUser::linkWithEmailLink(const std::string& email, const std::string& link,
                                std::shared_ptr<DAVAuthDataResult> result, DAVUserDataResultCallback deliver) {
  auto self = shared_from_this();
  taskQueue_.enqueueTask([self, email, link, result, deliver](DAVAuthSerialTaskCompletionBlock complete) {
    auto finish = [complete, deliver](std::shared_ptr<DAVAuthDataResult> outcome, ErrorPtr error) {
      complete();
      deliver(outcome, error);
    };
    const std::optional<std::string> oobCode = DAVAuth::oobCodeOfEmailLink(link);
    if (!oobCode) return finish(nullptr, DAVAuthErrorUtils::invalidActionCodeErrorWithMessage());
    self->internalGetTokenWithCallback([self, email, oobCode, result, finish](std::optional<std::string> token,
                                                                              ErrorPtr error) {
      if (error) return finish(nullptr, error);
      auto configuration = self->authRequestConfiguration();
      // The code proves the address and is used up; the reply is the account's new session.
      auto request = std::make_shared<DAVEmailLinkSignInRequest>(email, *oobCode, configuration);
      request->setIDToken(token);
      DAVAuthBackend::emailLinkSignin(request, [self, configuration, result, finish](
                                                   std::shared_ptr<DAVEmailLinkSignInResponse> response, ErrorPtr error) {
        if (error || !response) {
          self->signOutIfTokenIsInvalidWithError(error);
          return finish(nullptr, error);
        }
        self->adoptLinkSession(configuration, response->IDToken(), response->approximateExpirationDate(),
                               response->refreshToken());
        self->finishLink(result, finish);
      });
    });
  });
}

void DAVUser::adoptLinkSession(const DAVAuthRequestConfigurationPtr& configuration,
                               const std::optional<std::string>& IDToken,
                               const std::optional<platform::Date>& expirationDate,
                               const std::optional<std::string>& refreshToken) {
  // Taken at once, without a fetch: the reply's tokens are the account's new session. A reply without
  // them leaves the session as it is rather than one that cannot refresh.
  if (!IDToken || !refreshToken) return;
  std::lock_guard<std::mutex> lock(mutex_);
  tokenService_ = std::make_shared<DAVSecureTokenService>(configuration, IDToken, expirationDate, refreshToken);
}

void DAVUser::linkWithFederatedCredential(std::shared_ptr<const DAVAuthCredential> credential,
                                          DAVUserDataResultCallback deliver) {
  auto self = shared_from_this();
  taskQueue_.enqueueTask([self, credential, deliver](DAVAuthSerialTaskCompletionBlock complete) {
    auto finish = [complete, deliver](std::shared_ptr<DAVAuthDataResult> result, ErrorPtr error) {
      complete();
      deliver(result, error);
    };
    auto configuration = self->authRequestConfiguration();
    auto request = DAVVerifyAssertionRequest::requestWithCredential(*credential, configuration);
    // A credential restored without its proof: an error for the caller, never an exception here.
    if (!request->hasProof())
      return finish(nullptr, DAVAuthErrorUtils::invalidCredentialErrorWithMessage(kDAVVerifyAssertionNoProofReason));
    self->internalGetTokenWithCallback([self, configuration, request, finish](std::optional<std::string> token,
                                                                              ErrorPtr error) {
      if (error) return finish(nullptr, error);
      request->setAccessToken(token);
      DAVAuthBackend::verifyAssertion(request, [self, configuration, finish](
                                                   std::shared_ptr<DAVVerifyAssertionResponse> response, ErrorPtr error) {
        if (error || !response) {
          self->signOutIfTokenIsInvalidWithError(error);
          return finish(nullptr, error);
        }
        auto result = std::make_shared<DAVAuthDataResult>(
            self, DAVAdditionalUserInfo::userInfoWithVerifyAssertionResponse(*response));
        self->adoptLinkSession(configuration, response->IDToken(), response->approximateExpirationDate(),
                               response->refreshToken());
        self->finishLink(result, finish);
      });
    });
  });
}

void DAVUser::finishLink(std::shared_ptr<DAVAuthDataResult> result, DAVUserDataResultCallback deliver) {
  auto self = shared_from_this();
  internalGetTokenWithCallback([self, result, deliver](std::optional<std::string> token, ErrorPtr error) {
    if (error) return deliver(nullptr, error);
    auto request = std::make_shared<DAVGetAccountInfoRequest>(*token, self->authRequestConfiguration());
    DAVAuthBackend::getAccountInfo(request, [self, result, deliver](std::shared_ptr<DAVGetAccountInfoResponse> response,
                                                                    ErrorPtr error) {
      if (error || !response) {
        self->signOutIfTokenIsInvalidWithError(error);
        return deliver(nullptr, error);
      }
      self->setAnonymous(false);
      self->updateWithGetAccountInfoResponse(*response);
      ErrorPtr saveError;
      if (!self->updateKeychain(&saveError)) return deliver(nullptr, saveError);
      deliver(result, nullptr);
    });
  });
}

void DAVUser::unlinkFromProvider(const std::string& provider, DAVUserResultCallback completion) {
  auto self = shared_from_this();
  taskQueue_.enqueueTask([self, provider, completion](DAVAuthSerialTaskCompletionBlock complete) {
    auto finish = [self, complete, completion](ErrorPtr error) {
      complete();
      if (!completion) return;
      DAVUserPtr user = error ? nullptr : self;
      mainAsync([completion, user, error] { completion(user, error); });
    };
    self->internalGetTokenWithCallback([self, provider, finish](std::optional<std::string> token, ErrorPtr error) {
      if (error) return finish(error);
      auto configuration = self->authRequestConfiguration();
      auto request = std::make_shared<DAVSetAccountInfoRequest>(configuration);
      request->setAccessToken(token);
      const bool isPassword = provider == kDAVEmailAuthProviderID;
      if (isPassword) {
        if (!self->hasEmailPasswordCredential()) return finish(DAVAuthErrorUtils::noSuchProviderError());
        request->setDeleteAttributes(std::vector<std::string>{kDAVSetAccountInfoUserAttributePassword});
      } else {
        bool linked;
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          linked = self->providerData_.count(provider) > 0;
        }
        if (!linked) return finish(DAVAuthErrorUtils::noSuchProviderError());
        request->setDeleteProviders(std::vector<std::string>{provider});
      }
      DAVAuthBackend::setAccountInfo(request, [self, provider, isPassword, configuration, finish](
                                                  std::shared_ptr<DAVSetAccountInfoResponse> response, ErrorPtr error) {
        if (error || !response) {
          self->signOutIfTokenIsInvalidWithError(error);
          return finish(error);
        }
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          self->providerData_.erase(provider);
          if (isPassword) self->hasEmailPasswordCredential_ = false;
        }
        if (response->IDToken() && response->refreshToken()) {
          auto service = std::make_shared<DAVSecureTokenService>(configuration, response->IDToken(),
                                                                 response->approximateExpirationDate(),
                                                                 response->refreshToken());
          return self->setTokenService(service, finish);
        }
        ErrorPtr saveError;
        self->updateKeychain(&saveError);
        finish(saveError);
      });
    });
  });
}

void DAVUser::sendEmailVerificationWithCompletion(DAVUserErrorCallback completion) {
  sendEmailVerificationWithNullableActionCodeSettings(nullptr, std::move(completion));
}

void DAVUser::sendEmailVerificationWithActionCodeSettings(const DAVActionCodeSettings& actionCodeSettings,
                                                          DAVUserErrorCallback completion) {
  sendEmailVerificationWithNullableActionCodeSettings(std::make_shared<const DAVActionCodeSettings>(actionCodeSettings),
                                                      std::move(completion));
}

void DAVUser::sendEmailVerificationWithNullableActionCodeSettings(std::shared_ptr<const DAVActionCodeSettings> settings,
                                                                  DAVUserErrorCallback completion) {
  auto self = shared_from_this();
  auto deliver = [completion](ErrorPtr error) {
    if (completion) mainAsync([completion, error] { completion(error); });
  };
  DAVAuthGlobalWorkQueue()->async([self, settings, deliver] {
    self->internalGetTokenWithCallback([self, settings, deliver](std::optional<std::string> token, ErrorPtr error) {
      if (error) return deliver(error);
      auto request = DAVGetOOBConfirmationCodeRequest::verifyEmailRequestWithAccessToken(
          *token, settings.get(), self->authRequestConfiguration());
      DAVAuthBackend::getOOBConfirmationCode(
          request, [self, deliver](std::shared_ptr<DAVGetOOBConfirmationCodeResponse>, ErrorPtr error) {
            self->signOutIfTokenIsInvalidWithError(error);
            deliver(error);
          });
    });
  });
}

void DAVUser::deleteWithCompletion(DAVUserErrorCallback completion) {
  auto self = shared_from_this();
  auto deliver = [completion](ErrorPtr error) {
    if (completion) mainAsync([completion, error] { completion(error); });
  };
  DAVAuthGlobalWorkQueue()->async([self, deliver] {
    self->internalGetTokenWithCallback([self, deliver](std::optional<std::string> token, ErrorPtr error) {
      if (error) return deliver(error);
      auto request = std::make_shared<DAVDeleteAccountRequest>(self->uid().value_or(""), *token,
                                                               self->authRequestConfiguration());
      DAVAuthBackend::deleteAccount(request, [self, deliver](ErrorPtr error) {
        if (error) return deliver(error);
        ErrorPtr signOutError;
        if (auto auth = self->auth()) auth->signOutByForceWithUserID(self->uid(), &signOutError);
        deliver(signOutError);
      });
    });
  });
}
