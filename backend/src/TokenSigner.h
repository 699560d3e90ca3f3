#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace backend {

// Three-part signed tokens: base64url(header) "." base64url(payload) "." base64url(HMAC-SHA256).
class TokenSigner {
 public:
  explicit TokenSigner(std::string key, std::string keyID);
  static std::string generateKey();  // 32 random bytes

  std::string sign(const nlohmann::json& payload) const;
  // The payload when the token has three parts, a valid signature and a JSON object payload.
  std::optional<nlohmann::json> verify(const std::string& token) const;

  const std::string& key() const { return key_; }
  const std::string& keyID() const { return keyID_; }

 private:
  std::string key_;
  std::string keyID_;
};

}  // namespace backend
