#include "davedove/verorariv/model/precondition.h"

#include <functional>
#include <string>

#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace model {

bool Precondition::IsValidFor(const VRVMaybeDocument* maybe_doc) const {
  switch (type_) {
    case Type::None:
      return true;
    case Type::Exists:
      if (exists_) return dynamic_cast<const VRVDocument*>(maybe_doc) != nullptr;
      return maybe_doc == nullptr || dynamic_cast<const VRVDeletedDocument*>(maybe_doc) != nullptr;
    case Type::UpdateTime: {
      auto document = dynamic_cast<const VRVDocument*>(maybe_doc);
      return document != nullptr && document->version() == update_time_;
    }
  }
  HARD_FAIL("Invalid precondition type %s", type_);
}

size_t Precondition::Hash() const {
  size_t update_time_hash = std::hash<Timestamp>()(update_time_.timestamp());
  return 31 * (31 * update_time_hash + (exists_ ? 1 : 0)) + static_cast<size_t>(type_);
}

std::string Precondition::ToString() const {
  switch (type_) {
    case Type::None:
      return "<Precondition <none>>";
    case Type::Exists:
      return exists_ ? "<Precondition exists=yes>" : "<Precondition exists=no>";
    case Type::UpdateTime:
      return util::StringFormat("<Precondition update_time=%s>", update_time_.ToString());
  }
  HARD_FAIL("Invalid precondition type %s", type_);
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
