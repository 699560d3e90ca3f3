#include "davedove/verorariv/core/event_manager.h"

#include <algorithm>
#include <utility>

#include "davedove/verorariv/core/sync_engine.h"

namespace davedove {
namespace verorariv {
namespace core {

using model::OnlineState;

QueryListener::QueryListener(QueryPtr query, ListenOptions options, ViewSnapshotListener listener)
    : query_(std::move(query)), options_(options), listener_(std::move(listener)) {}

bool QueryListener::OnViewSnapshot(ViewSnapshot snapshot) {
  if (!options_.include_metadata_changes) {
    // Leave out changes of metadata alone.
    std::vector<DocumentViewChange> changes;
    for (const DocumentViewChange& change : snapshot.document_changes()) {
      if (change.type() != DocumentViewChange::Type::Metadata) changes.push_back(change);
    }
    snapshot = ViewSnapshot(snapshot.query(), snapshot.documents(), snapshot.old_documents(),
                            std::move(changes), snapshot.from_cache(), snapshot.mutated_keys(),
                            snapshot.sync_state_changed(), /*excludes_metadata_changes=*/true);
  }

  bool raised = false;
  if (!raised_initial_event_) {
    if (ShouldRaiseInitialEvent(snapshot, online_state_)) {
      RaiseInitialEvent(snapshot);
      raised = true;
    }
  } else if (ShouldRaiseEvent(snapshot)) {
    listener_(snapshot);
    raised = true;
  }
  snapshot_ = std::move(snapshot);
  return raised;
}

void QueryListener::OnError(const util::Status& error) { listener_(error); }

bool QueryListener::OnOnlineStateChanged(OnlineState online_state) {
  online_state_ = online_state;
  if (snapshot_ && !raised_initial_event_ && ShouldRaiseInitialEvent(*snapshot_, online_state)) {
    RaiseInitialEvent(*snapshot_);
    return true;
  }
  return false;
}

bool QueryListener::ShouldRaiseInitialEvent(const ViewSnapshot& snapshot,
                                            OnlineState online_state) const {
  // What the server confirmed is always worth raising.
  if (!snapshot.from_cache()) return true;
  // Offline, the cache is all there is.
  bool maybe_online = online_state != OnlineState::Offline;
  if (options_.wait_for_sync_when_online && maybe_online) return false;
  // Online, an empty result from the cache is likely wrong: wait for the server. A single
  // document that the cache lacks is held the same way.
  if (!snapshot.documents().empty()) return true;
  return online_state == OnlineState::Offline;
}

bool QueryListener::ShouldRaiseEvent(const ViewSnapshot& snapshot) const {
  if (!snapshot.document_changes().empty()) return true;
  bool pending_writes_changed =
      snapshot_ && snapshot_->has_pending_writes() != snapshot.has_pending_writes();
  if (snapshot.sync_state_changed() || pending_writes_changed) {
    return options_.include_metadata_changes;
  }
  return false;
}

void QueryListener::RaiseInitialEvent(const ViewSnapshot& snapshot) {
  raised_initial_event_ = true;
  listener_(ViewSnapshot::FromInitialDocuments(snapshot.query(), snapshot.documents(),
                                               snapshot.mutated_keys(), snapshot.from_cache(),
                                               snapshot.excludes_metadata_changes()));
}

EventManager::EventManager(SyncEngine* sync_engine) : sync_engine_(sync_engine) {}

void EventManager::AddQueryListener(const std::shared_ptr<QueryListener>& listener) {
  const QueryPtr& query = listener->query();
  auto found = queries_.find(query);
  bool first_listen = found == queries_.end();
  QueryListenersInfo& info = first_listen ? queries_[query] : found->second;
  info.listeners.push_back(listener);

  listener->OnOnlineStateChanged(online_state_);
  if (info.snapshot) listener->OnViewSnapshot(*info.snapshot);
  // Starting the listen may raise the first snapshot at once, so the listener is in place first.
  if (first_listen) sync_engine_->Listen(query);
}

void EventManager::RemoveQueryListener(const std::shared_ptr<QueryListener>& listener) {
  auto found = queries_.find(listener->query());
  if (found == queries_.end()) return;
  std::vector<std::shared_ptr<QueryListener>>& listeners = found->second.listeners;
  auto it = std::find(listeners.begin(), listeners.end(), listener);
  if (it == listeners.end()) return;
  listeners.erase(it);
  if (listeners.empty()) {
    QueryPtr query = found->first;
    queries_.erase(found);
    sync_engine_->StopListening(query);
  }
}

void EventManager::OnViewSnapshots(std::vector<ViewSnapshot> snapshots) {
  for (ViewSnapshot& snapshot : snapshots) {
    auto found = queries_.find(snapshot.query());
    if (found == queries_.end()) continue;
    // A listener may remove itself while it is told; work on a copy of the list.
    std::vector<std::shared_ptr<QueryListener>> listeners = found->second.listeners;
    found->second.snapshot = snapshot;
    for (const auto& listener : listeners) listener->OnViewSnapshot(snapshot);
  }
}

void EventManager::OnError(const QueryPtr& query, const util::Status& error) {
  auto found = queries_.find(query);
  if (found == queries_.end()) return;
  std::vector<std::shared_ptr<QueryListener>> listeners = std::move(found->second.listeners);
  // The listen is gone: the listeners hear of it once and are dropped.
  queries_.erase(found);
  for (const auto& listener : listeners) listener->OnError(error);
}

void EventManager::HandleOnlineStateChange(OnlineState online_state) {
  online_state_ = online_state;
  for (auto& entry : queries_) {
    std::vector<std::shared_ptr<QueryListener>> listeners = entry.second.listeners;
    for (const auto& listener : listeners) listener->OnOnlineStateChanged(online_state);
  }
}

}  // namespace core
}  // namespace verorariv
}  // namespace davedove
