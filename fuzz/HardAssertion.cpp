// Replaces the assertion failure routine of the document database for the fuzz programs only: linked
// ahead of the library, so the library's own definition is never pulled in.
#include "fuzz/HardAssertion.h"

#include <string>

namespace davedove {
namespace verorariv {
namespace util {
namespace internal {

[[noreturn]] void Fail(const char*, const char*, int, const std::string&) { throw fuzz::HardAssertion{}; }

[[noreturn]] void Fail(const char*, const char*, int, const std::string&, const char*) {
  throw fuzz::HardAssertion{};
}

}  // namespace internal
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
