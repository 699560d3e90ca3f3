#include "davedove/verorariv/model/database_id.h"

#include <utility>

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace model {

DatabaseId::DatabaseId(std::string project_id, std::string database_id)
    : project_id_(std::move(project_id)), database_id_(std::move(database_id)) {
  HARD_ASSERT(!project_id_.empty());
  HARD_ASSERT(!database_id_.empty());
}

bool operator<(const DatabaseId& lhs, const DatabaseId& rhs) {
  if (lhs.project_id_ != rhs.project_id_) return lhs.project_id_ < rhs.project_id_;
  return lhs.database_id_ < rhs.database_id_;
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
