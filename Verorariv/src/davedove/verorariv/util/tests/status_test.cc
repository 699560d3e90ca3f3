#include "davedove/verorariv/util/status.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "davedove/verorariv/util/statusor.h"
#include "gtest/gtest.h"
#include "platform/foundation/Error.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

TEST(StatusTest, TextsOfSuccessErrorsAndUnknownCodes) {
  EXPECT_EQ(Status().ToString(), "OK");
  EXPECT_EQ(Status::OK().ToString(), "OK");
  EXPECT_EQ(Status(VerorarivErrorCode::NotFound, "missing").ToString(), "Not found: missing");
  EXPECT_EQ(Status(static_cast<VerorarivErrorCode>(42), "odd").ToString(), "Unknown code(42): odd");
  EXPECT_EQ(Status(VerorarivErrorCode::DataLoss, "x").ToString(), "Data loss: x");
  EXPECT_EQ(Status(VerorarivErrorCode::Unauthenticated, "").ToString(), "Unauthenticated: ");
  EXPECT_EQ(Status(VerorarivErrorCode::Internal, static_cast<const char*>(nullptr)).error_message(), "");

  std::ostringstream out;
  out << Status(VerorarivErrorCode::Aborted, "stop");
  EXPECT_EQ(out.str(), "Aborted: stop");
}

TEST(StatusTest, AccessorsAndCopies) {
  Status ok;
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(ok.code(), VerorarivErrorCode::Ok);
  EXPECT_EQ(&ok.error_message(), &Status::empty_string());

  Status error(VerorarivErrorCode::Unavailable, "down");
  Status copy = error;
  EXPECT_EQ(copy, error);
  EXPECT_NE(&copy.error_message(), &error.error_message());  // deep copy

  Status moved = std::move(copy);
  EXPECT_EQ(moved.code(), VerorarivErrorCode::Unavailable);
  EXPECT_EQ(moved.error_message(), "down");

  Status assigned;
  assigned = error;
  EXPECT_EQ(assigned, error);
  assigned = Status();
  EXPECT_TRUE(assigned.ok());
}

TEST(StatusTest, UpdateKeepsTheFirstError) {
  Status s;
  s.Update(Status());
  EXPECT_TRUE(s.ok());
  s.Update(Status(VerorarivErrorCode::Internal, "first"));
  s.Update(Status(VerorarivErrorCode::NotFound, "second"));
  EXPECT_EQ(s.ToString(), "Internal: first");
}

TEST(StatusTest, CausedBy) {
  Status a(VerorarivErrorCode::Internal, "A");
  Status b(VerorarivErrorCode::NotFound, "B");
  a.CausedBy(b);
  EXPECT_EQ(a.code(), VerorarivErrorCode::Internal);
  EXPECT_EQ(a.error_message(), "A: B");

  Status success;
  success.CausedBy(b);
  EXPECT_EQ(success, b);

  Status unchanged(VerorarivErrorCode::Aborted, "C");
  unchanged.CausedBy(Status());
  EXPECT_EQ(unchanged.error_message(), "C");
  unchanged.CausedBy(unchanged);
  EXPECT_EQ(unchanged.error_message(), "C");
}

TEST(StatusTest, FromErrnoMapsBySymbolicName) {
  Status s = Status::FromErrno(2, "open");
  EXPECT_EQ(s.code(), VerorarivErrorCode::NotFound);
  EXPECT_EQ(s.error_message(), "open (errno 2: " + StrError(2) + ")");

  struct Case {
    int errno_code;
    VerorarivErrorCode code;
  } cases[] = {
      {ECANCELED, VerorarivErrorCode::Cancelled},
      {EINVAL, VerorarivErrorCode::InvalidArgument},
      {ENAMETOOLONG, VerorarivErrorCode::InvalidArgument},
      {ETIMEDOUT, VerorarivErrorCode::DeadlineExceeded},
      {EEXIST, VerorarivErrorCode::AlreadyExists},
      {EACCES, VerorarivErrorCode::PermissionDenied},
      {ENOSPC, VerorarivErrorCode::ResourceExhausted},
      {EDQUOT, VerorarivErrorCode::ResourceExhausted},
      {ENOTEMPTY, VerorarivErrorCode::FailedPrecondition},
      {EDEADLK, VerorarivErrorCode::Aborted},
      {ERANGE, VerorarivErrorCode::OutOfRange},
      {ENOSYS, VerorarivErrorCode::Unimplemented},
      {ENOTSUP, VerorarivErrorCode::Unimplemented},
      {EBADF, VerorarivErrorCode::Internal},
      {EAGAIN, VerorarivErrorCode::Unavailable},
      {ECONNREFUSED, VerorarivErrorCode::Unavailable},
      {EIO, VerorarivErrorCode::Unknown},
      {ELOOP, VerorarivErrorCode::Unknown},
      {200, VerorarivErrorCode::Unknown},
      {-5, VerorarivErrorCode::Unknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Status::FromErrno(c.errno_code, "m").code(), c.code) << "errno " << c.errno_code;
  }

  Status unknown = Status::FromErrno(200, "x");
  EXPECT_EQ(unknown.error_message(), "x (errno 200: " + StrError(200) + ")");
}

TEST(StatusTest, StrErrorLeavesErrnoAlone) {
  errno = EPIPE;
  std::string text = StrError(ENOENT);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(text, std::strerror(ENOENT));
  EXPECT_FALSE(StrError(12345).empty());
}

TEST(StatusTest, FromNSErrorFindsPosixCause) {
  EXPECT_TRUE(Status::FromNSError(nullptr).ok());

  auto posix = platform::makeError("NSPOSIXErrorDomain", EACCES);
  auto outer = platform::makeError("SomeDomain", 7, "it failed", {}, posix);
  Status s = Status::FromNSError(outer);
  EXPECT_EQ(s.code(), VerorarivErrorCode::PermissionDenied);
  EXPECT_EQ(s.error_message(), "it failed (errno 13: " + StrError(EACCES) + ")");

  // The cause may also travel in the user information only.
  platform::Dictionary info;
  info[platform::kUnderlyingErrorKey] =
      platform::Value(std::make_shared<const platform::ErrorObject>(posix));
  auto via_info = std::make_shared<const platform::Error>("Other", 1, info);
  EXPECT_EQ(Status::FromNSError(via_info).code(), VerorarivErrorCode::PermissionDenied);

  auto plain = platform::makeError("SomeDomain", 3, "no cause");
  Status unknown = Status::FromNSError(plain);
  EXPECT_EQ(unknown.code(), VerorarivErrorCode::Unknown);
  EXPECT_EQ(unknown.error_message(), "Unknown error: " + plain->description());
}

TEST(StatusTest, MakeNSError) {
  EXPECT_EQ(MakeNSError(0, "fine"), nullptr);
  auto error = MakeNSError(5, "not there");
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), "DAVVerorarivErrorDomain");
  EXPECT_EQ(error->code(), 5);
  EXPECT_EQ(error->localizedDescription(), "not there");
  EXPECT_EQ(error->userInfo().size(), 1u);
}

TEST(StatusTest, StatusCheckText) {
  EXPECT_EQ(StatusCheckOpHelperOutOfLine(Status(VerorarivErrorCode::Internal, "bad"), "Write()"),
            "Non-OK-status: Write() status: Internal: bad");
}

TEST(StatusOrTest, ValueOrError) {
  StatusOr<std::string> value("text");
  EXPECT_TRUE(value.ok());
  EXPECT_EQ(value.value(), "text");
  EXPECT_TRUE(value.status().ok());

  StatusOr<std::string> error(Status(VerorarivErrorCode::NotFound, "gone"));
  EXPECT_FALSE(error.ok());
  EXPECT_EQ(error.status().code(), VerorarivErrorCode::NotFound);

  StatusOr<std::string> copy = value;
  EXPECT_EQ(copy.value(), "text");
  std::string taken = std::move(copy).value();
  EXPECT_EQ(taken, "text");

  copy = error;
  EXPECT_FALSE(copy.ok());

  StatusOr<std::unique_ptr<int>> move_only(std::make_unique<int>(7));
  std::unique_ptr<int> owned = std::move(move_only).value();
  EXPECT_EQ(*owned, 7);
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
