#include "platform/foundation/Utf8.h"

namespace platform {

size_t utf8SequenceAt(std::string_view bytes, size_t at, uint32_t* codePoint) {
  if (at >= bytes.size()) return 0;
  const auto c = static_cast<unsigned char>(bytes[at]);
  size_t extra = 0;
  uint32_t cp = 0;
  if (c < 0x80) {
    if (codePoint) *codePoint = c;
    return 1;
  }
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
    return 0;
  }
  if (bytes.size() - at <= extra) return 0;
  for (size_t k = 1; k <= extra; ++k) {
    const auto cc = static_cast<unsigned char>(bytes[at + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
      (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
    return 0;
  if (codePoint) *codePoint = cp;
  return extra + 1;
}

bool decodeUtf8(std::string_view bytes, std::vector<uint32_t>* out) {
  bool allValid = true;
  size_t i = 0;
  while (i < bytes.size()) {
    uint32_t cp = 0;
    const size_t n = utf8SequenceAt(bytes, i, &cp);
    if (n == 0) {
      allValid = false;
      if (!out) return false;
      out->push_back(0xFFFD);
      ++i;
      continue;
    }
    if (out) out->push_back(cp);
    i += n;
  }
  return allValid;
}

}  // namespace platform
