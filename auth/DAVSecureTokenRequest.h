// The token exchange at the secure-token service ("/v1/token").
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "auth/DAVAuthRPCRequest.h"

enum DAVSecureTokenRequestGrantType : uint64_t {
  DAVSecureTokenRequestGrantTypeAuthorizationCode = 0,
  DAVSecureTokenRequestGrantTypeRefreshToken = 1,
};

class DAVSecureTokenRequest : public DAVAuthRPCRequest {
 public:
  DAVSecureTokenRequest(uint64_t grantType, std::optional<std::string> scope, std::optional<std::string> refreshToken,
                        std::optional<std::string> code, DAVAuthRequestConfigurationPtr requestConfiguration);

  static std::shared_ptr<DAVSecureTokenRequest> refreshRequestWithRefreshToken(
      const std::string& refreshToken, DAVAuthRequestConfigurationPtr requestConfiguration);
  static std::shared_ptr<DAVSecureTokenRequest> authCodeRequestWithCode(
      const std::optional<std::string>& code, DAVAuthRequestConfigurationPtr requestConfiguration);
  // 1 "refresh_token", anything else "authorization_code".
  static std::string grantTypeStringWithGrantType(uint64_t grantType);

  // Process-wide host name. Set to anything but its default it wins over the configuration's service
  // URL; at its default it is used only when the configuration names no service URL.
  static std::string host();
  static void setHost(const std::string& host);

  uint64_t grantType() const { return grantType_; }
  const std::optional<std::string>& scope() const { return scope_; }
  const std::optional<std::string>& refreshToken() const { return refreshToken_; }
  const std::optional<std::string>& code() const { return code_; }
  const std::string& APIKey() const { return APIKey_; }
  DAVAuthRequestConfigurationPtr requestConfiguration() const override { return requestConfiguration_; }

  // ".../v1/token?key=<API key>"
  std::string requestURL() const override;
  bool containsPostBody() const override { return true; }
  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  DAVAuthRequestConfigurationPtr requestConfiguration_;
  uint64_t grantType_;
  std::optional<std::string> scope_;
  std::optional<std::string> refreshToken_;
  std::optional<std::string> code_;
  std::string APIKey_;
};
