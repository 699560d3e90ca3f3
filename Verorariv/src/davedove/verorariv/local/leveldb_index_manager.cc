#include "davedove/verorariv/local/leveldb_index_manager.h"

#include "absl/strings/match.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/local/leveldb_transaction.h"
#include "davedove/verorariv/model/model_assert.h"

namespace davedove {
namespace verorariv {
namespace local {

using model::ResourcePath;

void LevelDbIndexManager::AddToCollectionParentIndex(const ResourcePath& collectionPath) {
  MODEL_ASSERT(collectionPath.size() % 2 == 1, "collection_path.size() % 2 == 1",
               "Expected a collection path.");
  if (!collectionParentsCache_.Add(collectionPath)) return;
  db_->currentTransaction()->Put(
      LevelDbCollectionParentKey::Key(collectionPath.last_segment(), collectionPath.PopLast()),
      std::string());
}

std::vector<ResourcePath> LevelDbIndexManager::GetCollectionParents(
    const std::string& collectionId) {
  std::vector<ResourcePath> result;
  std::string prefix = LevelDbCollectionParentKey::KeyPrefix(collectionId);
  auto it = db_->currentTransaction()->NewIterator();
  for (it->Seek(prefix); it->Valid(); it->Next()) {
    LevelDbCollectionParentKey rowKey;
    if (!absl::StartsWith(it->key(), prefix) || !rowKey.Decode(it->key()) ||
        rowKey.collection_id() != collectionId) {
      break;
    }
    result.push_back(rowKey.parent());
  }
  return result;
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
