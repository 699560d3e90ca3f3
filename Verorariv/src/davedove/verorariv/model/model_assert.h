#ifndef DAVEDOVE_VERORARIV_MODEL_MODEL_ASSERT_H_
#define DAVEDOVE_VERORARIV_MODEL_MODEL_ASSERT_H_

#include <string>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"
#include "platform/foundation/Exception.h"

// Like HARD_ASSERT, but the failure names the condition with a fixed text of our own rather than
// the C++ expression, so the report reads the same whatever the code looks like.
#define MODEL_ASSERT(condition, condition_text, ...)                                      \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      ::davedove::verorariv::util::internal::Fail(                                        \
          __FILE__, __PRETTY_FUNCTION__, __LINE__,                                        \
          ::davedove::verorariv::util::internal::AssertMessage(__VA_ARGS__), condition_text); \
    }                                                                                     \
  } while (0)

namespace davedove {
namespace verorariv {
namespace model {
namespace internal {

// Raises the internal-inconsistency exception "You must override <method> in a subclass".
[[noreturn]] inline void RaiseMustOverride(const char* method) {
  platform::raise(platform::kInternalInconsistencyException,
                  util::StringFormat("You must override %s in a subclass", method));
}

}  // namespace internal
}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_MODEL_ASSERT_H_
