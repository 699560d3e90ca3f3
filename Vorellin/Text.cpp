#include "Vorellin/Text.h"

#include <algorithm>
#include <cctype>

namespace vorellin {
namespace text {

std::string trim(const std::string& text) {
  const char* blank = " \t\r\n\f\v";
  size_t first = text.find_first_not_of(blank);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(blank);
  return text.substr(first, last - first + 1);
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool decodeUtf8(const std::string& bytes, std::vector<uint32_t>* out) {
  bool allValid = true;
  size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    size_t extra = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      if (out) out->push_back(c);
      ++i;
      continue;
    }
    bool valid = true;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      valid = false;
    }
    for (size_t k = 1; valid && k <= extra; ++k) {
      if (i + k >= bytes.size()) {
        valid = false;
        break;
      }
      const auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (valid && ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
                  (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF))
      valid = false;
    if (!valid) {
      allValid = false;
      if (!out) return false;
      out->push_back(0xFFFD);
      ++i;
      continue;
    }
    if (out) out->push_back(cp);
    i += extra + 1;
  }
  return allValid;
}

}  // namespace text
}  // namespace vorellin
