#include "auth/DAVIdentityServiceRequest.h"

#include <mutex>

namespace {

std::mutex& hostMutex() {
  static std::mutex mutex;
  return mutex;
}

constexpr const char kDefaultHost[] = "identityservice.davedoveapis.com";

std::string& hostStorage() {
  static std::string host = kDefaultHost;
  return host;
}

}  // namespace

DAVIdentityServiceRequest::DAVIdentityServiceRequest(std::string endpoint,
                                                     DAVAuthRequestConfigurationPtr requestConfiguration)
    : requestConfiguration_(std::move(requestConfiguration)), endpoint_(std::move(endpoint)) {
  if (requestConfiguration_) APIKey_ = requestConfiguration_->APIKey();
}

std::string DAVIdentityServiceRequest::host() {
  std::lock_guard<std::mutex> lock(hostMutex());
  return hostStorage();
}

void DAVIdentityServiceRequest::setHost(const std::string& host) {
  std::lock_guard<std::mutex> lock(hostMutex());
  hostStorage() = host;
}

std::string DAVIdentityServiceRequest::requestURL() const {
  std::optional<std::string> base;
  // A host set on the class wins over the options' service URL; at its default, the options decide.
  const std::string classHost = host();
  if (requestConfiguration_ && classHost == kDefaultHost) base = requestConfiguration_->identityServiceURL();
  return DAVAuthMakeServiceURL(base, classHost, "/identityservice/v3/relyingparty/" + endpoint_, APIKey_);
}
