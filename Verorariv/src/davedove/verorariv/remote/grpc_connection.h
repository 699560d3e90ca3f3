#ifndef DAVEDOVE_VERORARIV_REMOTE_GRPC_CONNECTION_H_
#define DAVEDOVE_VERORARIV_REMOTE_GRPC_CONNECTION_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include <grpcpp/grpcpp.h>
#include <grpcpp/support/proto_buffer_reader.h>

#include "davedove/verorariv/auth/token.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/status.h"
#include "platform/dispatch/Queue.h"
#include "variru/verorariv/v1/verorariv.grpc.pb.h"

namespace davedove {
namespace verorariv {
namespace remote {

// The value of "x-vari-api-client" on every call.
extern const char kApiClientHeaderValue[];

// The largest document the service keeps.
constexpr size_t kMaxDocumentBytes = 1 << 20;

// The largest message the client takes from the document service, unless a call asks for more. A
// message carries at most one document, which the service bounds at 1 MiB, with its name, times
// and the ids of the targets it matches around it; 4 MiB leaves ample room for those.
constexpr int kMaxReceiveMessageBytes = 4 << 20;

// A message the transport refused for its size: gRPC ends the call with RESOURCE_EXHAUSTED and
// "Sent message larger than max (<size> vs. <limit>)" for the sender's own limit, or "Received
// message larger than max (<size> vs. <limit>)" for the receiver's, the service's or ours. Any
// other RESOURCE_EXHAUSTED is the service's quota or load.
struct OversizedMessage {
  size_t size;
  size_t limit;
};
std::optional<OversizedMessage> OversizedMessageOf(const util::Status& status);

// Whether our transport refused the service's metadata for passing its limit (8 KiB by default),
// as with a status whose message is that long. gRPC then ends the call with RESOURCE_EXHAUSTED
// and "received initial metadata size exceeds limit", for initial and trailing metadata alike,
// without the sizes; an overloaded service's RESOURCE_EXHAUSTED says something else. A service
// that sends this status itself gains nothing: INVALID_ARGUMENT refuses anything for good already.
bool IsOversizedMetadata(const util::Status& status);

// A call in flight that the connection can cancel when it shuts down.
class GrpcCall {
 public:
  virtual ~GrpcCall() = default;
  virtual void Cancel() = 0;
};

// The gRPC status as the database's status.
util::Status ConvertStatus(const grpc::Status& status);

// The channels to the document service, the serial rpc queue on which calls are made, and the
// registry of calls in flight. Results are handed to the worker (async) queue.
class GrpcConnection : public std::enable_shared_from_this<GrpcConnection> {
 public:
  GrpcConnection(const core::DatabaseInfo& database_info,
                 std::shared_ptr<util::AsyncQueue> worker_queue);
  ~GrpcConnection();

  // A client context carrying the bearer token and the two metadata entries.
  std::unique_ptr<grpc::ClientContext> CreateContext(const auth::Token& token) const;

  // For the unary calls; only on a thread of StartThread.
  variru::verorariv::v1::Verorariv::Stub& stub() { return *stub_; }
  // The channel, and so the connection, of the streaming `method` alone, kept from call to call
  // while it stays connected (see ReleaseUnusedChannels); nullptr after Shutdown. It takes
  // messages of up to `receive_limit` bytes: a call with another limit gets a new channel in its
  // place. gRPC closes a connection on which the service sent metadata over our limit, and ends
  // every call on it, one started as it closes too, with that call's refusal: the two streams must
  // never share one, and after such a refusal the stream asks for a `fresh` channel in place of
  // the kept one.
  std::shared_ptr<grpc::Channel> StreamChannel(const grpc::internal::RpcMethod& method, int receive_limit,
                                               bool fresh);
  // Lets go of each kept stream channel that no call uses and that is not connected, so that the
  // next start of its stream, at the stream's own pace, makes a new one; a connected one is kept,
  // and looked at again while unused. Called whenever a call lets go of its channel.
  void ReleaseUnusedChannels();
  // Starts the streaming `method` (an object that outlives its calls) on `channel`, which must
  // outlive the call. Responses arrive as bytes for the caller to decode: one that cannot be
  // decoded must end the call, and a typed read would only stop reading while the server keeps the
  // call open.
  template <typename Request>
  static std::unique_ptr<grpc::ClientReaderWriter<Request, grpc::ByteBuffer>> OpenStream(
      grpc::Channel* channel, const grpc::internal::RpcMethod& method, grpc::ClientContext* context) {
    return std::unique_ptr<grpc::ClientReaderWriter<Request, grpc::ByteBuffer>>(
        grpc::internal::ClientReaderWriterFactory<Request, grpc::ByteBuffer>::Create(channel, method, context));
  }
  const platform::dispatch::QueuePtr& rpc_queue() const { return rpc_queue_; }
  const std::shared_ptr<util::AsyncQueue>& worker_queue() const { return worker_queue_; }
  const core::DatabaseInfo& database_info() const { return database_info_; }
  // "projects/<project>/databases/<database>".
  const std::string& resource_prefix() const { return resource_prefix_; }

  // Starts a thread that belongs to a call; false (and nothing runs) after Shutdown.
  bool StartThread(std::shared_ptr<GrpcCall> call, std::function<void()> body);
  // Keeps `call` cancellable until Unregister; false after Shutdown.
  bool Register(const std::shared_ptr<GrpcCall>& call);
  void Unregister(const std::shared_ptr<GrpcCall>& call);
  // Runs `operation` on the worker queue unless the connection has shut down.
  void PostToWorker(util::Operation operation);

  // Cancels every call in flight, waits for their threads and lets go of the channels; nothing
  // reaches the worker queue afterwards.
  void Shutdown();
  bool is_shut_down() const;

 private:
  core::DatabaseInfo database_info_;
  std::string resource_prefix_;
  std::shared_ptr<util::AsyncQueue> worker_queue_;
  platform::dispatch::QueuePtr rpc_queue_;
  std::shared_ptr<grpc::Channel> channel_;  // for the unary calls
  std::unique_ptr<variru::verorariv::v1::Verorariv::Stub> stub_;

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  bool shut_down_ = false;
  int running_threads_ = 0;
  std::set<std::shared_ptr<GrpcCall>> calls_;
  struct StreamChannelEntry {
    int receive_limit;
    std::shared_ptr<grpc::Channel> channel;
  };
  std::map<std::string, StreamChannelEntry> stream_channels_;  // by method
  bool watching_kept_ = false;  // a look at the unused kept channels is scheduled
};

// One bidirectional streaming call. A thread of its own opens the call and reads; writes go
// through the rpc queue. Every event reaches its observer on the worker queue: on_open once the
// call is established, on_read per message, and at the end either on_close, or on_undecodable
// when the call was ended because a message could not be decoded; nothing after Cancel.
template <typename Request, typename Response>
class GrpcStream : public GrpcCall,
                   public std::enable_shared_from_this<GrpcStream<Request, Response>> {
 public:
  using Opener = std::function<std::unique_ptr<grpc::ClientReaderWriter<Request, grpc::ByteBuffer>>(
      grpc::ClientContext*)>;
  struct Observer {
    std::function<void(const GrpcCall*)> on_open;
    std::function<void(const GrpcCall*, const Response&)> on_read;
    std::function<void(const GrpcCall*, const util::Status&)> on_close;
    std::function<void(const GrpcCall*, const util::Status&)> on_undecodable;
  };

  GrpcStream(std::shared_ptr<GrpcConnection> connection,
             std::unique_ptr<grpc::ClientContext> context, Opener opener, Observer observer)
      : connection_(std::move(connection)),
        context_(std::move(context)),
        opener_(std::move(opener)),
        observer_(std::move(observer)) {}
  ~GrpcStream() override {
    // The opener holds the channel: without it, the channel may be unused now.
    opener_ = nullptr;
    connection_->ReleaseUnusedChannels();
  }

  // Starts the call; false when the connection has shut down.
  bool Start() {
    auto self = this->shared_from_this();
    return connection_->StartThread(self, [self] { self->Run(); });
  }

  // Sends a message after the ones before it; dropped once the call has ended.
  void Write(Request request) {
    auto self = this->shared_from_this();
    connection_->rpc_queue()->async([self, request = std::move(request)] {
      std::lock_guard<std::mutex> lock(self->stream_mutex_);
      if (self->stream_ && !self->write_failed_ && !self->cancelled_) {
        if (!self->stream_->Write(request)) self->write_failed_ = true;
      }
    });
  }

  void Cancel() override {
    cancelled_ = true;
    context_->TryCancel();
  }

 private:
  void Post(std::function<void()> operation) {
    auto self = this->shared_from_this();
    connection_->PostToWorker([self, operation = std::move(operation)] {
      if (!self->cancelled_) operation();
    });
  }

  void Run() {
    auto stream = opener_(context_.get());
    {
      std::lock_guard<std::mutex> lock(stream_mutex_);
      stream_ = std::move(stream);
    }
    Post([this] {
      if (observer_.on_open) observer_.on_open(this);
    });
    grpc::ByteBuffer buffer;
    bool undecodable = false;
    while (stream_->Read(&buffer)) {
      Response response;
      grpc::ProtoBufferReader reader(&buffer);
      if (!response.ParseFromZeroCopyStream(&reader)) {
        // The server still holds the call open; only ending it here lets Finish return.
        undecodable = true;
        context_->TryCancel();
        break;
      }
      Post([this, response = std::move(response)] {
        if (observer_.on_read) observer_.on_read(this, response);
      });
    }
    grpc::Status status;
    {
      std::lock_guard<std::mutex> lock(stream_mutex_);
      status = stream_->Finish();
    }
    if (undecodable) {
      util::Status result(VerorarivErrorCode::Internal,
                          std::string("A message of the document service could not be decoded as ") +
                              Response::descriptor()->full_name());
      Post([this, result] {
        if (observer_.on_undecodable) observer_.on_undecodable(this, result);
      });
      return;
    }
    util::Status result = ConvertStatus(status);
    Post([this, result] {
      if (observer_.on_close) observer_.on_close(this, result);
    });
  }

  std::shared_ptr<GrpcConnection> connection_;
  std::unique_ptr<grpc::ClientContext> context_;
  Opener opener_;
  Observer observer_;

  std::mutex stream_mutex_;  // guards stream_, its writes and its Finish
  std::unique_ptr<grpc::ClientReaderWriter<Request, grpc::ByteBuffer>> stream_;
  bool write_failed_ = false;
  std::atomic<bool> cancelled_{false};
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_GRPC_CONNECTION_H_
