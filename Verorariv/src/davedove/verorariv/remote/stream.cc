#include "davedove/verorariv/remote/stream.h"

#include <utility>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"

namespace davedove {
namespace verorariv {
namespace remote {

namespace {
// A stream nobody uses is closed after this long.
constexpr util::Milliseconds kIdleTimeout(60000);
}  // namespace

Stream::Stream(std::shared_ptr<GrpcConnection> connection, auth::CredentialsProvider* credentials,
               util::TimerId backoff_timer_id, util::TimerId idle_timer_id)
    : connection_(std::move(connection)),
      credentials_(credentials),
      idle_timer_id_(idle_timer_id),
      backoff_(connection_->worker_queue(), backoff_timer_id) {}

Stream::~Stream() {
  idle_timer_.Cancel();
  if (call_) call_->Cancel();
}

bool Stream::IsStarted() const {
  return state_ == State::Starting || state_ == State::Open || state_ == State::Backoff;
}

bool Stream::IsOpen() const { return state_ == State::Open; }

void Stream::Start() {
  if (state_ == State::Error) {
    PerformBackoff();
    return;
  }
  HARD_ASSERT(state_ == State::Initial, "Stream already started");
  state_ = State::Starting;
  RequestToken();
}

void Stream::PerformBackoff() {
  state_ = State::Backoff;
  std::weak_ptr<Stream> weak = shared_from_this();
  backoff_.BackoffAndRun([weak] {
    auto self = weak.lock();
    if (!self || self->state_ != State::Backoff) return;
    self->state_ = State::Starting;
    self->RequestToken();
  });
}

void Stream::RequestToken() {
  int close_count = close_count_;
  std::weak_ptr<Stream> weak = shared_from_this();
  std::weak_ptr<GrpcConnection> weak_connection = connection_;
  credentials_->GetToken([weak, weak_connection, close_count](util::StatusOr<auth::Token> token) {
    auto connection = weak_connection.lock();
    if (!connection) return;
    connection->PostToWorker([weak, close_count, token = std::move(token)] {
      auto self = weak.lock();
      // A stop or a failure since the request makes the token useless.
      if (!self || self->close_count_ != close_count) return;
      self->ResumeStartWithToken(token);
    });
  });
}

void Stream::ResumeStartWithToken(const util::StatusOr<auth::Token>& token) {
  if (state_ != State::Starting) return;
  if (!token.ok()) {
    Close(token.status(), true);
    return;
  }
  call_ = CreateCall(token.value());
  if (!call_) state_ = State::Initial;  // the connection has shut down
}

void Stream::OnCallOpen(const GrpcCall* call) {
  if (!IsCurrentCall(call) || state_ != State::Starting) return;
  state_ = State::Open;
  heard_at_.reset();
  NotifyStreamOpen();
}

void Stream::FailStream(const util::Status& status) {
  LOG_ERROR("Refused a message of the document service: %s", status.ToString());
  Close(status, true, /*refused=*/true);
}

void Stream::OnCallClose(const GrpcCall* call, const util::Status& status) {
  if (!IsCurrentCall(call)) return;
  // The server ending a stream is a failure too: the stream is meant to stay open.
  Close(status.ok() ? util::Status(VerorarivErrorCode::Unavailable, "The stream was closed by the server")
                    : status,
        true);
}

void Stream::OnCallUndecodable(const GrpcCall* call, const util::Status& status) {
  if (IsCurrentCall(call)) FailStream(status);
}

void Stream::Stop() {
  if (IsStarted()) Close(util::Status::OK(), false);
}

void Stream::InhibitBackoff() {
  HARD_ASSERT(!IsStarted(), "Can only inhibit the back-off of a stream that is not started");
  state_ = State::Initial;
  backoff_.Reset();
}

void Stream::MarkIdle() {
  if (!IsOpen() || idle_timer_scheduled_) return;
  idle_timer_scheduled_ = true;
  std::weak_ptr<Stream> weak = shared_from_this();
  idle_timer_ = worker_queue().EnqueueAfterDelay(kIdleTimeout, idle_timer_id_, [weak] {
    if (auto self = weak.lock()) self->HandleIdleCloseTimer();
  });
}

void Stream::HandleIdleCloseTimer() {
  idle_timer_scheduled_ = false;
  // Unused for the whole timeout: close until someone needs the stream again.
  CloseOpenConnection();
}

void Stream::CloseOpenConnection() {
  if (IsOpen()) Close(util::Status::OK(), true);
}

void Stream::CancelIdleCheck() {
  idle_timer_.Cancel();
  idle_timer_scheduled_ = false;
}

void Stream::Close(const util::Status& status, bool notify, bool refused) {
  CancelIdleCheck();
  backoff_.Cancel();
  ++close_count_;
  if (call_) {
    call_->Cancel();
    call_.reset();
  }
  bool proved = state_ == State::Open && heard_at_ &&
                std::chrono::steady_clock::now() - *heard_at_ >= kHealthyAfter;
  heard_at_.reset();
  if (!status.ok() && proved && !refused) backoff_.Reset();
  if (std::optional<OversizedMessage> oversized = OversizedMessageOf(status)) {
    // Not the service's load: a message that will be as large on the next try.
    LOG_ERROR("A message of %s bytes is over the transport's limit of %s bytes: %s", oversized->size,
              oversized->limit, status.error_message());
  } else if (IsOversizedMetadata(status)) {
    // Nor is an answer whose metadata is over our limit: it will be as large on the next try.
    // gRPC closes the connection it came on, and a call started there first would end the same
    // way without an answer of its own.
    fresh_channel_ = true;
    LOG_ERROR("An answer of the document service is over the transport's metadata limit: %s",
              status.error_message());
  } else if (status.code() == VerorarivErrorCode::ResourceExhausted) {
    LOG_DEBUG("The document service is overloaded; waiting the longest back-off");
    backoff_.ResetToMax();
  } else if (status.code() == VerorarivErrorCode::Unauthenticated) {
    // The token may have expired or been revoked: the next start fetches a fresh one.
    credentials_->InvalidateToken();
  }
  state_ = status.ok() ? State::Initial : State::Error;
  if (notify) NotifyStreamClose(status);
  TearDown();
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
