// A response of the backend transport: fills itself from the reply dictionary. Responses are
// platform objects so that an error can carry one in its user info.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

class DAVAuthRPCResponse : public platform::Object {
 public:
  // dictionary is a JSON object. Returns false (with *error set) when the reply is unusable.
  virtual bool setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) = 0;
  // A response may map a server message itself before the shared keyword table; null passes.
  virtual platform::ErrorPtr clientErrorWithShortErrorMessage(const std::string& shortErrorMessage,
                                                              const std::string& detailErrorMessage) const {
    return nullptr;
  }
};
