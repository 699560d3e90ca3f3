#ifndef DAVEDOVE_VERORARIV_UTIL_HARD_ASSERT_H_
#define DAVEDOVE_VERORARIV_UTIL_HARD_ASSERT_H_

#include <string>
#include <utility>

#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace internal {

// Reports "VERORARIV INTERNAL ASSERTION FAILED: <message>" and stops the process.
[[noreturn]] void Fail(const char* file, const char* func, int line, const std::string& message);

// As above; the message becomes "<message> (expected <condition>)", or the condition alone when the
// message is empty.
[[noreturn]] void Fail(const char* file, const char* func, int line, const std::string& message,
                       const char* condition);

// Message of an assertion written without one.
inline std::string AssertMessage() { return std::string(); }

template <typename... Args>
std::string AssertMessage(const char* format, const Args&... args) {
  return StringFormat(format, args...);
}

}  // namespace internal
}  // namespace util
}  // namespace verorariv
}  // namespace davedove

// HARD_ASSERT(condition) or HARD_ASSERT(condition, "format %s", args...): stops the process when the
// condition is false. Always on, in every build type.
#define HARD_ASSERT(condition, ...)                                                           \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      ::davedove::verorariv::util::internal::Fail(                                            \
          __FILE__, __PRETTY_FUNCTION__, __LINE__,                                            \
          ::davedove::verorariv::util::internal::AssertMessage(__VA_ARGS__), #condition);     \
    }                                                                                         \
  } while (0)

// HARD_FAIL("format %s", args...): stops the process unconditionally.
#define HARD_FAIL(...)                                                             \
  ::davedove::verorariv::util::internal::Fail(                                     \
      __FILE__, __PRETTY_FUNCTION__, __LINE__,                                     \
      ::davedove::verorariv::util::internal::AssertMessage(__VA_ARGS__))

#endif  // DAVEDOVE_VERORARIV_UTIL_HARD_ASSERT_H_
