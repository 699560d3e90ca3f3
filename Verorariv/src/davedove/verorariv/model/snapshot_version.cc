#include "davedove/verorariv/model/snapshot_version.h"

#include <ostream>

#include "absl/strings/str_cat.h"

namespace davedove {
namespace verorariv {
namespace model {

const SnapshotVersion& SnapshotVersion::None() {
  static const SnapshotVersion* none = new SnapshotVersion(Timestamp());
  return *none;
}

std::string SnapshotVersion::ToString() const {
  return absl::StrCat("SnapshotVersion(", timestamp_.ToString(), ")");
}

std::ostream& operator<<(std::ostream& out, const SnapshotVersion& version) {
  return out << version.ToString();
}

}  // namespace model
}  // namespace verorariv
}  // namespace davedove
