// The two exceptions of the authentication client for programming mistakes.
#pragma once

#include <string>

inline constexpr const char kDAVMethodNotImplementedException[] = "DAVMethodNotImplementedException";

class DAVAuthExceptionUtils {
 public:
  // The platform's invalid-argument exception with the reason as its whole text.
  [[noreturn]] static void raiseInvalidParameterExceptionWithReason(const std::string& reason);
  [[noreturn]] static void raiseMethodNotImplementedExceptionWithReason(const std::string& reason);
};
