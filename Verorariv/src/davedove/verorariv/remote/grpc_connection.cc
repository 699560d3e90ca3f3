#include "davedove/verorariv/remote/grpc_connection.h"

#include <pthread.h>

#include <charconv>
#include <chrono>
#include <utility>
#include <vector>

#include <grpcpp/security/credentials.h>

#include "absl/strings/strip.h"

#include "davedove/verorariv/util/log.h"
#include "platform/foundation/LoopbackHost.h"

namespace davedove {
namespace verorariv {
namespace remote {

const char kApiClientHeaderValue[] = "verorariv-cpp/1.0.0 grpc-cpp";

namespace {

constexpr char kRpcQueueLabel[] = "com.variru.davedove.verorariv.rpc";

// How long one attempt to connect to the document service may take, its TLS handshake included:
// gRPC's own default, ample for a satellite link.
constexpr int kConnectDeadlineMs = 20000;

// A stream's connection, kept between its calls, may have died silently meanwhile (a new Wi-Fi
// after a sleep): once a call has sent something, a ping every this often, unanswered for as long,
// ends the connection and the stream reconnects, instead of waiting on it for good. gRPC sends at
// most two pings after each message of ours, which a server's default ping policy allows; a call
// that has been quiet for longer is not watched.
constexpr int kKeepaliveMs = 10000;

// How often a channel let go while it connects is looked at again.
constexpr std::chrono::milliseconds kSettleCheck(50);

// How often a kept channel that no call uses is looked at: once no longer connected it is let go,
// or round robin would connect it again and again at its own pace, not the streams'.
constexpr std::chrono::seconds kKeptCheck(5);

// Drops `channel` once no attempt of it to connect is under way, or when one would have timed
// out: gRPC keeps open for good a connection whose attempt succeeds after its channel is gone.
void DropWhenSettled(std::shared_ptr<grpc::Channel> channel, std::chrono::steady_clock::time_point give_up) {
  grpc_connectivity_state state = channel->GetState(false);
  if (state == GRPC_CHANNEL_READY || state == GRPC_CHANNEL_IDLE || state == GRPC_CHANNEL_TRANSIENT_FAILURE ||
      state == GRPC_CHANNEL_SHUTDOWN || std::chrono::steady_clock::now() >= give_up) {
    return;
  }
  platform::dispatch::Queue::global(platform::dispatch::QoS::Utility)
      ->after(kSettleCheck, [channel = std::move(channel), give_up]() mutable {
        DropWhenSettled(std::move(channel), give_up);
      });
}

// A channel to the document service. `side_by_side`: all of the name's addresses at once, not one
// after another, for a stream's channel, which is let go once it is unused and not connected.
std::shared_ptr<grpc::Channel> MakeChannel(const core::DatabaseInfo& info, int receive_limit, bool side_by_side) {
  grpc::ChannelArguments args;
  // The streams pace their own reconnects; the channel must not add minutes of its own.
  args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 100);
  args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 2000);
  // gRPC takes this as the deadline of one connection attempt (TCP, TLS, up to the service's first
  // SETTINGS frame), not as a pause: it must leave room for a slow link.
  args.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, kConnectDeadlineMs);
  // An address that drops packets listed first (a broken IPv6 path) would cost a stream the whole
  // deadline. Round robin connects again on its own whenever a connection ends, so the channel that
  // lives as long as the client, for the unary calls, keeps to the first address that answers.
  // Our choice, not the DNS's.
  args.SetServiceConfigJSON(side_by_side ? R"({"loadBalancingConfig":[{"round_robin":{}}]})"
                                         : R"({"loadBalancingConfig":[{"pick_first":{}}]})");
  args.SetInt(GRPC_ARG_SERVICE_CONFIG_DISABLE_RESOLUTION, 1);
  args.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, kKeepaliveMs);
  args.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, kKeepaliveMs);
  args.SetMaxReceiveMessageSize(receive_limit);
  // A connection of this channel's own, shared with no other channel.
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  std::shared_ptr<grpc::ChannelCredentials> credentials;
  if (!info.ssl_enabled() && platform::isLoopbackHost(info.host())) {
    credentials = grpc::InsecureChannelCredentials();
  } else {
    if (!info.ssl_enabled()) {
      LOG_WARN("TLS stays on for %s: plain text is only allowed to a loopback host", info.host());
    }
    credentials = grpc::SslCredentials(grpc::SslCredentialsOptions());
  }
  std::shared_ptr<grpc::Channel> channel = grpc::CreateCustomChannel(info.host(), credentials, args);
  // The last user's drop hands the channel on until it has settled.
  return std::shared_ptr<grpc::Channel>(channel.get(), [channel](grpc::Channel*) mutable {
    DropWhenSettled(std::move(channel),
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectDeadlineMs) + kSettleCheck);
  });
}

}  // namespace

util::Status ConvertStatus(const grpc::Status& status) {
  if (status.ok()) return util::Status::OK();
  int code = static_cast<int>(status.error_code());
  if (code <= 0 || code > static_cast<int>(VerorarivErrorCode::Unauthenticated)) {
    code = static_cast<int>(VerorarivErrorCode::Unknown);
  }
  return util::Status(static_cast<VerorarivErrorCode>(code), status.error_message());
}

std::optional<OversizedMessage> OversizedMessageOf(const util::Status& status) {
  if (status.code() != VerorarivErrorCode::ResourceExhausted) return std::nullopt;
  absl::string_view text = status.error_message();
  if (!absl::ConsumePrefix(&text, "Sent message larger than max (") &&
      !absl::ConsumePrefix(&text, "Received message larger than max (")) {
    return std::nullopt;
  }
  // Reads a number followed by `after`.
  auto read = [&text](size_t* value, absl::string_view after) {
    auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    text.remove_prefix(static_cast<size_t>(next - text.data()));
    return error == std::errc() && absl::ConsumePrefix(&text, after);
  };
  OversizedMessage message{};
  if (!read(&message.size, " vs. ") || !read(&message.limit, ")")) return std::nullopt;
  return message;
}

bool IsOversizedMetadata(const util::Status& status) {
  return status.code() == VerorarivErrorCode::ResourceExhausted &&
         status.error_message() == "received initial metadata size exceeds limit";
}

GrpcConnection::GrpcConnection(const core::DatabaseInfo& database_info,
                               std::shared_ptr<util::AsyncQueue> worker_queue)
    : database_info_(database_info),
      resource_prefix_("projects/" + database_info.database_id().project_id() + "/databases/" +
                       database_info.database_id().database_id()),
      worker_queue_(std::move(worker_queue)),
      rpc_queue_(platform::dispatch::Queue::serial(kRpcQueueLabel)),
      channel_(MakeChannel(database_info, kMaxReceiveMessageBytes, /*side_by_side=*/false)),
      stub_(variru::verorariv::v1::Verorariv::NewStub(channel_)) {}

GrpcConnection::~GrpcConnection() {
  // Only cancels: the destructor may run on a call's own thread, which must not wait for itself.
  std::vector<std::shared_ptr<GrpcCall>> calls;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
    calls.assign(calls_.begin(), calls_.end());
  }
  for (const auto& call : calls) call->Cancel();
}

std::unique_ptr<grpc::ClientContext> GrpcConnection::CreateContext(const auth::Token& token) const {
  auto context = std::make_unique<grpc::ClientContext>();
  if (!token.token().empty()) context->AddMetadata("authorization", "Bearer " + token.token());
  context->AddMetadata("x-vari-api-client", kApiClientHeaderValue);
  context->AddMetadata("variru-cloud-resource-prefix", resource_prefix_);
  return context;
}

std::shared_ptr<grpc::Channel> GrpcConnection::StreamChannel(const grpc::internal::RpcMethod& method,
                                                             int receive_limit, bool fresh) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_down_) return nullptr;
  StreamChannelEntry& entry = stream_channels_[method.name()];
  if (!entry.channel || entry.receive_limit != receive_limit || fresh) {
    entry = {receive_limit, MakeChannel(database_info_, receive_limit, /*side_by_side=*/true)};
  }
  return entry.channel;
}

void GrpcConnection::ReleaseUnusedChannels() {
  std::vector<std::shared_ptr<grpc::Channel>> released;  // let go outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  bool kept = false;
  for (auto it = stream_channels_.begin(); it != stream_channels_.end();) {
    // Held by the map alone: no call is on it, and none is being started, which takes the lock.
    const bool unused = it->second.channel.use_count() == 1;
    if (unused && it->second.channel->GetState(false) != GRPC_CHANNEL_READY) {
      released.push_back(std::move(it->second.channel));
      it = stream_channels_.erase(it);
      continue;
    }
    kept = kept || unused;
    ++it;
  }
  if (!kept || watching_kept_ || shut_down_) return;
  watching_kept_ = true;
  std::weak_ptr<GrpcConnection> weak = shared_from_this();
  platform::dispatch::Queue::global(platform::dispatch::QoS::Utility)->after(kKeptCheck, [weak] {
    std::shared_ptr<GrpcConnection> self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->watching_kept_ = false;
    }
    self->ReleaseUnusedChannels();
  });
}

bool GrpcConnection::StartThread(std::shared_ptr<GrpcCall> call, std::function<void()> body) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shut_down_) return false;
    ++running_threads_;
    calls_.insert(call);
  }
  // The thread keeps the connection alive until it has unregistered.
  std::thread([self = shared_from_this(), call = std::move(call), body = std::move(body)]() mutable {
    // Else it would carry the name of the pool worker that started it.
    pthread_setname_np(pthread_self(), "vrv-rpc-call");
    body();
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->calls_.erase(call);
      --self->running_threads_;
    }
    self->idle_.notify_all();
    call.reset();
  }).detach();
  return true;
}

bool GrpcConnection::Register(const std::shared_ptr<GrpcCall>& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_down_) return false;
  calls_.insert(call);
  return true;
}

void GrpcConnection::Unregister(const std::shared_ptr<GrpcCall>& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.erase(call);
}

void GrpcConnection::PostToWorker(util::Operation operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_down_) return;
  worker_queue_->EnqueueRelaxed(operation);
}

void GrpcConnection::Shutdown() {
  std::vector<std::shared_ptr<GrpcCall>> calls;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
    calls.assign(calls_.begin(), calls_.end());
  }
  for (const auto& call : calls) call->Cancel();
  std::map<std::string, StreamChannelEntry> stream_channels;
  std::unique_ptr<variru::verorariv::v1::Verorariv::Stub> stub;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return running_threads_ == 0; });
  // No call is left to use them; they go outside the lock.
  stream_channels.swap(stream_channels_);
  stub.swap(stub_);
  channel.swap(channel_);
}

bool GrpcConnection::is_shut_down() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shut_down_;
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
