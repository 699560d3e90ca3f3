#ifndef DAVEDOVE_VERORARIV_LOCAL_INDEX_MANAGER_H_
#define DAVEDOVE_VERORARIV_LOCAL_INDEX_MANAGER_H_

#include <string>
#include <vector>

#include "davedove/verorariv/model/resource_path.h"

namespace davedove {
namespace verorariv {
namespace local {

// Which parents hold collections of each id, for collection-group queries.
class IndexManager {
 public:
  virtual ~IndexManager() = default;

  // Records a collection (a path of odd length) under its parent.
  virtual void AddToCollectionParentIndex(const model::ResourcePath& collectionPath) = 0;
  // Every recorded parent of collections with that id.
  virtual std::vector<model::ResourcePath> GetCollectionParents(
      const std::string& collectionId) = 0;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_INDEX_MANAGER_H_
