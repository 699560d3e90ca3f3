#include "davedove/verorariv/util/autoid.h"

#include "davedove/verorariv/util/secure_random.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

const char kAutoIdAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kAutoIdLength = 20;
constexpr uint32_t kAlphabetSize = sizeof(kAutoIdAlphabet) - 1;  // 62

// Six random bits, drawn again when they fall past the alphabet, so every index is equally likely.
uint32_t RandomIndex(SecureRandom& random) {
  while (true) {
    uint32_t index = random() & 0x3F;
    if (index < kAlphabetSize) return index;
  }
}

}  // namespace

std::string CreateAutoId() {
  SecureRandom random;
  std::string id;
  id.reserve(kAutoIdLength);
  for (int i = 0; i < kAutoIdLength; i++) {
    id.push_back(kAutoIdAlphabet[RandomIndex(random)]);
  }
  return id;
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
