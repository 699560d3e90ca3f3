#ifndef DAVEDOVE_VERORARIV_LOCAL_MEMORY_INDEX_MANAGER_H_
#define DAVEDOVE_VERORARIV_LOCAL_MEMORY_INDEX_MANAGER_H_

#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "davedove/verorariv/local/index_manager.h"
#include "davedove/verorariv/model/resource_path.h"

namespace davedove {
namespace verorariv {
namespace local {

// For each collection id, the parents under which a collection of that id holds documents.
class MemoryCollectionParentIndex {
 public:
  // Records a collection path (odd length); true when its parent was new for the id.
  bool Add(const model::ResourcePath& collection_path);
  // The parents of the id, ascending; empty when never added.
  std::vector<model::ResourcePath> GetEntries(const std::string& collection_id) const;

 private:
  std::unordered_map<std::string, std::set<model::ResourcePath>> index_;
};

class MemoryIndexManager : public IndexManager {
 public:
  void AddToCollectionParentIndex(const model::ResourcePath& collectionPath) override;
  std::vector<model::ResourcePath> GetCollectionParents(const std::string& collectionId) override;

 private:
  MemoryCollectionParentIndex collection_parents_index_;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_MEMORY_INDEX_MANAGER_H_
