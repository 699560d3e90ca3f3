// "signInWithGameCenter": sign-in (or link) with the local game player's identity signature.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "auth/DAVIdentityServiceRequest.h"
#include "platform/foundation/Value.h"

// The URL-safe Base64 alphabet without "=": standard Base64, then "/" to "_", "+" to "-", "=" removed.
std::string fir_base64URLEncodedStringWithOptions(const platform::Data& data, unsigned options = 0);

class DAVSignInWithGameCenterRequest : public DAVIdentityServiceRequest {
 public:
  using OptString = std::optional<std::string>;

  DAVSignInWithGameCenterRequest(OptString playerID, OptString publicKeyURL, std::optional<platform::Data> signature,
                                 std::optional<platform::Data> salt, uint64_t timestamp, OptString displayName,
                                 DAVAuthRequestConfigurationPtr requestConfiguration);

  const OptString& playerID() const { return playerID_; }
  void setPlayerID(OptString v) { playerID_ = std::move(v); }
  const OptString& publicKeyURL() const { return publicKeyURL_; }
  void setPublicKeyURL(OptString v) { publicKeyURL_ = std::move(v); }
  const std::optional<platform::Data>& signature() const { return signature_; }
  void setSignature(std::optional<platform::Data> v) { signature_ = std::move(v); }
  const std::optional<platform::Data>& salt() const { return salt_; }
  void setSalt(std::optional<platform::Data> v) { salt_ = std::move(v); }
  uint64_t timestamp() const { return timestamp_; }
  void setTimestamp(uint64_t v) { timestamp_ = v; }
  const OptString& accessToken() const { return accessToken_; }
  void setAccessToken(OptString v) { accessToken_ = std::move(v); }
  const OptString& displayName() const { return displayName_; }
  void setDisplayName(OptString v) { displayName_ = std::move(v); }

  std::optional<nlohmann::json> unencodedHTTPRequestBodyWithError(platform::ErrorPtr* error) const override;

 private:
  OptString playerID_;
  OptString publicKeyURL_;
  std::optional<platform::Data> signature_;
  std::optional<platform::Data> salt_;
  uint64_t timestamp_ = 0;
  OptString accessToken_;
  OptString displayName_;
};
