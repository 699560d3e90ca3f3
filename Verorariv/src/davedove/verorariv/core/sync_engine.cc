#include "davedove/verorariv/core/sync_engine.h"

#include <utility>

#include "davedove/verorariv/local/VRVLocalViewChanges.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/local/listen_sequence.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"

namespace davedove {
namespace verorariv {
namespace core {

using local::QueryDataPtr;
using local::VRVLocalViewChanges;
using local::VRVQueryData;
using model::DocumentKey;
using model::DocumentKeySet;
using model::MaybeDocumentMap;
using model::OnlineState;
using util::Status;

namespace {

// Limbo targets take the odd ids; the query cache hands out the even ones.
constexpr int32_t kLimboGeneratorId = 1;

}  // namespace

SyncEngine::SyncEngine(local::VRVLocalStore* local_store, remote::RemoteStore* remote_store,
                       const auth::User& initial_user)
    : local_store_(local_store),
      remote_store_(remote_store),
      current_user_(initial_user),
      limbo_target_id_generator_(kLimboGeneratorId, kLimboGeneratorId) {}

TargetId SyncEngine::Listen(const QueryPtr& query) {
  HARD_ASSERT(query_views_by_query_.find(query) == query_views_by_query_.end(),
              "We already listen to query: %s", query->ToString());

  QueryDataPtr query_data = local_store_->allocateQuery(query);
  TargetId target_id = query_data->targetID();
  model::DocumentMap docs = local_store_->executeQuery(*query);
  DocumentKeySet remote_keys = local_store_->remoteDocumentKeysForTarget(target_id);

  auto query_view = std::make_shared<QueryView>(QueryView{query, target_id, View(query, remote_keys)});
  ViewDocumentChanges view_doc_changes =
      query_view->view.ComputeDocumentChanges(docs.underlying_map());
  ViewChange view_change = query_view->view.ApplyChanges(view_doc_changes);
  HARD_ASSERT(view_change.limbo_changes.empty(),
              "View returned limbo docs before target ack from the server.");

  query_views_by_query_[query] = query_view;
  query_views_by_target_[target_id] = query_view;
  if (view_change.snapshot) {
    std::vector<VRVLocalViewChanges> local_changes{
        VRVLocalViewChanges::changesForViewSnapshot(*view_change.snapshot, target_id)};
    if (callback_) callback_->OnViewSnapshots({*view_change.snapshot});
    local_store_->notifyLocalViewChanges(local_changes);
  }
  remote_store_->Listen(query_data);
  return target_id;
}

void SyncEngine::StopListening(const QueryPtr& query) {
  auto found = query_views_by_query_.find(query);
  HARD_ASSERT(found != query_views_by_query_.end(), "Trying to stop listening to a query not found");
  std::shared_ptr<QueryView> query_view = found->second;
  local_store_->releaseQuery(query_view->query);
  remote_store_->StopListening(query_view->target_id);
  RemoveAndCleanUpQuery(query_view);
}

void SyncEngine::RemoveAndCleanUpQuery(const std::shared_ptr<QueryView>& query_view) {
  query_views_by_query_.erase(query_view->query);
  query_views_by_target_.erase(query_view->target_id);
  DocumentKeySet limbo_keys = limbo_document_refs_.RemoveReferences(query_view->target_id);
  for (const DocumentKey& key : limbo_keys) {
    if (!limbo_document_refs_.ContainsKey(key)) RemoveLimboTarget(key);
  }
}

void SyncEngine::WriteMutations(std::vector<model::MutationPtr> mutations,
                                WriteCallback callback) {
  local::VRVLocalWriteResult result = local_store_->locallyWriteMutations(std::move(mutations));
  if (callback) mutation_callbacks_[current_user_.uid()][result.batchID()] = std::move(callback);
  EmitNewSnapshotsAndNotifyLocalStore(result.changes(), nullptr);
  remote_store_->FillWritePipeline();
}

void SyncEngine::HandleCredentialChange(const auth::User& user) {
  bool user_changed = !(current_user_ == user);
  current_user_ = user;
  if (user_changed) {
    // The views now show the new user's pending writes instead of the old user's.
    MaybeDocumentMap changes = local_store_->userDidChange(user);
    EmitNewSnapshotsAndNotifyLocalStore(changes, nullptr, /*user_changed=*/true);
  }
  remote_store_->HandleCredentialChange();
}

void SyncEngine::ApplyRemoteEvent(const remote::RemoteEvent& remote_event) {
  for (const auto& entry : remote_event.target_changes()) {
    auto found = limbo_resolutions_by_target_.find(entry.first);
    if (found == limbo_resolutions_by_target_.end()) continue;
    const remote::TargetChange& change = entry.second;
    // A limbo target matches at most its one document.
    size_t count = change.added_documents().size() + change.modified_documents().size() +
                   change.removed_documents().size();
    HARD_ASSERT(count <= 1, "Limbo resolution for single document contains multiple changes.");
    if (!change.added_documents().empty()) {
      found->second.received_document = true;
    } else if (!change.modified_documents().empty()) {
      HARD_ASSERT(found->second.received_document,
                  "Received change for limbo target document without add.");
    } else if (!change.removed_documents().empty()) {
      HARD_ASSERT(found->second.received_document,
                  "Received remove for limbo target document without add.");
      found->second.received_document = false;
    }
  }
  MaybeDocumentMap changes = local_store_->applyRemoteEvent(remote_event);
  EmitNewSnapshotsAndNotifyLocalStore(changes, &remote_event);
}

void SyncEngine::HandleRejectedListen(TargetId target_id, Status error) {
  auto limbo = limbo_resolutions_by_target_.find(target_id);
  if (limbo != limbo_resolutions_by_target_.end()) {
    // The server would not tell us about the document: treat it as deleted, so the view drops it
    // rather than keeping it in limbo for ever.
    DocumentKey key = limbo->second.key;
    limbo_targets_by_key_.erase(key);
    limbo_resolutions_by_target_.erase(limbo);
    remote::RemoteEvent::DocumentUpdateMap updates;
    updates[key] = model::VRVDeletedDocument::documentWithKey(key, model::SnapshotVersion::None(),
                                                              /*hasCommittedMutations=*/false);
    remote::RemoteEvent event(model::SnapshotVersion::None(), {}, std::move(updates),
                              DocumentKeySet().insert(key));
    ApplyRemoteEvent(event);
    return;
  }

  auto found = query_views_by_target_.find(target_id);
  if (found == query_views_by_target_.end()) return;
  std::shared_ptr<QueryView> query_view = found->second;
  local_store_->releaseQuery(query_view->query);
  RemoveAndCleanUpQuery(query_view);
  if (callback_) callback_->OnError(query_view->query, error);
}

void SyncEngine::HandleSuccessfulWrite(const model::MutationBatchResultPtr& batch_result) {
  // Success is reported once the result is in the local store; the writer hears of it before
  // the views show the acknowledged state.
  MaybeDocumentMap changes = local_store_->acknowledgeBatchWithResult(*batch_result);
  NotifyUser(batch_result->batch()->batchID(), Status::OK());
  EmitNewSnapshotsAndNotifyLocalStore(changes, nullptr);
}

void SyncEngine::HandleRejectedWrite(model::BatchId batch_id, Status error) {
  MaybeDocumentMap changes = local_store_->rejectBatchID(batch_id);
  NotifyUser(batch_id, error);
  EmitNewSnapshotsAndNotifyLocalStore(changes, nullptr);
}

void SyncEngine::HandleOnlineStateChange(OnlineState online_state) {
  if (online_state == OnlineState::Offline) {
    std::vector<ViewSnapshot> snapshots;
    for (auto& entry : query_views_by_query_) {
      ViewChange view_change = entry.second->view.ApplyOfflineState();
      HARD_ASSERT(view_change.limbo_changes.empty(),
                  "OnlineState should not affect limbo documents.");
      if (view_change.snapshot) snapshots.push_back(std::move(*view_change.snapshot));
    }
    if (callback_ && !snapshots.empty()) callback_->OnViewSnapshots(std::move(snapshots));
  }
  if (callback_) callback_->HandleOnlineStateChange(online_state);
}

DocumentKeySet SyncEngine::GetRemoteKeysForTarget(TargetId target_id) const {
  auto limbo = limbo_resolutions_by_target_.find(target_id);
  if (limbo != limbo_resolutions_by_target_.end()) {
    return limbo->second.received_document ? DocumentKeySet().insert(limbo->second.key)
                                           : DocumentKeySet();
  }
  auto found = query_views_by_target_.find(target_id);
  if (found == query_views_by_target_.end()) return DocumentKeySet();
  return found->second->view.synced_documents();
}

void SyncEngine::EmitNewSnapshotsAndNotifyLocalStore(const MaybeDocumentMap& changes,
                                                     const remote::RemoteEvent* remote_event,
                                                     bool user_changed) {
  std::vector<ViewSnapshot> snapshots;
  std::vector<VRVLocalViewChanges> local_changes;

  // Limbo tracking may stop listens; walk a copy.
  std::vector<std::shared_ptr<QueryView>> views;
  views.reserve(query_views_by_query_.size());
  for (const auto& entry : query_views_by_query_) views.push_back(entry.second);

  for (const std::shared_ptr<QueryView>& query_view : views) {
    View& view = query_view->view;
    ViewDocumentChanges view_doc_changes = view.ComputeDocumentChanges(changes, user_changed);
    if (view_doc_changes.needs_refill) {
      // The limit cut documents off: read the query again to find what now fills it.
      model::DocumentMap docs = local_store_->executeQuery(*query_view->query);
      view_doc_changes =
          view.ComputeDocumentChanges(docs.underlying_map(), view_doc_changes, user_changed);
    }
    std::optional<remote::TargetChange> target_change;
    if (remote_event) {
      auto found = remote_event->target_changes().find(query_view->target_id);
      if (found != remote_event->target_changes().end()) target_change = found->second;
    }
    ViewChange view_change = view.ApplyChanges(view_doc_changes, target_change);
    UpdateTrackedLimboDocuments(view_change.limbo_changes, query_view->target_id);
    if (view_change.snapshot) {
      local_changes.push_back(
          VRVLocalViewChanges::changesForViewSnapshot(*view_change.snapshot, query_view->target_id));
      snapshots.push_back(std::move(*view_change.snapshot));
    }
  }
  if (callback_ && !snapshots.empty()) callback_->OnViewSnapshots(std::move(snapshots));
  local_store_->notifyLocalViewChanges(local_changes);
}

void SyncEngine::UpdateTrackedLimboDocuments(const std::vector<LimboDocumentChange>& changes,
                                             TargetId target_id) {
  for (const LimboDocumentChange& change : changes) {
    if (change.type() == LimboDocumentChange::Type::Added) {
      limbo_document_refs_.AddReference(change.key(), target_id);
      TrackLimboChange(change.key());
    } else {
      limbo_document_refs_.RemoveReference(change.key(), target_id);
      if (!limbo_document_refs_.ContainsKey(change.key())) RemoveLimboTarget(change.key());
    }
  }
}

void SyncEngine::TrackLimboChange(const DocumentKey& key) {
  if (limbo_targets_by_key_.find(key) != limbo_targets_by_key_.end()) return;
  TargetId limbo_target_id = limbo_target_id_generator_.NextId();
  QueryPtr query = VRVQuery::queryWithPath(key.path());
  auto query_data = std::make_shared<const VRVQueryData>(
      query, limbo_target_id, local::kVRVListenSequenceNumberInvalid,
      local::VRVQueryPurposeLimboResolution);
  limbo_resolutions_by_target_[limbo_target_id] = LimboResolution{key, false};
  limbo_targets_by_key_[key] = limbo_target_id;
  remote_store_->Listen(query_data);
}

void SyncEngine::RemoveLimboTarget(const DocumentKey& key) {
  auto found = limbo_targets_by_key_.find(key);
  // The document may have left limbo through a rejected listen already.
  if (found == limbo_targets_by_key_.end()) return;
  TargetId target_id = found->second;
  remote_store_->StopListening(target_id);
  limbo_targets_by_key_.erase(found);
  limbo_resolutions_by_target_.erase(target_id);
}

void SyncEngine::NotifyUser(model::BatchId batch_id, const Status& status) {
  auto user_callbacks = mutation_callbacks_.find(current_user_.uid());
  if (user_callbacks == mutation_callbacks_.end()) return;
  auto found = user_callbacks->second.find(batch_id);
  if (found == user_callbacks->second.end()) return;
  WriteCallback callback = std::move(found->second);
  user_callbacks->second.erase(found);
  callback(status);
}

}  // namespace core
}  // namespace verorariv
}  // namespace davedove
