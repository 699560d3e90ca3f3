#include "davedove/verorariv/remote/remote_store.h"

#include <algorithm>
#include <utility>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace remote {

using core::TargetId;
using model::OnlineState;

RemoteStore::RemoteStore(local::VRVLocalStore* local_store, std::shared_ptr<Datastore> datastore,
                         std::shared_ptr<util::AsyncQueue> worker_queue,
                         OnlineStateHandler online_state_handler)
    : local_store_(local_store),
      datastore_(std::move(datastore)),
      worker_queue_(std::move(worker_queue)),
      online_state_tracker_(worker_queue_,
                            [this, handler = std::move(online_state_handler)](OnlineState state) {
                              if (handler) {
                                handler(state);
                              } else if (sync_engine_) {
                                sync_engine_->HandleOnlineStateChange(state);
                              }
                            }) {
  watch_stream_ = datastore_->CreateWatchStream(this);
  write_stream_ = datastore_->CreateWriteStream(this);
}

RemoteStore::~RemoteStore() {
  watch_stream_->Stop();
  write_stream_->Stop();
}

void RemoteStore::Start() { EnableNetwork(); }

bool RemoteStore::CanUseNetwork() const { return is_network_enabled_ && !shut_down_; }

void RemoteStore::EnableNetwork() {
  if (shut_down_) return;
  is_network_enabled_ = true;
  write_stream_->set_last_stream_token(local_store_->lastStreamToken());
  if (ShouldStartWatchStream()) {
    StartWatchStream();
  } else {
    online_state_tracker_.UpdateState(OnlineState::Unknown);
  }
  FillWritePipeline();
}

void RemoteStore::DisableNetwork() {
  is_network_enabled_ = false;
  DisableNetworkInternal();
  // Not reachable on purpose: offline until enabled again.
  online_state_tracker_.UpdateState(OnlineState::Offline);
}

void RemoteStore::DisableNetworkInternal() {
  watch_stream_->Stop();
  write_stream_->Stop();
  // The batches stay in the local store and come back on the next fill.
  write_pipeline_.clear();
  CleanUpWatchStreamState();
}

void RemoteStore::Shutdown() {
  LOG_DEBUG("RemoteStore %s shutting down", this);
  is_network_enabled_ = false;
  DisableNetworkInternal();
  online_state_tracker_.UpdateState(OnlineState::Unknown);
  shut_down_ = true;
}

void RemoteStore::HandleCredentialChange() {
  if (!CanUseNetwork()) return;
  // Both streams carry the old user's token: open them again for the new user, whose mutation
  // queue (and stream token) the local store now serves.
  LOG_DEBUG("RemoteStore %s restarting streams for a new user", this);
  DisableNetworkInternal();
  online_state_tracker_.UpdateState(OnlineState::Unknown);
  EnableNetwork();
}

// ---------------------------------------------------------------- watch

void RemoteStore::Listen(const local::QueryDataPtr& query_data) {
  TargetId target_id = query_data->targetID();
  HARD_ASSERT(listen_targets_.find(target_id) == listen_targets_.end(), "Listen called on an active target %s",
              target_id);
  listen_targets_[target_id] = query_data;
  if (ShouldStartWatchStream()) {
    StartWatchStream();
  } else if (watch_stream_->IsOpen()) {
    SendWatchRequest(query_data);
  } else if (watch_stream_->IsStarted()) {
    // Waits for a connection already under way, which may take as long as a connection attempt
    // may: the state that nothing listened to left unknown gets the usual bound again.
    online_state_tracker_.HandleWatchStreamStart();
  }
}

void RemoteStore::StopListening(TargetId target_id) {
  auto it = listen_targets_.find(target_id);
  HARD_ASSERT(it != listen_targets_.end(), "StopListening called on an inactive target %s", target_id);
  listen_targets_.erase(it);
  if (watch_stream_->IsOpen()) SendUnwatchRequest(target_id);
  if (listen_targets_.empty()) {
    if (watch_stream_->IsOpen()) {
      watch_stream_->MarkIdle();
    } else if (CanUseNetwork()) {
      // Nothing to watch: the state cannot be known, and keeping a stale one would mislead.
      online_state_tracker_.UpdateState(OnlineState::Unknown);
    }
  }
}

model::DocumentKeySet RemoteStore::GetRemoteKeysForTarget(TargetId target_id) const {
  return sync_engine_->GetRemoteKeysForTarget(target_id);
}

local::QueryDataPtr RemoteStore::GetQueryDataForTarget(TargetId target_id) const {
  auto it = listen_targets_.find(target_id);
  return it == listen_targets_.end() ? nullptr : it->second;
}

bool RemoteStore::ShouldStartWatchStream() const {
  return CanUseNetwork() && !watch_stream_->IsStarted() && !listen_targets_.empty();
}

void RemoteStore::StartWatchStream() {
  HARD_ASSERT(ShouldStartWatchStream(), "StartWatchStream called when it should not start");
  watch_change_aggregator_ = std::make_unique<WatchChangeAggregator>(this);
  watch_stream_->Start();
  online_state_tracker_.HandleWatchStreamStart();
}

void RemoteStore::SendWatchRequest(const local::QueryDataPtr& query_data) {
  watch_change_aggregator_->RecordPendingTargetRequest(query_data->targetID());
  targets_asked_.push_back(query_data->targetID());
  watch_stream_->WatchQuery(*query_data);
}

void RemoteStore::SendUnwatchRequest(TargetId target_id) {
  watch_change_aggregator_->RecordPendingTargetRequest(target_id);
  watch_stream_->UnwatchTargetId(target_id);
}

void RemoteStore::CleanUpWatchStreamState() {
  watch_change_aggregator_.reset();
  targets_asked_.clear();
  watch_stream_answered_ = false;
}

void RemoteStore::OnWatchStreamOpen() {
  // A new connection knows no targets: send every one, each from its resume token, in the order
  // they were listened to, so that the service's answers come in an order that does not change.
  std::vector<TargetId> target_ids;
  for (const auto& entry : listen_targets_) target_ids.push_back(entry.first);
  std::sort(target_ids.begin(), target_ids.end());
  for (TargetId target_id : target_ids) SendWatchRequest(listen_targets_.at(target_id));
  // Every target went away while connecting: nothing to keep the stream open for.
  if (listen_targets_.empty()) watch_stream_->MarkIdle();
}

void RemoteStore::OnWatchStreamChange(const WatchChange& change,
                                      const model::SnapshotVersion& snapshot_version) {
  // A message from the server: it is reachable.
  online_state_tracker_.UpdateState(OnlineState::Online);
  watch_stream_answered_ = true;
  HARD_ASSERT(watch_change_aggregator_ != nullptr, "A watch change without a watch stream");

  util::Status handled;
  if (change.type() == WatchChange::Type::TargetChange) {
    const auto& target_change = static_cast<const WatchTargetChange&>(change);
    if (target_change.state() == WatchTargetChangeState::Removed && !target_change.cause().ok()) {
      ProcessTargetError(target_change);
      return;
    }
    handled = watch_change_aggregator_->HandleTargetChange(target_change);
  } else if (change.type() == WatchChange::Type::Document) {
    handled = watch_change_aggregator_->HandleDocumentChange(static_cast<const DocumentWatchChange&>(change));
  } else {
    watch_change_aggregator_->HandleExistenceFilter(static_cast<const ExistenceFilterWatchChange&>(change));
  }
  if (!handled.ok()) {
    // What was collected on this stream cannot be trusted: start over from the resume tokens.
    watch_stream_->FailStream(handled);
    return;
  }

  if (snapshot_version != model::SnapshotVersion::None() &&
      !(snapshot_version < local_store_->lastRemoteSnapshotVersion())) {
    RaiseWatchSnapshot(snapshot_version);
  }
}

void RemoteStore::RaiseWatchSnapshot(const model::SnapshotVersion& snapshot_version) {
  RemoteEvent remote_event = watch_change_aggregator_->CreateRemoteEvent(snapshot_version);

  // Remember each target's resume token, so a reconnect resumes from here.
  for (const auto& [target_id, change] : remote_event.target_changes()) {
    if (change.resume_token().empty()) continue;
    auto it = listen_targets_.find(target_id);
    if (it == listen_targets_.end()) continue;
    it->second = it->second->queryDataByReplacingSnapshotVersion(snapshot_version, change.resume_token(),
                                                                 it->second->sequenceNumber());
  }

  // Targets whose existence filter did not match start over without a resume token.
  for (TargetId target_id : watch_change_aggregator_->TakeTargetsToReset()) {
    auto it = listen_targets_.find(target_id);
    if (it == listen_targets_.end()) continue;
    const local::QueryDataPtr& old = it->second;
    SendUnwatchRequest(target_id);
    auto fresh = std::make_shared<local::VRVQueryData>(old->query(), target_id, old->sequenceNumber(),
                                                       local::VRVQueryPurposeExistenceFilterMismatch);
    it->second = fresh;
    SendWatchRequest(fresh);
  }

  sync_engine_->ApplyRemoteEvent(remote_event);
}

void RemoteStore::ProcessTargetError(const WatchTargetChange& change) {
  for (TargetId target_id : change.target_ids()) {
    auto it = listen_targets_.find(target_id);
    if (it == listen_targets_.end()) continue;
    listen_targets_.erase(it);
    watch_change_aggregator_->RemoveTarget(target_id);
    sync_engine_->HandleRejectedListen(target_id, change.cause());
  }
}

std::optional<TargetId> RemoteStore::RefusedTarget() const {
  // Before any message, the connection's own headers may be what passed the limit: no target is to
  // blame, and the stream is tried again.
  if (!watch_change_aggregator_ || !watch_stream_answered_) return std::nullopt;
  // The service answers in order: the first target asked for that it has not brought up to date.
  for (TargetId target_id : targets_asked_) {
    if (listen_targets_.count(target_id) && !watch_change_aggregator_->IsTargetCurrent(target_id)) {
      return target_id;
    }
  }
  return std::nullopt;
}

void RemoteStore::OnWatchStreamClose(const util::Status& status) {
  // An answer over our metadata limit would be as large again: the target it was due to is
  // rejected with the refusal, not asked for again. The service answered: it is not out of reach.
  std::optional<TargetId> refused = IsOversizedMetadata(status) ? RefusedTarget() : std::nullopt;
  if (refused) listen_targets_.erase(*refused);
  CleanUpWatchStreamState();
  if (ShouldStartWatchStream()) {
    if (!status.ok() && !refused) online_state_tracker_.HandleWatchStreamFailure(status);
    StartWatchStream();
  } else {
    // Closed because nothing is listened to (idle), or the network is off.
    online_state_tracker_.UpdateState(OnlineState::Unknown);
  }
  // Last, as the sync engine may listen to other targets or stop them in turn.
  if (refused) sync_engine_->HandleRejectedListen(*refused, status);
}

// ---------------------------------------------------------------- write

bool RemoteStore::CanAddToWritePipeline() const {
  return CanUseNetwork() && write_pipeline_.size() < static_cast<size_t>(kMaxPendingWrites);
}

void RemoteStore::FillWritePipeline() {
  model::BatchId last_batch_id =
      write_pipeline_.empty() ? model::kBatchIdUnknown : write_pipeline_.back()->batchID();
  bool reject_oversized = false;
  while (CanAddToWritePipeline()) {
    model::MutationBatchPtr batch = local_store_->nextMutationBatchAfterBatchID(last_batch_id);
    if (!batch) {
      if (write_pipeline_.empty()) write_stream_->MarkIdle();
      break;
    }
    if (oversized_batch_ && batch->batchID() >= oversized_batch_->batchID()) {
      if (*batch == *oversized_batch_) {
        reject_oversized = write_pipeline_.empty();
        break;
      }
      oversized_batch_.reset();  // no longer queued
    }
    AddToWritePipeline(batch);
    last_batch_id = batch->batchID();
  }
  if (reject_oversized) {
    // The oversized batch is the oldest now: it will be refused again, so it is not sent again.
    model::BatchId batch_id = oversized_batch_->batchID();
    oversized_batch_.reset();
    sync_engine_->HandleRejectedWrite(batch_id, oversized_status_);
    FillWritePipeline();
    return;
  }
  if (ShouldStartWriteStream()) StartWriteStream();
}

void RemoteStore::AddToWritePipeline(const model::MutationBatchPtr& batch) {
  write_pipeline_.push_back(batch);
  if (write_stream_->IsOpen() && write_stream_->handshake_complete()) {
    write_stream_->WriteMutations(batch->mutations());
  }
}

bool RemoteStore::ShouldStartWriteStream() const {
  return CanUseNetwork() && !write_stream_->IsStarted() && !write_pipeline_.empty();
}

void RemoteStore::StartWriteStream() {
  HARD_ASSERT(ShouldStartWriteStream(), "StartWriteStream called when it should not start");
  write_stream_->Start();
}

void RemoteStore::OnWriteStreamOpen() { write_stream_->WriteHandshake(); }

void RemoteStore::OnWriteStreamHandshakeComplete() {
  // The server has taken the token over: keep it for the next stream.
  local_store_->setLastStreamToken(write_stream_->last_stream_token());
  for (const auto& batch : write_pipeline_) write_stream_->WriteMutations(batch->mutations());
}

namespace {

// Whether the results answer the batch: one per write, and transform results exactly for the
// transforms, one per field transform. A transform without field transforms gets an empty list.
util::Status CheckWriteResults(const model::VRVMutationBatch& batch,
                               std::vector<model::VRVMutationResult>* results) {
  const std::vector<model::MutationPtr>& mutations = batch.mutations();
  if (results->size() != mutations.size()) {
    return util::Status(VerorarivErrorCode::Internal,
                        util::StringFormat("The write stream answered batch %s with %s results for %s writes",
                                           batch.batchID(), results->size(), mutations.size()));
  }
  for (size_t i = 0; i < mutations.size(); ++i) {
    model::VRVMutationResult& result = (*results)[i];
    const auto* transform = dynamic_cast<const model::VRVTransformMutation*>(mutations[i].get());
    size_t expected = transform ? transform->fieldTransforms().size() : 0;
    size_t got = result.transformResults() ? result.transformResults()->size() : 0;
    if (got != expected) {
      return util::Status(VerorarivErrorCode::Internal,
                          util::StringFormat("The write stream answered write %s of batch %s with %s "
                                             "transform results for %s transforms",
                                             i, batch.batchID(), got, expected));
    }
    if (transform && !result.transformResults()) {
      result = model::VRVMutationResult(result.version(), std::vector<model::FieldValuePtr>{});
    }
  }
  return util::Status::OK();
}

}  // namespace

void RemoteStore::OnWriteStreamMutationResult(const model::SnapshotVersion& commit_version,
                                              std::vector<model::VRVMutationResult> results) {
  util::Status consistent =
      write_pipeline_.empty()
          ? util::Status(VerorarivErrorCode::Internal, "The write stream answered with no batch in flight")
          : CheckWriteResults(*write_pipeline_.front(), &results);
  if (!consistent.ok()) {
    // The batch stays first in the pipeline and goes out again on the next stream.
    write_stream_->FailStream(consistent);
    return;
  }
  model::MutationBatchPtr batch = write_pipeline_.front();
  write_pipeline_.pop_front();
  model::MutationBatchResultPtr result = model::VRVMutationBatchResult::resultWithBatch(
      batch, commit_version, std::move(results), write_stream_->last_stream_token());
  sync_engine_->HandleSuccessfulWrite(result);
  FillWritePipeline();
}

void RemoteStore::OnWriteStreamClose(const util::Status& status) {
  if (!status.ok() && !write_pipeline_.empty()) {
    if (write_stream_->handshake_complete()) {
      HandleWriteError(status);
    } else {
      HandleHandshakeError(status);
    }
  }
  if (ShouldStartWriteStream()) StartWriteStream();
}

void RemoteStore::HandleHandshakeError(const util::Status& status) {
  if (Datastore::IsPermanentError(status)) {
    // The token may be the problem: start over without it.
    LOG_DEBUG("RemoteStore %s resetting the stream token after %s", this, status.ToString());
    write_stream_->set_last_stream_token("");
    local_store_->setLastStreamToken("");
  }
}

void RemoteStore::HandleWriteError(const util::Status& status) {
  if (std::optional<size_t> refused = write_stream_->OversizedRequest(status)) {
    // The transport refused that request, or the answer to it, for its size: sent again, the
    // request would be refused again, or applied again with an answer as unreadable. The batches
    // ahead of it may have gone unanswered. Only the oldest batch can be rejected: this one
    // waits, with those after it, until the ones ahead are answered on the next stream.
    HARD_ASSERT(*refused < write_pipeline_.size(), "Refused write request %s of %s in flight", *refused,
                write_pipeline_.size());
    oversized_batch_ = write_pipeline_[*refused];
    oversized_status_ = status;
    write_pipeline_.erase(write_pipeline_.begin() + static_cast<std::ptrdiff_t>(*refused),
                          write_pipeline_.end());
    write_stream_->InhibitBackoff();
    FillWritePipeline();
    return;
  }
  if (!Datastore::IsPermanentWriteError(status)) return;  // retried with back-off
  // The first batch in flight is the one the server refused; it will never succeed.
  model::MutationBatchPtr batch = write_pipeline_.front();
  write_pipeline_.pop_front();
  write_stream_->InhibitBackoff();
  sync_engine_->HandleRejectedWrite(batch->batchID(), status);
  FillWritePipeline();
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
