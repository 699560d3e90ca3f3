#include "auth/DAVUser.h"

#include <nlohmann/json.hpp>

#include "auth/DAVAuth.h"
#include "auth/DAVAuthBackend.h"
#include "auth/DAVAuthErrorUtils.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "auth/DAVAuthJSON.h"
#include "auth/DAVGetAccountInfoRequest.h"
#include "auth/DAVGetAccountInfoResponse.h"
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
std::vector<std::shared_ptr<const DAVUserInfoImpl>> DAVUser::providerData() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<const DAVUserInfoImpl>> out;
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
