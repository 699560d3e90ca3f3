// What every identity-service request carries: the API key, the language code and the framework
// marker, and where the two services live.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class DAVOptions;

class DAVAuthRequestConfiguration {
 public:
  explicit DAVAuthRequestConfiguration(std::string APIKey);
  static std::shared_ptr<DAVAuthRequestConfiguration> initWithAPIKey(const std::string& APIKey);
  // The API key and the two service base URLs ("IDENTITY_SERVICE_URL", "SECURE_TOKEN_SERVICE_URL") of
  // the options; a missing API key gives "".
  static std::shared_ptr<DAVAuthRequestConfiguration> initWithOptions(const DAVOptions& options);

  const std::string& APIKey() const { return APIKey_; }

  std::optional<std::string> languageCode() const;
  void setLanguageCode(std::optional<std::string> languageCode);
  std::optional<std::string> additionalFrameworkMarker() const;
  void setAdditionalFrameworkMarker(std::optional<std::string> marker);

  // Base URLs ("scheme://host[:port]") of the two services. When none is set, requests go over https
  // to the process-wide hosts of DAVIdentityServiceRequest and DAVSecureTokenRequest.
  std::optional<std::string> identityServiceURL() const;
  void setIdentityServiceURL(std::optional<std::string> url);
  std::optional<std::string> secureTokenServiceURL() const;
  void setSecureTokenServiceURL(std::optional<std::string> url);

 private:
  const std::string APIKey_;
  mutable std::mutex mutex_;  // the auth client changes the language while requests read it
  std::optional<std::string> languageCode_;
  std::optional<std::string> additionalFrameworkMarker_;
  std::optional<std::string> identityServiceURL_;
  std::optional<std::string> secureTokenServiceURL_;
};
using DAVAuthRequestConfigurationPtr = std::shared_ptr<DAVAuthRequestConfiguration>;
