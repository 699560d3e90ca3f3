// Reply of "getProjectConfig".
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVGetProjectConfigResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;

  const std::optional<std::string>& projectID() const { return projectID_; }
  // nullopt unless the reply held an array (or the text of a JSON array).
  const std::optional<platform::Array>& authorizedDomains() const { return authorizedDomains_; }

 private:
  std::optional<std::string> projectID_;
  std::optional<platform::Array> authorizedDomains_;
};
