#ifndef DAVEDOVE_VERORARIV_REMOTE_WATCH_STREAM_H_
#define DAVEDOVE_VERORARIV_REMOTE_WATCH_STREAM_H_

#include <memory>

#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "davedove/verorariv/remote/stream.h"
#include "davedove/verorariv/remote/watch_change.h"
#include "davedove/verorariv/remote/wire_validator.h"

namespace davedove {
namespace verorariv {
namespace remote {

// What the watch stream tells its owner, on the async queue.
class WatchStreamCallback {
 public:
  virtual ~WatchStreamCallback() = default;
  virtual void OnWatchStreamOpen() = 0;
  // One decoded change; `snapshot_version` is the read time of a target change that carries one
  // for every target (a consistent snapshot), the none version otherwise.
  virtual void OnWatchStreamChange(const WatchChange& change,
                                   const model::SnapshotVersion& snapshot_version) = 0;
  virtual void OnWatchStreamClose(const util::Status& status) = 0;
};

// The Listen stream: adds and removes targets and decodes what the server sends.
class WatchStream : public Stream {
 public:
  WatchStream(std::shared_ptr<GrpcConnection> connection, auth::CredentialsProvider* credentials,
              std::shared_ptr<VRVSerializerBeta> serializer, WatchStreamCallback* callback);

  // Listens to the target from its resume token. The stream must be open.
  void WatchQuery(const local::VRVQueryData& query);
  void UnwatchTargetId(core::TargetId target_id);

  // Decoding, public for the tests of the aggregator's input.
  std::unique_ptr<WatchChange> DecodeWatchChange(
      const variru::verorariv::v1::ListenResponse& response) const;
  static model::SnapshotVersion DecodeVersion(const VRVSerializerBeta& serializer,
                                              const variru::verorariv::v1::ListenResponse& response);

 protected:
  std::shared_ptr<GrpcCall> CreateCall(const auth::Token& token) override;
  void NotifyStreamOpen() override;
  void NotifyStreamClose(const util::Status& status) override;

 private:
  void OnResponse(const GrpcCall* call, const variru::verorariv::v1::ListenResponse& response);
  void Send(variru::verorariv::v1::ListenRequest request);

  std::shared_ptr<VRVSerializerBeta> serializer_;
  WireValidator validator_;
  WatchStreamCallback* callback_;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_WATCH_STREAM_H_
