#include "davedove/verorariv/util/string_format.h"

#include <cstring>

namespace davedove {
namespace verorariv {
namespace util {
namespace internal {

std::string StringFormatPieces(const char* format, std::initializer_list<absl::string_view> pieces) {
  std::string result;
  if (format == nullptr) return result;

  auto next_piece = pieces.begin();
  const char* rest = format;
  while (true) {
    const char* percent = std::strchr(rest, '%');
    if (percent == nullptr) {
      result.append(rest);
      break;
    }
    result.append(rest, static_cast<size_t>(percent - rest));

    char directive = percent[1];
    if (directive == '\0') {
      result.push_back('%');
      break;
    }
    if (directive == 's') {
      if (next_piece == pieces.end()) {
        result.append("<missing>");
      } else {
        result.append(next_piece->data(), next_piece->size());
        ++next_piece;
      }
    } else if (directive == '%') {
      result.push_back('%');
    } else {
      result.append("<invalid>");
    }
    rest = percent + 2;
  }
  return result;
}

}  // namespace internal
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
