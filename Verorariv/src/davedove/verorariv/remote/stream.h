#ifndef DAVEDOVE_VERORARIV_REMOTE_STREAM_H_
#define DAVEDOVE_VERORARIV_REMOTE_STREAM_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "davedove/verorariv/auth/credentials_provider.h"
#include "davedove/verorariv/auth/token.h"
#include "davedove/verorariv/remote/exponential_backoff.h"
#include "davedove/verorariv/remote/grpc_connection.h"
#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/status.h"

namespace davedove {
namespace verorariv {
namespace remote {

// The life of one of the two long-lived streams, on the async queue:
//
//   Initial --Start--> Starting (token fetch, connect) --> Open --error--> Error
//   Error --Start--> Backoff --delay--> Starting ...      any --Stop--> Initial
//
// A stream that stays idle (MarkIdle with nothing asked of it) for 60 s is closed; the next
// use opens it again. A failure with UNAUTHENTICATED makes the next token fetch force a refresh;
// a failure with RESOURCE_EXHAUSTED waits the longest back-off, unless the transport refused a
// message or an answer's metadata for its size (logged as an error).
//
// Every failure retries through the back-off, which grows with each failure in a row. Only a
// connection that proved itself (still open kHealthyAfter after the first message the client
// accepted) lets the next retry go at once. A snapshot or an acknowledged write proves nothing by
// itself: a service that ends every stream right after one would be reconnected to without pause.
// A connection the client refused never proves itself.
class Stream : public std::enable_shared_from_this<Stream> {
 public:
  enum class State { Initial, Starting, Open, Error, Backoff };

  Stream(std::shared_ptr<GrpcConnection> connection, auth::CredentialsProvider* credentials,
         util::TimerId backoff_timer_id, util::TimerId idle_timer_id);
  virtual ~Stream();

  // Connects (after the back-off when the previous attempt failed). The delegate hears
  // OnStreamOpen once connected. Must not be started.
  void Start();
  // Closes the stream without telling the delegate; back-off is kept.
  void Stop();
  // Started: connecting, backing off or open.
  bool IsStarted() const;
  bool IsOpen() const;
  // Closes the stream after 60 s unless it is used again in between.
  void MarkIdle();
  // The next start goes at once (after a stop that was not caused by a failure).
  void InhibitBackoff();
  // Ends the connection as failed because the client refused what the server sent; logged as an
  // error, and the retry backs off.
  void FailStream(const util::Status& status);

  // How long a connection must stay open after the first message the client accepted to count
  // as healthy.
  static constexpr std::chrono::seconds kHealthyAfter{5};

  State state() const { return state_; }

 protected:
  // Opens the gRPC call with the token; the call reports through the three handlers below.
  virtual std::shared_ptr<GrpcCall> CreateCall(const auth::Token& token) = 0;
  // The delegate hooks.
  virtual void NotifyStreamOpen() = 0;
  virtual void NotifyStreamClose(const util::Status& status) = 0;
  // A stream ends up being reused: per-connection state (such as the handshake) is reset here.
  virtual void TearDown() {}

  // Called by the subclass's call observer on the worker queue; `call` identifies the
  // connection the event belongs to, so that events of an earlier connection are dropped.
  bool IsCurrentCall(const GrpcCall* call) const { return call_ && call_.get() == call; }
  void OnCallOpen(const GrpcCall* call);
  void OnCallClose(const GrpcCall* call, const util::Status& status);
  void OnCallUndecodable(const GrpcCall* call, const util::Status& status);
  // Whether a message of `call` is for the open connection (else it is dropped).
  bool IsOpenCall(const GrpcCall* call) const { return IsCurrentCall(call) && state_ == State::Open; }
  // The server sent a message the client accepted.
  void OnValidMessage() {
    if (!heard_at_) heard_at_ = std::chrono::steady_clock::now();
  }
  // Stops the idle timer (use of the stream).
  void CancelIdleCheck();
  // Ends the open connection without a failure, as an idle one is ended; the delegate hears of it.
  void CloseOpenConnection();
  // Opens a streaming call of `method` (an object that outlives its calls) with `token`, taking
  // messages of up to `receive_limit` bytes; the call's events reach this stream's handlers
  // (`on_response` for each message) while it lives.
  template <typename Request, typename Response, typename Self>
  std::shared_ptr<GrpcCall> OpenCall(const auth::Token& token, const grpc::internal::RpcMethod& method,
                                     void (Self::*on_response)(const GrpcCall*, const Response&),
                                     int receive_limit = kMaxReceiveMessageBytes) {
    using Call = GrpcStream<Request, Response>;
    std::weak_ptr<Self> weak = std::static_pointer_cast<Self>(shared_from_this());
    typename Call::Observer observer;
    observer.on_open = [weak](const GrpcCall* call) {
      if (auto self = weak.lock()) self->OnCallOpen(call);
    };
    observer.on_read = [weak, on_response](const GrpcCall* call, const Response& response) {
      if (auto self = weak.lock()) ((*self).*on_response)(call, response);
    };
    observer.on_close = [weak](const GrpcCall* call, const util::Status& status) {
      if (auto self = weak.lock()) self->OnCallClose(call, status);
    };
    observer.on_undecodable = [weak](const GrpcCall* call, const util::Status& status) {
      if (auto self = weak.lock()) self->OnCallUndecodable(call, status);
    };
    // The call keeps the connection alive for as long as it runs, and its channel with it.
    std::shared_ptr<grpc::Channel> channel =
        connection_->StreamChannel(method, receive_limit, std::exchange(fresh_channel_, false));
    if (!channel) return nullptr;
    auto call = std::make_shared<Call>(
        connection_, connection_->CreateContext(token),
        [channel, &method](grpc::ClientContext* context) {
          return GrpcConnection::OpenStream<Request>(channel.get(), method, context);
        },
        std::move(observer));
    if (!call->Start()) return nullptr;
    return call;
  }
  std::shared_ptr<GrpcCall> current_call() const { return call_; }
  const std::shared_ptr<GrpcConnection>& connection() const { return connection_; }
  util::AsyncQueue& worker_queue() const { return *connection_->worker_queue(); }

 private:
  void RequestToken();
  void ResumeStartWithToken(const util::StatusOr<auth::Token>& token);
  void HandleIdleCloseTimer();
  // Ends the current connection; `status` not OK means a failure (`refused`: the client's own
  // refusal of a message). The delegate hears of it when `notify` is set.
  void Close(const util::Status& status, bool notify, bool refused = false);
  void PerformBackoff();

  std::shared_ptr<GrpcConnection> connection_;
  auth::CredentialsProvider* credentials_;
  util::TimerId idle_timer_id_;
  ExponentialBackoff backoff_;
  State state_ = State::Initial;
  std::shared_ptr<GrpcCall> call_;
  util::DelayedOperation idle_timer_;
  bool idle_timer_scheduled_ = false;
  // Bumped on every start and stop, so that a token arriving late for an old start is dropped.
  int close_count_ = 0;
  // When the current connection delivered its first message the client accepted.
  std::optional<std::chrono::steady_clock::time_point> heard_at_;
  // The kept connection is being closed by gRPC: the next call must not start on it.
  bool fresh_channel_ = false;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_STREAM_H_
