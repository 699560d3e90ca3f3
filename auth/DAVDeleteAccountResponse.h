// Reply of "deleteAccount": any reply is accepted.
#pragma once

#include "auth/DAVAuthRPCResponse.h"

class DAVDeleteAccountResponse : public DAVAuthRPCResponse {
 public:
  bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) override;
};
