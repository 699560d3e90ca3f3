#ifndef DAVEDOVE_VERORARIV_CORE_SYNC_ENGINE_H_
#define DAVEDOVE_VERORARIV_CORE_SYNC_ENGINE_H_

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/core/view.h"
#include "davedove/verorariv/core/view_snapshot.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/reference_set.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/remote/remote_store.h"
#include "davedove/verorariv/remote/remote_syncer.h"
#include "davedove/verorariv/util/status.h"

namespace davedove {
namespace verorariv {
namespace core {

// Hears what the sync engine has to tell the listeners.
class SyncEngineCallback {
 public:
  virtual ~SyncEngineCallback() = default;
  virtual void OnViewSnapshots(std::vector<ViewSnapshot> snapshots) = 0;
  // The listen of the query failed and is gone.
  virtual void OnError(const QueryPtr& query, const util::Status& error) = 0;
  virtual void HandleOnlineStateChange(model::OnlineState online_state) = 0;
};

// Called once with the server's answer to a write.
using WriteCallback = std::function<void(const util::Status&)>;

// The heart of the client: ties the views of the listened queries to the local store and the
// remote store. Listens allocate targets in the local store and are sent to the server; remote
// events go into the local store and out to the views; local writes are applied at once and sent,
// then acknowledged or rejected; documents a view holds but the server's result lacks are
// resolved by listening to them alone. Worker queue only.
class SyncEngine : public remote::RemoteSyncer {
 public:
  SyncEngine(local::VRVLocalStore* local_store, remote::RemoteStore* remote_store,
             const auth::User& initial_user);

  void SetCallback(SyncEngineCallback* callback) { callback_ = callback; }

  // Starts listening; the first snapshot of the query (from the cache) goes out at once.
  TargetId Listen(const QueryPtr& query);
  void StopListening(const QueryPtr& query);

  // Applies the mutations locally as one batch, raises the new local view and sends the batch.
  void WriteMutations(std::vector<model::MutationPtr> mutations, WriteCallback callback);

  // Switches to the user's pending writes and restarts the streams.
  void HandleCredentialChange(const auth::User& user);

  // RemoteSyncer
  void ApplyRemoteEvent(const remote::RemoteEvent& remote_event) override;
  void HandleRejectedListen(TargetId target_id, util::Status error) override;
  void HandleSuccessfulWrite(const model::MutationBatchResultPtr& batch_result) override;
  void HandleRejectedWrite(model::BatchId batch_id, util::Status error) override;
  void HandleOnlineStateChange(model::OnlineState online_state) override;
  model::DocumentKeySet GetRemoteKeysForTarget(TargetId target_id) const override;

  // For tests: the documents being resolved, by their limbo target.
  std::map<model::DocumentKey, TargetId> CurrentLimboDocuments() const {
    return limbo_targets_by_key_;
  }

 private:
  struct QueryView {
    QueryPtr query;
    TargetId target_id;
    View view;
  };
  struct LimboResolution {
    model::DocumentKey key;
    // Whether the server has sent the document on the limbo target.
    bool received_document = false;
  };
  struct QueryHash {
    size_t operator()(const QueryPtr& query) const { return query->Hash(); }
  };
  struct QueryEqual {
    bool operator()(const QueryPtr& lhs, const QueryPtr& rhs) const { return *lhs == *rhs; }
  };

  // `user_changed`: the changes are those of a change of user (see View).
  void EmitNewSnapshotsAndNotifyLocalStore(const model::MaybeDocumentMap& changes,
                                           const remote::RemoteEvent* remote_event,
                                           bool user_changed = false);
  void RemoveAndCleanUpQuery(const std::shared_ptr<QueryView>& query_view);
  void UpdateTrackedLimboDocuments(const std::vector<LimboDocumentChange>& changes,
                                   TargetId target_id);
  void TrackLimboChange(const model::DocumentKey& key);
  void RemoveLimboTarget(const model::DocumentKey& key);
  void NotifyUser(model::BatchId batch_id, const util::Status& status);

  local::VRVLocalStore* local_store_;
  remote::RemoteStore* remote_store_;
  SyncEngineCallback* callback_ = nullptr;
  auth::User current_user_;
  TargetIdGenerator limbo_target_id_generator_;

  std::unordered_map<QueryPtr, std::shared_ptr<QueryView>, QueryHash, QueryEqual>
      query_views_by_query_;
  std::unordered_map<TargetId, std::shared_ptr<QueryView>> query_views_by_target_;

  std::map<model::DocumentKey, TargetId> limbo_targets_by_key_;
  std::unordered_map<TargetId, LimboResolution> limbo_resolutions_by_target_;
  // Which views hold each limbo document.
  local::ReferenceSet limbo_document_refs_;

  // Per user, the callbacks of the batches still waiting for the server.
  std::unordered_map<std::string, std::map<model::BatchId, WriteCallback>> mutation_callbacks_;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_SYNC_ENGINE_H_
