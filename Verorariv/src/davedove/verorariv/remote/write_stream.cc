#include "davedove/verorariv/remote/write_stream.h"

#include <algorithm>
#include <utility>

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace remote {

namespace v1 = variru::verorariv::v1;

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
  return OpenCall<v1::WriteRequest, v1::WriteResponse>(token, kWrite, &WriteStream::OnResponse);
}

void WriteStream::NotifyStreamOpen() { callback_->OnWriteStreamOpen(); }

void WriteStream::NotifyStreamClose(const util::Status& status) {
  callback_->OnWriteStreamClose(status);
}

void WriteStream::TearDown() {
  handshake_complete_ = false;
  stream_id_.clear();
  unanswered_sizes_.clear();
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
  unanswered_sizes_.push_back(request.ByteSizeLong());
  Send(std::move(request));
}

std::optional<size_t> WriteStream::OversizedRequest(const util::Status& status) const {
  std::optional<OversizedMessage> oversized = OversizedMessageOf(status);
  if (!oversized) return std::nullopt;
  // The size names the request exactly; a size of none of them was a response too large for us.
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
  if (!unanswered_sizes_.empty()) unanswered_sizes_.pop_front();
  model::SnapshotVersion commit_version = serializer_->decodedVersion(response.commit_time());
  callback_->OnWriteStreamMutationResult(commit_version,
                                         DecodeWriteResults(*serializer_, response, commit_version));
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
