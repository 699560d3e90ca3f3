// Reply of "createAuthUri".
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVCreateAuthURIResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<std::string>& authURI() const { return authURI_; }
  const std::optional<std::string>& providerID() const { return providerID_; }
  bool registered() const { return registered_; }
  bool forExistingProvider() const { return forExistingProvider_; }
  // nullopt when absent or not an array.
  const std::optional<platform::Array>& allProviders() const { return allProviders_; }
  const std::optional<platform::Array>& signinMethods() const { return signinMethods_; }

 private:
  std::optional<std::string> authURI_;
  std::optional<std::string> providerID_;
  bool registered_ = false;
  bool forExistingProvider_ = false;
  std::optional<platform::Array> allProviders_;
  std::optional<platform::Array> signinMethods_;
};
