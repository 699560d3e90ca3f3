#include "auth/DAVSecureTokenRequest.h"

#include <mutex>

namespace {

std::mutex& hostMutex() {
  static std::mutex mutex;
  return mutex;
}

constexpr const char kDefaultHost[] = "securetoken.davedoveapis.com";

std::string& hostStorage() {
  static std::string host = kDefaultHost;
  return host;
}

}  // namespace

DAVSecureTokenRequest::DAVSecureTokenRequest(uint64_t grantType, std::optional<std::string> scope,
                                             std::optional<std::string> refreshToken, std::optional<std::string> code,
                                             DAVAuthRequestConfigurationPtr requestConfiguration)
    : requestConfiguration_(std::move(requestConfiguration)),
      grantType_(grantType),
      scope_(std::move(scope)),
      refreshToken_(std::move(refreshToken)),
      code_(std::move(code)) {
  if (requestConfiguration_) APIKey_ = requestConfiguration_->APIKey();
}

std::shared_ptr<DAVSecureTokenRequest> DAVSecureTokenRequest::refreshRequestWithRefreshToken(
    const std::string& refreshToken, DAVAuthRequestConfigurationPtr requestConfiguration) {
  return std::make_shared<DAVSecureTokenRequest>(DAVSecureTokenRequestGrantTypeRefreshToken, std::nullopt,
                                                 refreshToken, std::nullopt, std::move(requestConfiguration));
}

std::shared_ptr<DAVSecureTokenRequest> DAVSecureTokenRequest::authCodeRequestWithCode(
    const std::optional<std::string>& code, DAVAuthRequestConfigurationPtr requestConfiguration) {
  return std::make_shared<DAVSecureTokenRequest>(DAVSecureTokenRequestGrantTypeAuthorizationCode, std::nullopt,
                                                 std::nullopt, code, std::move(requestConfiguration));
}

std::string DAVSecureTokenRequest::grantTypeStringWithGrantType(uint64_t grantType) {
  return grantType == DAVSecureTokenRequestGrantTypeRefreshToken ? "refresh_token" : "authorization_code";
}

std::string DAVSecureTokenRequest::host() {
  std::lock_guard<std::mutex> lock(hostMutex());
  return hostStorage();
}

void DAVSecureTokenRequest::setHost(const std::string& host) {
  std::lock_guard<std::mutex> lock(hostMutex());
  hostStorage() = host;
}

std::string DAVSecureTokenRequest::requestURL() const {
  std::optional<std::string> base;
  // A host set on the class wins over the options' service URL; at its default, the options decide.
  const std::string classHost = host();
  if (requestConfiguration_ && classHost == kDefaultHost) base = requestConfiguration_->secureTokenServiceURL();
  return DAVAuthMakeServiceURL(base, classHost, "/v1/token", APIKey_);
}

std::optional<nlohmann::json> DAVSecureTokenRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = nlohmann::json::object();
  body["grantType"] = grantTypeStringWithGrantType(grantType_);
  if (scope_) body["scope"] = *scope_;
  if (refreshToken_) body["refreshToken"] = *refreshToken_;
  if (code_) body["code"] = *code_;
  return body;
}
