#include "auth/DAVDeleteAccountResponse.h"

bool DAVDeleteAccountResponse::setWithDictionary(const nlohmann::json&, platform::ErrorPtr* error) {
  if (error) *error = nullptr;
  return true;
}
