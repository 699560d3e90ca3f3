#include "platform/foundation/Base64.h"

#include <array>
#include <cstdint>

namespace platform {
namespace {

const char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kURLSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(const std::string& bytes, const char* alphabet, bool padding) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t n = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += alphabet[(n >> 6) & 63];
    out += alphabet[n & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t n = byte(i) << 16;
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    if (padding) out += "==";
  } else if (rest == 2) {
    uint32_t n = (byte(i) << 16) | (byte(i + 1) << 8);
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += alphabet[(n >> 6) & 63];
    if (padding) out += '=';
  }
  return out;
}

std::array<int8_t, 256> table(const char* alphabet) {
  std::array<int8_t, 256> t;
  t.fill(-1);
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  return t;
}

// Decodes unpadded symbols (length % 4 != 1); trailing bits of a partial group must be zero.
std::optional<std::string> decodeSymbols(const std::string& text, const std::array<int8_t, 256>& t) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(text.size() * 3 / 4);
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int8_t v = t[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace

std::string base64Encode(const std::string& bytes) { return encode(bytes, kStandard, true); }

std::optional<std::string> base64Decode(const std::string& text, bool ignoreUnknownCharacters) {
  static const auto t = table(kStandard);
  std::string symbols;
  size_t padding = 0;
  if (ignoreUnknownCharacters) {
    // Padding only counts at the very end; "=" elsewhere is skipped like any other stray character.
    size_t end = text.size();
    while (end > 0 && t[static_cast<unsigned char>(text[end - 1])] < 0) {
      if (text[end - 1] == '=') ++padding;
      --end;
    }
    for (size_t i = 0; i < end; ++i)
      if (t[static_cast<unsigned char>(text[i])] >= 0) symbols += text[i];
  } else {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == '=') {
      ++padding;
      --end;
    }
    symbols = text.substr(0, end);
  }
  if (padding > 2) return std::nullopt;
  if ((symbols.size() + padding) % 4 != 0) return std::nullopt;
  if (padding > 0 && symbols.size() % 4 != 4 - padding) return std::nullopt;
  return decodeSymbols(symbols, t);
}

std::string base64URLEncode(const std::string& bytes, bool padding) { return encode(bytes, kURLSafe, padding); }

std::optional<std::string> base64URLDecode(const std::string& text) {
  static const auto t = table(kURLSafe);
  size_t end = text.size();
  size_t padding = 0;
  while (end > 0 && text[end - 1] == '=') {
    ++padding;
    --end;
  }
  if (padding > 2) return std::nullopt;
  if (padding > 0 && (end + padding) % 4 != 0) return std::nullopt;
  return decodeSymbols(text.substr(0, end), t);
}

}  // namespace platform
