#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kLocalizedFailureReasonKey = "NSLocalizedFailureReason";

// Error object with a domain, a code, typed user information and an optional underlying error.
class Error {
 public:
  Error(std::string domain, int64_t code, Dictionary userInfo = {}, std::shared_ptr<const Error> underlying = nullptr);

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const Dictionary& userInfo() const { return userInfo_; }
  std::shared_ptr<const Error> underlyingError() const { return underlying_; }

  // userInfo["NSLocalizedDescription"] or "The operation couldn't be completed. (<domain> error <code>.)"
  std::string localizedDescription() const;
  // userInfo["NSLocalizedFailureReason"], "" if none.
  std::string localizedFailureReason() const;
  std::string description() const;

 private:
  std::string domain_;
  int64_t code_;
  Dictionary userInfo_;
  std::shared_ptr<const Error> underlying_;
};

using ErrorPtr = std::shared_ptr<const Error>;

// Convenience for the common case of a domain, a code and a description text.
ErrorPtr makeError(const std::string& domain, int64_t code, const std::string& localizedDescription = {},
                   Dictionary userInfo = {}, ErrorPtr underlying = nullptr);

// Lets an error travel inside a Value (user info under kUnderlyingErrorKey and the like).
struct ErrorObject : Object {
  explicit ErrorObject(ErrorPtr e) : error(std::move(e)) {}
  std::string description() const override;
  ErrorPtr error;
};

}  // namespace platform
