// Base of every relying-party request of the identity service.
#pragma once

#include <string>

#include "auth/DAVAuthRPCRequest.h"

class DAVIdentityServiceRequest : public DAVAuthRPCRequest {
 public:
  DAVIdentityServiceRequest(std::string endpoint, DAVAuthRequestConfigurationPtr requestConfiguration);

  // Process-wide host name. Set to anything but its default it wins over the configuration's service
  // URL; at its default it is used only when the configuration names no service URL.
  static std::string host();
  static void setHost(const std::string& host);

  const std::string& endpoint() const { return endpoint_; }
  const std::string& APIKey() const { return APIKey_; }
  DAVAuthRequestConfigurationPtr requestConfiguration() const override { return requestConfiguration_; }

  // ".../identityservice/v3/relyingparty/<endpoint>?key=<API key>"
  std::string requestURL() const override;
  bool containsPostBody() const override { return true; }

 private:
  DAVAuthRequestConfigurationPtr requestConfiguration_;
  std::string endpoint_;
  std::string APIKey_;
};
