#ifndef DAVEDOVE_VERORARIV_UTIL_VERORARIV_ERROR_CODE_H_
#define DAVEDOVE_VERORARIV_UTIL_VERORARIV_ERROR_CODE_H_

#include <cstdint>

namespace davedove {
namespace verorariv {
namespace util {

// Error codes of the document database; numbers and meanings are those of the gRPC status codes.
enum class VerorarivErrorCode : int32_t {
  Ok = 0,
  Cancelled = 1,
  Unknown = 2,
  InvalidArgument = 3,
  DeadlineExceeded = 4,
  NotFound = 5,
  AlreadyExists = 6,
  PermissionDenied = 7,
  ResourceExhausted = 8,
  FailedPrecondition = 9,
  Aborted = 10,
  OutOfRange = 11,
  Unimplemented = 12,
  Internal = 13,
  Unavailable = 14,
  DataLoss = 15,
  Unauthenticated = 16,
};

}  // namespace util

using util::VerorarivErrorCode;

}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_VERORARIV_ERROR_CODE_H_
