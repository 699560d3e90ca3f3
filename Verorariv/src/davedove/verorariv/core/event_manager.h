#ifndef DAVEDOVE_VERORARIV_CORE_EVENT_MANAGER_H_
#define DAVEDOVE_VERORARIV_CORE_EVENT_MANAGER_H_

#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/sync_engine.h"
#include "davedove/verorariv/core/view_snapshot.h"
#include "davedove/verorariv/model/online_state.h"
#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/util/statusor.h"

namespace davedove {
namespace verorariv {
namespace core {

// What a listener wants to hear of.
struct ListenOptions {
  // Snapshots whose only change is metadata (pending writes acknowledged, cache to server).
  bool include_metadata_changes = false;
  // Hold the first snapshot while online until the server has answered, even when the cache has
  // documents.
  bool wait_for_sync_when_online = false;
};

using ViewSnapshotListener = std::function<void(util::StatusOr<ViewSnapshot>)>;

// One listener of one query: decides which view snapshots reach it.
class QueryListener {
 public:
  QueryListener(QueryPtr query, ListenOptions options, ViewSnapshotListener listener);

  const QueryPtr& query() const { return query_; }

  // Whether the snapshot was raised.
  bool OnViewSnapshot(ViewSnapshot snapshot);
  void OnError(const util::Status& error);
  // Whether a held first snapshot was raised.
  bool OnOnlineStateChanged(model::OnlineState online_state);

 private:
  bool ShouldRaiseInitialEvent(const ViewSnapshot& snapshot,
                               model::OnlineState online_state) const;
  bool ShouldRaiseEvent(const ViewSnapshot& snapshot) const;
  void RaiseInitialEvent(const ViewSnapshot& snapshot);

  QueryPtr query_;
  ListenOptions options_;
  ViewSnapshotListener listener_;
  bool raised_initial_event_ = false;
  model::OnlineState online_state_ = model::OnlineState::Unknown;
  std::optional<ViewSnapshot> snapshot_;
};

// Fans the view snapshots of the sync engine out to the listeners of each query; the first
// listener of a query starts its listen and the last one to go stops it. Worker queue only.
class EventManager : public SyncEngineCallback {
 public:
  explicit EventManager(SyncEngine* sync_engine);

  void AddQueryListener(const std::shared_ptr<QueryListener>& listener);
  void RemoveQueryListener(const std::shared_ptr<QueryListener>& listener);

  // From the sync engine.
  void OnViewSnapshots(std::vector<ViewSnapshot> snapshots) override;
  void OnError(const QueryPtr& query, const util::Status& error) override;
  void HandleOnlineStateChange(model::OnlineState online_state) override;

 private:
  struct QueryListenersInfo {
    std::vector<std::shared_ptr<QueryListener>> listeners;
    std::optional<ViewSnapshot> snapshot;
  };
  struct QueryHash {
    size_t operator()(const QueryPtr& query) const { return query->Hash(); }
  };
  struct QueryEqual {
    bool operator()(const QueryPtr& lhs, const QueryPtr& rhs) const { return *lhs == *rhs; }
  };

  SyncEngine* sync_engine_;
  model::OnlineState online_state_ = model::OnlineState::Unknown;
  std::unordered_map<QueryPtr, QueryListenersInfo, QueryHash, QueryEqual> queries_;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_EVENT_MANAGER_H_
