// The identity service's replies: the shared JSON decode, every response class, the server keyword
// table of error replies, and the ID-token parser (the input as a token and as a token's claims).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "auth/DAVAuthBackend.h"
#include "auth/DAVAuthJSON.h"
#include "auth/DAVCreateAuthURIResponse.h"
#include "auth/DAVDeleteAccountResponse.h"
#include "auth/DAVEmailLinkSignInResponse.h"
#include "auth/DAVGetAccountInfoResponse.h"
#include "auth/DAVGetOOBConfirmationCodeResponse.h"
#include "auth/DAVGetProjectConfigResponse.h"
#include "auth/DAVResetPasswordResponse.h"
#include "auth/DAVSecureTokenResponse.h"
#include "auth/DAVSetAccountInfoResponse.h"
#include "auth/DAVSignUpNewUserResponse.h"
#include "auth/DAVUser.h"
#include "auth/DAVVerifyPasswordResponse.h"
#include "platform/foundation/Base64.h"

namespace {

std::vector<std::unique_ptr<DAVAuthRPCResponse>> everyResponse() {
  std::vector<std::unique_ptr<DAVAuthRPCResponse>> all;
  all.push_back(std::make_unique<DAVCreateAuthURIResponse>());
  all.push_back(std::make_unique<DAVDeleteAccountResponse>());
  all.push_back(std::make_unique<DAVEmailLinkSignInResponse>());
  all.push_back(std::make_unique<DAVGetAccountInfoResponse>());
  all.push_back(std::make_unique<DAVGetOOBConfirmationCodeResponse>());
  all.push_back(std::make_unique<DAVGetProjectConfigResponse>());
  all.push_back(std::make_unique<DAVResetPasswordResponse>());
  all.push_back(std::make_unique<DAVSecureTokenResponse>());
  all.push_back(std::make_unique<DAVSetAccountInfoResponse>());
  all.push_back(std::make_unique<DAVSignUpNewUserResponse>());
  all.push_back(std::make_unique<DAVVerifyPasswordResponse>());
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  platform::ErrorPtr error;
  (void)DAVUser::parseIDToken(text, &error);
  (void)DAVUser::parseIDToken("eyJhbGciOiJub25lIn0." + platform::base64URLEncode(text) + ".c2ln", &error);

  nlohmann::json reply;
  try {
    reply = dav_auth_json::parse(text);
  } catch (const nlohmann::json::exception&) {
    return 0;
  }
  (void)dav_auth_json::toValue(reply);
  if (!reply.is_object()) return 0;
  for (auto& response : everyResponse()) {
    platform::ErrorPtr decodingError;
    (void)response->setWithDictionary(reply, &decodingError);
    auto errorIt = reply.find("error");
    if (errorIt != reply.end() && errorIt->is_object()) {
      auto messageIt = errorIt->find("message");
      if (messageIt != errorIt->end() && messageIt->is_string())
        (void)DAVAuthBackendRPCImplementation::clientErrorWithServerErrorMessage(messageIt->get<std::string>(),
                                                                                 *errorIt, response.get());
    }
  }
  return 0;
}
