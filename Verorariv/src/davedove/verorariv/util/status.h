#ifndef DAVEDOVE_VERORARIV_UTIL_STATUS_H_
#define DAVEDOVE_VERORARIV_UTIL_STATUS_H_

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/verorariv_error_code.h"

namespace platform {
class Error;
}  // namespace platform

namespace davedove {
namespace verorariv {
namespace util {

// Success, or an error code with a message. A success is one null pointer.
class Status {
 public:
  Status() = default;

  // An error; `code` must not be Ok.
  Status(VerorarivErrorCode code, absl::string_view msg);
  // A null `msg` gives an empty message.
  Status(VerorarivErrorCode code, const char* msg);

  Status(const Status& other);
  Status& operator=(const Status& other);
  Status(Status&& other) noexcept = default;
  Status& operator=(Status&& other) noexcept = default;

  static Status OK() { return Status(); }

  // Maps a POSIX error number to a code; the message reads "<msg> (errno <n>: <text>)".
  static Status FromErrno(int errno_code, absl::string_view msg);

  // Takes the first POSIX error in the chain of underlying errors; without one, Unknown.
  static Status FromNSError(const std::shared_ptr<const platform::Error>& error);

  bool ok() const { return state_ == nullptr; }
  VerorarivErrorCode code() const { return ok() ? VerorarivErrorCode::Ok : state_->code; }
  const std::string& error_message() const { return ok() ? empty_string() : state_->msg; }

  // Keeps the first error: takes `new_status` only when this is a success.
  void Update(const Status& new_status);

  // Appends the cause's message to this error's message; a success becomes a copy of the cause.
  Status& CausedBy(const Status& cause);

  // "OK", or the code's display name, ": " and the message.
  std::string ToString() const;

  // Discards the status explicitly.
  void IgnoreError() const {}

  static const std::string& empty_string();

  bool operator==(const Status& other) const;
  bool operator!=(const Status& other) const { return !(*this == other); }

 private:
  struct State {
    VerorarivErrorCode code;
    std::string msg;
  };

  std::unique_ptr<State> state_;
};

std::ostream& operator<<(std::ostream& os, const Status& status);

// Text of a failed status check; a success passed here is a hard assertion failure.
std::string StatusCheckOpHelperOutOfLine(const Status& v, const char* msg);

// The platform's text for an error number, or "Unknown error <n>"; never changes errno.
std::string StrError(int errnum);

// The error object that carries a failed status to public callbacks; none for code 0.
std::shared_ptr<const platform::Error> MakeNSError(int64_t code, absl::string_view msg);

// Domain of the error objects made by MakeNSError.
extern const char* const kDAVVerorarivErrorDomain;

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

// Stops the process when `expression` yields a failed status.
#define STATUS_CHECK_OK(expression)                                                         \
  do {                                                                                      \
    ::davedove::verorariv::util::Status _vrv_status = (expression);                         \
    if (!_vrv_status.ok()) {                                                                \
      ::davedove::verorariv::util::internal::Fail(                                          \
          __FILE__, __PRETTY_FUNCTION__, __LINE__,                                          \
          ::davedove::verorariv::util::StatusCheckOpHelperOutOfLine(_vrv_status, #expression)); \
    }                                                                                       \
  } while (0)

#endif  // DAVEDOVE_VERORARIV_UTIL_STATUS_H_
