#pragma once

#include <exception>
#include <initializer_list>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";

// A raised exception: name plus reason.
class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason, Dictionary userInfo = {});
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Dictionary& userInfo() const { return userInfo_; }
  const char* what() const noexcept override { return what_.c_str(); }  // "name: reason"

 private:
  std::string name_;
  std::string reason_;
  Dictionary userInfo_;
  std::string what_;
};

[[noreturn]] void raise(const std::string& name, const std::string& reason);
// printf-like, see formatObjC.
[[noreturn]] void raiseFormat(const std::string& name, const std::string& format,
                              std::initializer_list<std::string> args);
// Replaces %@ %s %d %i %u %ld %lu %lld %llu %zu %x in order with the text args; "%%" gives "%".
// A conversion without an argument left is kept as written.
std::string formatObjC(const std::string& format, std::initializer_list<std::string> args);

}  // namespace platform
