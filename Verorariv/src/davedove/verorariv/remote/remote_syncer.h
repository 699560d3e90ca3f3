#ifndef DAVEDOVE_VERORARIV_REMOTE_REMOTE_SYNCER_H_
#define DAVEDOVE_VERORARIV_REMOTE_REMOTE_SYNCER_H_

#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/online_state.h"
#include "davedove/verorariv/remote/remote_event.h"
#include "davedove/verorariv/util/status.h"

namespace davedove {
namespace verorariv {
namespace remote {

// What the remote store reports to the sync engine. Every call arrives on the async queue.
class RemoteSyncer {
 public:
  virtual ~RemoteSyncer() = default;

  // One consistent watch snapshot.
  virtual void ApplyRemoteEvent(const RemoteEvent& remote_event) = 0;
  // The backend refused or dropped the listen of this target; the remote store has forgotten it.
  virtual void HandleRejectedListen(core::TargetId target_id, util::Status error) = 0;
  // The backend acknowledged the first batch of the write pipeline.
  virtual void HandleSuccessfulWrite(const model::MutationBatchResultPtr& batch_result) = 0;
  // The backend refused the batch for good; it must not be sent again.
  virtual void HandleRejectedWrite(model::BatchId batch_id, util::Status error) = 0;
  virtual void HandleOnlineStateChange(model::OnlineState online_state) = 0;
  // The keys the client currently holds as matching the target on the server's side (the
  // remote keys of the query cache plus what the sync engine knows of limbo documents).
  virtual model::DocumentKeySet GetRemoteKeysForTarget(core::TargetId target_id) const = 0;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_REMOTE_SYNCER_H_
