#include "auth/DAVAuthExceptionUtils.h"

#include "platform/foundation/Exception.h"

void DAVAuthExceptionUtils::raiseInvalidParameterExceptionWithReason(const std::string& reason) {
  platform::raiseFormat(platform::kInvalidArgumentException, "%@", {reason});
}

void DAVAuthExceptionUtils::raiseMethodNotImplementedExceptionWithReason(const std::string& reason) {
  throw platform::Exception(kDAVMethodNotImplementedException, reason);
}
