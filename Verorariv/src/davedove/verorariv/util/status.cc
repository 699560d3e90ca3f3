#include "davedove/verorariv/util/status.h"

#include <cerrno>
#include <cstring>
#include <ostream>

#include "absl/strings/str_cat.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"
#include "platform/foundation/Error.h"

namespace davedove {
namespace verorariv {
namespace util {

const char* const kDAVVerorarivErrorDomain = "DAVVerorarivErrorDomain";

namespace {

const char kPosixErrorDomain[] = "NSPOSIXErrorDomain";

const char* CodeName(VerorarivErrorCode code) {
  switch (code) {
    case VerorarivErrorCode::Ok:
      return "OK";
    case VerorarivErrorCode::Cancelled:
      return "Cancelled";
    case VerorarivErrorCode::Unknown:
      return "Unknown";
    case VerorarivErrorCode::InvalidArgument:
      return "Invalid argument";
    case VerorarivErrorCode::DeadlineExceeded:
      return "Deadline exceeded";
    case VerorarivErrorCode::NotFound:
      return "Not found";
    case VerorarivErrorCode::AlreadyExists:
      return "Already exists";
    case VerorarivErrorCode::PermissionDenied:
      return "Permission denied";
    case VerorarivErrorCode::ResourceExhausted:
      return "Resource exhausted";
    case VerorarivErrorCode::FailedPrecondition:
      return "Failed precondition";
    case VerorarivErrorCode::Aborted:
      return "Aborted";
    case VerorarivErrorCode::OutOfRange:
      return "Out of range";
    case VerorarivErrorCode::Unimplemented:
      return "Unimplemented";
    case VerorarivErrorCode::Internal:
      return "Internal";
    case VerorarivErrorCode::Unavailable:
      return "Unavailable";
    case VerorarivErrorCode::DataLoss:
      return "Data loss";
    case VerorarivErrorCode::Unauthenticated:
      return "Unauthenticated";
  }
  return nullptr;
}

// Matched by symbolic name, so the numbering of this system does not matter. Names this system
// lacks are skipped; anything unmatched, 0 and negative numbers included, is Unknown.
VerorarivErrorCode CodeForErrno(int errno_code) {
  using Code = VerorarivErrorCode;
  switch (errno_code) {
    case ECANCELED:
      return Code::Cancelled;

    case E2BIG:
    case EFAULT:
    case EINVAL:
    case ENOTTY:
    case ESPIPE:
    case EDOM:
    case ENOTSOCK:
    case EDESTADDRREQ:
    case EPROTOTYPE:
    case ENOPROTOOPT:
    case ENAMETOOLONG:
    case EILSEQ:
#ifdef ENOSTR
    case ENOSTR:
#endif
      return Code::InvalidArgument;

    case ETIMEDOUT:
#ifdef ETIME
    case ETIME:
#endif
      return Code::DeadlineExceeded;

    case ENOENT:
    case ESRCH:
    case ENXIO:
    case ENODEV:
      return Code::NotFound;

    case EEXIST:
    case EALREADY:
    case EADDRNOTAVAIL:
      return Code::AlreadyExists;

    case EPERM:
    case EACCES:
    case EROFS:
      return Code::PermissionDenied;

    case ENOMEM:
    case ENFILE:
    case EMFILE:
    case ENOSPC:
    case EMLINK:
    case ENOBUFS:
    case EUSERS:
    case EDQUOT:
#ifdef ENODATA
    case ENODATA:
#endif
#ifdef ENOSR
    case ENOSR:
#endif
      return Code::ResourceExhausted;

    case ECHILD:
    case ENOTBLK:
    case EBUSY:
    case ENOTDIR:
    case EISDIR:
    case ETXTBSY:
    case EPIPE:
    case EADDRINUSE:
    case EISCONN:
    case ENOTCONN:
    case ESHUTDOWN:
    case ENOTEMPTY:
      return Code::FailedPrecondition;

    case EDEADLK:
    case ESTALE:
      return Code::Aborted;

    case EFBIG:
    case ERANGE:
    case EOVERFLOW:
      return Code::OutOfRange;

    case EXDEV:
    case EPROTONOSUPPORT:
    case ESOCKTNOSUPPORT:
    case ENOTSUP:
    case EPFNOSUPPORT:
    case EAFNOSUPPORT:
    case ENOSYS:
      return Code::Unimplemented;

    case EBADF:
      return Code::Internal;

    case EINTR:
    case EAGAIN:
#if defined(EWOULDBLOCK) && EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ENETDOWN:
    case ENETUNREACH:
    case ENETRESET:
    case ECONNABORTED:
    case ECONNRESET:
    case ECONNREFUSED:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENOLCK:
#ifdef ENOLINK
    case ENOLINK:
#endif
      return Code::Unavailable;

    default:
      return Code::Unknown;
  }
}

// The platform's text, from either flavour of strerror_r.
[[maybe_unused]] const char* StrErrorResult(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* StrErrorResult(const char* result, const char*) { return result; }

}  // namespace

Status::Status(VerorarivErrorCode code, absl::string_view msg) {
  HARD_ASSERT(code != VerorarivErrorCode::Ok);
  state_ = std::make_unique<State>(State{code, std::string(msg)});
}

Status::Status(VerorarivErrorCode code, const char* msg)
    : Status(code, msg ? absl::string_view(msg) : absl::string_view()) {}

Status::Status(const Status& other)
    : state_(other.state_ ? std::make_unique<State>(*other.state_) : nullptr) {}

Status& Status::operator=(const Status& other) {
  if (this != &other) {
    state_ = other.state_ ? std::make_unique<State>(*other.state_) : nullptr;
  }
  return *this;
}

const std::string& Status::empty_string() {
  static const std::string* empty = new std::string();
  return *empty;
}

Status Status::FromErrno(int errno_code, absl::string_view msg) {
  VerorarivErrorCode code = CodeForErrno(errno_code);
  std::string message = StringFormat("%s (errno %s: %s)", msg, errno_code, StrError(errno_code));
  return Status(code, message);
}

Status Status::FromNSError(const std::shared_ptr<const platform::Error>& error) {
  if (!error) return Status();

  std::shared_ptr<const platform::Error> current = error;
  while (current) {
    if (current->domain() == kPosixErrorDomain) {
      return FromErrno(static_cast<int>(current->code()), error->localizedDescription());
    }
    std::shared_ptr<const platform::Error> next = current->underlyingError();
    if (!next) {
      auto it = current->userInfo().find(platform::kUnderlyingErrorKey);
      if (it != current->userInfo().end()) {
        auto wrapped = std::dynamic_pointer_cast<const platform::ErrorObject>(it->second.asObject());
        if (wrapped) next = wrapped->error;
      }
    }
    current = next;
  }
  return Status(VerorarivErrorCode::Unknown, StringFormat("Unknown error: %s", error->description()));
}

void Status::Update(const Status& new_status) {
  if (ok() && !new_status.ok()) *this = new_status;
}

Status& Status::CausedBy(const Status& cause) {
  if (&cause == this || cause.ok()) return *this;
  if (ok()) {
    *this = cause;
    return *this;
  }
  absl::StrAppend(&state_->msg, ": ", cause.error_message());
  return *this;
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  const char* name = CodeName(code());
  std::string result =
      name ? std::string(name) : StringFormat("Unknown code(%s)", static_cast<int32_t>(code()));
  absl::StrAppend(&result, ": ", error_message());
  return result;
}

bool Status::operator==(const Status& other) const {
  return code() == other.code() && error_message() == other.error_message();
}

std::ostream& operator<<(std::ostream& os, const Status& status) { return os << status.ToString(); }

std::string StatusCheckOpHelperOutOfLine(const Status& v, const char* msg) {
  HARD_ASSERT(!v.ok());
  return absl::StrCat("Non-OK-status: ", msg ? msg : "", " status: ", v.ToString());
}

std::string StrError(int errnum) {
  int saved_errno = errno;
  char buffer[100];
  buffer[0] = '\0';
  const char* text = StrErrorResult(strerror_r(errnum, buffer, sizeof buffer), buffer);
  std::string result;
  if (text == nullptr || *text == '\0') {
    result = absl::StrCat("Unknown error ", errnum);
  } else {
    result = text;
  }
  errno = saved_errno;
  return result;
}

std::shared_ptr<const platform::Error> MakeNSError(int64_t code, absl::string_view msg) {
  if (code == 0) return nullptr;
  platform::Dictionary user_info;
  user_info[platform::kLocalizedDescriptionKey] = platform::Value(std::string(msg));
  return std::make_shared<const platform::Error>(kDAVVerorarivErrorDomain, code, std::move(user_info));
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
