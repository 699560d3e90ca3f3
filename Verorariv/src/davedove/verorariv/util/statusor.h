#ifndef DAVEDOVE_VERORARIV_UTIL_STATUSOR_H_
#define DAVEDOVE_VERORARIV_UTIL_STATUSOR_H_

#include <optional>
#include <type_traits>
#include <utility>

#include "davedove/verorariv/util/status.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace internal_statusor {

class Helper {
 public:
  // A success handed to a StatusOr constructor: stops the process.
  [[noreturn]] static void HandleInvalidStatusCtorArg(Status* status);
  // The value of a failed StatusOr was asked for: stops the process.
  [[noreturn]] static void Crash(const Status& status);
};

}  // namespace internal_statusor

// Either a value or a failed Status.
template <typename T>
class StatusOr {
 public:
  using value_type = T;

  StatusOr(const T& value) : value_(value) {}             // NOLINT(runtime/explicit)
  StatusOr(T&& value) : value_(std::move(value)) {}       // NOLINT(runtime/explicit)

  StatusOr(const Status& status) : status_(status) {  // NOLINT(runtime/explicit)
    if (status_.ok()) internal_statusor::Helper::HandleInvalidStatusCtorArg(&status_);
  }
  StatusOr(Status&& status) : status_(std::move(status)) {  // NOLINT(runtime/explicit)
    if (status_.ok()) internal_statusor::Helper::HandleInvalidStatusCtorArg(&status_);
  }

  // Values of a convertible type.
  template <typename U,
            typename std::enable_if_t<!std::is_same<std::decay_t<U>, T>::value &&
                                          !std::is_convertible<U&&, Status>::value &&
                                          !std::is_same<std::decay_t<U>, StatusOr>::value &&
                                          std::is_convertible<U&&, T>::value,
                                      int> = 0>
  StatusOr(U&& value) : value_(std::forward<U>(value)) {}  // NOLINT(runtime/explicit)

  StatusOr(const StatusOr&) = default;
  StatusOr(StatusOr&&) = default;
  StatusOr& operator=(const StatusOr&) = default;
  StatusOr& operator=(StatusOr&&) = default;

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }

  const T& value() const& {
    EnsureOk();
    return *value_;
  }
  T& value() & {
    EnsureOk();
    return *value_;
  }
  T&& value() && {
    EnsureOk();
    return std::move(*value_);
  }

 private:
  void EnsureOk() const {
    if (!status_.ok()) internal_statusor::Helper::Crash(status_);
  }

  Status status_;
  std::optional<T> value_;
};

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_STATUSOR_H_
