#ifndef DAVEDOVE_VERORARIV_LOCAL_QUERY_CACHE_H_
#define DAVEDOVE_VERORARIV_LOCAL_QUERY_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/local/VRVQueryData.h"
#include "davedove/verorariv/local/listen_sequence.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/snapshot_version.h"

namespace davedove {
namespace verorariv {
namespace local {

// The targets and the documents that match each of them, with cache-wide counters.
class QueryCache {
 public:
  using TargetCallback = std::function<void(const QueryDataPtr&)>;

  virtual ~QueryCache() = default;

  // Stores a new target; raises the highest target id and listen sequence number.
  virtual void AddTarget(const QueryDataPtr& queryData) = 0;
  // Overwrites the target of the same id; raises the highest listen sequence number.
  virtual void UpdateTarget(const QueryDataPtr& queryData) = 0;
  // Removes the target and its matching keys.
  virtual void RemoveTarget(const QueryDataPtr& queryData) = 0;
  // The stored target whose query equals `query`, or null.
  virtual QueryDataPtr GetTarget(const core::VRVQuery& query) = 0;
  virtual void EnumerateTargets(const TargetCallback& callback) = 0;
  // Removes the targets whose number is at most `upperBound` and that are not live, with their
  // matching keys; the count removed.
  virtual int32_t RemoveTargets(
      model::ListenSequenceNumber upperBound,
      const std::unordered_map<TargetId, QueryDataPtr>& liveTargets) = 0;
  virtual void AddMatchingKeys(const model::DocumentKeySet& keys, TargetId targetID) = 0;
  virtual void RemoveMatchingKeys(const model::DocumentKeySet& keys, TargetId targetID) = 0;
  virtual model::DocumentKeySet GetMatchingKeys(TargetId targetID) = 0;
  // Whether any target matches the document.
  virtual bool Contains(const model::DocumentKey& key) = 0;
  // Number of stored targets.
  virtual size_t size() = 0;
  virtual model::ListenSequenceNumber highest_listen_sequence_number() = 0;
  // The highest target id ever stored; 0 when none.
  virtual TargetId highest_target_id() = 0;
  // The version of the last remote event applied; none when never set.
  virtual model::SnapshotVersion GetLastRemoteSnapshotVersion() = 0;
  virtual void SetLastRemoteSnapshotVersion(const model::SnapshotVersion& version) = 0;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_QUERY_CACHE_H_
