// Reply of "getOobConfirmationCode".
#pragma once

#include <optional>
#include <string>

#include "auth/DAVAuthRPCResponse.h"

class DAVGetOOBConfirmationCodeResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;
  const std::optional<std::string>& OOBCode() const { return OOBCode_; }

 private:
  std::optional<std::string> OOBCode_;
};
