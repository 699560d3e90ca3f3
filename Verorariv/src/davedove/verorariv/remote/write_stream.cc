#include "davedove/verorariv/remote/write_stream.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"

namespace davedove {
namespace verorariv {
namespace remote {

namespace v1 = variru::verorariv::v1;

namespace {

// Besides the results, an answer carries its commit time and a stream id and token like those the
// request carries (counted in the request's size).
constexpr size_t kAnswerFramingBytes = 1 << 10;
// A write's result: its update time and framing.
constexpr size_t kResultFramingBytes = 64;
// Around each transform result.
constexpr size_t kValueFramingBytes = 16;
// The result of a server time or an increment: a timestamp value (two varints of at most ten
// bytes, with tags and lengths) or a number, which is smaller.
constexpr size_t kScalarResultBytes = 24;

}  // namespace

WriteStream::WriteStream(std::shared_ptr<GrpcConnection> connection,
                         auth::CredentialsProvider* credentials,
                         std::shared_ptr<VRVSerializerBeta> serializer, WriteStreamCallback* callback)
    : Stream(std::move(connection), credentials, util::TimerId::WriteStreamBackoff,
             util::TimerId::WriteStreamIdle),
      serializer_(std::move(serializer)),
      validator_(serializer_->databaseID()),
      callback_(callback) {}

std::shared_ptr<GrpcCall> WriteStream::CreateCall(const auth::Token& token) {
  static const grpc::internal::RpcMethod kWrite("/variru.verorariv.v1.Verorariv/Write",
                                              grpc::internal::RpcMethod::BIDI_STREAMING);
  receive_limit_ = next_receive_limit_;
  next_receive_limit_ = kMaxReceiveMessageBytes;
  return OpenCall<v1::WriteRequest, v1::WriteResponse>(token, kWrite, &WriteStream::OnResponse,
                                                       receive_limit_);
}

void WriteStream::NotifyStreamOpen() { callback_->OnWriteStreamOpen(); }

void WriteStream::NotifyStreamClose(const util::Status& status) {
  callback_->OnWriteStreamClose(status);
}

void WriteStream::TearDown() {
  // Unless everything sent was answered, the same requests go out on the next connection.
  if (!handshake_complete_ || !unanswered_sizes_.empty() || held_) {
    next_receive_limit_ = std::max(next_receive_limit_, receive_limit_);
  }
  handshake_complete_ = false;
  stream_id_.clear();
  unanswered_sizes_.clear();
  held_ = false;
}

void WriteStream::Send(v1::WriteRequest request) {
  auto call = std::static_pointer_cast<GrpcStream<v1::WriteRequest, v1::WriteResponse>>(current_call());
  CancelIdleCheck();
  call->Write(std::move(request));
}

void WriteStream::WriteHandshake() {
  HARD_ASSERT(IsOpen(), "Writing the handshake requires an open stream");
  HARD_ASSERT(!handshake_complete_, "Handshake already completed");
  v1::WriteRequest request;
  request.set_database(connection()->resource_prefix());
  Send(std::move(request));
}

void WriteStream::WriteMutations(const std::vector<model::MutationPtr>& mutations) {
  HARD_ASSERT(IsOpen(), "Writing mutations requires an open stream");
  HARD_ASSERT(handshake_complete_, "Handshake must be complete before writing mutations");
  v1::WriteRequest request;
  request.set_stream_id(stream_id_);
  request.set_stream_token(last_stream_token_);
  for (const auto& mutation : mutations) *request.add_writes() = serializer_->encodedMutation(*mutation);
  int receive_limit = ReceiveLimitFor(request);
  if (held_ || receive_limit > receive_limit_) {
    // Its answer might not fit this connection; sent now, it would be lost with the answer.
    held_ = true;
    next_receive_limit_ = std::max(next_receive_limit_, receive_limit);
    ReconnectWhenAnswered();
    return;
  }
  unanswered_sizes_.push_back(request.ByteSizeLong());
  Send(std::move(request));
}

int WriteStream::ReceiveLimitFor(const v1::WriteRequest& request) {
  // A server time's or an increment's result is a timestamp or a number. Any other transform's
  // (an array's) is the transformed field: no larger than a document of the service, with the
  // operands the transform added to it (within the request).
  size_t results = 0;
  for (const v1::Write& write : request.writes()) {
    for (const v1::DocumentTransform::FieldTransform& each : write.transform().field_transforms()) {
      const bool scalar = each.has_set_to_server_value() || each.has_increment();
      results += kValueFramingBytes + (scalar ? kScalarResultBytes : kMaxDocumentBytes);
    }
  }
  size_t bound = kAnswerFramingBytes + request.ByteSizeLong() +
                 static_cast<size_t>(request.writes_size()) * kResultFramingBytes + results;
  // Powers of two, so that a connection's limit grows in few steps; past 1 GiB, all the transport takes.
  size_t limit = kMaxReceiveMessageBytes;
  while (limit < bound && limit < (size_t{1} << 30)) limit *= 2;
  return limit < bound ? std::numeric_limits<int>::max() : static_cast<int>(limit);
}

void WriteStream::ReconnectWhenAnswered() {
  if (!held_ || !unanswered_sizes_.empty()) return;
  // The owner may be amid sending its batches: the connection ends after that.
  std::weak_ptr<WriteStream> weak = std::static_pointer_cast<WriteStream>(shared_from_this());
  connection()->PostToWorker([weak, call = current_call()] {
    auto self = weak.lock();
    if (!self || !self->IsOpenCall(call.get()) || !self->held_ || !self->unanswered_sizes_.empty()) return;
    LOG_DEBUG("Write stream reopening to take answers of up to %s bytes", self->next_receive_limit_);
    self->CloseOpenConnection();
  });
}

std::optional<size_t> WriteStream::OversizedRequest(const util::Status& status) const {
  if (unanswered_sizes_.empty()) return std::nullopt;
  // The status that ended the stream, over our metadata limit: the answer due next, the oldest
  // request's (the initial metadata came before the handshake's answer).
  if (IsOversizedMetadata(status)) return 0;
  std::optional<OversizedMessage> oversized = OversizedMessageOf(status);
  if (!oversized) return std::nullopt;
  // Over this connection's own limit: the answer due next, the oldest request's. The limit fits
  // each request's answer, and so the request: no request is that large.
  if (oversized->limit == static_cast<size_t>(receive_limit_) && oversized->size > oversized->limit) return 0;
  // Else the size names the request exactly; a size of none of them was some other message.
  auto found = std::find(unanswered_sizes_.begin(), unanswered_sizes_.end(), oversized->size);
  if (found == unanswered_sizes_.end()) return std::nullopt;
  return static_cast<size_t>(found - unanswered_sizes_.begin());
}

void WriteStream::OnResponse(const GrpcCall* call, const v1::WriteResponse& response) {
  if (!IsOpenCall(call)) return;
  if (!validator_.IsWriteResponse(response)) {
    FailStream(util::Status(VerorarivErrorCode::Internal, "Malformed message on the write stream"));
    return;
  }
  OnValidMessage();
  last_stream_token_ = response.stream_token();
  if (!handshake_complete_) {
    // The first response answers the handshake and carries no results.
    handshake_complete_ = true;
    stream_id_ = response.stream_id();
    callback_->OnWriteStreamHandshakeComplete();
    return;
  }
  if (unanswered_sizes_.empty()) {
    // Held batches were never sent on this connection: an answer cannot be theirs.
    FailStream(
        util::Status(VerorarivErrorCode::Internal, "The write stream answered with no request in flight"));
    return;
  }
  unanswered_sizes_.pop_front();
  model::SnapshotVersion commit_version = serializer_->decodedVersion(response.commit_time());
  callback_->OnWriteStreamMutationResult(commit_version,
                                         DecodeWriteResults(*serializer_, response, commit_version));
  if (IsOpenCall(call)) ReconnectWhenAnswered();
}

std::vector<model::VRVMutationResult> WriteStream::DecodeWriteResults(
    const VRVSerializerBeta& serializer, const v1::WriteResponse& response,
    const model::SnapshotVersion& commit_version) {
  std::vector<model::VRVMutationResult> results;
  results.reserve(response.write_results_size());
  for (const v1::WriteResult& result : response.write_results()) {
    // A write that changed nothing has no update time of its own.
    model::SnapshotVersion version =
        result.has_update_time() ? serializer.decodedVersion(result.update_time()) : commit_version;
    std::optional<std::vector<model::FieldValuePtr>> transform_results;
    if (result.transform_results_size() > 0) {
      std::vector<model::FieldValuePtr> values;
      for (const auto& value : result.transform_results()) values.push_back(serializer.decodedFieldValue(value));
      transform_results = std::move(values);
    }
    results.emplace_back(version, std::move(transform_results));
  }
  return results;
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
