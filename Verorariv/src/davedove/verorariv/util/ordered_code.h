#ifndef DAVEDOVE_VERORARIV_UTIL_ORDERED_CODE_H_
#define DAVEDOVE_VERORARIV_UTIL_ORDERED_CODE_H_

#include <cstdint>
#include <string>

#include "absl/strings/string_view.h"

namespace davedove {
namespace verorariv {
namespace util {

// Encodes strings and 64-bit numbers into bytes whose memcmp order is the order of the values, so
// a key made of several encoded components sorts like the tuple of its components. The bytes are a
// stored format.
//
// Writers append to `dest`. Readers decode from the front of `*src`: on success they store the
// value (when `result` is given) and advance `*src` past it; on failure they return false and
// leave `*src` (and `*result`) as they were.
class OrderedCode {
 public:
  // The bytes of `s` with 0x00 and 0xFF escaped, then the terminator 0x00 0x01.
  static void WriteString(std::string* dest, absl::string_view s);

  // A length byte (0 to 8), then the significant bytes of `num`, most significant first.
  static void WriteNumIncreasing(std::string* dest, uint64_t num);

  // 1 to 10 bytes; longer for larger magnitudes.
  static void WriteSignedNumIncreasing(std::string* dest, int64_t num);

  // 0xFF 0xFF.
  static void WriteInfinity(std::string* dest);

  // `str` as it is; only valid as the last component of a key.
  static void WriteTrailingString(std::string* dest, absl::string_view str);

  // Decodes one string, appending it to `*result`.
  static bool ReadString(absl::string_view* src, std::string* result);

  // Decodes an unsigned number. A leading zero byte (a non-canonical encoding) stops the process.
  static bool ReadNumIncreasing(absl::string_view* src, uint64_t* result);

  // Decodes a signed number. A number not in its shortest form stops the process.
  static bool ReadSignedNumIncreasing(absl::string_view* src, int64_t* result);

  // As the two above, but a non-canonical encoding is a failed read, for input that may be corrupt.
  static bool TryReadNumIncreasing(absl::string_view* src, uint64_t* result);
  static bool TryReadSignedNumIncreasing(absl::string_view* src, int64_t* result);

  // Consumes 0xFF 0xFF.
  static bool ReadInfinity(absl::string_view* src);

  // Infinity (sets `*inf`) or a string (clears `*inf`).
  static bool ReadStringOrInfinity(absl::string_view* src, std::string* result, bool* inf);

  // Takes every remaining byte into `*result`; always succeeds.
  static bool ReadTrailingString(absl::string_view* src, std::string* result);
};

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_ORDERED_CODE_H_
