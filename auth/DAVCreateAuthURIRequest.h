// "createAuthUri": which sign-in methods an e-mail address has.
#pragma once

#include <optional>
#include <string>

#include "auth/DAVIdentityServiceRequest.h"

class DAVCreateAuthURIRequest : public DAVIdentityServiceRequest {
 public:
  DAVCreateAuthURIRequest(std::string identifier, std::string continueURI,
                          DAVAuthRequestConfigurationPtr requestConfiguration);

  const std::string& identifier() const { return identifier_; }
  void setIdentifier(std::string v) { identifier_ = std::move(v); }
  const std::string& continueURI() const { return continueURI_; }
  void setContinueURI(std::string v) { continueURI_ = std::move(v); }
  const std::optional<std::string>& openIDRealm() const { return openIDRealm_; }
  void setOpenIDRealm(std::optional<std::string> v) { openIDRealm_ = std::move(v); }
  const std::optional<std::string>& providerID() const { return providerID_; }
  void setProviderID(std::optional<std::string> v) { providerID_ = std::move(v); }
  const std::optional<std::string>& clientID() const { return clientID_; }
  void setClientID(std::optional<std::string> v) { clientID_ = std::move(v); }
  const std::optional<std::string>& context() const { return context_; }
  void setContext(std::optional<std::string> v) { context_ = std::move(v); }
  const std::optional<std::string>& appID() const { return appID_; }
  void setAppID(std::optional<std::string> v) { appID_ = std::move(v); }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  std::string identifier_;
  std::string continueURI_;
  std::optional<std::string> openIDRealm_;
  std::optional<std::string> providerID_;
  std::optional<std::string> clientID_;
  std::optional<std::string> context_;
  std::optional<std::string> appID_;
};
