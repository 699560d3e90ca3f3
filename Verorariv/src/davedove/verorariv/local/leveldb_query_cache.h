#ifndef DAVEDOVE_VERORARIV_LOCAL_LEVELDB_QUERY_CACHE_H_
#define DAVEDOVE_VERORARIV_LOCAL_LEVELDB_QUERY_CACHE_H_

#include <functional>
#include <memory>
#include <unordered_map>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/query_cache.h"
#include "leveldb/db.h"

namespace davedove {
namespace verorariv {
namespace local {

class VRVLevelDB;

// The targets, the documents each matches (in both directions) and the target-global metadata.
class LevelDbQueryCache : public QueryCache {
 public:
  using OrphanedDocumentCallback =
      std::function<void(const model::DocumentKey&, model::ListenSequenceNumber)>;

  LevelDbQueryCache(VRVLevelDB* db, std::shared_ptr<const VRVLocalSerializer> serializer);

  // The stored target-global message, or none when the row is absent. Reads committed data.
  static std::unique_ptr<VRVPBTargetGlobal> ReadMetadata(leveldb::DB* db);

  // Loads the metadata; the schema migrations guarantee its row.
  void Start();

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
  size_t size() override;
  model::ListenSequenceNumber highest_listen_sequence_number() override;
  TargetId highest_target_id() override;
  model::SnapshotVersion GetLastRemoteSnapshotVersion() override;
  void SetLastRemoteSnapshotVersion(const model::SnapshotVersion& version) override;

  // Each document with a sentinel row and no target row, with its sentinel's number.
  void EnumerateOrphanedDocuments(const OrphanedDocumentCallback& callback);

 private:
  void Save(const VRVQueryData& queryData);
  // Raises the highest target id and sequence number; whether either rose.
  bool UpdateMetadata(const VRVQueryData& queryData);
  void SaveMetadata();
  void RemoveAllKeysForTarget(TargetId targetID);
  QueryDataPtr DecodeTarget(absl::string_view encoded);

  VRVLevelDB* db_;
  std::shared_ptr<const VRVLocalSerializer> serializer_;
  std::unique_ptr<VRVPBTargetGlobal> metadata_;
  model::SnapshotVersion lastRemoteSnapshotVersion_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LEVELDB_QUERY_CACHE_H_
