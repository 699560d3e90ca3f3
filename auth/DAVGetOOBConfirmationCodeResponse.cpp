#include "auth/DAVGetOOBConfirmationCodeResponse.h"

#include "auth/DAVAuthJSON.h"

bool DAVGetOOBConfirmationCodeResponse::setWithDictionary(const nlohmann::json& dictionary,
                                                          platform::ErrorPtr* error) {
  if (error) *error = nullptr;
  OOBCode_ = dav_auth_json::stringForKey(dictionary, "oobCode");
  return true;
}
