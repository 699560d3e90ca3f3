#include "auth/DAVSignInWithGameCenterRequest.h"

#include <algorithm>

#include "platform/foundation/Base64.h"

std::string fir_base64URLEncodedStringWithOptions(const platform::Data& data, unsigned /*options*/) {
  std::string text = platform::base64Encode(data);
  std::replace(text.begin(), text.end(), '/', '_');
  std::replace(text.begin(), text.end(), '+', '-');
  text.erase(std::remove(text.begin(), text.end(), '='), text.end());
  return text;
}

DAVSignInWithGameCenterRequest::DAVSignInWithGameCenterRequest(OptString playerID, OptString publicKeyURL,
                                                               std::optional<platform::Data> signature,
                                                               std::optional<platform::Data> salt, uint64_t timestamp,
                                                               OptString displayName,
                                                               DAVAuthRequestConfigurationPtr requestConfiguration)
    : DAVIdentityServiceRequest("signInWithGameCenter", std::move(requestConfiguration)),
      playerID_(std::move(playerID)),
      publicKeyURL_(std::move(publicKeyURL)),
      signature_(std::move(signature)),
      salt_(std::move(salt)),
      timestamp_(timestamp),
      displayName_(std::move(displayName)) {}

std::optional<nlohmann::json> DAVSignInWithGameCenterRequest::unencodedHTTPRequestBodyWithError(
    platform::ErrorPtr* error) const {
  if (error) *error = nullptr;
  nlohmann::json body = nlohmann::json::object();
  if (playerID_) body["playerId"] = *playerID_;
  if (publicKeyURL_) body["publicKeyUrl"] = *publicKeyURL_;
  if (signature_) body["signature"] = fir_base64URLEncodedStringWithOptions(*signature_);
  if (salt_) body["salt"] = fir_base64URLEncodedStringWithOptions(*salt_);
  if (timestamp_ != 0) body["timestamp"] = timestamp_;
  if (accessToken_) body["idToken"] = *accessToken_;
  if (displayName_) body["displayName"] = *displayName_;
  return body;
}
