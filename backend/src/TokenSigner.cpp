#include "backend/src/TokenSigner.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

#include "backend/src/Service.h"
#include "platform/foundation/Base64.h"

namespace backend {
namespace {

std::string hmacSHA256(const std::string& key, const std::string& input) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(input.data()),
       input.size(), out, &len);
  return std::string(reinterpret_cast<char*>(out), len);
}

}  // namespace

TokenSigner::TokenSigner(std::string key, std::string keyID) : key_(std::move(key)), keyID_(std::move(keyID)) {}

std::string TokenSigner::generateKey() {
  std::string key(32, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), static_cast<int>(key.size())) != 1)
    throw std::runtime_error("no random bytes for the signing key");
  return key;
}

std::string TokenSigner::sign(const nlohmann::json& payload) const {
  nlohmann::json header = {{"alg", "HS256"}, {"kid", keyID_}, {"typ", "JWT"}};
  std::string input = platform::base64URLEncode(header.dump()) + "." + platform::base64URLEncode(payload.dump());
  return input + "." + platform::base64URLEncode(hmacSHA256(key_, input));
}

std::optional<nlohmann::json> TokenSigner::verify(const std::string& token) const {
  auto first = token.find('.');
  if (first == std::string::npos) return std::nullopt;
  auto second = token.find('.', first + 1);
  if (second == std::string::npos || token.find('.', second + 1) != std::string::npos) return std::nullopt;
  auto signature = platform::base64URLDecode(token.substr(second + 1));
  if (!signature) return std::nullopt;
  std::string expected = hmacSHA256(key_, token.substr(0, second));
  if (signature->size() != expected.size() || CRYPTO_memcmp(signature->data(), expected.data(), expected.size()) != 0)
    return std::nullopt;
  auto header = platform::base64URLDecode(token.substr(0, first));
  auto payload = platform::base64URLDecode(token.substr(first + 1, second - first - 1));
  if (!header || !payload) return std::nullopt;
  auto h = parseJSON(*header);
  auto p = parseJSON(*payload);
  if (!h.is_object() || h.value("alg", "") != "HS256" || !p.is_object()) return std::nullopt;
  return p;
}

}  // namespace backend
