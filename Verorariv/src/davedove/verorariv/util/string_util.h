#ifndef DAVEDOVE_VERORARIV_UTIL_STRING_UTIL_H_
#define DAVEDOVE_VERORARIV_UTIL_STRING_UTIL_H_

#include <string>
#include <typeinfo>

#include "absl/strings/string_view.h"

namespace davedove {
namespace verorariv {
namespace util {

// The smallest byte string greater than every string starting with `prefix`; empty when there is
// none (an empty prefix, or one of 0xFF bytes only).
std::string PrefixSuccessor(absl::string_view prefix);

// The next byte string after `s`: `s` followed by one zero byte.
std::string ImmediateSuccessor(absl::string_view s);

// A platform string as UTF-8 bytes. Platform strings are UTF-8 here already, so this is a copy.
std::string MakeString(absl::string_view str);

// The readable name of a type, for failure messages; the mangled name when it cannot be demangled.
std::string ClassName(const std::type_info& type);

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_STRING_UTIL_H_
