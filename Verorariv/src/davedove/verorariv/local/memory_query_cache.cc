#include "davedove/verorariv/local/memory_query_cache.h"

#include <vector>

#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"

namespace davedove {
namespace verorariv {
namespace local {

void MemoryQueryCache::AddTarget(const QueryDataPtr& queryData) {
  queries_[queryData->query()] = queryData;
  if (queryData->targetID() > highest_target_id_) {
    highest_target_id_ = queryData->targetID();
  }
  if (queryData->sequenceNumber() > highest_listen_sequence_number_) {
    highest_listen_sequence_number_ = queryData->sequenceNumber();
  }
}

void MemoryQueryCache::UpdateTarget(const QueryDataPtr& queryData) {
  // Stored by query, so an update is an add that replaces.
  AddTarget(queryData);
}

void MemoryQueryCache::RemoveTarget(const QueryDataPtr& queryData) {
  queries_.erase(queryData->query());
  references_.RemoveReferences(queryData->targetID());
}

QueryDataPtr MemoryQueryCache::GetTarget(const core::VRVQuery& query) {
  // A non-owning pointer is enough to look up by equality.
  core::QueryPtr key(core::QueryPtr(), &query);
  auto found = queries_.find(key);
  return found == queries_.end() ? nullptr : found->second;
}

void MemoryQueryCache::EnumerateTargets(const TargetCallback& callback) {
  for (const auto& entry : queries_) {
    callback(entry.second);
  }
}

int32_t MemoryQueryCache::RemoveTargets(
    model::ListenSequenceNumber upperBound,
    const std::unordered_map<TargetId, QueryDataPtr>& liveTargets) {
  std::vector<core::QueryPtr> toRemove;
  for (const auto& entry : queries_) {
    const QueryDataPtr& queryData = entry.second;
    if (queryData->sequenceNumber() <= upperBound &&
        liveTargets.find(queryData->targetID()) == liveTargets.end()) {
      toRemove.push_back(entry.first);
      references_.RemoveReferences(queryData->targetID());
    }
  }
  for (const core::QueryPtr& query : toRemove) {
    queries_.erase(query);
  }
  return static_cast<int32_t>(toRemove.size());
}

void MemoryQueryCache::AddMatchingKeys(const model::DocumentKeySet& keys, TargetId targetID) {
  references_.AddReferences(keys, targetID);
  std::shared_ptr<VRVReferenceDelegate> delegate = persistence_->referenceDelegate();
  for (const model::DocumentKey& key : keys) {
    delegate->addReference(key);
  }
}

void MemoryQueryCache::RemoveMatchingKeys(const model::DocumentKeySet& keys, TargetId targetID) {
  references_.RemoveReferences(keys, targetID);
  std::shared_ptr<VRVReferenceDelegate> delegate = persistence_->referenceDelegate();
  for (const model::DocumentKey& key : keys) {
    delegate->removeReference(key);
  }
}

model::DocumentKeySet MemoryQueryCache::GetMatchingKeys(TargetId targetID) {
  return references_.ReferencedKeys(targetID);
}

bool MemoryQueryCache::Contains(const model::DocumentKey& key) {
  return references_.ContainsKey(key);
}

int64_t MemoryQueryCache::CalculateByteSize(const VRVLocalSerializer& serializer) {
  int64_t count = 0;
  for (const auto& entry : queries_) {
    const VRVQueryData& queryData = *entry.second;
    if (queryData.purpose() == VRVQueryPurposeListen) {
      count += static_cast<int64_t>(serializer.encodedQueryData(queryData).ByteSizeLong());
    } else {
      // Only listen targets may be encoded; the purpose is not stored, so measure the same target
      // as a listen.
      VRVQueryData asListen(queryData.query(), queryData.targetID(), queryData.sequenceNumber(),
                            VRVQueryPurposeListen, queryData.snapshotVersion(),
                            queryData.resumeToken());
      count += static_cast<int64_t>(serializer.encodedQueryData(asListen).ByteSizeLong());
    }
  }
  return count;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
