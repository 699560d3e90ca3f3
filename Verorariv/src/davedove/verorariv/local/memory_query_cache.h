#ifndef DAVEDOVE_VERORARIV_LOCAL_MEMORY_QUERY_CACHE_H_
#define DAVEDOVE_VERORARIV_LOCAL_MEMORY_QUERY_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "davedove/verorariv/local/query_cache.h"
#include "davedove/verorariv/local/reference_set.h"

namespace davedove {
namespace verorariv {
namespace local {

class VRVLocalSerializer;
class VRVMemoryPersistence;

// Targets keyed by query equality, and the keys each target matches, in memory.
class MemoryQueryCache : public QueryCache {
 public:
  // `persistence` owns the cache and outlives it.
  explicit MemoryQueryCache(VRVMemoryPersistence* persistence) : persistence_(persistence) {}

  void AddTarget(const QueryDataPtr& queryData) override;
  void UpdateTarget(const QueryDataPtr& queryData) override;
  void RemoveTarget(const QueryDataPtr& queryData) override;
  QueryDataPtr GetTarget(const core::VRVQuery& query) override;
  void EnumerateTargets(const TargetCallback& callback) override;
  int32_t RemoveTargets(model::ListenSequenceNumber upperBound,
                        const std::unordered_map<TargetId, QueryDataPtr>& liveTargets) override;
  void AddMatchingKeys(const model::DocumentKeySet& keys, TargetId targetID) override;
  void RemoveMatchingKeys(const model::DocumentKeySet& keys, TargetId targetID) override;
  model::DocumentKeySet GetMatchingKeys(TargetId targetID) override;
  bool Contains(const model::DocumentKey& key) override;
  size_t size() override { return queries_.size(); }
  model::ListenSequenceNumber highest_listen_sequence_number() override {
    return highest_listen_sequence_number_;
  }
  TargetId highest_target_id() override { return highest_target_id_; }
  model::SnapshotVersion GetLastRemoteSnapshotVersion() override {
    return last_remote_snapshot_version_;
  }
  void SetLastRemoteSnapshotVersion(const model::SnapshotVersion& version) override {
    last_remote_snapshot_version_ = version;
  }

  // Bytes the stored targets take as stored messages.
  int64_t CalculateByteSize(const VRVLocalSerializer& serializer);

 private:
  struct QueryHash {
    size_t operator()(const core::QueryPtr& query) const { return query->Hash(); }
  };
  struct QueryEquals {
    bool operator()(const core::QueryPtr& lhs, const core::QueryPtr& rhs) const {
      return *lhs == *rhs;
    }
  };

  VRVMemoryPersistence* persistence_;
  model::ListenSequenceNumber highest_listen_sequence_number_ = 0;
  TargetId highest_target_id_ = 0;
  model::SnapshotVersion last_remote_snapshot_version_ = model::SnapshotVersion::None();
  std::unordered_map<core::QueryPtr, QueryDataPtr, QueryHash, QueryEquals> queries_;
  ReferenceSet references_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_MEMORY_QUERY_CACHE_H_
