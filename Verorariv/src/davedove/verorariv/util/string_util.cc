#include "davedove/verorariv/util/string_util.h"

#include <cxxabi.h>

#include <cstdlib>

namespace davedove {
namespace verorariv {
namespace util {

std::string PrefixSuccessor(absl::string_view prefix) {
  std::string limit(prefix);
  while (!limit.empty()) {
    auto& last = reinterpret_cast<unsigned char&>(limit.back());
    if (last < 0xFF) {
      ++last;
      return limit;
    }
    limit.pop_back();
  }
  return limit;
}

std::string ImmediateSuccessor(absl::string_view s) {
  std::string result(s);
  result.push_back('\0');
  return result;
}

std::string MakeString(absl::string_view str) {
  if (str.empty()) return std::string();
  return std::string(str);
}

std::string ClassName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  return name;
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
