#ifndef DAVEDOVE_VERORARIV_LOCAL_LEVELDB_INDEX_MANAGER_H_
#define DAVEDOVE_VERORARIV_LOCAL_LEVELDB_INDEX_MANAGER_H_

#include <string>
#include <vector>

#include "davedove/verorariv/local/index_manager.h"
#include "davedove/verorariv/local/memory_index_manager.h"

namespace davedove {
namespace verorariv {
namespace local {

class VRVLevelDB;

// The collection-parent index on disk: one row per (collection id, parent path).
class LevelDbIndexManager : public IndexManager {
 public:
  explicit LevelDbIndexManager(VRVLevelDB* db) : db_(db) {}

  void AddToCollectionParentIndex(const model::ResourcePath& collectionPath) override;
  // From the stored rows, in key order.
  std::vector<model::ResourcePath> GetCollectionParents(const std::string& collectionId) override;

 private:
  VRVLevelDB* db_;
  // The rows this object already wrote; spares rewriting them.
  MemoryCollectionParentIndex collectionParentsCache_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_LEVELDB_INDEX_MANAGER_H_
