#include "auth/DAVResetPasswordResponse.h"

#include "auth/DAVAuthJSON.h"

bool DAVResetPasswordResponse::setWithDictionary(const nlohmann::json& dictionary, platform::ErrorPtr* error) {
  using namespace dav_auth_json;
  if (error) *error = nullptr;
  email_ = stringForKey(dictionary, "email");
  verifiedEmail_ = stringForKey(dictionary, "newEmail");
  requestType_ = stringForKey(dictionary, "requestType");
  return true;
}
