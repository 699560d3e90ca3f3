#include "davedove/verorariv/local/memory_index_manager.h"

#include "davedove/verorariv/model/model_assert.h"

namespace davedove {
namespace verorariv {
namespace local {

bool MemoryCollectionParentIndex::Add(const model::ResourcePath& collection_path) {
  MODEL_ASSERT(collection_path.size() % 2 == 1, "collection_path.size() % 2 == 1",
               "Expected a collection path.");
  const std::string& collection_id = collection_path.last_segment();
  return index_[collection_id].insert(collection_path.PopLast()).second;
}

std::vector<model::ResourcePath> MemoryCollectionParentIndex::GetEntries(
    const std::string& collection_id) const {
  auto found = index_.find(collection_id);
  if (found == index_.end()) return {};
  return std::vector<model::ResourcePath>(found->second.begin(), found->second.end());
}

void MemoryIndexManager::AddToCollectionParentIndex(const model::ResourcePath& collectionPath) {
  collection_parents_index_.Add(collectionPath);
}

std::vector<model::ResourcePath> MemoryIndexManager::GetCollectionParents(
    const std::string& collectionId) {
  return collection_parents_index_.GetEntries(collectionId);
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
