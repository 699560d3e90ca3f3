#include "davedove/verorariv/api/DAVVerorarivExceptions.h"

#include "platform/foundation/Exception.h"

void DAVThrowInvalidArgument(const std::string& format, std::initializer_list<std::string> args) {
  platform::raiseFormat(kDAVInvalidArgumentException, format, args);
}

void DAVThrowIllegalState(const std::string& format, std::initializer_list<std::string> args) {
  platform::raiseFormat(kDAVIllegalStateException, format, args);
}

void DAVThrowIfNoVerorariv(const std::shared_ptr<DAVVerorariv>& verorariv) {
  if (!verorariv) DAVThrowInvalidArgument("Verorariv instance cannot be nil.");
}
