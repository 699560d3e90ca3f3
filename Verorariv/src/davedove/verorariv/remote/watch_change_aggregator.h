#ifndef DAVEDOVE_VERORARIV_REMOTE_WATCH_CHANGE_AGGREGATOR_H_
#define DAVEDOVE_VERORARIV_REMOTE_WATCH_CHANGE_AGGREGATOR_H_

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "davedove/verorariv/core/target_id_generator.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "davedove/verorariv/remote/remote_event.h"
#include "davedove/verorariv/remote/watch_change.h"
#include "davedove/verorariv/util/status.h"

namespace davedove {
namespace verorariv {
namespace remote {

// What the aggregator needs to know of the listened targets.
class TargetMetadataProvider {
 public:
  virtual ~TargetMetadataProvider() = default;
  // The keys the client holds as matching the target on the server.
  virtual model::DocumentKeySet GetRemoteKeysForTarget(core::TargetId target_id) const = 0;
  // The target's query data, or null when the target is no longer listened to.
  virtual local::QueryDataPtr GetQueryDataForTarget(core::TargetId target_id) const = 0;
};

// Collects the watch changes between two consistent snapshots and turns them into one
// RemoteEvent. Targets with an add or remove request still unanswered ignore the changes that
// the server sent before it saw the request.
//
// A change that contradicts what the client asked for (a document named with a target that
// cannot hold it, an add or remove answer to no request) is refused with an error status; the
// aggregator is then unusable and the stream must start over.
class WatchChangeAggregator {
 public:
  explicit WatchChangeAggregator(TargetMetadataProvider* target_metadata_provider);

  util::Status HandleDocumentChange(const DocumentWatchChange& document_change);
  util::Status HandleTargetChange(const WatchTargetChange& target_change);
  // A mismatch resets the target: its keys are dropped and it is listened to afresh (the target
  // ids to re-listen are returned by TakeTargetsToReset).
  void HandleExistenceFilter(const ExistenceFilterWatchChange& existence_filter);

  // The event for every change since the previous one, at `snapshot_version`; clears the
  // collected changes.
  RemoteEvent CreateRemoteEvent(const model::SnapshotVersion& snapshot_version);

  // An add or remove request for the target went out; changes are ignored until its answer.
  void RecordPendingTargetRequest(core::TargetId target_id);
  // Forgets the target (after a rejection, or when it was unlistened).
  void RemoveTarget(core::TargetId target_id);
  // Whether the server has brought the target up to date on this stream, and it has not been asked
  // for again since.
  bool IsTargetCurrent(core::TargetId target_id) const;
  // The targets whose existence filter did not match since the last call.
  std::vector<core::TargetId> TakeTargetsToReset();

 private:
  enum class ChangeType { Added, Modified, Removed };

  // What one target collected since the last event.
  class TargetState {
   public:
    // Whether an add or remove request is still waiting for its answer.
    bool IsPending() const { return outstanding_responses_ != 0; }
    bool current() const { return current_; }
    bool has_pending_changes() const { return has_pending_changes_; }
    void RecordPendingTargetRequest() { ++outstanding_responses_; }
    void RecordTargetResponse() { --outstanding_responses_; }
    void MarkCurrent();
    void UpdateResumeToken(const std::string& resume_token);
    void AddDocumentChange(const model::DocumentKey& key, ChangeType type);
    void RemoveDocumentChange(const model::DocumentKey& key);
    TargetChange ToTargetChange() const;
    void ClearPendingChanges();

   private:
    int outstanding_responses_ = 0;
    bool current_ = false;
    // A new target reports itself once even without changes.
    bool has_pending_changes_ = true;
    std::string resume_token_;
    std::map<model::DocumentKey, ChangeType> document_changes_;
  };

  TargetState& EnsureTargetState(core::TargetId target_id);
  // The target's query data unless the target is unknown or waits for a request's answer.
  local::QueryDataPtr QueryDataForActiveTarget(core::TargetId target_id) const;
  bool IsActiveTarget(core::TargetId target_id) const;
  std::vector<core::TargetId> TargetIds(const WatchTargetChange& change) const;
  void AddDocumentToTarget(core::TargetId target_id, const model::MaybeDocumentPtr& document);
  void RemoveDocumentFromTarget(core::TargetId target_id, const model::DocumentKey& key,
                                const model::MaybeDocumentPtr& updated_document);
  void ResetTarget(core::TargetId target_id);
  size_t CurrentDocumentCountForTarget(core::TargetId target_id);
  bool TargetContainsDocument(core::TargetId target_id, const model::DocumentKey& key) const;

  TargetMetadataProvider* target_metadata_provider_;
  std::map<core::TargetId, TargetState> target_states_;
  RemoteEvent::DocumentUpdateMap pending_document_updates_;
  // For each changed key, the targets it belongs to after the changes (to find limbo documents).
  std::map<model::DocumentKey, std::set<core::TargetId>> pending_document_target_mapping_;
  std::vector<core::TargetId> targets_to_reset_;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_WATCH_CHANGE_AGGREGATOR_H_
