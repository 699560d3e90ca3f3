#include "davedove/verorariv/core/view_snapshot.h"

#include <ostream>

#include "davedove/verorariv/util/string_format.h"

namespace davedove {
namespace verorariv {
namespace core {

std::string DocumentViewChange::ToString() const {
  return util::StringFormat("<DocumentViewChange doc:%s type:%s>", document_, type_);
}

bool operator==(const DocumentViewChange& lhs, const DocumentViewChange& rhs) {
  if (lhs.type_ != rhs.type_) return false;
  if (lhs.document_ == rhs.document_) return true;
  return lhs.document_ && rhs.document_ && lhs.document_->isEqual(*rhs.document_);
}

std::ostream& operator<<(std::ostream& out, const DocumentViewChange& change) {
  return out << change.ToString();
}

}  // namespace core
}  // namespace verorariv
}  // namespace davedove
