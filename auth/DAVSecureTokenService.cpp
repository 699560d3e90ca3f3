#include "auth/DAVSecureTokenService.h"

#include "auth/DAVAuthBackend.h"
#include "auth/DAVAuthJSON.h"
#include "auth/DAVSecureTokenRequest.h"
#include "auth/DAVSecureTokenResponse.h"

namespace {
constexpr const char kAPIKeyCodingKey[] = "APIKey";
constexpr const char kRefreshTokenKey[] = "refreshToken";
constexpr const char kAccessTokenKey[] = "accessToken";
constexpr const char kAccessTokenExpirationDateKey[] = "accessTokenExpirationDate";
}  // namespace

DAVSecureTokenService::DAVSecureTokenService() = default;

DAVSecureTokenService::DAVSecureTokenService(DAVAuthRequestConfigurationPtr requestConfiguration,
                                             std::optional<std::string> accessToken,
                                             std::optional<platform::Date> accessTokenExpirationDate,
                                             std::optional<std::string> refreshToken)
    : accessToken_(std::move(accessToken)),
      requestConfiguration_(std::move(requestConfiguration)),
      refreshToken_(std::move(refreshToken)),
      accessTokenExpirationDate_(accessTokenExpirationDate) {}

DAVSecureTokenService::DAVSecureTokenService(DAVAuthRequestConfigurationPtr requestConfiguration,
                                             std::string authorizationCode)
    : authorizationCode_(std::move(authorizationCode)), requestConfiguration_(std::move(requestConfiguration)) {}

void DAVSecureTokenService::fetchAccessTokenForcingRefresh(bool forceRefresh, FetchCallback callback) {
  auto self = shared_from_this();
  taskQueue_.enqueueTask([self, forceRefresh, callback = std::move(callback)](DAVAuthSerialTaskCompletionBlock complete) {
    if (!forceRefresh && self->hasValidAccessToken()) {
      complete();
      if (callback) callback(self->rawAccessToken(), nullptr, false);
      return;
    }
    self->requestAccessToken(
        [complete, callback](std::optional<std::string> token, platform::ErrorPtr error, bool tokenUpdated) {
          complete();
          if (callback) callback(std::move(token), std::move(error), tokenUpdated);
        });
  });
}

void DAVSecureTokenService::requestAccessToken(FetchCallback callback) {
  std::shared_ptr<DAVSecureTokenRequest> request;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refreshToken_ && !refreshToken_->empty())
      request = DAVSecureTokenRequest::refreshRequestWithRefreshToken(*refreshToken_, requestConfiguration_);
    else
      request = DAVSecureTokenRequest::authCodeRequestWithCode(authorizationCode_, requestConfiguration_);
  }
  auto self = shared_from_this();
  DAVAuthBackend::secureToken(request, [self, callback = std::move(callback)](
                                           std::shared_ptr<DAVSecureTokenResponse> response, platform::ErrorPtr error) {
    bool tokenUpdated = false;
    std::optional<std::string> newAccessToken;
    if (response) {
      newAccessToken = response->accessToken();
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (newAccessToken && !newAccessToken->empty()) {
        if (newAccessToken != self->accessToken_) {
          self->accessToken_ = newAccessToken;
          tokenUpdated = true;
        }
        // The service may extend the life of the same token; its new expiry is kept either way.
        self->accessTokenExpirationDate_ = response->approximateExpirationDate();
      }
      const std::optional<std::string>& newRefreshToken = response->refreshToken();
      if (newRefreshToken && !newRefreshToken->empty() && newRefreshToken != self->refreshToken_) {
        self->refreshToken_ = newRefreshToken;
        tokenUpdated = true;
      }
    }
    callback(std::move(newAccessToken), std::move(error), tokenUpdated);
  });
}

std::optional<std::string> DAVSecureTokenService::rawAccessToken() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accessToken_;
}

std::optional<std::string> DAVSecureTokenService::refreshToken() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refreshToken_;
}

std::optional<platform::Date> DAVSecureTokenService::accessTokenExpirationDate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accessTokenExpirationDate_;
}

DAVAuthRequestConfigurationPtr DAVSecureTokenService::requestConfiguration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestConfiguration_;
}

void DAVSecureTokenService::setRequestConfiguration(DAVAuthRequestConfigurationPtr requestConfiguration) {
  std::lock_guard<std::mutex> lock(mutex_);
  requestConfiguration_ = std::move(requestConfiguration);
}

bool DAVSecureTokenService::hasValidAccessToken() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!accessToken_ || !accessTokenExpirationDate_) return false;
  const double secondsLeft = accessTokenExpirationDate_->secondsSince1970 - dav_auth_json::now().secondsSince1970;
  return secondsLeft > kDAVSecureTokenServiceExpirationThreshold;
}

void DAVSecureTokenService::encodeWithCoder(platform::KeyedArchiver& coder) const {
  std::lock_guard<std::mutex> lock(mutex_);
  coder.encodeString(kAPIKeyCodingKey,
                     requestConfiguration_ ? std::optional<std::string>(requestConfiguration_->APIKey()) : std::nullopt);
  coder.encodeString(kRefreshTokenKey, refreshToken_);
  coder.encodeString(kAccessTokenKey, accessToken_);
  coder.encodeDate(kAccessTokenExpirationDateKey, accessTokenExpirationDate_);
}

std::shared_ptr<DAVSecureTokenService> DAVSecureTokenService::initWithCoder(platform::KeyedUnarchiver& coder) {
  std::optional<std::string> refreshToken = coder.decodeString(kRefreshTokenKey);
  if (!refreshToken) return nullptr;
  return std::make_shared<DAVSecureTokenService>(nullptr, coder.decodeString(kAccessTokenKey),
                                                 coder.decodeDate(kAccessTokenExpirationDateKey),
                                                 std::move(refreshToken));
}
