// Holds a user's access token (its ID token), the token's expiry and the refresh token; answers token
// requests one at a time, from the cache while the token has more than five minutes to live and
// otherwise through the token exchange. Archived with the user.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "auth/DAVAuthRequestConfiguration.h"
#include "auth/DAVAuthSerialTaskQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"

// Seconds of life below which a cached token counts as expired.
inline constexpr double kDAVSecureTokenServiceExpirationThreshold = 300.0;

// Create with std::make_shared: a token request keeps the service alive until it has answered.
class DAVSecureTokenService : public platform::Coding, public std::enable_shared_from_this<DAVSecureTokenService> {
 public:
  // token: none on failure; tokenUpdated: the exchange changed the stored access or refresh token.
  using FetchCallback =
      std::function<void(std::optional<std::string> token, platform::ErrorPtr error, bool tokenUpdated)>;

  static constexpr const char* kArchiveClassName = "DAVSecureTokenService";

  DAVSecureTokenService();
  // The form used after every sign-in.
  DAVSecureTokenService(DAVAuthRequestConfigurationPtr requestConfiguration, std::optional<std::string> accessToken,
                        std::optional<platform::Date> accessTokenExpirationDate, std::optional<std::string> refreshToken);
  DAVSecureTokenService(DAVAuthRequestConfigurationPtr requestConfiguration, std::string authorizationCode);

  // Runs on the auth global work queue; the callback runs there too.
  void fetchAccessTokenForcingRefresh(bool forceRefresh, FetchCallback callback);

  std::optional<std::string> rawAccessToken() const;
  std::optional<std::string> refreshToken() const;
  std::optional<platform::Date> accessTokenExpirationDate() const;
  DAVAuthRequestConfigurationPtr requestConfiguration() const;
  void setRequestConfiguration(DAVAuthRequestConfigurationPtr requestConfiguration);

  // An access token whose expiry lies more than five minutes ahead.
  bool hasValidAccessToken() const;

  // Archive keys "APIKey", "refreshToken", "accessToken", "accessTokenExpirationDate".
  std::string archiveClassName() const override { return kArchiveClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // None without a refresh token. The owner sets the request configuration again afterwards.
  static std::shared_ptr<DAVSecureTokenService> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  void requestAccessToken(FetchCallback callback);

  DAVAuthSerialTaskQueue taskQueue_;
  mutable std::mutex mutex_;
  std::optional<std::string> authorizationCode_;
  std::optional<std::string> accessToken_;
  DAVAuthRequestConfigurationPtr requestConfiguration_;
  std::optional<std::string> refreshToken_;
  std::optional<platform::Date> accessTokenExpirationDate_;
};
using DAVSecureTokenServicePtr = std::shared_ptr<DAVSecureTokenService>;
