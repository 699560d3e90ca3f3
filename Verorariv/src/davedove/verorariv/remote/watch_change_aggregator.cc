#include "davedove/verorariv/remote/watch_change_aggregator.h"

#include <utility>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace remote {

using core::TargetId;
using model::DocumentKey;
using model::DocumentKeySet;
using model::MaybeDocumentPtr;

// ---------------------------------------------------------------- TargetState

void WatchChangeAggregator::TargetState::MarkCurrent() {
  has_pending_changes_ = true;
  current_ = true;
}

void WatchChangeAggregator::TargetState::UpdateResumeToken(const std::string& resume_token) {
  if (resume_token.empty()) return;
  has_pending_changes_ = true;
  resume_token_ = resume_token;
}

void WatchChangeAggregator::TargetState::AddDocumentChange(const DocumentKey& key, ChangeType type) {
  has_pending_changes_ = true;
  document_changes_[key] = type;
}

void WatchChangeAggregator::TargetState::RemoveDocumentChange(const DocumentKey& key) {
  has_pending_changes_ = true;
  document_changes_.erase(key);
}

TargetChange WatchChangeAggregator::TargetState::ToTargetChange() const {
  DocumentKeySet added;
  DocumentKeySet modified;
  DocumentKeySet removed;
  for (const auto& [key, type] : document_changes_) {
    switch (type) {
      case ChangeType::Added:
        added = added.insert(key);
        break;
      case ChangeType::Modified:
        modified = modified.insert(key);
        break;
      case ChangeType::Removed:
        removed = removed.insert(key);
        break;
    }
  }
  return TargetChange(resume_token_, current_, std::move(added), std::move(modified),
                      std::move(removed));
}

void WatchChangeAggregator::TargetState::ClearPendingChanges() {
  has_pending_changes_ = false;
  document_changes_.clear();
}

// ---------------------------------------------------------------- aggregator

WatchChangeAggregator::WatchChangeAggregator(TargetMetadataProvider* target_metadata_provider)
    : target_metadata_provider_(target_metadata_provider) {}

util::Status WatchChangeAggregator::HandleDocumentChange(const DocumentWatchChange& document_change) {
  const DocumentKey& key = document_change.key();
  for (const auto* ids : {&document_change.updated_target_ids(), &document_change.removed_target_ids()}) {
    for (TargetId target_id : *ids) {
      // Targets no longer listened to are ignored below; a listened one must be able to hold it.
      local::QueryDataPtr query_data = target_metadata_provider_->GetQueryDataForTarget(target_id);
      if (query_data && !query_data->query()->pathAndCollectionGroupMatchKey(key)) {
        return util::Status(VerorarivErrorCode::Internal,
                            util::StringFormat("The listen stream named document %s with target %s, "
                                               "whose query cannot hold it",
                                               key.ToString(), target_id));
      }
    }
  }
  const MaybeDocumentPtr& document = document_change.new_document();
  for (TargetId target_id : document_change.updated_target_ids()) {
    if (document && dynamic_cast<const model::VRVDocument*>(document.get())) {
      AddDocumentToTarget(target_id, document);
    } else {
      RemoveDocumentFromTarget(target_id, document_change.key(), document);
    }
  }
  for (TargetId target_id : document_change.removed_target_ids()) {
    RemoveDocumentFromTarget(target_id, document_change.key(), document);
  }
  return util::Status::OK();
}

util::Status WatchChangeAggregator::HandleTargetChange(const WatchTargetChange& target_change) {
  std::vector<TargetId> target_ids = TargetIds(target_change);
  if (target_change.state() == WatchTargetChangeState::Added ||
      target_change.state() == WatchTargetChangeState::Removed) {
    // These answer our requests one for one; an answer to nothing would leave the target
    // waiting for ever.
    for (TargetId target_id : target_ids) {
      auto it = target_states_.find(target_id);
      if (it == target_states_.end() || !it->second.IsPending()) {
        return util::Status(VerorarivErrorCode::Internal,
                            util::StringFormat("The listen stream %s target %s, which was not asked for",
                                               target_change.state() == WatchTargetChangeState::Added
                                                   ? "added"
                                                   : "removed",
                                               target_id));
      }
    }
  }
  for (TargetId target_id : target_ids) {
    TargetState& state = EnsureTargetState(target_id);
    switch (target_change.state()) {
      case WatchTargetChangeState::NoChange:
        if (IsActiveTarget(target_id)) state.UpdateResumeToken(target_change.resume_token());
        break;
      case WatchTargetChangeState::Added:
        // The server saw our request: changes for the target count from here on.
        state.RecordTargetResponse();
        if (!state.IsPending()) state.ClearPendingChanges();
        state.UpdateResumeToken(target_change.resume_token());
        break;
      case WatchTargetChangeState::Removed:
        state.RecordTargetResponse();
        if (!state.IsPending()) RemoveTarget(target_id);
        break;
      case WatchTargetChangeState::Current:
        if (IsActiveTarget(target_id)) {
          state.MarkCurrent();
          state.UpdateResumeToken(target_change.resume_token());
        }
        break;
      case WatchTargetChangeState::Reset:
        if (IsActiveTarget(target_id)) {
          // Everything the target held must come again.
          ResetTarget(target_id);
          EnsureTargetState(target_id).UpdateResumeToken(target_change.resume_token());
        }
        break;
    }
  }
  return util::Status::OK();
}

bool WatchChangeAggregator::IsTargetCurrent(TargetId target_id) const {
  auto it = target_states_.find(target_id);
  return it != target_states_.end() && it->second.current() && !it->second.IsPending();
}

std::vector<TargetId> WatchChangeAggregator::TargetIds(const WatchTargetChange& change) const {
  if (!change.target_ids().empty()) return change.target_ids();
  std::vector<TargetId> all;
  for (const auto& entry : target_states_) all.push_back(entry.first);
  return all;
}

void WatchChangeAggregator::HandleExistenceFilter(const ExistenceFilterWatchChange& existence_filter) {
  TargetId target_id = existence_filter.target_id();
  int32_t expected = existence_filter.count();
  local::QueryDataPtr query_data = QueryDataForActiveTarget(target_id);
  if (!query_data) return;
  const core::QueryPtr& query = query_data->query();
  if (query->isDocumentQuery()) {
    if (expected == 0) {
      // The one document of the target does not exist: a delete, not a reset.
      DocumentKey key(query->path());
      RemoveDocumentFromTarget(
          target_id, key,
          std::make_shared<model::VRVDeletedDocument>(key, model::SnapshotVersion::None(), false));
      return;
    }
    if (expected == 1) return;
    // More than one document for one name: the server is confused; start the target over.
  }
  if (query->isDocumentQuery() || CurrentDocumentCountForTarget(target_id) != static_cast<size_t>(expected)) {
    // A removal was missed: listen afresh.
    ResetTarget(target_id);
    targets_to_reset_.push_back(target_id);
  }
}

RemoteEvent WatchChangeAggregator::CreateRemoteEvent(const model::SnapshotVersion& snapshot_version) {
  RemoteEvent::TargetChangeMap target_changes;
  for (auto& [target_id, state] : target_states_) {
    local::QueryDataPtr query_data = QueryDataForActiveTarget(target_id);
    if (!query_data) continue;
    if (state.current() && query_data->query()->isDocumentQuery()) {
      // A current document target that got no document: the document does not exist.
      DocumentKey key(query_data->query()->path());
      if (pending_document_updates_.find(key) == pending_document_updates_.end() &&
          !TargetContainsDocument(target_id, key)) {
        RemoveDocumentFromTarget(
            target_id, key, std::make_shared<model::VRVDeletedDocument>(key, snapshot_version, false));
      }
    }
    if (state.has_pending_changes()) {
      target_changes[target_id] = state.ToTargetChange();
      state.ClearPendingChanges();
    }
  }

  // A document that only limbo-resolution targets speak of resolves a limbo document.
  DocumentKeySet resolved_limbo_documents;
  for (const auto& [key, target_ids] : pending_document_target_mapping_) {
    bool only_limbo = true;
    for (TargetId target_id : target_ids) {
      local::QueryDataPtr query_data = QueryDataForActiveTarget(target_id);
      if (query_data && query_data->purpose() != local::VRVQueryPurposeLimboResolution) {
        only_limbo = false;
        break;
      }
    }
    if (only_limbo) resolved_limbo_documents = resolved_limbo_documents.insert(key);
  }

  RemoteEvent event(snapshot_version, std::move(target_changes), std::move(pending_document_updates_),
                    std::move(resolved_limbo_documents));
  pending_document_updates_ = {};
  pending_document_target_mapping_.clear();
  return event;
}

void WatchChangeAggregator::RecordPendingTargetRequest(TargetId target_id) {
  EnsureTargetState(target_id).RecordPendingTargetRequest();
}

void WatchChangeAggregator::RemoveTarget(TargetId target_id) { target_states_.erase(target_id); }

std::vector<TargetId> WatchChangeAggregator::TakeTargetsToReset() {
  std::vector<TargetId> out;
  out.swap(targets_to_reset_);
  return out;
}

WatchChangeAggregator::TargetState& WatchChangeAggregator::EnsureTargetState(TargetId target_id) {
  return target_states_[target_id];
}

local::QueryDataPtr WatchChangeAggregator::QueryDataForActiveTarget(TargetId target_id) const {
  auto it = target_states_.find(target_id);
  if (it != target_states_.end() && it->second.IsPending()) return nullptr;
  return target_metadata_provider_->GetQueryDataForTarget(target_id);
}

bool WatchChangeAggregator::IsActiveTarget(TargetId target_id) const {
  return QueryDataForActiveTarget(target_id) != nullptr;
}

void WatchChangeAggregator::AddDocumentToTarget(TargetId target_id, const MaybeDocumentPtr& document) {
  if (!IsActiveTarget(target_id)) return;
  const DocumentKey& key = document->key();
  ChangeType type = TargetContainsDocument(target_id, key) ? ChangeType::Modified : ChangeType::Added;
  EnsureTargetState(target_id).AddDocumentChange(key, type);
  pending_document_updates_[key] = document;
  pending_document_target_mapping_[key].insert(target_id);
}

void WatchChangeAggregator::RemoveDocumentFromTarget(TargetId target_id, const DocumentKey& key,
                                                     const MaybeDocumentPtr& updated_document) {
  if (!IsActiveTarget(target_id)) return;
  TargetState& state = EnsureTargetState(target_id);
  if (TargetContainsDocument(target_id, key)) {
    state.AddDocumentChange(key, ChangeType::Removed);
  } else {
    // Added since the last event and gone again: nothing to report for the target.
    state.RemoveDocumentChange(key);
  }
  pending_document_target_mapping_[key].insert(target_id);
  if (updated_document) pending_document_updates_[key] = updated_document;
}

void WatchChangeAggregator::ResetTarget(TargetId target_id) {
  HARD_ASSERT(!target_states_[target_id].IsPending(), "Should only reset active targets");
  target_states_[target_id] = TargetState();
  // Every key the client holds for the target is dropped; the server sends them again.
  DocumentKeySet existing = target_metadata_provider_->GetRemoteKeysForTarget(target_id);
  for (const DocumentKey& key : existing) RemoveDocumentFromTarget(target_id, key, nullptr);
}

size_t WatchChangeAggregator::CurrentDocumentCountForTarget(TargetId target_id) {
  TargetChange change = EnsureTargetState(target_id).ToTargetChange();
  return target_metadata_provider_->GetRemoteKeysForTarget(target_id).size() +
         change.added_documents().size() - change.removed_documents().size();
}

bool WatchChangeAggregator::TargetContainsDocument(TargetId target_id, const DocumentKey& key) const {
  return target_metadata_provider_->GetRemoteKeysForTarget(target_id).contains(key);
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
