#include "auth/DAVAuthRequestConfiguration.h"

#include "sdk-core/DAVOptions.h"

DAVAuthRequestConfiguration::DAVAuthRequestConfiguration(std::string APIKey) : APIKey_(std::move(APIKey)) {}

std::shared_ptr<DAVAuthRequestConfiguration> DAVAuthRequestConfiguration::initWithAPIKey(const std::string& APIKey) {
  return std::make_shared<DAVAuthRequestConfiguration>(APIKey);
}

std::shared_ptr<DAVAuthRequestConfiguration> DAVAuthRequestConfiguration::initWithOptions(const DAVOptions& options) {
  auto configuration = initWithAPIKey(options.APIKey().value_or(""));
  configuration->setIdentityServiceURL(options.identityServiceURL());
  configuration->setSecureTokenServiceURL(options.secureTokenServiceURL());
  return configuration;
}

std::optional<std::string> DAVAuthRequestConfiguration::languageCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return languageCode_;
}

void DAVAuthRequestConfiguration::setLanguageCode(std::optional<std::string> languageCode) {
  std::lock_guard<std::mutex> lock(mutex_);
  languageCode_ = std::move(languageCode);
}

std::optional<std::string> DAVAuthRequestConfiguration::additionalFrameworkMarker() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return additionalFrameworkMarker_;
}

void DAVAuthRequestConfiguration::setAdditionalFrameworkMarker(std::optional<std::string> marker) {
  std::lock_guard<std::mutex> lock(mutex_);
  additionalFrameworkMarker_ = std::move(marker);
}

std::optional<std::string> DAVAuthRequestConfiguration::identityServiceURL() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return identityServiceURL_;
}

void DAVAuthRequestConfiguration::setIdentityServiceURL(std::optional<std::string> url) {
  std::lock_guard<std::mutex> lock(mutex_);
  identityServiceURL_ = std::move(url);
}

std::optional<std::string> DAVAuthRequestConfiguration::secureTokenServiceURL() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return secureTokenServiceURL_;
}

void DAVAuthRequestConfiguration::setSecureTokenServiceURL(std::optional<std::string> url) {
  std::lock_guard<std::mutex> lock(mutex_);
  secureTokenServiceURL_ = std::move(url);
}
