#ifndef DAVEDOVE_VERORARIV_REMOTE_WRITE_STREAM_H_
#define DAVEDOVE_VERORARIV_REMOTE_WRITE_STREAM_H_

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "davedove/verorariv/remote/stream.h"
#include "davedove/verorariv/remote/wire_validator.h"

namespace davedove {
namespace verorariv {
namespace remote {

// What the write stream tells its owner, on the async queue.
class WriteStreamCallback {
 public:
  virtual ~WriteStreamCallback() = default;
  virtual void OnWriteStreamOpen() = 0;
  // The server answered the handshake; mutations may be written now.
  virtual void OnWriteStreamHandshakeComplete() = 0;
  // The results of the oldest unacknowledged write request.
  virtual void OnWriteStreamMutationResult(const model::SnapshotVersion& commit_version,
                                           std::vector<model::VRVMutationResult> results) = 0;
  virtual void OnWriteStreamClose(const util::Status& status) = 0;
};

// The Write stream: a handshake, then one request per mutation batch; every response carries a
// stream token, which the next request (and the next stream, through the local store) sends back.
//
// Each connection takes answers up to a limit that fits the answer to every request sent on it. A
// request whose answer may be larger waits, with those after it, until the requests sent ahead
// of it are answered; the connection then ends and the next one, with a limit that fits, takes
// them all (the owner sends its batches again on every new connection).
class WriteStream : public Stream {
 public:
  WriteStream(std::shared_ptr<GrpcConnection> connection, auth::CredentialsProvider* credentials,
              std::shared_ptr<VRVSerializerBeta> serializer, WriteStreamCallback* callback);

  // The token of the last response; set by the owner before the stream starts.
  const std::string& last_stream_token() const { return last_stream_token_; }
  void set_last_stream_token(std::string token) { last_stream_token_ = std::move(token); }
  bool handshake_complete() const { return handshake_complete_; }

  // The first request of a new stream. The stream must be open.
  void WriteHandshake();
  // One batch's mutations. The handshake must be complete.
  void WriteMutations(const std::vector<model::MutationPtr>& mutations);
  // When `status` is the transport's refusal, for its size, of one of this connection's
  // unanswered mutation requests or of the answer to it (its message or its metadata), that
  // request's place among them (0 for the oldest).
  std::optional<size_t> OversizedRequest(const util::Status& status) const;
  // The receive limit of a connection that must take the answer to `request`.
  static int ReceiveLimitFor(const variru::verorariv::v1::WriteRequest& request);

  // The results of one response, decoded.
  static std::vector<model::VRVMutationResult> DecodeWriteResults(
      const VRVSerializerBeta& serializer, const variru::verorariv::v1::WriteResponse& response,
      const model::SnapshotVersion& commit_version);

 protected:
  std::shared_ptr<GrpcCall> CreateCall(const auth::Token& token) override;
  void NotifyStreamOpen() override;
  void NotifyStreamClose(const util::Status& status) override;
  void TearDown() override;

 private:
  void OnResponse(const GrpcCall* call, const variru::verorariv::v1::WriteResponse& response);
  void Send(variru::verorariv::v1::WriteRequest request);
  // Once nothing sent on this connection awaits its answer, a connection that fits the held
  // requests replaces it.
  void ReconnectWhenAnswered();

  std::shared_ptr<VRVSerializerBeta> serializer_;
  WireValidator validator_;
  WriteStreamCallback* callback_;
  std::string last_stream_token_;
  std::string stream_id_;
  bool handshake_complete_ = false;
  // The encoded sizes of the mutation requests not answered yet, oldest first.
  std::deque<size_t> unanswered_sizes_;
  // Requests wait, unsent, for a connection with a larger limit.
  bool held_ = false;
  // The receive limit of this connection, and of the next one: it fits the requests that go out
  // on it again.
  int receive_limit_ = kMaxReceiveMessageBytes;
  int next_receive_limit_ = kMaxReceiveMessageBytes;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_WRITE_STREAM_H_
