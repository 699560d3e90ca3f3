#include "davedove/verorariv/util/hard_assert.h"

#include <cstdio>
#include <cstdlib>

namespace davedove {
namespace verorariv {
namespace util {
namespace internal {

void Fail(const char* file, const char* func, int line, const std::string& message) {
  std::string description = StringFormat("VERORARIV INTERNAL ASSERTION FAILED: %s", message);
  // No assertion handler on this platform: report on standard error, where fatal errors go.
  std::fprintf(stderr, "*** Assertion failure in %s, %s:%d\n%s\n", func ? func : "", file ? file : "",
               line, description.c_str());
  std::fflush(stderr);
  std::abort();
}

void Fail(const char* file, const char* func, int line, const std::string& message,
          const char* condition) {
  std::string failure;
  if (message.empty()) {
    failure = condition ? condition : "";
  } else {
    failure = StringFormat("%s (expected %s)", message, condition);
  }
  Fail(file, func, line, failure);
}

}  // namespace internal
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
