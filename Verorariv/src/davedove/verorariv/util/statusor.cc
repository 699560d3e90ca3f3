#include "davedove/verorariv/util/statusor.h"

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace internal_statusor {

void Helper::HandleInvalidStatusCtorArg(Status*) {
  HARD_FAIL("An OK status is not a valid constructor argument to StatusOr<T>");
}

void Helper::Crash(const Status& status) {
  HARD_FAIL("Attempting to fetch value instead of handling error %s", status.ToString());
}

}  // namespace internal_statusor
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
