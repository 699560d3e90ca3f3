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

}  // namespace text
}  // namespace vorellin
