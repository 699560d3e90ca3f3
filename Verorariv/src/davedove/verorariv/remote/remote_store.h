#ifndef DAVEDOVE_VERORARIV_REMOTE_REMOTE_STORE_H_
#define DAVEDOVE_VERORARIV_REMOTE_REMOTE_STORE_H_

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/online_state.h"
#include "davedove/verorariv/remote/datastore.h"
#include "davedove/verorariv/remote/online_state_tracker.h"
#include "davedove/verorariv/remote/remote_syncer.h"
#include "davedove/verorariv/remote/watch_change_aggregator.h"
#include "davedove/verorariv/remote/watch_stream.h"
#include "davedove/verorariv/remote/write_stream.h"
#include "davedove/verorariv/util/async_queue.h"

namespace davedove {
namespace verorariv {
namespace remote {

// Owns the watch and write streams: keeps the listened targets and sends them again (with their
// resume tokens) after every reconnect, turns watch changes into remote events for the sync
// engine, keeps up to 10 batches of the local store's mutation queue in flight, and tracks the
// online state. Everything runs on the async queue.
class RemoteStore : public TargetMetadataProvider,
                    public WatchStreamCallback,
                    public WriteStreamCallback {
 public:
  using OnlineStateHandler = std::function<void(model::OnlineState)>;

  // Online-state changes go to `online_state_handler`, or to the sync engine's
  // HandleOnlineStateChange when the handler is empty.
  RemoteStore(local::VRVLocalStore* local_store, std::shared_ptr<Datastore> datastore,
              std::shared_ptr<util::AsyncQueue> worker_queue,
              OnlineStateHandler online_state_handler);
  ~RemoteStore() override;

  // Must be set before Start.
  void set_sync_engine(RemoteSyncer* sync_engine) { sync_engine_ = sync_engine; }

  // Turns the network on.
  void Start();
  void EnableNetwork();
  // Closes both streams and reports Offline; listens and writes wait for EnableNetwork.
  void DisableNetwork();
  // Stops everything for good.
  void Shutdown();

  // Starts listening to the target (its id must not be listened to already).
  void Listen(const local::QueryDataPtr& query_data);
  void StopListening(core::TargetId target_id);

  // Sends the local store's pending batches, up to the pipeline's limit.
  void FillWritePipeline();
  // The user changed: both streams restart (the write stream with the new user's queue).
  void HandleCredentialChange();

  bool CanUseNetwork() const;

  // TargetMetadataProvider
  model::DocumentKeySet GetRemoteKeysForTarget(core::TargetId target_id) const override;
  local::QueryDataPtr GetQueryDataForTarget(core::TargetId target_id) const override;

  // WatchStreamCallback
  void OnWatchStreamOpen() override;
  void OnWatchStreamChange(const WatchChange& change,
                           const model::SnapshotVersion& snapshot_version) override;
  void OnWatchStreamClose(const util::Status& status) override;

  // WriteStreamCallback
  void OnWriteStreamOpen() override;
  void OnWriteStreamHandshakeComplete() override;
  void OnWriteStreamMutationResult(const model::SnapshotVersion& commit_version,
                                   std::vector<model::VRVMutationResult> results) override;
  void OnWriteStreamClose(const util::Status& status) override;

  // For tests.
  model::OnlineState online_state() const { return online_state_tracker_.state(); }
  const std::shared_ptr<WatchStream>& watch_stream() const { return watch_stream_; }
  const std::shared_ptr<WriteStream>& write_stream() const { return write_stream_; }

  static constexpr int kMaxPendingWrites = 10;

 private:
  void DisableNetworkInternal();
  void RestartNetwork();

  bool ShouldStartWatchStream() const;
  void StartWatchStream();
  void SendWatchRequest(const local::QueryDataPtr& query_data);
  void SendUnwatchRequest(core::TargetId target_id);
  void CleanUpWatchStreamState();
  void RaiseWatchSnapshot(const model::SnapshotVersion& snapshot_version);
  void ProcessTargetError(const WatchTargetChange& change);
  // The target whose answer was due when the watch stream ended, if any.
  std::optional<core::TargetId> RefusedTarget() const;

  bool CanAddToWritePipeline() const;
  void AddToWritePipeline(const model::MutationBatchPtr& batch);
  bool ShouldStartWriteStream() const;
  void StartWriteStream();
  void HandleWriteError(const util::Status& status);
  void HandleHandshakeError(const util::Status& status);

  local::VRVLocalStore* local_store_;
  std::shared_ptr<Datastore> datastore_;
  std::shared_ptr<util::AsyncQueue> worker_queue_;
  RemoteSyncer* sync_engine_ = nullptr;
  OnlineStateTracker online_state_tracker_;

  std::unordered_map<core::TargetId, local::QueryDataPtr> listen_targets_;
  std::unique_ptr<WatchChangeAggregator> watch_change_aggregator_;
  // The targets asked for on the current watch connection, in the order their requests went out.
  std::vector<core::TargetId> targets_asked_;
  // Whether the current watch connection has delivered a message: its headers then passed our limits.
  bool watch_stream_answered_ = false;
  std::shared_ptr<WatchStream> watch_stream_;
  std::shared_ptr<WriteStream> write_stream_;
  std::deque<model::MutationBatchPtr> write_pipeline_;
  // A batch the transport refused (or whose answer it refused) for its size, and the refusal: it
  // is rejected once it is the oldest batch, and it and the batches after it wait until then.
  model::MutationBatchPtr oversized_batch_;
  util::Status oversized_status_;
  model::BatchId last_batch_id_seen_ = model::kBatchIdUnknown;
  bool is_network_enabled_ = false;
  bool shut_down_ = false;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_REMOTE_STORE_H_
